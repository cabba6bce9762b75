"""Scenarios that the module must run alike with its shortcuts and without
them: each is a small function of a `Context` (differential_run.py) that
changes what the shortcuts' guards look at, reads, and records what was
stored, raised and called. test_differential.py runs every group once with
each build and compares the records.

A scenario belongs to a group. The scenarios of "plain" share one
interpreter that imports the module as it is; those of "own_open" one that
imports it through own_open, so that a callable path makes the opened
object. A scenario that changes the interpreter before the import, or for
good, or needs an environment of its own, is a group of its own (`fresh`).
To add one: write the function and decorate it with @scenario.
"""
import builtins
import io
import os
import re
import signal
import sys
from typing import Callable, Dict, NamedTuple, Optional


class Skipped(Exception):
    """Raised by a scenario that does not apply to this interpreter."""


class Scenario(NamedTuple):
    function: Callable
    group: str
    env: Optional[Dict[str, str]]


SCENARIOS: Dict[str, Scenario] = {}


def scenario(group="plain", fresh=False, env=None, name=None):
    """Registers a scenario; `fresh` gives it an interpreter of its own,
    started with `env` added to the environment."""
    def register(function):
        key = name or function.__name__
        SCENARIOS[key] = Scenario(function, key if fresh else group, env)
        return function
    return register


def prepare(group):
    """Readies the interpreter of `group` before any scenario runs: the
    shared groups import the module (with the scenarios that need it to
    be made), a fresh one leaves that to its scenario."""
    if group == "own_open":
        import own_open  # noqa: F401 - imports the module, open as it wants
    if group in ("plain", "own_open"):
        load()


TEXT = "# c\nk=v\n"
SETTINGS = "# c\nk=v\na=b\n\n  # d=e\nowner = survey team\n"
BAD = "# c\nk=v\na=b=c\nz=1\n"


# ------------------------------------------------------------ reads as such

FORMATS = [
    "a=1\nb = 2\n# c=3\n\n \t \n  #d=4\ne=\n=f\n",
    "a=1\r\nb=2 \t\r\nc=3\rd=4\n\x0b\u3000 e=5\xa0\x1c\x85\t\n\u2028\n",
    "a#b=1\nc=#2\n\t # x=y = z\n",
    "x=1\nschl\u00fcssel=wert \u2713\nx=2\n",
    "",
    "a=1\nno equals sign\nb=2\n",
    "a=1\na=b=c\nb=2\n",
    "\ufeff# mark\nk=v\n",
    "a\0b=c\0\n",
]


@scenario()
def file_formats(ctx):
    for text in FORMATS:
        path = ctx.file(text)
        p = ctx.read(path)
        ctx.read_into({"keep": 0}, path)
        ctx.read_into(p, ctx.file("a=0\nz=0\n"))


@scenario()
def read_as_readlines(ctx):
    from test_reader import READ_AS_READLINES
    for data in READ_AS_READLINES.values():
        ctx.read(ctx.file(data))


@scenario()
def paths_and_unreadable_files(ctx):
    good = ctx.file("a=1\n")
    for path in (ctx.file(b"a=1\n\xff\x81\n"), ctx.file(b"a=1\nx=\xe2\x82"),
                 "absent", ".",
                 good.encode(), None, "a\0b", os.devnull):
        ctx.read(path)
    ctx.read(os.open(good, os.O_RDONLY))

    class Path:
        def __fspath__(self):
            ctx.seen.append("fspath")
            return good
    ctx.read(Path())


@scenario()
def targets(ctx):
    path, bad = ctx.file(SETTINGS), ctx.file(BAD)
    seen = ctx.seen

    class Recording(dict):
        def __setitem__(self, key, value):
            seen.append((key, value))
            super().__setitem__(key, value)

    class Sub(ctx.Parameter):
        pass

    for target in ({}, Recording(), (), [], Sub.__new__(Sub)):
        ctx.read_into(target, path)
        ctx.read_into(target, bad)
    ctx.read(path, Sub)
    ctx.read(bad, Sub)
    # Attribute dictionaries of other kinds.
    for store in (Recording(), {"read_param": lambda path: seen.append(path)}):
        p = ctx.read(path)
        p.__dict__ = store
        ctx.run(lambda: p.__init__(path), p)
        ctx.run(lambda: p["k"], p)
        ctx.run(lambda: p["absent"], p)
        ctx.run(lambda: p.__setitem__("x", "y"), p)
    # An instance attribute in the place of the method.
    p = ctx.read(path)
    p.read_param = lambda path: seen.append(("own", path))
    ctx.run(lambda: p.__init__(path), p)


@scenario()
def items(ctx):
    p = ctx.read(ctx.file(TEXT))
    seen = ctx.seen

    class Counted(str):
        def __hash__(self):
            seen.append(("hash", str(self)))
            return str.__hash__(self)

        def __eq__(self, other):
            seen.append(("eq", str(self)))
            return str.__eq__(self, other)

    class Uncomparable(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            raise ArithmeticError("compared")
    ctx.run(lambda: p.__setitem__(Counted("a"), 1), p)
    for key in ("k", "absent", Counted("a"), Counted("b"), Uncomparable("k"),
                Uncomparable("k2"), [], 0):
        ctx.run(lambda: p[key], p)
        ctx.run(lambda: p.__setitem__(key, key), p)
    ctx.run(lambda: 0 in p, p)
    ctx.run(lambda: len(p), p)


@scenario()
def item_reads_of_guarded_keys(ctx):
    """Keys and stored keys that run code when compared, str subclasses,
    keys without a computed hash, and dictionaries that gain such keys
    between reads (see test_item_read.py)."""
    from test_item_read import CASES, TEXT
    path = ctx.file(TEXT)
    for case in CASES.values():
        p = ctx.read(path)
        ctx.run(lambda: case(p, ctx.seen), p)
        for key in ("k", "zz", "absent"):
            ctx.run(lambda: p[key], p)


@scenario()
def class_of_the_instance(ctx):
    path, seen = ctx.file(TEXT), ctx.seen
    Parameter = ctx.Parameter
    for name in ("__getattribute__", "__getattr__"):
        cls = type("Sub", (Parameter,), {name: lambda self, attr: (
            seen.append(attr), object.__getattribute__(self, attr))[1]})
        p = ctx.read(path, cls)
        ctx.run(lambda: p["k"], p)
        ctx.run(lambda: p.__setitem__("x", "y"), p)
    p = ctx.read(path)
    p.__class__ = type("Other", (Parameter,), {})
    ctx.run(lambda: p.__init__(path), p)


@scenario()
def deep_recursion(ctx):
    from test_shortcuts import outcomes_near_the_limit
    path = ctx.file(TEXT * 5)
    p = ctx.Parameter(path)
    ctx.note(outcomes_near_the_limit(lambda: ctx.Parameter(path)))
    ctx.note(outcomes_near_the_limit(lambda: p["k"]))
    ctx.note(outcomes_near_the_limit(lambda: p.__setitem__("k", "v")))


# ------------------------------------------------------------ re changed

def re_changed(change):
    """A read before `change` of re, one with it and one after it, with
    which patterns re's caches hold after each."""
    def run(ctx):
        from test_shortcuts import CACHES
        path = ctx.file(BAD)

        def read():
            ctx.read(path)
            ctx.note([any(k[:2] == (str, pattern)
                          for k in getattr(re, cache))
                      for cache in CACHES for pattern in ("^#", "=")])
        read()
        with ctx.m.context() as m:
            change(m, ctx.seen)
            del ctx.seen[:]
            read()
        read()
    return run


def load(changes_of_re=True):
    """Registers the scenarios made of what other test files try: the
    changes of re made before the import (scripts/re_before_import.py)
    and, with `changes_of_re`, those of test_shortcuts.py (which imports
    the module)."""
    from scripts.re_before_import import BEFORE_IMPORT
    for key, (prepare, after) in BEFORE_IMPORT.items():
        scenario(fresh=True, name="before_import_" + key)(
            _before_import(prepare, after))
    if changes_of_re:
        from test_shortcuts import CHANGES
        for key, (change, _) in CHANGES.items():
            scenario(name="re_" + key)(re_changed(change))


@scenario()
def re_rebound_in_the_module(ctx):
    path, seen = ctx.file(BAD), ctx.seen
    other = type(re)("re")
    other.search = lambda *a: seen.append(a) or re.search(*a)
    other.split = lambda *a: seen.append(a) or re.split(*a)
    ctx.m.setattr(ctx.param, "re", other)
    ctx.read(path)
    ctx.m.setattr(other, "search", lambda p, l: l.count(";"))
    ctx.read(path)
    ctx.m.delattr(ctx.param, "re")
    ctx.read(path)
    ctx.m.setattr(builtins, "re", other, raising=False)
    ctx.read(path)


@scenario()
def module_class_of_re(ctx):
    seen = ctx.seen

    class Recording(type(re)):
        def __getattribute__(self, name):
            seen.append(name)
            return super().__getattribute__(name)
    ctx.m.setattr(re, "__class__", Recording)
    ctx.read(ctx.file(BAD))


def _of_re(code):
    return code.co_filename == re.search.__code__.co_filename or (
        "sre_" in code.co_filename or os.sep + "re" + os.sep
        in code.co_filename)


@scenario()
def profiler(ctx):
    path, seen = ctx.file(BAD), ctx.seen

    def profile(frame, event, arg):
        if _of_re(frame.f_code) or event.startswith("c_"):
            seen.append((event, frame.f_code.co_name,
                         getattr(arg, "__name__", None)))
    ctx.read(path)
    sys.setprofile(profile)
    ctx.read(path)
    sys.setprofile(None)
    ctx.read(path)


@scenario()
def tracer(ctx):
    path, seen = ctx.file(BAD), ctx.seen

    def trace(frame, event, arg):
        # Every call, and the lines of re's functions.
        if event == "call" or _of_re(frame.f_code):
            seen.append((event, frame.f_code.co_name, frame.f_lineno))
        return trace if _of_re(frame.f_code) else None
    ctx.read(path)
    sys.settrace(trace)
    ctx.read(path)
    sys.settrace(None)
    ctx.read(path)


@scenario()
def tracer_set_during_the_read(ctx):
    """The target's item assignment, code that the read runs, starts a
    trace function of the thread."""
    path, seen = ctx.file(SETTINGS * 3), ctx.seen

    def trace(frame, event, arg):
        if _of_re(frame.f_code):
            seen.append((event, frame.f_code.co_name))
        return None

    class Target(dict):
        def __setitem__(self, key, value):
            if len(self) == 2:
                sys.settrace(trace)
            super().__setitem__(key, value)
    ctx.read_into(Target(), path)
    sys.settrace(None)


def monitoring(ctx, arm_during_read=False, free=False):
    if sys.version_info < (3, 12):
        raise Skipped("sys.monitoring came with 3.12")
    m, seen = sys.monitoring, ctx.seen
    path = ctx.file(SETTINGS * 3)

    def started(code, offset):
        if _of_re(code):
            seen.append(code.co_name)
    m.use_tool_id(3, "differential")

    def stop():
        # Before 3.14 a freed tool keeps its events and callback: they
        # are cleared under the tool's id taken anew.
        if m.get_tool(3) is None:
            m.use_tool_id(3, "differential")
        m.set_events(3, 0)
        m.register_callback(3, m.events.PY_START, None)
        m.free_tool_id(3)
    ctx.cleanups.append(stop)
    m.register_callback(3, m.events.PY_START, started)

    class Target(dict):
        armed = False

        def __setitem__(self, key, value):
            if self.armed and len(self) == 2:
                m.set_events(3, m.events.PY_START)
            super().__setitem__(key, value)
    target = Target()
    target.armed = arm_during_read
    ctx.read_into(target, path)
    if not arm_during_read:
        m.set_events(3, m.events.PY_START)
        if free:
            m.free_tool_id(3)
    ctx.read_into(Target(), path)
    m.set_events(3, 0) if m.get_tool(3) is not None else None
    ctx.read_into(Target(), path)


@scenario()
def monitoring_tool(ctx):
    monitoring(ctx)


@scenario()
def monitoring_tool_freed(ctx):
    monitoring(ctx, free=True)


@scenario()
def monitoring_set_during_the_read(ctx):
    monitoring(ctx, arm_during_read=True)


@scenario()
def locale_encoding_replaced(ctx):
    """Before 3.11 open() asks locale.getpreferredencoding, in Python."""
    import locale
    path = ctx.file("k=\u00e9\n")
    ctx.m.setattr(locale, "getpreferredencoding",
                  lambda *a: ctx.seen.append(a) or "latin-1")
    ctx.read(path)
    ctx.read(ctx.file(b"k=\xe9\n"))


# ------------------------------------------------ signals and other threads

@scenario()
def pending_call_during_the_read(ctx):
    """A call added from the target's item assignment is served as the
    read goes on; its own error stops the read where it is served."""
    import ctypes
    seen = ctx.seen
    path = ctx.file(SETTINGS * 3)

    @ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p)
    def pending(arg):
        seen.append(("served", len(target)))
        return 0
    ctx.cleanups.append(lambda: pending)  # kept alive until the end

    class Target(dict):
        def __setitem__(self, key, value):
            if len(self) in (1, 3):
                ctypes.pythonapi.Py_AddPendingCall(pending, None)
            super().__setitem__(key, value)
    target = Target()
    ctx.read_into(target, path)


@scenario()
def signal_during_the_read(ctx):
    """A signal whose handler raises, sent from the target's item
    assignment: the read stops at the line where it is served."""
    path, seen = ctx.file(SETTINGS * 3), ctx.seen

    def handler(signum, frame):
        seen.append(("handled", frame.f_code.co_name))
        raise KeyboardInterrupt
    previous = signal.signal(signal.SIGUSR1, handler)
    ctx.cleanups.append(lambda: signal.signal(signal.SIGUSR1, previous))

    class Target(dict):
        def __setitem__(self, key, value):
            super().__setitem__(key, value)
            if len(self) == 2:
                os.kill(os.getpid(), signal.SIGUSR1)
    ctx.read_into(Target(), path)


@scenario(group="own_open")
def signal_while_lines_are_made(ctx):
    """The alarm goes off while native code splits the lines, which checks
    for no signal: the read stops where the first check is made. The timer
    starts as the read opens the file, so that it goes off inside the read
    however slowly the process got there."""
    def handler(signum, frame):
        raise KeyboardInterrupt
    previous = signal.signal(signal.SIGALRM, handler)
    ctx.cleanups.append(lambda: signal.signal(signal.SIGALRM, previous))
    ctx.cleanups.append(lambda: signal.setitimer(signal.ITIMER_REAL, 0))
    text = io.StringIO("k=v\n" * 2_000_000)

    def opened(mode):
        signal.setitimer(signal.ITIMER_REAL, 0.005)
        return text
    target = {}
    ctx.run(lambda: ctx.Parameter.read_param(target, opened))
    ctx.note(len(target))


@scenario()
def exception_sent_during_the_read(ctx):
    """An exception sent to the reading thread by itself, from the
    target's item assignment, stops the read where it is served."""
    import ctypes
    import threading
    path = ctx.file(SETTINGS * 3)

    class Stop(Exception):
        pass

    class Target(dict):
        def __setitem__(self, key, value):
            super().__setitem__(key, value)
            if len(self) == 2:
                ctypes.pythonapi.PyThreadState_SetAsyncExc(
                    ctypes.c_ulong(threading.get_ident()),
                    ctypes.py_object(Stop))
    ctx.read_into(Target(), path)


# ------------------------------------------------ re changed mid-read

def _split_watched(ctx, m):
    """A function that replaces re.split through `m`, recording each line
    it splits in ctx.seen and splitting it as re.split does."""
    split = re.split

    def replace():
        def watched(pattern, string, *args, **kwargs):
            ctx.seen.append(("split", string))
            return split(pattern, string, *args, **kwargs)
        m.setattr(re, "split", watched)
    return replace


AFTER_K = "a=b\nk=v\n# c\nc=d\ne=f\n"


@scenario()
def re_replaced_by_a_finalizer_of_a_replaced_value(ctx):
    """The value that a line replaces ends with a finalizer that replaces
    re.split: the lines that follow are split by the new function, in an
    instance and in a plain dict."""
    with ctx.m.context() as m:
        replace = _split_watched(ctx, m)

        class Old:
            def __del__(self):
                replace()
        path = ctx.file(AFTER_K)
        p = ctx.read(ctx.file(TEXT))
        ctx.run(lambda: p.__setitem__("k", Old()), p)
        ctx.run(lambda: p.read_param(path), p)
        m.undo()
        ctx.read_into({"k": Old()}, path)


@scenario()
def re_replaced_by_a_key_that_compares_by_its_own_code(ctx):
    """A key of the target that is no str shares its hash with a key of the
    file; its comparison replaces re.split."""
    with ctx.m.context() as m:
        replace = _split_watched(ctx, m)

        class Key:
            def __hash__(self):
                return hash("c")

            def __eq__(self, other):
                replace()
                return False
        ctx.read_into({Key(): 1}, ctx.file(AFTER_K))


def _replaced_while_the_lock_is_offered(ctx, by_signal):
    """Another thread, which takes its turns as the read offers the lock,
    replaces re.split itself, or sends a signal whose handler does, once a
    thousand settings are stored: every line from there on, and none
    before, is split by the new function."""
    import threading
    import time
    with ctx.m.context() as m:
        target, done, at = {}, [], []
        replace_split = _split_watched(ctx, m)

        def replace(*args):
            at.append(len(target))
            replace_split()
        if by_signal:
            previous = signal.signal(signal.SIGUSR1, replace)
            ctx.cleanups.append(
                lambda: signal.signal(signal.SIGUSR1, previous))

        def other():
            while len(target) < 1000 and not done:
                time.sleep(0)  # lets the lock go, and waits for a turn
            if by_signal:
                # Foreign calls let the lock go: the signal comes while
                # the read goes on, between two of its turns.
                import ctypes
                libc = ctypes.CDLL(None)
                libc.usleep(500)
                libc.kill(os.getpid(), signal.SIGUSR1)
            else:
                replace()
        lines = ["k%d=v" % i for i in range(200_000)]
        path = ctx.file("\n".join(lines) + "\n")
        thread = threading.Thread(target=other)
        thread.start()
        try:
            ctx.Parameter.read_param(target, path)
        finally:
            done.append(True)
            thread.join()
        split = [line for kind, line in ctx.seen if kind == "split"]
        del ctx.seen[:]
        # Where no shortcut runs, the handler may run within re.split of
        # the line being stored, which then is split by the old function.
        ctx.note(len(target), len(at), bool(at) and 1000 <= at[0]
                 and split in (lines[at[0]:], lines[at[0] + 1:]))


@scenario()
def re_replaced_by_another_thread(ctx):
    _replaced_while_the_lock_is_offered(ctx, by_signal=False)


@scenario()
def re_replaced_by_a_signal_handler(ctx):
    _replaced_while_the_lock_is_offered(ctx, by_signal=True)


@scenario()
def re_replaced_by_a_signal_handler_set_during_the_read(ctx):
    """The value that line 100 replaces ends with a finalizer that sets a
    handler, which replaces re.split, and a timer that sends its signal
    while the read goes on; by line 100 the module may have learnt that no
    handler would run code. Every line from the handler's call on, and
    none before, is split by the new function."""
    with ctx.m.context() as m:
        target, at = {}, []
        replace_split = _split_watched(ctx, m)

        def replace(*args):
            at.append(len(target))
            replace_split()
        previous = signal.getsignal(signal.SIGALRM)
        ctx.cleanups.append(lambda: signal.signal(signal.SIGALRM, previous))
        ctx.cleanups.append(lambda: signal.setitimer(signal.ITIMER_REAL, 0))

        class SetsTheHandler:
            def __del__(self):
                signal.signal(signal.SIGALRM, replace)
                signal.setitimer(signal.ITIMER_REAL, 0.002)
        target["k100"] = SetsTheHandler()
        lines = ["k%d=v" % i for i in range(200_000)]
        ctx.Parameter.read_param(target, ctx.file("\n".join(lines) + "\n"))
        split = [line for kind, line in ctx.seen if kind == "split"]
        del ctx.seen[:]
        ctx.note(len(target), len(at), bool(at) and 100 < at[0]
                 and split in (lines[at[0]:], lines[at[0] + 1:]))


# ------------------------------------------------ lines of the caller's

def lines_of_str_subclasses(seen):
    """A text file type whose readlines() gives str subclasses, whose str()
    and strip() record their calls in `seen`."""
    class Stripped(str):
        def strip(self):
            seen.append(("strip", str(self)))
            return str.strip(self)

    class Line(str):
        def __str__(self):
            seen.append(("str", str.__str__(self)))
            return Stripped(str.__str__(self))

    class Lines(io.StringIO):
        def readlines(self):
            return [Line(line) for line in super().readlines()]
    return Lines


@scenario(group="own_open")
def lines_that_are_no_plain_str(ctx):
    Lines = lines_of_str_subclasses(ctx.seen)
    ctx.read(lambda mode: Lines(SETTINGS))
    ctx.read(lambda mode: Lines(BAD))
    ctx.read(lambda mode: io.StringIO(SETTINGS))
    ctx.read(lambda mode: io.BytesIO(SETTINGS.encode()))


@scenario(group="own_open")
def opened_objects_of_the_callers(ctx):
    # The script's cases, run here rather than as a script of its own.
    from scripts.opened_objects import results
    ctx.note(repr(results))


# ------------------------------------- the interpreter changed before import

def _before_import(prepare, after):
    def run(ctx):
        ns = dict(re=re, builtins=builtins, os=os, signal=signal, sys=sys,
                  seen=ctx.seen,
                  compiler=getattr(re, "_compiler", None)
                  or sys.modules["sre_compile"])
        path = ctx.file("# a comment\nowner = survey team\na=b=c\n")
        re.search("^#", ""), re.split("=", "")
        exec(prepare, ns)
        ctx.param
        exec(after, ns)
        ctx.read(path)
        ctx.read(path)
    return run



@scenario(fresh=True)
def re_replaced_before_import_then_reloaded(ctx):
    import importlib
    search, seen = re.search, ctx.seen
    re.search = lambda *a: seen.append(a) or search(*a)
    path = ctx.file(BAD)
    ctx.read(path)
    re.search = search
    ctx.read(path)
    importlib.reload(re)
    ctx.read(path)


@scenario(fresh=True)
def open_replaced_before_import(ctx):
    real, seen = builtins.open, ctx.seen
    builtins.open = lambda *a: seen.append(a[1:]) or real(*a)
    path = ctx.file(SETTINGS)
    ctx.read(path)
    builtins.open = real
    ctx.read(path)


@scenario(fresh=True)
def class_methods_reassigned_and_restored(ctx):
    """Putting a method back leaves type()'s generic slots in place, for
    the rest of the process."""
    path, seen = ctx.file(TEXT), ctx.seen
    Parameter = ctx.Parameter
    p = ctx.read(path)
    originals = {name: vars(Parameter)[name] for name in (
        "__init__", "__getitem__", "__setitem__", "read_param")}
    for name, original in originals.items():
        setattr(Parameter, name, lambda *a, _o=original, _n=name: (
            seen.append(_n), _o(*a))[1])
    ctx.run(lambda: p.__setitem__("x", 1), p)
    ctx.run(lambda: p["x"], p)
    ctx.read(path)
    for name, original in originals.items():
        setattr(Parameter, name, original)
    ctx.run(lambda: p.__setitem__("y", 2), p)
    ctx.run(lambda: p["y"], p)
    ctx.read(path)
    ctx.run(lambda: p.__delitem__("y"), p)
    Parameter.read_param = originals["__getitem__"]
    ctx.read(path)


@scenario(fresh=True)
def monitoring_callback_before_import(ctx):
    if sys.version_info < (3, 12):
        raise Skipped("sys.monitoring came with 3.12")
    m, seen = sys.monitoring, ctx.seen
    m.use_tool_id(3, "test")
    m.register_callback(3, m.events.PY_START, lambda code, offset: (
        seen.append(code.co_name) if _of_re(code) else None))
    m.free_tool_id(3)
    path = ctx.file(SETTINGS)
    ctx.read(path)
    m.use_tool_id(3, "again")
    m.set_events(3, m.events.PY_START)
    ctx.read(path)


@scenario(fresh=True)
def no_free_dictionary_watcher(ctx):
    if sys.version_info < (3, 12):
        raise Skipped("dictionary watchers came with 3.12")
    from shortcut_runs import take_every_watcher
    take_every_watcher()
    ctx.read(ctx.file(BAD))


# Locales and text modes, given by the environment.
C_LOCALE = {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}


def _read_texts(ctx):
    import locale
    import warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ctx.note(locale.getpreferredencoding(False))
        ctx.read(ctx.file(SETTINGS))
        ctx.read(ctx.file("k=v\nwert=\u00e9\n"))
        ctx.read(ctx.file(b"k=v\nwert=\xe9\n"))
    ctx.note([(w.category.__name__, str(w.message)) for w in caught])


for _key, _env in {
        "c_locale": C_LOCALE,
        "utf8_mode": {**C_LOCALE, "PYTHONUTF8": "1"},
        "warn_default_encoding": {"PYTHONWARNDEFAULTENCODING": "1"}}.items():
    scenario(fresh=True, env=_env, name="environment_" + _key)(_read_texts)
