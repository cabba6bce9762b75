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

from conftest import (DEFINED_AT, METHODS, SOURCE_FILE, Parameter, param,
                      script, start)

MODULE = "fernlake_data.plugins.param"
INIT = "init " + MODULE

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


def test_code_objects_run_safely():
    """Function-copying helpers run a method's code object: the interpreter
    refuses an empty one before 3.11, and from 3.11 it has the body of the
    interpreter's own empty code objects, which raises at the definition.
    A monitoring tool can watch it. In a process of its own, as a crash
    would end this one."""
    out = json.loads(script("code_objects").stdout)
    if sys.version_info < (3, 11):
        assert [error for error, _ in out] == ["SystemError"] * len(METHODS)
    else:
        assert out == [["AssertionError", DEFINED_AT[m]] for m in METHODS]


def test_creation_execution_reimport_and_second_interpreter():
    out = json.loads(script("module_creation").stdout)
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


# Numpy or pandas kept from the import need an interpreter that has not
# imported them yet.
FAILED_IMPORTS = [
    ("sys.modules['numpy'] = None", "del sys.modules['numpy']",
     "ModuleNotFoundError: import of numpy halted; None in sys.modules", 1,
     True),
    ("sys.modules['pandas'] = None", "del sys.modules['pandas']",
     "ModuleNotFoundError: import of pandas halted; None in sys.modules", 2,
     True),
    ("import builtins, fernlake_data.plugins; kept = builtins.open; "
     "del builtins.open", "builtins.open = kept",
     "NameError: name 'open' is not defined", 1, False),
    # Failures before the namespace exists carry no frame of the module.
    (f"{REGISTRY} = r = types.ModuleType('r'); "
     "r.korvel_function_or_method = 42", f"del {REGISTRY}",
     SHARED + "is not a type object", None, False),
    (f"{REGISTRY} = r = types.ModuleType('r'); r.korvel_function_or_method "
     "= type('korvel_function_or_method', (), {})", f"del {REGISTRY}",
     SHARED + "has the wrong size, try recompiling", None, False),
    # A class of the same size made in Python: the collector would crash.
    (f"{REGISTRY} = r = types.ModuleType('r'); r.korvel_function_or_method "
     f"= type('korvel_function_or_method', (), {{'__slots__': "
     f"['s%d' % i for i in range({SLOTS})]}})", f"del {REGISTRY}",
     SHARED + "is not a static type", None, False)]
# Started at the collection, they run beside the tests before them.
RUNS = {c[0]: start("-m", "scripts.failed_import", *c[:2], fresh=c[4])
        for c in FAILED_IMPORTS}


@pytest.mark.parametrize("break_it, mend, error, line, fresh",
                         FAILED_IMPORTS)
def test_failed_import_and_a_later_one_that_runs_in_full(
        break_it, mend, error, line, fresh):
    out = json.loads(RUNS[break_it]().stdout)
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


# Long: started at the collection, it runs beside the tests before it.
SWEEP = start("-m", "scripts.import_allocation_sweep", check=False)


def test_every_allocation_failure_of_an_import():
    pytest.importorskip("_testcapi")
    out = json.loads(SWEEP().stdout)
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
