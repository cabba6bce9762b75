"""A short run under memcheck (`make valgrind`): import, construct, read,
and fail in each of the main ways."""
import builtins
import gc
import pathlib
import tempfile

import numpy  # noqa: F401 - imported by the module; before open is wrapped
import pandas  # noqa: F401

real_open = builtins.open
leaving = [None]  # or how opened files misbehave


class Leaving:
    def __init__(self, *args):
        self.file = real_open(*args)

    def __enter__(self):
        if leaving[0] == "enter":
            raise OSError("enter")
        return self.file

    def __exit__(self, *info):
        self.file.close()
        if leaving[0] == "exit":
            raise OSError("exit")
        return leaving[0] == "suppress"


# The module keeps the open it finds at import.
builtins.open = lambda *args: (Leaving if leaving[0] else real_open)(*args)
from fernlake_data.plugins.param import Parameter  # noqa: E402
builtins.open = real_open

FILES = [b"a=1\n  # c\n\n b = 2 \r\nk\0=v\xc3\xa9\n", b"a=1\nlonely\n",
         b"a=1\nx=y=z\n", b"a=1\n\xff\n"]


def run(good, no_eq, two_eq, bad_utf8):
    f = Parameter.read_param
    for _ in range(200):
        p = Parameter(good)
        assert vars(p) == {"path": good, "a": "1", "b ": " 2", "k\0": "vé"}
        p["me"], p[3] = p, [p.read_param]  # cycles
        Parameter.__setitem__(self=p, key="x", value=Parameter(path=good))
        f.__dict__["seen"] = f.__annotations__
        for leaving[0], error, call in [
                ("enter", OSError, lambda: Parameter(no_eq)),
                ("exit", OSError, lambda: Parameter(good)),
                ("exit", OSError, lambda: p.read_param(no_eq)),
                ("suppress", None, lambda: Parameter(no_eq)),
                (None, None, lambda: f({}, good)),
                (None, KeyError, lambda: p["absent"]),
                (None, TypeError, lambda: p[[]]),
                (None, TypeError, lambda: p.__setitem__([], 1)),
                (None, TypeError, Parameter),
                (None, TypeError, lambda: Parameter(path="a", extra=1)),
                (None, FileNotFoundError, lambda: f(p, good + ".absent")),
                (None, ValueError, lambda: f(p, no_eq)),
                (None, ValueError, lambda: Parameter(two_eq)),
                (None, UnicodeDecodeError, lambda: f(p, bad_utf8)),
                (None, TypeError, lambda: f(1, good))]:
            try:
                call()
            except error or ():
                pass
            else:
                assert error is None, call
    gc.collect()


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as directory:
        paths = [pathlib.Path(directory, f"{n}.param") for n in range(4)]
        for path, data in zip(paths, FILES):
            path.write_bytes(data)
        run(*map(str, paths))
    print("valgrind smoke: ok")
