"""The shortcuts change nothing a caller can observe: with every guard
tripped, the general path gives the same stores, exceptions and traceback
entries; each replacement that trips a guard is what then runs; and once
the original is back, the results are right again."""
import builtins
import functools
import json
import os
import re
import sys
import tempfile
import types

import pytest

from conftest import (SHORTCUT_NAMES, SHORTCUTS, METHODS, Parameter,
                      module_frames, qualified, script, start)
from model import ModelParameter

READ = qualified("read_param")

# Long: started at the collection, it runs beside the tests before it.
GENERATED = tempfile.TemporaryDirectory()
GENERAL_PATH = start("-m", "scripts.general_path_agrees", GENERATED.name)


def test_shortcuts_and_general_path_agree():
    assert GENERAL_PATH().stdout.split() == ["same"]


def read(path):
    return {k: v for k, v in vars(Parameter(path)).items() if k != "path"}


TEXT = "# c\nk=v\n"
STORED = {"k": "v"}


def recording(target, name):
    """`target.name` replaced by a wrapper that sees its calls."""
    def change(m, seen):
        original = getattr(target, name)
        m.setattr(target, name,
                  lambda *a: seen.append((name, *a)) or original(*a),
                  raising=False)
    return change


def shadowing(name):
    """A name of re's namespace that shadows the builtin `name`, whose calls
    are seen."""
    def change(m, seen):
        real = getattr(builtins, name)
        m.setattr(re, name, lambda *a: seen.append(a) or real(*a),
                  raising=False)
    return change


def recorded_flag_class(m, seen):
    """re.RegexFlag replaced by a class whose instance checks are seen."""
    class Recorded(type):
        def __instancecheck__(cls, instance):
            seen.append(instance)
            return False
    m.setattr(re, "RegexFlag", Recorded("Flag", (), {}))


def flag_metaclass_check(m, seen):
    """An instance check of its own on the class of re.RegexFlag, changed
    in place, whose calls are seen."""
    def check(cls, instance):
        seen.append(instance)
        return type.__instancecheck__(cls, instance)
    m.setattr(type(re.RegexFlag), "__instancecheck__", check)


def builtins_of_re(m, seen):
    """re's namespace given builtins of its own, whose isinstance is
    seen."""
    def isinstance_(*args):
        seen.append(args)
        return isinstance(*args)
    m.setitem(vars(re), "__builtins__",
              dict(vars(builtins), isinstance=isinstance_))


def nothing_is_a_comment(pattern, string, flags=0):
    return None


def k_is_the_comment(pattern, flags):
    return sre_compile.compile(  # noqa: F821 - run with re's globals
        "^k" if pattern == "^#" else pattern, flags)


def k_is_the_comment_311(pattern, flags):
    return _compiler.compile(  # noqa: F821 - run with re's globals
        "^k" if pattern == "^#" else pattern, flags)


# What re's functions reach differs by version: from 3.11 re is a package
# whose compiler is re._compiler (sre_compile before); from 3.12 _compile
# looks a pattern up in _cache2 before _cache; from 3.13 split's maxsplit
# and flags are keyword-only, with their defaults in __kwdefaults__.
COMPILER_311 = sys.version_info >= (3, 11)
FIRST_CACHE = "_cache2" if sys.version_info >= (3, 12) else "_cache"
CACHES = ("_cache", FIRST_CACHE) if FIRST_CACHE != "_cache" else ("_cache",)


def split_once(m, seen):
    if sys.version_info >= (3, 13):
        m.setattr(re.split, "__kwdefaults__", {"maxsplit": 1, "flags": 0})
    else:
        m.setattr(re.split, "__defaults__", (1, 0))


def split_keyword_default(m, seen):
    """Changed in place, where the defaults are keyword-only."""
    if not isinstance(re.split.__kwdefaults__, dict):
        pytest.skip("re.split has keyword-only defaults from 3.13")
    m.setitem(re.split.__kwdefaults__, "maxsplit", 1)


def empty_caches(m, seen):
    for cache in CACHES:
        m.setattr(re, cache, {})


def colliding_cache_key(m, seen):
    """A key of re's cache whose hash is the comment pattern's and whose
    comparison is Python code, probed before the pattern's own key."""
    class Colliding(tuple):
        def __hash__(self):
            return hash((str, "^#", 0))

        def __eq__(self, other):
            seen.append(other)
            return False
    cache = getattr(re, FIRST_CACHE)
    for key in list(cache):
        m.delitem(cache, key)
    m.setitem(cache, Colliding(), None)
    re.search("^#", ""), re.split("=", "")  # cached again


def compiled_in_disguise(text, code_of, extra_groups=0):
    """A compiled pattern that shows `text`, with the flags re gives it, but
    runs the compiled code of the pattern `code_of` and has `extra_groups`
    more groups than that pattern (a number that pattern equality leaves
    out)."""
    import _sre
    compiler = getattr(re, "_compiler", None) or sys.modules["sre_compile"]
    parser = getattr(re, "_parser", None) or sys.modules["sre_parse"]
    parsed = parser.parse(code_of, 0)
    groups = parsed.state.groups + extra_groups
    return _sre.compile(text, re.compile(text).flags,
                        compiler._code(parsed, 0), groups - 1, {},
                        (None,) * groups)


def cached(pattern, text="^#"):
    """A cached `text` that is `pattern`."""
    def change(m, seen):
        for cache in CACHES:
            m.setitem(getattr(re, cache), (str, text, 0), pattern())
    return change


class Flags(int):
    """re's flags 0 as an instance of an int subclass: re caches a pattern
    compiled with them under a key that holds that instance."""


class RaisingFlags(Flags):
    __hash__ = int.__hash__

    def __eq__(self, other):
        raise ArithmeticError("compared")


def read_once():
    """A read of a setting line, which checks re's state while it is
    unchanged: what changes next is a change since that check."""
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "one.param")
        with open(path, "w") as f:
            f.write("k=v\n")
        Parameter.read_param({}, path)


def flags_in_key_reclassed(m, seen):
    """The flags object of the cached patterns' keys gets, by `__class__`
    assignment, a class whose comparison raises."""
    flags = Flags()
    for cache in CACHES:
        for key in list(getattr(re, cache)):
            m.delitem(getattr(re, cache), key)
    re.search("^#", "", flags), re.split("=", "", flags=flags)
    read_once()
    m.setattr(flags, "__class__", RaisingFlags)


def sentinel_reclassed(m, seen):
    """re's default flags object of split, made by `__class__` assignment a
    RegexFlag, whose value it then lacks."""
    if not hasattr(re, "_zero_sentinel"):
        pytest.skip("split's defaults are plain ints before 3.13")
    read_once()
    m.setattr(re._zero_sentinel, "__class__", re.RegexFlag)


# Each change of re, and whether plain Python shows it in what a read
# stores, raises or lets the change see.
CHANGES = {
    "search_recorded": (recording(re, "search"), True),
    "split_recorded": (recording(re, "split"), True),
    "compile_recorded": (recording(re, "_compile"), True),
    "isinstance_recorded": (recording(builtins, "isinstance"), True),
    "type_recorded": (recording(builtins, "type"), True),
    "isinstance_shadowed": (shadowing("isinstance"), True),
    "type_shadowed": (shadowing("type"), True),
    "flag_class": (recorded_flag_class, True),
    "flag_metaclass_check": (flag_metaclass_check, True),
    # Functions take their builtins from their globals when called before
    # 3.10, and keep those of their creation from 3.10.
    "builtins_of_re": (builtins_of_re, sys.version_info < (3, 10)),
    "search_code": (lambda m, seen: m.setattr(
        re.search, "__code__", nothing_is_a_comment.__code__), True),
    "compile_code": (lambda m, seen: m.setattr(re._compile, "__code__", (
        k_is_the_comment_311 if COMPILER_311 else k_is_the_comment
    ).__code__), True),
    "split_defaults": (split_once, True),
    "split_keyword_default": (split_keyword_default, True),
    "other_cached_pattern": (cached(lambda: re.compile("^k")), True),
    # Compiled code that only a comparison of patterns tells apart.
    "cached_pattern_in_disguise": (
        cached(lambda: compiled_in_disguise("^#", "")), True),
    "colliding_cache_key": (colliding_cache_key, True),
    "cached_pattern_with_a_group": (
        cached(lambda: compiled_in_disguise("=", "=", 1), "="), True),
    "flags_in_key_reclassed": (flags_in_key_reclassed, True),
    "sentinel_reclassed": (sentinel_reclassed, True),
    # The general path compiles anew and caches where re now caches.
    "caches_replaced": (empty_caches, False),
    "caches_purged": (lambda m, seen: re.purge(), False),
}


@pytest.mark.parametrize("change, shows", CHANGES.values(), ids=CHANGES)
def test_a_change_of_re_shows_as_in_plain_python(write_param, monkeypatch,
                                                 change, shows):
    """With re changed, a read stores, fails, calls what re's functions see
    and leaves re's caches as the plain class does; once re is as before,
    so are the reads."""
    path, seen = write_param("# c\nk=v\na=b=c\n"), []

    def read(cls):
        p, error = cls.__new__(cls), None
        try:
            p.__init__(path)
        except Exception as e:
            error = e.__class__.__name__, e.args
        # Which patterns are cached, found without comparing keys' flags.
        return (vars(p), error, list(seen),
                [any(k[:2] == (str, pattern) for k in getattr(re, cache))
                 for cache in CACHES for pattern in ("^#", "=")])
    unchanged = read(ModelParameter)  # both patterns compiled and cached
    results = []
    for cls in (ModelParameter, Parameter):
        with monkeypatch.context() as m:
            change(m, seen)
            seen.clear()
            results.append(read(cls))
            seen.clear()
    if change is CHANGES["cached_pattern_in_disguise"][0] \
            and results[0] == unchanged:
        pytest.skip("re of this version takes no compiled pattern from a "
                    "cache entry")
    assert results[1] == results[0]
    assert (results[0] != unchanged) == shows
    assert read(Parameter) == unchanged


def test_another_module_in_the_place_of_re(write_param, monkeypatch):
    """A module of the caller's bound as the global `re` is what the reads
    call, as for the plain class with its global `re` rebound alike."""
    import model
    from fernlake_data.plugins import param
    path, seen = write_param(TEXT), []
    other = types.ModuleType("re")
    other.search = lambda *a: seen.append(a) or re.search(*a)
    other.split = lambda *a: seen.append(a) or re.split(*a)
    results = []
    for cls, module in ((ModelParameter, model), (Parameter, param)):
        with monkeypatch.context() as m:
            m.setattr(module, "re", other)
            seen.clear()
            results.append((vars(cls(path)), list(seen)))
    assert results[0] == results[1] and len(seen) == 3


def test_recording_module_class_and_tracing(write_param, monkeypatch):
    path, seen = write_param(TEXT), []

    class Recording(types.ModuleType):
        def __getattribute__(self, name):
            seen.append(name)
            return super().__getattribute__(name)
    monkeypatch.setattr(re, "__class__", Recording)
    assert read(path) == STORED and seen == ["search", "search", "split"]
    monkeypatch.undo()
    events = []
    sys.setprofile(lambda frame, event, arg: events.append(
        (event, frame.f_code.co_name)))
    try:
        assert read(path) == STORED
    finally:
        sys.setprofile(None)
    assert ("call", "search") in events and ("call", "_compile") in events


def test_re_replaced_before_the_first_import_or_reloaded(run_python):
    out = run_python("""
        import importlib, re, sys, tempfile
        seen, search = [], re.search
        re.search = lambda *a: seen.append(a) or search(*a)
        from fernlake_data.plugins.param import Parameter
        path = tempfile.mktemp()
        open(path, "w").write("# c\\nk=v\\n")
        Parameter(path)
        re.search = search
        print(seen == [("^#", "# c"), ("^#", "k=v")], Parameter(path)["k"])
        importlib.reload(re)
        print(Parameter(path)["k"])
    """)
    assert out.stdout.split() == ["True", "v", "v"]


def outcomes_near_the_limit(call):
    """What `call` gives at each depth near the recursion limit, up to the
    depth where the recursion to it fails first."""
    def at_depth(n):
        if n:
            return at_depth(n - 1)
        try:
            call()
            return None
        except Exception as e:
            return e
    depth, frame = 0, sys._getframe()
    while frame:
        depth, frame = depth + 1, frame.f_back
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(depth + 60)
    raised = []
    try:
        for n in range(30, 60):
            raised.append(at_depth(n))
    except RecursionError:
        pass  # too deep to reach the call
    finally:
        sys.setrecursionlimit(limit)
    return [e and (type(e).__name__, str(e), module_frames(e.__traceback__))
            for e in raised]


def test_deep_recursion_fails_alike(write_param, monkeypatch):
    path = write_param(TEXT * 5)
    p, sub = Parameter(path), type("Sub", (Parameter,), {})(path)
    # A dict of its own class, whose keys() is called as it is.
    sub.__dict__ = type("Store", (dict,), {})(vars(sub))
    plain = [outcomes_near_the_limit(lambda: Parameter(path)),
             outcomes_near_the_limit(lambda: p["k"]),
             outcomes_near_the_limit(lambda: p.__setitem__("k", "v"))]
    # Equal defaults, another tuple: the general path at the same depth.
    monkeypatch.setattr(re.search, "__defaults__", (0,))
    general = [outcomes_near_the_limit(lambda: type(sub)(path)),
               outcomes_near_the_limit(lambda: sub["k"]),
               outcomes_near_the_limit(lambda: sub.__setitem__("k", "v"))]
    assert plain == general
    # Each call is tried where it works and where the limit stops it.
    assert all(None in o and {e and e[0] for e in o} == {None, "RecursionError"}
               for o in plain)


def outcomes_near_the_native_limit(call):
    """What `call` gives at each depth near the limit of nested native
    calls, which from 3.12 is apart from the recursion limit (each level
    enters the evaluation loop anew from a native call), up to the depth
    where the recursion to it fails first."""
    def at_depth(n):
        if n:
            return functools.partial(at_depth, n - 1)()
        try:
            call()
            return None
        except Exception as e:
            return e

    def attempt(n):
        try:
            return at_depth(n)
        except RecursionError:
            return "too deep to reach the call"
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(1_000_000)  # the native limit comes first
    try:
        start = 0
        while not isinstance(attempt(start + 64), str):
            start += 64
        raised = [attempt(n) for n in range(start, start + 64)]
    finally:
        sys.setrecursionlimit(limit)
    return [e and (type(e).__name__, str(e), module_frames(e.__traceback__))
            for e in raised if not isinstance(e, str)]


@pytest.mark.parametrize("native", [False, True], ids=["frames", "native"])
def test_deep_recursion_in_a_read(run_python, native):
    """Near the recursion limit, or (from 3.12, where they have one of their
    own) near the limit of nested native calls, a read fails where the
    general path fails: the shortcuts run only where the real calls would
    not fail. A file object of C methods only, so that near the limit the
    read gets as far as the uses of re, which go deeper than anything
    before them."""
    if native and sys.version_info < (3, 12):
        pytest.skip("native calls have a limit of their own from 3.12")
    near = "outcomes_near_the_native_limit" if native else (
        "outcomes_near_the_limit")
    out = run_python(f"""
        import io, re
        from own_open import Parameter
        from test_shortcuts import TEXT, {near} as near
        opened = lambda mode: io.StringIO(TEXT * 3)
        plain = near(lambda: Parameter(opened))
        re.search.__defaults__ = (0,)
        general = near(lambda: Parameter(opened))
        print(plain == general,
              sorted({{f[0] for o in plain if o for f in o[2]}}))
    """, fresh=native)  # where the native limit falls depends on the stack
    # From 3.12 the limit counts frames of interpreted code alone: the uses
    # of re nest no deeper in such frames than the two functions that
    # open() runs, so that limit is always met there first. From 3.15 a
    # call with *args takes no frame more than the function it calls, and
    # the uses of re go deeper again. Native calls nest deeper in the uses
    # of re, but on 3.12, which counts the calls into interpreted code as
    # native ones too. From 3.14 the native limit is a measure of the
    # machine stack, and a level of the recursion takes more of it than
    # the steps of a read beyond open() take: which of them a depth stops
    # depends on where the stack begins and on the build.
    at_open = (3, 12) <= sys.version_info < (3, 15) and not native or (
        native and sys.version_info[:2] == (3, 12))
    lines = "[10, 21]" if at_open else "[10, 21, 25]"
    alike, stopped = out.stdout.split("\n")[0].split(" ", 1)
    assert alike == "True"
    if native and sys.version_info >= (3, 14):
        # Any line of the read that calls something may meet it.
        assert {10, 21} <= set(json.loads(stopped)) <= {10, *range(21, 30)}
    else:
        assert stopped == lines


def test_lines_that_are_no_plain_str(run_python):
    out = run_python("""
        from own_open import Parameter
        from differential_scenarios import lines_of_str_subclasses
        seen = []
        Lines = lines_of_str_subclasses(seen)
        p = Parameter(lambda mode: Lines("# c\\nk=v \\n"))
        print(seen == [("str", "# c\\n"), ("strip", "# c\\n"),
                       ("str", "k=v \\n"), ("strip", "k=v \\n")], p["k"])
    """)
    assert out.stdout.split() == ["True", "v"]


def test_signal_during_the_read_surfaces_at_the_first_line():
    # The first check for a signal is str() of the first line, with or
    # without the shortcuts.
    out = script("signal_while_lines_are_made")
    assert out.stdout.split("\n")[:2] == ["[10, 21, 24]"] * 2


def test_class_methods_reassigned_and_restored(write_param, monkeypatch):
    path, seen = write_param(TEXT), []
    p = Parameter(path)
    for name in METHODS:
        recording(Parameter, name)(monkeypatch, seen)
    p["x"] = 1
    assert p["x"] == 1 and Parameter(path)["k"] == "v"
    assert [c[0] for c in seen] == [
        "__setitem__", "__getitem__", "__init__", "read_param",
        "__setitem__", "__getitem__"]
    monkeypatch.undo()
    p["y"] = 2
    assert p["y"] == 2 and Parameter(path)["k"] == "v"
    with pytest.raises(AttributeError, match="__delitem__"):
        del p["y"]
    # Another function of the module in the place of read_param runs.
    monkeypatch.setattr(Parameter, "read_param",
                        vars(Parameter)["__getitem__"])
    with pytest.raises(KeyError) as info:
        Parameter(path)
    assert module_frames(info.tb) == [(10, qualified("__init__")),
                                      (14, qualified("__getitem__"))]
    monkeypatch.undo()
    recording(Parameter, "__getattribute__")(monkeypatch, seen)
    assert p["y"] == 2 and [c[0] for c in seen[-2:]] == [
        "__getattribute__", "__getattribute__"]


def test_keys_running_code_are_called_alike(write_param):
    counts = json.loads(script("keys_running_code", write_param(TEXT)).stdout)
    assert counts[0] == counts[1] and counts[0]["hash"] > 0


def test_dictionary_replaced_during_the_membership_test(write_param):
    results = []
    for cls in (Parameter, type("Sub", (Parameter,), {})):
        p = cls(write_param(TEXT))

        class Swap(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                p.__dict__ = {"k": "new"}
                return str.__eq__(self, other)
        p.__dict__ = {"k": "old", Swap("k"): "x"}
        try:
            results.append(p[Swap("k")])
        except KeyError as e:
            results.append(("KeyError", e.args,
                            module_frames(e.__traceback__)))
    assert results[0] == results[1]


def test_failed_lookup_of_re_fails_only_that_read(write_param):
    """When comparing a key of the module's namespace with 're' raises, that
    read fails with the comparison's error where `re` is resolved; the next
    read resolves `re` again and stores the settings."""
    path = write_param("a=1\n")
    result = json.loads(script("failed_lookup_of_re", path).stdout)
    stored = {"path": path, "a": "1"}
    assert result == [
        ["ArithmeticError", "compared once",
         [[10, qualified("__init__")], [21, READ], [25, READ]]],
        stored, stored]


def test_native_search_returning_null_without_error(write_param):
    """A re.search that returns NULL without setting an error fails the
    read with the interpreter's SystemError, as in plain Python."""
    out = script("silent_native_search", write_param("a=1\n"))
    plain, native = json.loads(out.stdout)
    assert plain[0] == "SystemError" and plain[1].startswith(
        "<built-in function silent> returned NULL without setting an ")
    assert native == [*plain[:2],
                      [[10, qualified("__init__")], [21, READ], [25, READ]]]


def test_every_shortcut_runs_on_this_interpreter(write_param):
    """Each shortcut runs where its guard should hold: one that never held
    on some interpreter version would pass every comparison above. In a
    process of its own, since putting back a method of the class leaves its
    generic slots in place."""
    out = script("every_shortcut_runs", write_param("# c\nk=v\n"))
    # A build without them compiled in runs none.
    assert out.stdout.split() == ([] if SHORTCUTS else SHORTCUT_NAMES)


@pytest.mark.skipif(sys.version_info < (3, 14),
                    reason="dictionary version tags serve before 3.14")
def test_without_a_free_dictionary_watcher_re_is_called(write_param):
    """From 3.14 re's shortcut sees changes of re's dictionaries through a
    dictionary watcher: when other extensions hold every watcher id, the
    shortcut stays off, and reads are those of plain Python."""
    out = script("no_free_watcher", write_param("# c\nk=v\na=b=c\n"))
    taken, not_run, outcomes = json.loads(out.stdout)
    assert taken > 0 and {"comment_test", "split"} <= set(not_run)
    assert ("file_bytes" in not_run) != SHORTCUTS
    assert outcomes[0] == outcomes[1]


# When a sys.monitoring tool gets its callback and its events (set by
# `start()`), relative to the import and to the read, and how it ends.
MONITORING = {
    "set_after_import": ("", "start()"),
    # The callback outlives its tool, which takes a new id after the import.
    "callback_before_import": (
        "m.use_tool_id(3, 'test'); callback(); m.free_tool_id(3)",
        "m.use_tool_id(3, 'again'); m.set_events(3, PY_START)"),
    # free_tool_id leaves the events and the callback in place.
    "tool_freed": ("", "start(); m.free_tool_id(3)"),
    # The target's item assignment, code the read itself runs, sets them.
    "set_during_the_read": ("", "m.use_tool_id(3, 'test'); callback(); "
                                "target.arm = True"),
}


@pytest.mark.skipif(sys.version_info < (3, 12),
                    reason="sys.monitoring came with 3.12")
@pytest.mark.parametrize("before, after", MONITORING.values(),
                         ids=MONITORING)
def test_a_monitoring_tool_sees_every_call_of_re(write_param, before, after):
    """A sys.monitoring tool is told of each call of re's functions as for
    the plain-Python class, whenever it got its events."""
    out = script("monitoring_calls_of_re", write_param("# c\nk=v\n" * 3),
                 before, after)
    plain, native = json.loads(out.stdout)
    assert native == plain
    # From 3.14 freeing a tool also clears its events and callbacks.
    assert plain.count("split") >= 2 or (
        "free_tool_id" in before + after and sys.version_info >= (3, 14))


