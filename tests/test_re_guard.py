"""The guard of the reader's shortcut of `re` runs no code of a caller's,
leaves no error behind, takes only what it captured at import as re's, and
gives way whenever a monitoring tool could see re's calls: each change of
re in scripts/re_guard_cases.py, made after the import, gives with the module
what it gives with the plain-Python class."""
import json
import sys

import pytest

from conftest import start

# Each case is started at the collection and runs beside the tests before
# it: its test takes the JSON that it printed.
STARTED = {}


def begin(*args, flags=(), fresh=False):
    STARTED[(*flags, *args)] = start(
        *flags, "-m", "scripts.re_guard_cases", *args, fresh=fresh)


def run_case(*args, flags=(), fresh=False):
    """The JSON that a case of scripts/re_guard_cases.py printed."""
    if (*flags, *args) not in STARTED:
        begin(*args, flags=flags, fresh=fresh)
    return json.loads(STARTED.pop((*flags, *args))().stdout.splitlines()[-1])


SPLIT_SENTINEL = pytest.mark.skipif(
    sys.version_info < (3, 13),
    reason="split's defaults are a sentinel object from 3.13")
MONITORING = pytest.mark.skipif(sys.version_info < (3, 12),
                                reason="sys.monitoring came with 3.12")


def case(*args, marks=()):
    return pytest.param(args, marks=marks)


# The cases that compare one read (or a few) with each class; those of
# monitoring compare one for each tool id, 0 to 5.
ALIKE = {
    "pattern_text_frees_cache": case("pattern_text_frees_cache"),
    "large_search_default": case("large_default", "search"),
    "large_split_default": case("large_default", "split"),
    "surrogate_in_code": case("surrogate_in_code"),
    "sentinel_class_getattribute": case(
        "sentinel_class_getattribute", marks=SPLIT_SENTINEL),
    "sentinel_class_answers_regex_flag": case(
        "sentinel_class_answers_regex_flag", marks=SPLIT_SENTINEL),
    "search_with_own_globals": case("search_with_own_globals"),
    "regex_flag_is_int": case("regex_flag_is_int"),
    "cached_object_no_pattern": case("cached_object_no_pattern"),
    "namespace_key_hashing_as_re": case("namespace_key_hashing_as_re"),
    "events_set_by_a_lines_generator": case(
        "events_set_by_a_lines_generator", marks=MONITORING),
}
PER_TOOL = ["global_events_of_every_tool", "local_events_of_every_tool"]


@pytest.mark.parametrize("args", ALIKE.values(), ids=ALIKE)
def test_the_module_reads_as_plain_python(args):
    plain, native = run_case(*args)
    assert native == plain


@MONITORING
@pytest.mark.parametrize("name", PER_TOOL)
def test_a_tool_of_each_id_sees_re_called(name):
    for plain, native in run_case(name):  # tool ids 0 to 5
        assert native == plain and plain[1]


def test_bytes_key_of_the_cache_warns_as_plain_python():
    (plain, plain_warnings), (native, native_warnings) = run_case(
        "bytes_key_in_cache", flags=("-b",), fresh=True)
    assert native == plain and native_warnings == plain_warnings
    # A warning (at least) at each re.search: each line of the file.
    assert len(plain_warnings) >= 3


@pytest.mark.skipif(sys.version_info < (3, 12),
                    reason="sys.monitoring came with 3.12")
def test_events_set_by_a_signal_handler_are_seen_from_there_on():
    result = run_case("local_events_set_by_a_signal_handler")
    reached = [r for r in result if r[0] is not None]
    assert reached, "the handler ran at no line of a read"
    for at, searches, count in reached:
        # The handler ran at the signal check of line `at + 1`, or, where
        # re's functions run as interpreted code (the general path), inside
        # that line's call of re.search, which then began unseen.
        assert count - at - 1 <= searches <= count - at


for case in ALIKE.values():
    if not any(mark.args[0] for mark in case.marks):  # those that run here
        begin(*case.values[0])
if sys.version_info >= (3, 12):
    for name in PER_TOOL:
        begin(name)
begin("bytes_key_in_cache", flags=("-b",), fresh=True)
