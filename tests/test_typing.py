"""The shipped type information: the stub matches the built module, and
typed code using it checks clean under mypy --strict."""
import atexit
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CHECKS = {
    "stubtest": ["mypy.stubtest", "fernlake_data.plugins.param",
                 "--allowlist",
                 str(ROOT / "tests/typing/stubtest-allowlist.txt")],
    "mypy-strict": ["mypy", "--strict", "--cache-dir", "cache",
                    str(ROOT / "examples/typed_settings.py"),
                    str(ROOT / "tests/typing/cases.py")],
}
# Away from the source tree: the installed package is checked, and nothing
# is left behind. Both run from the collection on, beside the other tests.
DIRECTORY = tempfile.TemporaryDirectory()
RUNS = {name: subprocess.Popen(
    [sys.executable, "-m", *args], cwd=DIRECTORY.name, text=True,
    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    for name, args in CHECKS.items()}
atexit.register(lambda: [run.kill() for run in RUNS.values()])


@pytest.mark.parametrize("name", CHECKS)
def test_type_check(name):
    out = RUNS[name].communicate()[0]
    assert RUNS[name].returncode == 0, out
