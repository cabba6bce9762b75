"""Reference counts stay put over many calls of every method, on success
and on each kind of failure."""
import builtins
import gc
import sys

import pytest

from call_matrix import calls, write_files
from conftest import METHODS, Parameter, param

FUNCTIONS = [vars(Parameter)[name] for name in METHODS]
SHARED = (Parameter, *FUNCTIONS, *(f.__code__ for f in FUNCTIONS), param.re,
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
    touched = (getattr(func, "__self__", func), *args, *kwargs.values())
    # The instance dictionaries that the calls read and write, which hold
    # the same references before and after.
    stores = tuple(vars(o) for o in touched if isinstance(o, Parameter))
    watched = (handled, *touched, *stores, *SHARED)
    counts = []
    gc.freeze()  # the collections below look at what the calls made only
    try:
        for n in (20, 200):
            for _ in range(n):
                action()
            gc.collect()
            counts.append([sys.getrefcount(o) for o in watched])
    finally:
        gc.unfreeze()
    moved = [(o, a - b) for o, b, a in zip(watched, *counts) if a != b]
    # None also moves with unrelated work: only a drift per call counts.
    assert [m for m in moved if m[0] is not None or abs(m[1]) >= 200] == []


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    return write_files(str(tmp_path_factory.mktemp("matrix")))


def test_steady(paths):
    for call in calls(Parameter, paths):
        try:
            assert_steady(call.error, call.func, *call.args, **call.kwargs)
        except AssertionError as e:
            raise AssertionError(call.name) from e


def test_steady_through_misbehaving_file(paths, run_python):
    """The smoke script wraps `open` before it imports the module, which
    keeps the `open` it finds, so this runs in a fresh interpreter."""
    good, bad = paths["good"], paths["no_eq"]
    run_python(f"""
        import valgrind_smoke as smoke, test_refcounts as t
        t.SHARED += (smoke.Leaving,)
        for smoke.leaving[0], path, error in [
                ("enter", {good!r}, OSError), ("exit", {good!r}, OSError),
                ("exit", {bad!r}, OSError), ("suppress", {bad!r}, None)]:
            t.assert_steady(error, smoke.Parameter, path)
    """)
