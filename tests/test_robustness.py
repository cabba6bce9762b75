"""Garbage collection, threads and hostile files: each case ends in a
correct read or a clear exception, and what was read before stays."""
import gc
import os
import sys
import time
import weakref
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import Parameter, param


@pytest.mark.parametrize("member", [lambda p: p, lambda p: p.read_param],
                         ids=["itself", "bound_method"])
def test_instance_cycles_are_collected(write_param, member):
    p = Parameter(write_param("a=1\n"))
    p["me"] = member(p)
    ref = weakref.ref(p)
    del p
    gc.collect()
    assert ref() is None


def test_function_object_is_traversed():
    f = Parameter.read_param
    held = ("Parameter.read_param", "fernlake_data.plugins.param",
            param.__dict__, f.__code__, f.__dict__, f.__annotations__)
    assert gc.is_tracked(f)
    assert all(any(r is h or r == h for r in gc.get_referents(f))
               for h in held)
    # An entry of the function's dict that refers back lives as long as it.
    f.__dict__["marker"] = marker = type("Marker", (), {"function": f})()
    ref = weakref.ref(marker)
    del marker
    gc.collect()
    assert ref() is not None
    del f.__dict__["marker"]
    gc.collect()
    assert ref() is None


def test_threads_construct_read_and_fail(write_param):
    good, bad = write_param("a=1\nb=2\n"), write_param("c=3\nno equals\n")
    shared, end = Parameter(good), time.monotonic() + 1.5

    def work(n):
        while time.monotonic() < end:
            p = Parameter(good)
            assert vars(p) == {"path": good, "a": "1", "b": "2"}
            shared[n] = n
            assert shared[n] == n and shared["a"] == "1"
            with pytest.raises(KeyError):
                p["absent"]
            with pytest.raises(ValueError):
                p.read_param(bad)
            assert p["c"] == "3"
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        with ThreadPoolExecutor(6) as pool:
            list(pool.map(work, range(6)))  # raises what a thread raised
    finally:
        sys.setswitchinterval(interval)
    assert all(shared[n] == n for n in range(6))


def test_fifty_megabytes(tmp_path):
    path = tmp_path / "large.param"
    with open(path, "w") as f:
        for i in range(25_000):
            f.write(f"k{i}={i:0>1000}\n# {'c' * 1000}\n")
    assert path.stat().st_size > 50_000_000
    p = Parameter(str(path))
    assert len(vars(p)) == 25_001 and p["k0"] == "0" * 1000
    assert p["k24999"] == "24999".rjust(1000, "0")


@pytest.mark.parametrize("text, stored", [
    ("a\0b=c\0\n", {"a\0b": "c\0"}),
    ("k" * 10**7 + "=" + "v" * 10**7 + "\n", {"k" * 10**7: "v" * 10**7}),
    ("a=1\n" + "x" * 10**7 + "\nb=2\n", {"a": "1"}),
], ids=["nul", "ten_megabytes", "long_bad_line"])
def test_unusual_lines(write_param, text, stored):
    path = write_param(text)
    p = Parameter.__new__(Parameter)
    try:
        p.__init__(path)
    except ValueError as e:
        assert "x" * 10**7 in text and str(e).startswith("need more than 1")
    assert vars(p) == {"path": path, **stored}


def test_path_kinds(write_param):
    assert vars(Parameter(os.devnull)) == {"path": os.devnull}
    path = write_param("a=1\n").encode()
    assert Parameter(path)["a"] == "1"
    fd = os.open(path, os.O_RDONLY)
    assert Parameter(fd)["a"] == "1"
    with pytest.raises(OSError):  # closed with the file that read it
        os.close(fd)


@pytest.mark.parametrize("path, error", [
    (None, TypeError), ("a\0b", ValueError), (".", IsADirectoryError),
    ("absent.param", FileNotFoundError),
], ids=["none", "nul", "directory", "missing"])
def test_unopenable_path(path, error):
    p = Parameter.__new__(Parameter)
    with pytest.raises(error):
        p.__init__(path)
    assert vars(p) == {"path": path}


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_permission_denied(write_param):
    path = write_param("a=1\n")
    os.chmod(path, 0)
    with pytest.raises(PermissionError):
        Parameter(path)
