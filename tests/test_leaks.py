"""No call leaks memory or references inside itself: every kind of call,
failing ones included, runs many times, and neither the memory the
interpreter traces nor the references to the code objects of the module's
traceback entries grow."""
import gc
import sys
import tracemalloc
import traceback

from conftest import Parameter, SOURCE_FILE
from model import ModelParameter

ROUNDS, WARM_UP = 3000, 300
# Traced growth left after the rounds, in bytes: a leak of one small object
# per round already exceeds it many times over.
ALLOWED_GROWTH = 32 * 1024


def calls(Parameter, files):
    """One call of each kind on the class `Parameter`, as (exception
    expected or None, call)."""
    p = Parameter(files["good"])
    keyed = {"self": p, "key": "k", "value": "v"}
    # A subclass takes the general paths that the shortcuts skip.
    sub = type("Sub", (Parameter,), {})
    s = sub(files["good"])
    return [
        (None, lambda: sub(files["good"])),
        (None, lambda: s["site"]),
        (None, lambda: s.__setitem__("k", "v")),
        (KeyError, lambda: s["absent"]),
        (ValueError, lambda: s.read_param(files["no_eq"])),
        (None, lambda: Parameter(files["good"])),
        (None, lambda: p.read_param(files["good"])),
        (None, lambda: Parameter.read_param({}, files["good"])),
        (None, lambda: p["site"]),
        (None, lambda: p.__setitem__("k", "v")),
        (None, lambda: Parameter.__setitem__(**keyed)),
        (KeyError, lambda: p["absent"]),
        (TypeError, lambda: p[[]]),
        (TypeError, lambda: p.__setitem__([], 1)),
        (TypeError, Parameter),
        (TypeError, lambda: Parameter(path="a", extra=1)),
        (TypeError, lambda: Parameter.__getitem__(key="k")),
        (TypeError, lambda: Parameter.read_param(p)),
        (TypeError, lambda: Parameter.read_param((), files["good"])),
        (ValueError, lambda: Parameter(files["no_eq"])),
        (ValueError, lambda: p.read_param(files["two_eq"])),
        (UnicodeDecodeError, lambda: p.read_param(files["undecodable"])),
        (FileNotFoundError, lambda: Parameter(files["good"] + ".absent")),
    ]


def run(kinds, rounds):
    for _ in range(rounds):
        for error, call in kinds:
            try:
                call()
            except error or ():
                pass


def traced_growth(kinds):
    """Traced memory left after many rounds of `kinds`, once warm."""
    run(kinds, WARM_UP)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(kinds, ROUNDS)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def entry_codes(kinds):
    """The code objects of the module's traceback entries of each failure."""
    codes = []
    for error, call in kinds:
        try:
            call()
        except error or () as e:
            codes += [frame.f_code for frame, _ in
                      traceback.walk_tb(e.__traceback__)
                      if frame.f_code.co_filename == SOURCE_FILE]
    return codes


def test_calls_leak_nothing(write_param):
    files = dict(
        good=write_param("# survey\nsite=north\n\n  count = 12 \nk=v\n"),
        no_eq=write_param("a=1\n# c\nlonely\n"),
        two_eq=write_param("a=1\nx=y=z\n"),
        undecodable=write_param(b"a=1\n\xff\n"))
    # The same calls of the plain-Python class show what the interpreter
    # itself keeps (more under the sanitizers' allocator than without).
    baseline = traced_growth(calls(ModelParameter, files))
    kinds = calls(Parameter, files)
    codes = entry_codes(kinds)
    run(kinds, WARM_UP)
    references = [sys.getrefcount(code) for code in codes]
    assert traced_growth(kinds) < max(baseline, 0) + ALLOWED_GROWTH
    assert [sys.getrefcount(code) for code in codes] == references
