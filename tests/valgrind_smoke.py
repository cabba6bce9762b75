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

from call_matrix import calls, write_files  # noqa: E402

# A file with a carriage return, a NUL and a non-ASCII value.
ODD = b"a=1\n  # c\n\n b = 2 \r\nk\0=v\xc3\xa9\n"


def run(paths, odd):
    f = Parameter.read_param
    kinds = calls(Parameter, paths)
    for _ in range(200):
        p = Parameter(odd)
        assert vars(p) == {"path": odd, "a": "1", "b ": " 2", "k\0": "vé"}
        p["me"], p[3] = p, [p.read_param]  # cycles
        f.__dict__["seen"] = f.__annotations__
        for call in kinds:
            call.run()
        for leaving[0], error, call in [
                ("enter", OSError, lambda: Parameter(paths["no_eq"])),
                ("exit", OSError, lambda: Parameter(odd)),
                ("exit", OSError, lambda: p.read_param(paths["no_eq"])),
                ("suppress", None, lambda: Parameter(paths["no_eq"]))]:
            try:
                call()
            except error or ():
                pass
            else:
                assert error is None, call
        leaving[0] = None
    gc.collect()


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as directory:
        odd = pathlib.Path(directory, "odd.param")
        odd.write_bytes(ODD)
        run(write_files(directory), str(odd))
    print("valgrind smoke: ok")
