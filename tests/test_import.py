"""Module creation and execution: the namespace, the class and its code
objects, re-import, other interpreters, and every way an import can fail."""
import builtins
import json
import os
import re
import sys
from inspect import CO_NEWLOCALS, CO_OPTIMIZED

import numpy
import pandas
import pytest

from conftest import DEFINED_AT, METHODS, SOURCE_FILE, Parameter, param

MODULE = "fernlake_data.plugins.param"
INIT = "init " + MODULE

# Shared by the scripts below: json output and the module's own frames.
PRELUDE = """
import ctypes, importlib, importlib.util, json, sys, types
from entries import module_frames as frames
"""


def run_json(run_python, body):
    return json.loads(run_python(PRELUDE + body).stdout.splitlines()[-1])


def test_namespace_and_class():
    ns = vars(param)
    assert list(ns) == ["__name__", "__doc__", "__package__", "__loader__",
                        "__spec__", "__file__", "__builtins__", "np", "pd",
                        "os", "sys", "re", "Parameter", "__test__"]
    assert (ns["__name__"], ns["__doc__"], ns["__builtins__"]) == (
        MODULE, None, builtins)
    assert [ns[alias] for alias in ("np", "pd", "os", "sys", "re")] == [
        numpy, pandas, os, sys, re]
    assert type(ns["__test__"]) is dict and ns["__test__"] == {}
    assert type(Parameter) is type and Parameter.__bases__ == (object,)
    assert (Parameter.__module__, Parameter.__qualname__,
            Parameter.__doc__) == (MODULE, "Parameter", None)
    # What `type` makes of the namespace, in the order it was filled.
    assert list(vars(Parameter)) == ["__module__", *METHODS, "__dict__",
                                     "__weakref__", "__doc__"], (
        "the tests know the methods from METHODS and DEFINED_AT in "
        "tests/call_matrix.py: list every method of the class there")


@pytest.mark.parametrize("method, varnames, argcount", [
    ("__init__", ("self", "path"), 2),
    ("__getitem__", ("self", "key"), 2),
    ("__setitem__", ("self", "key", "value"), 3),
    ("read_param", ("self", "path", "f", "lines", "l", "key", "value"), 2)])
def test_code_object_describes_the_method(method, varnames, argcount):
    code = vars(Parameter)[method].__code__
    assert (code.co_name, code.co_filename, code.co_varnames,
            code.co_argcount, code.co_nlocals, code.co_firstlineno) == (
        method, SOURCE_FILE, varnames, argcount, len(varnames),
        DEFINED_AT[method])
    flags = CO_OPTIMIZED | CO_NEWLOCALS
    assert (code.co_flags & flags, code.co_kwonlyargcount) == (flags, 0)
    assert code.co_consts in ((), (None,)) and code.co_names == ()
    assert code.co_freevars == code.co_cellvars == ()


def test_code_objects_run_safely(run_python):
    """Function-copying helpers run a method's code object: the interpreter
    refuses an empty one before 3.11, and from 3.11 it has the body of the
    interpreter's own empty code objects, which raises at the definition.
    A monitoring tool can watch it. In a process of its own, as a crash
    would end this one."""
    out = run_json(run_python, """
import sys, traceback
from conftest import METHODS, Parameter
result = []
for method in METHODS:
    code = vars(Parameter)[method].__code__
    try:
        types.FunctionType(code, {})(*range(code.co_argcount))
    except Exception as e:
        result.append([type(e).__name__,
                       traceback.extract_tb(e.__traceback__)[-1].lineno])
    if sys.version_info >= (3, 12):
        m = sys.monitoring
        m.use_tool_id(4, "test")
        m.set_local_events(4, code, m.events.PY_START)
        m.set_local_events(4, code, 0)
        m.free_tool_id(4)
print(json.dumps(result))
""")
    if sys.version_info < (3, 11):
        assert [error for error, _ in out] == ["SystemError"] * len(METHODS)
    else:
        assert out == [["AssertionError", DEFINED_AT[m]] for m in METHODS]


def test_creation_execution_reimport_and_second_interpreter(run_python):
    out = run_json(run_python, f"""
import _imp, warnings
warnings.simplefilter("error", RuntimeWarning)  # no version warning
init = ctypes.PyDLL(importlib.util.find_spec({MODULE!r}).origin).PyInit_param
init.restype = ctypes.c_void_p
create = ctypes.pythonapi.PyModule_FromDefAndSpec2
create.restype = ctypes.py_object
create.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
def make(**spec):
    return create(init(), types.SimpleNamespace(**spec), 1013)
bare = make(name="alt.param", loader=None, submodule_search_locations=None)
full = make(name="x", loader="L", origin="O", parent="P",
            submodule_search_locations=["S"])
out = dict(bare=sorted(vars(bare)), full=[vars(full)[k] for k in (
               "__loader__", "__file__", "__package__", "__path__")],
           run=_imp.exec_dynamic(bare), name=bare.__name__,
           entered=sys.modules[{MODULE!r}] is bare,
           # Once ready, creation hands back the module and reads no spec.
           created=make(name="z", origin="O") is bare,
           has_file=hasattr(bare, "__file__"), rerun=_imp.exec_dynamic(bare))
try:
    _imp.exec_dynamic(full)
except RuntimeError as e:
    out["other"] = [str(e), frames(e.__traceback__), hasattr(full, "np")]
del sys.modules[{MODULE!r}]
out["again"] = importlib.import_module({MODULE!r}) is bare
if sys.version_info >= (3, 13):  # renamed; reports instead of raising
    import _interpreters as subs
    sub = subs.create()
    failure = subs.run_string(sub, "import {MODULE}")
    out["sub"] = f"<class '{{failure.type.__name__}}'>: {{failure.msg}}"
else:
    import _xxsubinterpreters as subs
    sub = subs.create()
    try:
        subs.run_string(sub, "import {MODULE}")
    except subs.RunFailedError as e:
        out["sub"] = str(e)
subs.destroy(sub)
print(json.dumps(out))
""")
    assert out == dict(
        bare=["__doc__", "__loader__", "__name__", "__package__",
              "__spec__"], full=["L", "O", "P", ["S"]], run=0,
        name="alt.param", entered=True, created=True,
        has_file=False, rerun=0, again=True,
        other=["Module 'param' has already been imported. "
               "Re-initialisation is not supported.", [], False],
        sub=f"{ImportError}: " + SUBINTERPRETER_REFUSAL)


# A subinterpreter refuses the module: before 3.12 the module's own check
# of the interpreter does; from 3.12 the interpreter itself does first,
# with its own message, since the module declares no support of several
# interpreters (and the interpreters made here have a GIL of their own).
SUBINTERPRETER_REFUSAL = (
    f"module {MODULE} does not support loading in subinterpreters"
    if sys.version_info >= (3, 12) else
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process.")


REGISTRY = "sys.modules['_korvel_0_29_32']"
SLOTS = (type(Parameter.read_param).__basicsize__ - object.__basicsize__) // 8
SHARED = "TypeError: Shared Korvel type korvel_function_or_method "


@pytest.mark.parametrize("break_it, mend, error, line", [
    ("sys.modules['numpy'] = None", "del sys.modules['numpy']",
     "ModuleNotFoundError: import of numpy halted; None in sys.modules", 1),
    ("sys.modules['pandas'] = None", "del sys.modules['pandas']",
     "ModuleNotFoundError: import of pandas halted; None in sys.modules", 2),
    ("import builtins, fernlake_data.plugins; kept = builtins.open; "
     "del builtins.open", "builtins.open = kept",
     "NameError: name 'open' is not defined", 1),
    # Failures before the namespace exists carry no frame of the module.
    (f"{REGISTRY} = r = types.ModuleType('r'); "
     "r.korvel_function_or_method = 42", f"del {REGISTRY}",
     SHARED + "is not a type object", None),
    (f"{REGISTRY} = r = types.ModuleType('r'); r.korvel_function_or_method "
     "= type('korvel_function_or_method', (), {})", f"del {REGISTRY}",
     SHARED + "has the wrong size, try recompiling", None),
    # A class of the same size made in Python: the collector would crash.
    (f"{REGISTRY} = r = types.ModuleType('r'); r.korvel_function_or_method "
     f"= type('korvel_function_or_method', (), {{'__slots__': "
     f"['s%d' % i for i in range({SLOTS})]}})", f"del {REGISTRY}",
     SHARED + "is not a static type", None)])
def test_failed_import_and_a_later_one_that_runs_in_full(
        run_python, break_it, mend, error, line):
    out = run_json(run_python, f"""
{break_it}
try:
    importlib.import_module({MODULE!r})
except Exception as e:
    failure = e
# Mended first: from 3.13 reading a traceback's lines imports tokenize,
# which needs builtins.open.
{mend}
out = [[f"{{type(failure).__name__}}: {{failure}}",
        frames(failure.__traceback__)]]
m = importlib.import_module({MODULE!r})
out.append([m.np is sys.modules["numpy"], m.pd is sys.modules["pandas"],
            type(m.Parameter.read_param)
            is {REGISTRY}.korvel_function_or_method])
print(json.dumps(out))
""")
    frame = [] if line is None else [[line, INIT]]
    assert out == [[error, frame], [True, True, True]]


def test_builtins_are_looked_up_once(monkeypatch, write_param):
    path, key_error = write_param("a=1\n"), KeyError
    monkeypatch.setattr(builtins, "open", None)
    monkeypatch.setattr(builtins, "KeyError", LookupError)
    p = Parameter(path)
    with pytest.raises(key_error):
        p["b"]
    assert p["a"] == "1"


ALLOCATION_SWEEP = PRELUDE + f"""
import _imp, _testcapi, os, numpy, pandas  # imported before the sweep
from call_matrix import METHODS
spec = importlib.util.find_spec({MODULE!r})

def attempt(n):
    # Fails the n-th allocation of creating and executing the module, then
    # imports it as usual and reports what the working module does.
    _testcapi.set_nomemory(n, n + 1)
    try:
        _imp.exec_dynamic(_imp.create_dynamic(spec))
        failed = None
    except MemoryError as e:
        failed = frames(e.__traceback__)
    finally:
        _testcapi.remove_mem_hooks()
    if failed is not None:
        sys.modules.pop({MODULE!r}, None)
    m = importlib.import_module({MODULE!r})
    p = m.Parameter(os.devnull)
    p["k"] = "v"
    wrong = []
    for name in METHODS:  # each called with no argument at all
        try:
            getattr(m.Parameter, name)()
        except TypeError as e:
            wrong += frames(e.__traceback__)
    return failed, [p["k"], wrong]

out, n, since_failure = [], 0, 0
while since_failure < 40:  # so many successes in a row: all covered
    r, w = os.pipe()
    if os.fork() == 0:
        os.write(w, json.dumps(attempt(n)).encode())
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as pipe:
        out.append(json.loads(pipe.read() or "null"))
    os.wait()
    since_failure = 0 if out[-1] and out[-1][0] is not None else since_failure + 1
    n += 1
print(json.dumps(out))
"""


def test_every_allocation_failure_of_an_import(run_python):
    pytest.importorskip("_testcapi")
    out = json.loads(run_python(ALLOCATION_SWEEP).stdout)
    working = ["v", [[line, f"{MODULE}.Parameter.{name}"]
                     for name, line in DEFINED_AT.items()]]
    if sys.version_info[:3] == (3, 13, 0):
        # 3.13.0 itself corrupts a dictionary when an allocation fails while
        # PyType_Ready fills a static type's dictionary (the module's
        # function type), and the child crashes inside PyType_Ready.
        out = [o for o in out if o is not None]
    # None: the child crashed.
    assert [o and o[1] for o in out if o is None or o[1] != working] == []
    lines = {frame[0] for failed, _ in out if failed for frame in failed}
    assert {1, 7, *DEFINED_AT.values()} <= lines
    assert all(len(failed) <= 1 for failed, _ in out if failed)
