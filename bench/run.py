"""Speed and memory of the native Parameter against its interpreted equivalent.

Both classes run in this one process on the same generated files. Each row is
timed with timeit: a number of operations per round, several rounds that
alternate between the two classes (and which of them goes first), and the
best round is reported as time per operation. The number of operations starts
from the row's own count and is raised until the quicker class's round lasts
long enough to be measured well, so the rows stay meaningful however fast
either class becomes. Rounds are timed in the process's CPU time rather than
wall-clock time, so that other work on a shared machine weighs less on them.

The files are generated: a small one written by hand, files of numbered
`keyNNNNN=value number N` lines, and files as users keep them (realistic.py:
comments, blank lines, values of words, numbers and long tokens, non-ASCII
words, trailing blanks) of 10, 1,000 and 100,000 lines.

Ratios are pure / native: above 1 the native class is faster. Some rows set
the native constructor against a bare loop filling a plain dict instead of
the pure class: on the numbered files the ratio is loop time / native time
(higher is better), on the realistic ones native time / loop time, the
share of the loop's time the native class takes (lower is better, and the
target is the most it may be). Each row has a target, and rows that miss it
are marked.

On Python 3.12 and later a last row times read_param after a sys.monitoring
tool came and went, against the same read before the tool came.

The memory rows report the tracemalloc peak while a Parameter is built from
a 100,000-line file (numbered and realistic), and what is still traced once
it has been built. tracemalloc sees only allocations made through the
interpreter's allocators.

    python bench/run.py                    # full run, a few minutes at most
    python bench/run.py --quick            # shorter run
    python bench/run.py --markdown docs/bench.md --chart docs/bench.png \\
        --json bench.json                  # also write the results

The run names the module file it measured and whether that build keeps its
asserts: `make bench` installs the release build, as users get it, apart
from the test build and puts it first on the path.

This script only measures: it checks that both classes behave alike on the
inputs it times, and marks the rows that miss their target, but never fails
on speed.
"""
import argparse
import datetime
import gc
import os
import random
import sys
import tempfile
import time
import timeit
import tracemalloc
from typing import Callable, NamedTuple, Optional

import fernlake_data.plugins.param as native_module
from fernlake_data.plugins.param import Parameter as NativeParameter

# The plain-Python class of the tests, on the path from here.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tests"))
from model import PlainParameter as PureParameter  # noqa: E402
from realistic import realistic  # noqa: E402
from report import (Row, Run, Target, as_json, draw_chart,  # noqa: E402
                    markdown, print_run)


# --- input files ------------------------------------------------------------

SMALL = """\
# a small parameter file
site=Fernlake North
station_count=12

start=2026-03-01
   # an indented comment
threshold=0.75
owner = survey team
mode=fast
  depth=30
"""


def large_text(n_lines):
    out = ["# generated settings\n"]
    for i in range(1, n_lines):
        if i % 100 == 0:
            out.append("# section %d\n" % (i // 100))
        elif i % 250 == 1:
            out.append("\n")
        else:
            out.append("key%05d=value number %d\n" % (i, i))
    return "".join(out)


BAD = "a=1\nb=2\nc=3\nthis line has no separator\nd=4\n"

# Files as users keep them (see realistic.py), by their number of lines.
REALISTIC = {"real_10": 10, "real_1k": 1_000, "real_100k": 100_000}

# Each file's text; the statements of the rows name the files by these keys.
FILES = {
    "small": lambda: SMALL,
    "lines_1k": lambda: large_text(1_000),
    "lines_100k": lambda: large_text(100_000),
    "bad": lambda: BAD,
    **{name: (lambda n=n: realistic(n).text) for name, n in REALISTIC.items()},
}


def write_files(directory):
    paths = {}
    for name, text in FILES.items():
        paths[name] = os.path.join(directory, name + ".param")
        # UTF-8 whatever the locale; the readers open files with the
        # locale's encoding, and the preflight stops a run in which they do
        # not read back what was written.
        with open(paths[name], "w", encoding="utf-8") as f:
            f.write(text())
    return paths


def bare_loop(path):
    """The least a Python program can do to read such a file: no class and
    no regular expressions, only a plain dict."""
    d = {}
    with open(path) as f:
        lines = f.readlines()
    for l in lines:
        l = l.strip()
        if not l or l[0] == "#":
            continue
        k, v = l.split("=")
        d[k] = v
    return d


# --- rows -------------------------------------------------------------------

class Case(NamedTuple):
    """One timed row.

    `stmt` runs in the namespace built by `namespace`: `P` is the class (or
    the baseline standing in for it), the files' keys name their paths, and
    `p` is an instance built from the file `instance`, when one is named.
    `ops` is the number of operations per round a full run starts from.
    """
    name: str
    stmt: str
    ops: int
    target: Target
    instance: Optional[str] = None
    baseline: Optional[Callable] = None


# Names the statements use: a key of the small file, one of the large files
# (a setting line, not a comment or blank), one absent, one to add, a value.
KEYS = {"k_hit": "threshold", "k_far": "key50002", "k_mid": "key00502",
        "k_miss": "no such key", "k_new": "added", "v": "0.5"}


def shuffled_keys(n_lines):
    """Every key of the numbered file of `n_lines` lines, in an order of
    their own (the same at every run), so that walking them meets the
    entries of the object's table at places far apart: most reads find
    their entry and its key out of the processor's caches."""
    keys = [k for k in (line.partition("=")[0]
                        for line in large_text(n_lines).splitlines())
            if k.startswith("key")]
    random.Random(26).shuffle(keys)
    return keys


KEYS_100K = shuffled_keys(100_000)


def caught(stmt, error):
    return "try:\n    %s\nexcept %s:\n    pass" % (stmt, error)


def by_version(before_3_11, from_3_11):
    """The target of a row on this interpreter: plain Python became faster
    in 3.11, so the ratios that the module can reach there are lower."""
    return Target(from_3_11 if sys.version_info >= (3, 11) else before_3_11)


def cases():
    return [
        Case("construct, 10-line file", "P(small)", 2_000,
             by_version(2.0, 1.5)),
        Case("construct, 1,000-line file", "P(lines_1k)", 40, Target(5.0)),
        Case("construct, 100,000-line file", "P(lines_100k)", 2,
             Target(3.5)),
        Case("read_param, 1,000-line file into an existing object",
             "p.read_param(lines_1k)", 40, Target(5.0), "small"),
        Case("read_param, 100,000-line file into an existing object",
             "p.read_param(lines_100k)", 2, Target(3.5), "small"),
        Case("item access, hit", "p[k_hit]", 400_000, by_version(3.0, 2.5),
             "small"),
        Case("item access, hit, object with ~100,000 keys", "p[k_far]",
             400_000, Target(1.8), "lines_100k"),
        Case("item access, hit, object with ~1,000 keys", "p[k_mid]",
             400_000, Target(3.5), "lines_1k"),
        # Each round walks every key of the 100,000-line file once, in an
        # order far from the table's (keys_100k), so that the caches are
        # cold for most reads: time per round, both with the same loop.
        Case("item access, hit, ~100,000 keys in shuffled order (cold "
             "caches)", "for k in keys_100k:\n    p[k]", 2, Target(1.8),
             "lines_100k"),
        # Cache misses take most of both classes' time here.
        Case("item assignment, ~100,000 keys in shuffled order (cold "
             "caches)", "for k in keys_100k:\n    p[k] = v", 2,
             Target(1.2), "lines_100k"),
        Case("item access, miss, object with ~100,000 keys (KeyError, "
             "caught)", caught("p[k_miss]", "KeyError"), 200_000,
             Target(1.3), "lines_100k"),
        Case("item access, miss (KeyError, caught)",
             caught("p[k_miss]", "KeyError"), 200_000, Target(1.3),
             "small"),
        Case("item assignment", "p[k_new] = v", 500_000, Target(2.5),
             "small"),
        Case("wrong call Parameter() (TypeError, caught)",
             caught("P()", "TypeError"), 100_000, Target(1.3)),
        Case("wrong call Parameter.__getitem__(p) (TypeError, caught)",
             caught("P.__getitem__(p)", "TypeError"), 100_000, Target(1.3),
             "small"),
        Case("bad line, ValueError (caught)", caught("P(bad)", "ValueError"),
             4_000, Target(1.0)),
        Case("construct, 1,000-line file: bare dict loop time / native time",
             "P(lines_1k)", 40, Target(1.0, strict=True),
             baseline=bare_loop),
        Case("construct, 10-line file: bare dict loop time / native time",
             "P(small)", 2_000, Target(1.0, strict=True), baseline=bare_loop),
        Case("construct, 100,000-line file: bare dict loop time / native "
             "time", "P(lines_100k)", 2, Target(1.0, strict=True),
             baseline=bare_loop),
        # Files as users keep them: longer lines, long tokens, non-ASCII
        # words, trailing blanks. The targets are those of the generated
        # files of the same size.
        Case("construct, realistic 10-line file", "P(real_10)", 2_000,
             by_version(2.0, 1.5)),
        Case("construct, realistic 1,000-line file", "P(real_1k)", 40,
             Target(5.0)),
        Case("construct, realistic 100,000-line file", "P(real_100k)", 2,
             Target(3.5)),
        Case("read_param, realistic 1,000-line file into an existing object",
             "p.read_param(real_1k)", 40, Target(5.0), "small"),
        Case("read_param, realistic 100,000-line file into an existing "
             "object", "p.read_param(real_100k)", 2, Target(3.5), "small"),
        # The native class against the least a user's own loop could do:
        # the share of that loop's time the native constructor takes.
        Case("construct, realistic 10-line file: native time / bare dict "
             "loop time", "P(real_10)", 2_000, Target(0.85, at_most=True),
             baseline=bare_loop),
        Case("construct, realistic 1,000-line file: native time / bare dict "
             "loop time", "P(real_1k)", 40, Target(0.33, at_most=True),
             baseline=bare_loop),
        Case("construct, realistic 100,000-line file: native time / bare "
             "dict loop time", "P(real_100k)", 2, Target(0.55, at_most=True),
             baseline=bare_loop),
    ]


def namespace(cls, paths, case):
    ns = {"P": cls, **paths, **KEYS, "keys_100k": KEYS_100K}
    if case.instance:
        ns["p"] = cls(paths[case.instance])
    return ns


def contenders(paths, case):
    """The namespaces of the native class and of its baseline for a case."""
    baseline = case.baseline or PureParameter
    return [namespace(cls, paths, case) for cls in (NativeParameter, baseline)]


# --- preflight --------------------------------------------------------------

def settings(value):
    """The settings an object holds, comparable with the bare loop's dict."""
    if isinstance(value, (NativeParameter, PureParameter)):
        return {k: v for k, v in vars(value).items() if k != "path"}
    return value


def outcome(stmt, ns):
    """The value of the statement (when it is an expression) and the state of
    `p` after running it once, or the type of what it raised."""
    try:
        try:
            code = compile(stmt, "<row>", "eval")
        except SyntaxError:
            exec(stmt, ns)
            value = None
        else:
            value = settings(eval(code, ns))
    except Exception as e:  # noqa: BLE001 - any failure is an outcome
        return type(e)
    return value, settings(ns.get("p"))


def built(cls, path):
    """Everything an object built from the file holds, or what it raised."""
    try:
        return dict(vars(cls(path)))
    except Exception as e:  # noqa: BLE001 - any failure is an outcome
        return type(e)


def preflight(paths, timed):
    """Both contenders must do the same thing on the timed inputs, and on
    the files as users keep them each reader must store the settings the
    file was made with."""
    for name, path in paths.items():
        native = built(NativeParameter, path)
        if native != built(PureParameter, path):
            sys.exit("native and pure differ on the %s file" % name)
        if name in REALISTIC:
            expected = realistic(REALISTIC[name]).settings
            if native != dict(expected, path=path):
                sys.exit("native and pure do not store the settings of the "
                         "%s file" % name)
            if bare_loop(path) != expected:
                sys.exit("the bare loop does not store the settings of the "
                         "%s file" % name)
    for case, (native_ns, baseline_ns) in timed:
        a, b = outcome(case.stmt, native_ns), outcome(case.stmt, baseline_ns)
        if a != b or isinstance(a, type):
            sys.exit("native and its baseline differ, or fail, on the row "
                     "%r: %r against %r" % (case.name, a, b))
    try:
        NativeParameter(paths["small"])[KEYS["k_miss"]]
    except KeyError as e:
        if e.args:
            sys.exit("native KeyError carries arguments: %r" % (e.args,))
    else:
        sys.exit("native item access did not raise for a missing key")


# --- measurement ------------------------------------------------------------

class Mode(NamedTuple):
    rounds: int
    round_seconds: float  # the least a round of the quicker contender lasts
    ops_divisor: int      # the rows' operation counts are divided by this


FULL = Mode(rounds=7, round_seconds=0.1, ops_divisor=1)
QUICK = Mode(rounds=3, round_seconds=0.02, ops_divisor=10)


def calibrate(timers, number, least):
    """Raise `number` until a round of the quicker timer lasts `least`.
    Returns that number and the seconds of each timer in that last round,
    a round like any other, which thus counts as the first."""
    while True:
        seconds = [t.timeit(number) for t in timers]
        if min(seconds) >= least:
            return number, seconds
        number = max(number + 1,
                     int(number * 1.2 * least / max(min(seconds), 1e-9)))


def best_rounds(timers, number, rounds, first):
    """Best seconds per operation of the two timers over interleaved rounds,
    the first of them `first`, the calibration's last, in which the timers
    ran in order.

    Which timer goes first alternates, so that drift in the machine's speed
    falls on both alike.
    """
    best = list(first)
    for r in range(1, rounds):
        for i in ((0, 1) if r % 2 == 0 else (1, 0)):
            best[i] = min(best[i], timers[i].timeit(number))
    return [b / number for b in best]


def timer(stmt, ns):
    """A timer of `stmt` whose names are locals of the timed function, as
    in a function of the user's, bound from `ns` by the setup."""
    setup = "; ".join("%s = _ns[%r]" % (name, name) for name in ns)
    # CPU time of this thread alone: idle threads of numpy's libraries
    # that wait by spinning do not count.
    return timeit.Timer(stmt, setup=setup, timer=time.thread_time,
                        globals={"_ns": ns})


def measure(case, namespaces, mode):
    timers = [timer(case.stmt, ns) for ns in namespaces]
    number, first = calibrate(timers, max(1, case.ops // mode.ops_divisor),
                              mode.round_seconds)
    native, baseline = best_rounds(timers, number, mode.rounds, first)
    return Row(case.name, "time", native, baseline, case.target, number)


def traced(cls, path):
    """tracemalloc peak while building, and what the built object holds."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        obj = cls(path)
        current, peak = tracemalloc.get_traced_memory()
        del obj
    finally:
        tracemalloc.stop()
    return peak - base, current - base


def memory_rows(path, file_name="100,000-line file"):
    (native_peak, native_kept), (pure_peak, pure_kept) = (
        traced(cls, path) for cls in (NativeParameter, PureParameter))
    # The peak, native / pure: the file's bytes are freed as their settings
    # are stored. What is kept is the same settings.
    return [
        Row("memory peak, construct, " + file_name, "memory",
            native_peak, pure_peak, Target(0.7, at_most=True)),
        Row("memory retained, construct, " + file_name, "memory",
            native_kept, pure_kept, Target(1.0, label="native <= pure")),
    ]


# --- after a monitoring tool came and went ------------------------------------

def free_tool_id(monitoring):
    for tool in (monitoring.PROFILER_ID, monitoring.COVERAGE_ID,
                 monitoring.DEBUGGER_ID, 3, 4, 5):
        if monitoring.get_tool(tool) is None:
            return tool
    sys.exit("no sys.monitoring tool id is free")


def monitoring_tool_visit(during):
    """A sys.monitoring tool comes: it takes an id, registers a PY_START
    callback and sets the event, while `during` runs; then it goes as a tool
    that is switched off does: no events, no callback, its id freed."""
    monitoring = sys.monitoring
    events = monitoring.events
    tool = free_tool_id(monitoring)
    starts = [0]

    def on_start(code, offset):
        starts[0] += 1

    monitoring.use_tool_id(tool, "param bench")
    try:
        monitoring.register_callback(tool, events.PY_START, on_start)
        monitoring.set_events(tool, events.PY_START)
        during()
    finally:
        monitoring.set_events(tool, 0)
        monitoring.register_callback(tool, events.PY_START, None)
        monitoring.free_tool_id(tool)
    if not starts[0]:
        sys.exit("the monitoring tool saw no Python function start")


def best_of(t, number, rounds):
    return min(t.timeit(number) for _ in range(rounds)) / number


def monitoring_rows(paths, mode):
    """read_param of the realistic 1,000-line file into an existing object,
    timed just before a monitoring tool comes and again after it went;
    ratio before / after. Once a tool came, the interpreter stays as it
    left it for the rest of the process, so this runs last. The two
    measurements cannot alternate, so each takes the best of three times
    the usual number of rounds, which a passing slowdown of the machine is
    less likely to spoil. sys.monitoring exists from Python 3.12 on; before
    that the row is absent."""
    if not hasattr(sys, "monitoring"):
        return []
    path = paths["real_1k"]
    p = NativeParameter(paths["small"])
    t = timer("p.read_param(path)", {"p": p, "path": path})
    number, _ = calibrate([t], max(1, 40 // mode.ops_divisor),
                          mode.round_seconds)
    rounds = 3 * mode.rounds
    before = best_of(t, number, rounds)
    monitoring_tool_visit(
        lambda: (p.read_param(path), PureParameter(path)))
    after = best_of(t, number, rounds)
    plain = PureParameter(paths["small"])
    plain.read_param(path)
    if settings(p) != settings(plain):
        sys.exit("native read_param after the monitoring tool went does not "
                 "store what the pure class does")
    return [Row("read_param, realistic 1,000-line file, after a monitoring "
                "tool came and went: before / after", "time", after, before,
                Target(0.95), number)]


# --- the build measured ------------------------------------------------------

def module_place(module):
    """The file the module was loaded from, named without the machine's own
    directories: relative to the working directory when below it (as in
    build/3.13/bench-site/...), else from the import path entry that holds
    it (as in site-packages/...)."""
    path = os.path.realpath(module.__file__)
    here = os.path.realpath(os.getcwd())
    if path.startswith(here + os.sep):
        return os.path.relpath(path, here)
    entries = [os.path.realpath(e or ".") for e in sys.path]
    holding = [e for e in entries if path.startswith(e + os.sep)]
    if holding:
        entry = max(holding, key=len)
        return os.path.join(os.path.basename(entry),
                            os.path.relpath(path, entry))
    return os.path.basename(path)


def keeps_asserts(module):
    """Whether the build keeps its asserts. Such a build calls the C
    library's assert failure function, and so names it among the symbols it
    needs; the release build, compiled with NDEBUG, never does."""
    with open(module.__file__, "rb") as f:
        return b"__assert_fail" in f.read()


# --- main -------------------------------------------------------------------

def write(path, text):
    directory = os.path.dirname(path)
    if directory:
        os.makedirs(directory, exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help="a shorter run: %d rounds, shorter rounds"
                         % QUICK.rounds)
    ap.add_argument("--markdown", metavar="PATH",
                    help="also write the results as a markdown table")
    ap.add_argument("--chart", metavar="PATH",
                    help="also draw the ratios as a chart (needs matplotlib)")
    ap.add_argument("--json", metavar="PATH",
                    help="also write the raw figures as JSON")
    return ap.parse_args(argv)


def bench(quick):
    mode = QUICK if quick else FULL
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="param-bench-") as tmp:
        paths = write_files(tmp)
        timed = [(case, contenders(paths, case)) for case in cases()]
        preflight(paths, timed)
        rows = [measure(case, namespaces, mode)
                for case, namespaces in timed]
        del timed
        memory = (memory_rows(paths["lines_100k"])
                  + memory_rows(paths["real_100k"],
                                "realistic 100,000-line file"))
        # Last of all: it leaves the interpreter changed.
        rows += monitoring_rows(paths, mode) + memory
    return Run(rows, sys.version.split()[0], mode.rounds, quick,
               datetime.date.today().isoformat(),
               time.perf_counter() - started, module_place(native_module),
               keeps_asserts(native_module))


def main(argv=None):
    args = parse_args(argv)
    run = bench(args.quick)
    print_run(run)
    if args.markdown:
        write(args.markdown, markdown(run))
    if args.json:
        write(args.json, as_json(run))
    if args.chart:
        draw_chart(run, args.chart)


if __name__ == "__main__":
    main()
