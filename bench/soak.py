"""Memory soak: makes every call of the tests' table of calls (constructs,
reads and fails) many times over and checks that neither resident memory
nor the interpreter's traced allocations grow after a warm-up.

    .venv/VERSION/bin/python bench/soak.py [--iterations N]

Exits with status 1 when growth after the warm-up exceeds the limits.
"""
import argparse
import gc
import os
import resource
import sys
import tempfile
import tracemalloc

from fernlake_data.plugins.param import Parameter

# The table of calls that the tests run too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tests"))
from call_matrix import calls, write_files  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * PAGE
    except OSError:  # no procfs: fall back to the peak, in kilobytes
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def snapshot():
    gc.collect()
    return resident_bytes(), tracemalloc.get_traced_memory()[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--iterations", type=int, default=20_000)
    parser.add_argument("--warm-up", type=int, default=None,
                        help="rounds before the first measurement "
                             "(default: a tenth of the iterations)")
    parser.add_argument("--max-resident-kb", type=int, default=1024)
    parser.add_argument("--max-traced-kb", type=int, default=64)
    args = parser.parse_args()
    warm_up = (args.warm_up if args.warm_up is not None
               else max(1, args.iterations // 10))

    with tempfile.TemporaryDirectory() as directory:
        kinds = calls(Parameter, write_files(directory))

        def one_round():
            for call in kinds:
                call.run()

        tracemalloc.start()
        for _ in range(warm_up):
            one_round()
        rss_0, traced_0 = snapshot()
        for _ in range(args.iterations - warm_up):
            one_round()
        rss_1, traced_1 = snapshot()
        tracemalloc.stop()

    rss_growth, traced_growth = rss_1 - rss_0, traced_1 - traced_0
    print(f"iterations: {args.iterations} (warm-up {warm_up})")
    print(f"resident:   {rss_0 / 1024:.0f} KiB -> {rss_1 / 1024:.0f} KiB "
          f"({rss_growth / 1024:+.0f} KiB)")
    print(f"traced:     {traced_0 / 1024:.1f} KiB -> {traced_1 / 1024:.1f} "
          f"KiB ({traced_growth / 1024:+.1f} KiB)")
    if (rss_growth > args.max_resident_kb * 1024
            or traced_growth > args.max_traced_kb * 1024):
        print("FAIL: memory grows after the warm-up")
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
