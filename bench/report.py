"""What a benchmark run found, and the forms it is shown in: a table on the
terminal, a markdown table, a chart and raw figures as JSON.

Every row compares two figures for the native class with those of a baseline
(the plain-Python class, or for some rows a bare loop) and holds their ratio
against a target. Mostly the ratio is baseline / native and the target the
least it may be, so that above 1 the native class is ahead and higher is
better; a target that is the most a ratio may be turns the ratio round to
native / baseline, the share of the baseline's time the native class takes,
and there lower is better.
"""
import json
from typing import NamedTuple, Optional


class Target(NamedTuple):
    """The least acceptable ratio, or with `at_most` the greatest; `strict`
    when the ratio must not equal it. A row whose target is at most a value
    has the ratio native / baseline, the others baseline / native."""
    value: float
    strict: bool = False
    label: Optional[str] = None
    at_most: bool = False

    def met(self, ratio):
        if self.at_most:
            return ratio < self.value if self.strict else ratio <= self.value
        return ratio > self.value if self.strict else ratio >= self.value

    def sign(self):
        return ("<" if self.at_most else ">") + ("" if self.strict else "=")

    def __str__(self):
        if self.label:
            return self.label
        shown = ("%.1f" % self.value if round(self.value, 1) == self.value
                 else "%g" % self.value)
        return "%s %s" % (self.sign(), shown)


class Row(NamedTuple):
    """One compared figure: seconds per operation, or bytes."""
    name: str
    kind: str                 # "time" or "memory"
    native: float
    baseline: float
    target: Target
    ops: Optional[int] = None  # operations per round, for time rows

    @property
    def ratio(self):
        """baseline / native, or native / baseline for a target at most a
        value."""
        over, under = ((self.native, self.baseline) if self.target.at_most
                       else (self.baseline, self.native))
        return over / under if under else float("inf")

    @property
    def met(self):
        return self.target.met(self.ratio)


class Run(NamedTuple):
    """The rows of one run and how it was made."""
    rows: list
    python: str
    rounds: int
    quick: bool
    date: str
    seconds: float = 0.0
    module: str = ""                # the module file measured
    asserts: Optional[bool] = None  # whether that build keeps its asserts

    def below(self):
        return [r for r in self.rows if not r.met]

    def of_kind(self, kind):
        return [r for r in self.rows if r.kind == kind]

    def heading(self):
        return "Python %s, best of %d interleaved rounds%s, %s" % (
            self.python, self.rounds, " (quick run)" if self.quick else "",
            self.date)

    def build(self):
        """Which build of the module was measured."""
        kind = {None: "build", False: "release build (no asserts)",
                True: "test build WITH asserts"}[self.asserts]
        return "%s: %s" % (kind, self.module or "?")


# --- figures as text ----------------------------------------------------------

def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return "%.3g %s" % (seconds / scale, unit)
    return "%.3g ns" % (seconds / 1e-9)


def fmt_bytes(n):
    return "{:,} B".format(n)


def fmt_figure(row, value):
    return fmt_time(value) if row.kind == "time" else fmt_bytes(value)


def fmt_ratio(row):
    """Two decimals, or as many more as it takes for the shown ratio to meet
    its target exactly when the ratio does."""
    for digits in range(2, 7):
        shown = round(row.ratio, digits)
        if row.target.met(shown) == row.met:
            break
    return "%.*fx" % (digits, shown)


def cells(row):
    """Row, native, baseline, ratio, target: the columns every form shows."""
    return [row.name, fmt_figure(row, row.native), fmt_figure(row, row.baseline),
            fmt_ratio(row), str(row.target)]


# --- terminal -----------------------------------------------------------------

def text_table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows)
              for i in range(len(header))]

    def line(r):
        out = [str(r[0]).ljust(widths[0])]
        out += [str(c).rjust(w) for c, w in zip(r[1:], widths[1:])]
        return "  ".join(out).rstrip()

    return "\n".join([line(header), "  ".join("-" * w for w in widths)]
                     + [line(r) for r in rows])


def mark(row):
    """The side on which a row misses its target, if it does."""
    if row.met:
        return ""
    return "ABOVE" if row.target.at_most else "BELOW"


def summary(run):
    below = len(run.below())
    if not below:
        return "all %d rows meet their targets" % len(run.rows)
    return "%d of %d rows miss their target" % (below, len(run.rows))


RATIO_NOTE = ("ratio: baseline / native, higher is better; where the target "
              "reads '<=', native / baseline, lower is better")


def print_run(run):
    print(run.heading())
    print(run.build())
    print()
    print(text_table(
        ("time per operation", "native/op", "baseline/op", "ratio",
         "target", "miss", "ops/round"),
        [cells(r) + [mark(r), r.ops] for r in run.of_kind("time")]))
    print(RATIO_NOTE)
    print()
    print(text_table(
        ("memory (tracemalloc)", "native", "pure", "ratio",
         "target", "miss"),
        [cells(r) + [mark(r)] for r in run.of_kind("memory")]))
    print()
    print("total %.1f s" % run.seconds)
    print("summary: " + summary(run))


# --- markdown -----------------------------------------------------------------

def md_table(header, rows):
    """Text left, figures right, the last two columns (target, met) centred."""
    def line(r):
        return "| " + " | ".join(str(c).replace("|", "\\|") for c in r) + " |"
    align = "| " + " | ".join([":--"] + ["--:"] * (len(header) - 3)
                              + [":-:"] * 2) + " |"
    return "\n".join([line(header), align] + [line(r) for r in rows])


def met_word(row):
    return "yes" if row.met else "**no**"


def markdown(run):
    return "\n".join([
        "Native `Parameter` against the same class in plain Python, in one",
        "process on the same generated files (`make bench`). Ratio: plain",
        "Python time / native time (in the bare-loop rows, the loop's time),",
        "so above 1 the native class is faster; where the target reads `<=`",
        "the ratio is native time / bare-loop time, and lower is better.",
        "",
        run.heading() + ".",
        "Measured: " + run.build() + ".",
        "",
        md_table(("row", "native time/op", "baseline time/op", "ratio",
                  "target", "met?"),
                 [cells(r) + [met_word(r)] for r in run.of_kind("time")]),
        "",
        "Memory while a `Parameter` is built from a 100,000-line file",
        "(tracemalloc; ratio: plain Python bytes / native bytes, or where",
        "the target reads `<=` native bytes / plain Python bytes).",
        "",
        md_table(("row", "native", "pure", "ratio", "target", "met?"),
                 [cells(r) + [met_word(r)] for r in run.of_kind("memory")]),
        "",
        "Summary: %s." % summary(run),
        "",
    ])


# --- raw figures --------------------------------------------------------------

def as_json(run):
    return json.dumps({
        "python": run.python,
        "rounds": run.rounds,
        "quick": run.quick,
        "date": run.date,
        "seconds": round(run.seconds, 3),
        "module": run.module,
        "asserts": run.asserts,
        "rows": [{
            "name": r.name,
            "kind": r.kind,
            "unit": "s/op" if r.kind == "time" else "bytes",
            "native": r.native,
            "pure": r.baseline,
            "ratio": r.ratio,
            "target": r.target.value,
            "target_strict": r.target.strict,
            "target_at_most": r.target.at_most,
            "ratio_of": ("native/baseline" if r.target.at_most
                         else "baseline/native"),
            "met": r.met,
            "ops_per_round": r.ops,
        } for r in run.rows],
    }, indent=2) + "\n"


# --- chart --------------------------------------------------------------------

MET_COLOUR = "#4c9f70"
BELOW_COLOUR = "#d1603d"


def draw_chart(run, path):
    """Horizontal bars of the ratios on a log scale, growing from the line at
    1.0, with a triangle at each target that points to the side where the
    target is met: right for a least ratio (baseline / native, right of 1
    the native class is ahead), left for a greatest one (native / baseline,
    left of 1 the native class is ahead). matplotlib is needed here only."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot, ticker
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    rows = run.rows
    y = list(range(len(rows)))[::-1]
    ratios = [r.ratio for r in rows]
    targets = [r.target.value for r in rows]
    fig, ax = pyplot.subplots(figsize=(11, 0.42 * len(rows) + 1.8))
    ax.barh(y, [q - 1 for q in ratios], left=1, height=0.62,
            color=[MET_COLOUR if r.met else BELOW_COLOUR for r in rows])
    for at_most, marker in ((False, ">"), (True, "<")):
        ax.scatter([t for t, r in zip(targets, rows)
                    if r.target.at_most == at_most],
                   [yi for yi, r in zip(y, rows)
                    if r.target.at_most == at_most],
                   marker=marker, s=70, color="black", zorder=3)
    ax.axvline(1.0, color="grey", linestyle="--", linewidth=1)
    for yi, r in zip(y, rows):
        right = r.ratio >= 1
        ax.text(r.ratio * (1.04 if right else 1 / 1.04), yi, fmt_ratio(r),
                va="center", ha="left" if right else "right", fontsize=8.5)
    times = len(run.of_kind("time"))
    if 0 < times < len(rows):
        ax.axhline(y[times - 1] - 0.5, color="black", linewidth=0.6)

    ax.set_xscale("log")
    ax.set_xlim(min(min(ratios + targets) / 1.6, 0.5),
                max(max(ratios + targets) * 1.6, 2.0))
    ax.xaxis.set_major_locator(ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
    ax.xaxis.set_major_formatter(ticker.FuncFormatter(lambda v, _: "%g" % v))
    ax.xaxis.set_minor_formatter(ticker.NullFormatter())
    ax.set_yticks(y)
    ax.set_yticklabels([r.name for r in rows], fontsize=9)
    ax.set_xlabel("pure (or bare loop) / native, log scale: right of 1 "
                  "the native class is ahead;\nwhere the target points left, "
                  "native / bare loop: left of 1 it is ahead", fontsize=9)
    ax.set_title("Native Parameter against plain Python\n" + run.heading(),
                 fontsize=10)
    ax.grid(axis="x", which="major", alpha=0.3)
    ax.legend(handles=[
        Patch(color=MET_COLOUR, label="target met"),
        Patch(color=BELOW_COLOUR, label="target missed"),
        Line2D([], [], color="black", marker=">", linestyle="None",
               label="target, met at or right of it"),
        Line2D([], [], color="black", marker="<", linestyle="None",
               label="target, met at or left of it"),
        Line2D([], [], color="grey", linestyle="--", label="parity (1.0)"),
    ], loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=3,
        fontsize=8.5, frameon=False)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    pyplot.close(fig)
