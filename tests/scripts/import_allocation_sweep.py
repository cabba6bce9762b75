"""Fails each allocation of creating and executing the module in turn, each
in a child process of its own, until so many in a row succeed that all are
covered; prints, as JSON, for each attempt the module's entries of the
MemoryError (null if none was raised) and what the module imported after it
does (null for a child that crashed)."""
import _imp
import _testcapi
import importlib
import importlib.util
import json
import os
import sys

import numpy  # noqa: F401 - imported before the sweep
import pandas  # noqa: F401

from call_matrix import METHODS
from entries import module_frames

MODULE = "fernlake_data.plugins.param"
spec = importlib.util.find_spec(MODULE)


def attempt(n):
    # Fails the n-th allocation of creating and executing the module, then
    # imports it as usual and reports what the working module does.
    _testcapi.set_nomemory(n, n + 1)
    try:
        _imp.exec_dynamic(_imp.create_dynamic(spec))
        failed = None
    except MemoryError as e:
        failed = module_frames(e.__traceback__)
    finally:
        _testcapi.remove_mem_hooks()
    if failed is not None:
        sys.modules.pop(MODULE, None)
    m = importlib.import_module(MODULE)
    p = m.Parameter(os.devnull)
    p["k"] = "v"
    wrong = []
    for name in METHODS:  # each called with no argument at all
        try:
            getattr(m.Parameter, name)()
        except TypeError as e:
            wrong += module_frames(e.__traceback__)
    return failed, [p["k"], wrong]


out, n, since_failure = [], 0, 0
while since_failure < 20:  # so many successes in a row: all covered
    r, w = os.pipe()
    if os.fork() == 0:
        os.write(w, json.dumps(attempt(n)).encode())
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as pipe:
        out.append(json.loads(pipe.read() or "null"))
    os.wait()
    failed = out[-1] and out[-1][0] is not None
    since_failure = 0 if failed else since_failure + 1
    n += 1
print(json.dumps(out))
