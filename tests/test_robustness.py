"""Garbage collection, threads and hostile files: each case ends in a
correct read or a clear exception, and what was read before stays."""
import ctypes
import gc
import json
import os
import re
import sys
import threading
import time
import weakref
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import Parameter, param, script


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


def test_class_is_freed_once_unbound(run_python):
    """Once the module's `Parameter` is deleted and nothing else refers to
    it, the collector frees the class and its methods; a method kept aside
    still works on instances of another class."""
    out = run_python("""
        import gc, json, os, weakref
        from fernlake_data.plugins import param
        freed = []
        cls = param.Parameter
        kept = cls.__getitem__, cls.__setitem__
        refs = [weakref.ref(cls, lambda r: freed.append("class")),
                weakref.ref(cls.read_param,
                            lambda r: freed.append("read_param"))]
        cls(os.devnull)["k"] = 1
        del cls, param.Parameter
        gc.collect()
        other = type("Other", (), dict(zip(("__getitem__", "__setitem__"),
                                           kept)))()
        other["k"] = "v"
        print(json.dumps([sorted(freed), other["k"]]))
    """)
    assert json.loads(out.stdout) == [["class", "read_param"], "v"]


def test_threads_construct_read_and_fail(write_param):
    good, bad = write_param("a=1\nb=2\n"), write_param("c=3\nno equals\n")
    shared = Parameter(good)

    def work(n):
        for _ in range(200):
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


LONG = 200_000


@pytest.fixture(scope="module")
def long_file(tmp_path_factory):
    """A file of 200,000 settings, which takes the reader a while."""
    path = tmp_path_factory.mktemp("long") / "long.param"
    path.write_text("".join(f"k{i}=v\n" for i in range(LONG)))
    return str(path)


@pytest.mark.parametrize("kind", ["long_read", "construction",
                                  "python_setitem"])
def test_exit_with_a_daemon_thread_inside_the_module(long_file, kind):
    """The process exits with status 0 while a daemon thread is in a method
    of the module, as with the same methods written in Python."""
    proc = script("daemon_at_exit", kind, long_file, check=False)
    assert (proc.returncode, proc.stderr) == (0, "")


def turns_until(condition):
    """Gives the interpreter lock to other threads until `condition()`."""
    while not condition():
        time.sleep(0)


def test_a_waiting_thread_gets_the_lock_during_a_long_read(long_file):
    """A thread that waits for the interpreter lock gets it while another
    reads a long file, also when it asked while the reader was still
    opening and reading the file (collection off, so that nothing else
    calls for the reader's attention): each time this thread asks, from
    before the read to its end, it gets the lock at the reader's next turn,
    which a read that never offers it gives only at its end."""
    p, counts = Parameter.__new__(Parameter), []
    reader = threading.Thread(target=p.read_param, args=(long_file,))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    gc.disable()
    try:
        reader.start()
        turns_until(lambda: counts.append(len(vars(p))) or
                    not reader.is_alive())
        reader.join()
    finally:
        gc.enable()
        sys.setswitchinterval(interval)
    # A read may offer the lock by chance once or twice (the first read of
    # a process, say), not at every turn.
    assert len({n for n in counts if 0 < n < LONG}) > 4


class Stop(Exception):
    """Sent to the reading thread."""


@pytest.mark.parametrize("general", [False, True],
                         ids=["shortcut", "general"])
def test_exception_sent_to_a_reading_thread_interrupts_the_read(
        long_file, monkeypatch, general):
    """An exception sent to a thread while it reads a long file stops the
    read soon, with or without the shortcuts, long before its end. (How
    soon depends on when the sending thread gets the interpreter lock: a
    resize of the growing dictionary may hold it for a while. A short
    switch interval has the reader hand the lock over soon after it is
    asked for, on a loaded machine too.)"""
    if general:
        search = re.search
        monkeypatch.setattr(re, "search", lambda *a: search(*a))
    p, raised = Parameter.__new__(Parameter), []

    def read():
        try:
            p.read_param(long_file)
        except Stop:
            raised.append(Stop)
    thread = threading.Thread(target=read)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        thread.start()
        turns_until(lambda: len(vars(p)) > 1000 or not thread.is_alive())
        ctypes.pythonapi.PyThreadState_SetAsyncExc(
            ctypes.c_ulong(thread.ident), ctypes.py_object(Stop))
        thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert raised == [Stop] and len(vars(p)) < LONG // 2


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


@pytest.mark.skipif(getattr(os, "geteuid", lambda: 1)() == 0,
                    reason="root reads any file")
def test_permission_denied(write_param):
    path = write_param("a=1\n")
    os.chmod(path, 0)
    with pytest.raises(PermissionError):
        Parameter(path)
