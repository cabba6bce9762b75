"""Calls __init__ of an instance whose attribute read_param hides the
method, with each allocation of the call failing in turn, in both classes:
every call either raises MemoryError or calls the attribute, as in plain
Python; the class's own read_param (which would store the file's settings)
never runs instead. Prints "same" when both classes agree."""
import sys

import _testcapi

from fernlake_data.plugins.param import Parameter
from model import ModelParameter

path = sys.argv[1]


def outcomes(cls):
    seen = []
    for n in range(400):
        calls = []
        p = cls.__new__(cls)
        p.read_param = calls.append
        _testcapi.set_nomemory(n, n + 1)
        try:
            p.__init__(path)
            raised = False
        except MemoryError:
            raised = True
        finally:
            _testcapi.remove_mem_hooks()
        settings = sorted(k for k in vars(p) if k not in ("path",
                                                          "read_param"))
        if settings or not (raised or calls == [path]):
            seen.append((n, raised, calls, settings))
    return seen


native, plain = outcomes(Parameter), outcomes(ModelParameter)
print("same" if native == plain == [] else (native, plain))
