"""Reference counts stay put over many calls of every method, on success
and on each kind of failure."""
import builtins
import gc
import os
import sys

import pytest

from conftest import Parameter, param

METHODS = [Parameter.__dict__[name] for name in
           ("__init__", "__getitem__", "__setitem__", "read_param")]
SHARED = (Parameter, *METHODS, *(f.__code__ for f in METHODS), param.re,
          builtins.open, KeyError, None)


def assert_steady(error, func, *args, **kwargs):
    """Calls `func` many times while an exception is handled: each call
    fails with `error` (or succeeds if None) and puts the handled exception
    back, and no count of the arguments, the bound object or the module's
    shared objects drifts."""
    handled = LookupError()

    def action():
        try:
            raise handled.with_traceback(None)  # not growing one
        except LookupError:
            try:
                func(*args, **kwargs)
                raised = None
            except error or ():
                raised = error
            # (A plain assert here drifts None under pytest's rewrite.)
            if raised is not error or sys.exc_info()[1] is not handled:
                raise AssertionError(raised, sys.exc_info())
    watched = (handled, getattr(func, "__self__", func), *args,
               *kwargs.values(), *SHARED)
    counts = []
    for n in (20, 200):
        for _ in range(n):
            action()
        gc.collect()
        counts.append([sys.getrefcount(o) for o in watched])
    moved = [(o, a - b) for o, b, a in zip(watched, *counts) if a != b]
    # None also moves with unrelated work: only a drift per call counts.
    assert [m for m in moved if m[0] is not None or abs(m[1]) >= 200] == []


@pytest.fixture
def env(write_param):
    p = Parameter(write_param("a=1\n  # c\n\nb = 2\n"))
    p["key"] = value = object()
    sub = Sub(p.path)  # takes the general paths the shortcuts skip
    sub["key"] = value
    return dict(p=p, sub=sub, value=value, good=p.path, key="key",
                absent="absent",
                list=[1], dict={}, no_eq=write_param("a=1\nlonely\n"),
                two_eq=write_param("a=1\nx=y=z\n"),
                undecodable=write_param(b"a=1\n\xff\n"),
                missing=p.path + ".absent")


# name: (expected exception or None, function or name of a method bound
# to `p`, arguments): each argument names an entry of `env`; "k=name" passes
# it by keyword.
INIT, GET, SET, READ = METHODS
class Sub(Parameter):
    pass


CASES = {
    "construct": (None, Parameter, "good"),
    "construct_subclass": (None, Sub, "good"),
    "get_subclass": (None, GET, "sub", "key"),
    "set_subclass": (None, SET, "sub", "key", "value"),
    "missing_key_subclass": (KeyError, GET, "sub", "absent"),
    "construct_by_keyword": (None, Parameter, "path=good"),
    "read_again": (None, "read_param", "good"),
    "read_into_dict": (None, READ, "dict", "good"),
    "get": (None, "__getitem__", "key"),
    "set_by_keyword": (None, SET, "self=p", "key=key", "value=value"),
    "init_no_path": (TypeError, Parameter),
    "init_two_paths": (TypeError, Parameter, "good", "good"),
    "init_repeated": (TypeError, Parameter, "good", "path=good"),
    "init_unexpected": (TypeError, Parameter, "path=good", "extra=value"),
    "get_no_self": (TypeError, GET, "key=key"),
    "get_repeated_self": (TypeError, "__getitem__", "key", "self=p"),
    "set_missing_key": (TypeError, SET, "self=p", "value=value"),
    "read_one_argument": (TypeError, READ, "p"),
    "missing_key": (KeyError, "__getitem__", "absent"),
    "unhashable_get": (TypeError, "__getitem__", "list"),
    "unhashable_set": (TypeError, "__setitem__", "list", "value"),
    "missing_file": (FileNotFoundError, "read_param", "missing"),
    "no_equals": (ValueError, "read_param", "no_eq"),
    "two_equals": (ValueError, Parameter, "two_eq"),
    "undecodable": (UnicodeDecodeError, "read_param", "undecodable"),
    "no_item_assignment": (TypeError, READ, "value", "good"),
}


@pytest.mark.parametrize("name", CASES)
def test_steady(env, name):
    error, func, *names = CASES[name]
    if isinstance(func, str):
        func = getattr(env["p"], func)
    keywords = dict(n.split("=") for n in names if "=" in n)
    assert_steady(error, func, *(env[n] for n in names if "=" not in n),
                  **{k: env[n] for k, n in keywords.items()})


def test_steady_through_misbehaving_file(env, run_python):
    """The smoke script wraps `open` before it imports the module, which
    keeps the `open` it finds, so this runs in a fresh interpreter."""
    good, bad = env["good"], env["no_eq"]
    run_python(f"""
        import valgrind_smoke as smoke, test_refcounts as t
        t.SHARED += (smoke.Leaving,)
        for smoke.leaving[0], path, error in [
                ("enter", {good!r}, OSError), ("exit", {good!r}, OSError),
                ("exit", {bad!r}, OSError), ("suppress", {bad!r}, None)]:
            t.assert_steady(error, smoke.Parameter, path)
    """, cwd=os.path.dirname(os.path.abspath(__file__)))
