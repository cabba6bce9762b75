"""Speed and memory of the native Parameter against its interpreted equivalent.

Both classes run in this one process on the same generated files. Each case
is timed with timeit: a fixed number of operations per round, several
rounds (alternating between the two classes), and the best round is reported
as time per operation. The ratio is pure / native, so a value above 1 means
the native class is faster.

The memory line reports the tracemalloc peak while a Parameter is built from
the large file, and what is still traced once it has been built. tracemalloc
sees only allocations made through the interpreter's allocators.

    python bench/run.py            # full run
    python bench/run.py --quick    # shorter run, fewer operations and rounds

This script only measures; it checks that both classes behave alike on the
cases it times, but makes no claims about the figures.
"""
import argparse
import gc
import importlib.util
import os
import sys
import tempfile
import time
import timeit
import tracemalloc

from fernlake_data.plugins.param import Parameter as NativeParameter

HERE = os.path.dirname(os.path.abspath(__file__))


def load_pure():
    spec = importlib.util.spec_from_file_location(
        "bench_pure", os.path.join(HERE, "pure.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.Parameter


PureParameter = load_pure()


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


def second_text(n_lines):
    return "".join("extra%04d=%d\n" % (i, i * 7) for i in range(n_lines))


BAD = "a=1\nb=2\nc=3\nthis line has no separator\nd=4\n"


def write_files(directory):
    files = {
        "small": SMALL,
        "large": large_text(10_000),
        "second": second_text(100),
        "bad": BAD,
    }
    paths = {}
    for name, text in files.items():
        path = os.path.join(directory, name + ".param")
        with open(path, "w") as f:
            f.write(text)
        paths[name] = path
    return paths


# --- cases ------------------------------------------------------------------

def cases():
    """(name, statement, operations per round in a full run) for each case.

    A statement runs in the namespace built by `namespace`: `P` is the class,
    `p` an instance built from the small file, plus keys, a value and paths.
    """
    try_miss = "try:\n    p[k]\nexcept KeyError:\n    pass"
    try_bind = "try:\n    P()\nexcept TypeError:\n    pass"
    try_bad = "try:\n    P(bad)\nexcept ValueError:\n    pass"
    return [
        ("construct, small file (10 lines)", "P(small)", 20_000),
        ("construct, large file (10,000 lines)", "P(large)", 20),
        ("item access, hit", "p[k_hit]", 500_000),
        ("item access, miss (KeyError)", try_miss, 200_000),
        ("item assignment", "p[k_new] = v", 500_000),
        ("read_param, second file (100 lines)", "p.read_param(second)", 2_000),
        ("binding error, Parameter()", try_bind, 200_000),
        ("bad line, ValueError", try_bad, 20_000),
    ]


def namespace(cls, paths):
    p = cls(paths["small"])
    return {
        "P": cls,
        "p": p,
        "k": "no such key",
        "k_hit": "threshold",
        "k_new": "added",
        "v": "0.5",
        **paths,
    }


def preflight(paths):
    """Both classes must do the same thing on the timed inputs."""
    def outcome(cls, path):
        try:
            return dict(vars(cls(path)))
        except Exception as e:  # noqa: BLE001 - any failure is an outcome
            return type(e)

    for name in ("small", "large", "second", "bad"):
        a = outcome(NativeParameter, paths[name])
        b = outcome(PureParameter, paths[name])
        if a != b:
            sys.exit("native and pure differ on the %s file" % name)
    ns = namespace(NativeParameter, paths)
    try:
        ns["p"][ns["k"]]
    except KeyError as e:
        if e.args:
            sys.exit("native KeyError carries arguments: %r" % (e.args,))
    else:
        sys.exit("native item access did not raise for a missing key")


def per_op(paths, stmt, number, rounds):
    """Best time per operation of (native, pure).

    Rounds of the two classes alternate, and so does which goes first, so
    that drift in the machine's speed falls on both alike.
    """
    timers = [timeit.Timer(stmt, globals=namespace(cls, paths))
              for cls in (NativeParameter, PureParameter)]
    best = [float("inf"), float("inf")]
    for r in range(rounds):
        order = (0, 1) if r % 2 == 0 else (1, 0)
        for i in order:
            best[i] = min(best[i], timers[i].timeit(number))
    return best[0] / number, best[1] / number


def memory(cls, path):
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


# Ratios this close to 1 are within run-to-run variation on a quiet machine.
NOISE = 0.05


# --- output -----------------------------------------------------------------

def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return "%.3g %s" % (seconds / scale, unit)
    return "%.3g ns" % (seconds / 1e-9)


def fmt_bytes(n):
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if abs(n) >= scale:
            return "%.2f %s" % (n / scale, unit)
    return "%d B" % n


def table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows)
              for i in range(len(header))]
    def line(r):
        cells = [str(r[0]).ljust(widths[0])]
        cells += [str(c).rjust(w) for c, w in zip(r[1:], widths[1:])]
        return "  ".join(cells)
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help="a shorter run: a tenth of the operations, 3 rounds")
    args = ap.parse_args(argv)
    rounds = 3 if args.quick else 5
    scale = 10 if args.quick else 1

    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="param-bench-") as tmp:
        paths = write_files(tmp)
        preflight(paths)
        print("Python %s, best of %d rounds%s"
              % (sys.version.split()[0], rounds,
                 " (quick)" if args.quick else ""))
        print()
        rows = []
        slower = []
        for name, stmt, number in cases():
            number = max(1, number // scale)
            native, pure = per_op(paths, stmt, number, rounds)
            ratio = pure / native
            rows.append((name, fmt_time(native), fmt_time(pure),
                         "%.2fx" % ratio, "%d" % number))
            if ratio < 1 - NOISE:
                slower.append(name)
        table(("case", "native/op", "pure/op", "pure/native", "ops/round"),
              rows)
        print()
        mrows = []
        for label, cls in (("native", NativeParameter),
                           ("pure", PureParameter)):
            peak, kept = memory(cls, paths["large"])
            mrows.append((label, fmt_bytes(peak), fmt_bytes(kept)))
        print("memory, Parameter from the large file (tracemalloc)")
        table(("class", "peak", "retained"), mrows)
    print()
    if slower:
        print("native slower than pure by more than %d%%:" % (NOISE * 100))
        for name in slower:
            print("  " + name)
    print("total %.1f s" % (time.perf_counter() - started))


if __name__ == "__main__":
    main()
