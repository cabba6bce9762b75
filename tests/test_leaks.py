"""No call leaks memory or references inside itself: every kind of call,
failing ones included, runs many times, and neither the memory the
interpreter traces nor the references to the code objects of the module's
traceback entries grow."""
import gc
import sys
import tracemalloc
import traceback

from call_matrix import calls, write_files
from conftest import Parameter, SOURCE_FILE
from model import ModelParameter

ROUNDS, WARM_UP = 1000, 100
# Traced growth left after the rounds, in bytes: a leak of one small object
# per round already exceeds it many times over.
ALLOWED_GROWTH = 32 * 1024


def run(kinds, rounds):
    for _ in range(rounds):
        for call in kinds:
            call.run()


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
    for call in kinds:
        try:
            call.func(*call.args, **call.kwargs)
        except call.error or () as e:
            codes += [frame.f_code for frame, _ in
                      traceback.walk_tb(e.__traceback__)
                      if frame.f_code.co_filename == SOURCE_FILE]
    return codes


def test_calls_leak_nothing(tmp_path):
    gc.freeze()  # the collections look at what the calls made only
    try:
        check_calls(write_files(str(tmp_path)))
    finally:
        gc.unfreeze()


def check_calls(paths):
    # The same calls of the plain-Python class show what the interpreter
    # itself keeps (more under the sanitizers' allocator than without).
    baseline = traced_growth(calls(ModelParameter, paths))
    kinds = calls(Parameter, paths)
    codes = entry_codes(kinds)
    run(kinds, WARM_UP)
    references = [sys.getrefcount(code) for code in codes]
    assert traced_growth(kinds) < max(baseline, 0) + ALLOWED_GROWTH
    assert [sys.getrefcount(code) for code in codes] == references
