"""Runs the scenarios of one group of differential_scenarios.py in this
interpreter and prints what each did as canonical JSON: the settings
stored, every exception with its arguments, traceback entries and chain,
and the calls the scenario saw. test_differential.py runs it once with each
build of the module and compares the two outputs.

    python differential_run.py GROUP
"""
import json
import os
import re
import sys
import tempfile
import traceback

# The tests' helpers are imported from here, whatever the directory.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE]
import differential_scenarios as scenarios  # noqa: E402

# Addresses in reprs differ from run to run.
ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


def plain(value):
    """`value` as JSON data that names no address."""
    if value is None or type(value) in (bool, int, float, str):
        return value
    if type(value) in (list, tuple):
        return [plain(v) for v in value]
    if type(value) is dict:
        return [[plain(k), plain(v)] for k, v in value.items()]
    return [type(value).__name__, ADDRESS.sub("", repr(value))]


def entries(tb):
    """(file, line, name) of each traceback entry; files by their base
    name, which is all that tells them apart here."""
    return [[os.path.basename(f.filename), f.lineno, f.name]
            for f in traceback.extract_tb(tb)]


def described(e, depth=0):
    """An exception: type, arguments, traceback entries, and what it was
    raised from or during."""
    if e is None or depth > 3:
        return None
    return {"type": type(e).__name__, "args": plain(e.args),
            "entries": entries(e.__traceback__),
            "cause": described(e.__cause__, depth + 1),
            "context": described(e.__context__, depth + 1),
            "suppress_context": e.__suppress_context__}


class Context:
    """What a scenario works with: a monkeypatch undone after it, the list
    of calls it sees, new files, and its record."""

    def __init__(self):
        self._m = None
        self.seen = []
        self.record = []
        self.cleanups = []
        self._files = 0

    @property
    def m(self):
        """A pytest monkeypatch; pytest is imported only where one is
        used, since its import takes longer than a scenario."""
        if self._m is None:
            import pytest
            self._m = pytest.MonkeyPatch()
        return self._m

    @property
    def param(self):
        """The module, imported on first use (a scenario may change the
        interpreter before the import)."""
        from fernlake_data.plugins import param
        # Every entry carries its position in the implementation as well.
        sys.modules["korvel_runtime"].cline_in_traceback = True
        return param

    @property
    def Parameter(self):
        return self.param.Parameter

    def file(self, data, encoding="utf-8"):
        """Relative path of a new file holding `data` (text or bytes)."""
        self._files += 1
        path = f"{self._files}.param"
        with open(path, "wb") as f:
            f.write(data.encode(encoding) if isinstance(data, str) else data)
        return path

    def note(self, *values):
        """Records `values` as they are now."""
        self.record.append(["note", plain(values)])

    def run(self, action, target=None):
        """Runs `action`; records its result or exception, the settings in
        `target` afterwards (its attribute dictionary, when it has one) and
        the calls seen meanwhile, which are then forgotten."""
        try:
            result, error = action(), None
        except BaseException as e:  # noqa: B036 - a signal's too
            result, error = None, e
        # Seen before anything here runs what a scenario may watch.
        seen = list(self.seen)
        result, error = plain(result), described(error)
        stored = None
        if target is not None:
            store = target if type(target) is dict else getattr(
                target, "__dict__", target)
            stored = plain(dict(store)) if isinstance(store, dict) else (
                plain(store))
        self.record.append(["run", result, error, stored, plain(seen)])
        del self.seen[:]

    def read(self, path, cls=None):
        """A new instance of `cls` (Parameter) made from `path`, recorded;
        returns the instance, made before its __init__ runs."""
        cls = cls or self.Parameter
        p = cls.__new__(cls)
        self.run(lambda: p.__init__(path), p)
        return p

    def read_into(self, target, path):
        """read_param of `path` into `target`, recorded."""
        self.run(lambda: self.Parameter.read_param(target, path), target)


def run_one(name):
    ctx = Context()
    try:
        scenarios.SCENARIOS[name].function(ctx)
    except BaseException as e:  # noqa: B036 - the scenario's own failure
        skipped = isinstance(e, scenarios.Skipped) or (
            "pytest" in sys.modules
            and isinstance(e, sys.modules["pytest"].skip.Exception))
        ctx.record.append(["skipped", str(e)] if skipped else
                          ["scenario failed", described(e)])
    finally:
        sys.settrace(None)
        sys.setprofile(None)
        for cleanup in reversed(ctx.cleanups):
            try:
                cleanup()
            except BaseException as e:  # noqa: B036
                ctx.record.append(["scenario failed", described(e)])
        if ctx._m is not None:
            ctx._m.undo()
    return ctx.record


def main(group):
    scenarios.prepare(group)
    if group not in scenarios.SCENARIOS and group.startswith("before_"):
        scenarios.load(changes_of_re=False)
    outcomes = {}
    # Files are made and named relative to a directory of the run's own,
    # so that both runs record the same names.
    with tempfile.TemporaryDirectory() as directory:
        os.chdir(directory)
        for name, s in scenarios.SCENARIOS.items():
            if s.group == group:
                outcomes[name] = run_one(name)
        os.chdir(HERE)
    import ctypes
    from fernlake_data.plugins import param
    compiled = ctypes.c_int.in_dll(ctypes.CDLL(param.__file__),
                                   "fernlake_param_shortcuts_compiled").value
    print(json.dumps({"shortcuts": bool(compiled), "outcomes": outcomes},
                     sort_keys=True))


if __name__ == "__main__":
    main(sys.argv[1])
