"""The shipped type information: the stub matches the built module, and
typed code using it checks clean under mypy --strict."""
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("args", [
    ["mypy.stubtest", "fernlake_data.plugins.param",
     "--allowlist", str(ROOT / "tests/typing/stubtest-allowlist.txt")],
    ["mypy", "--strict", "--cache-dir", "cache",
     str(ROOT / "examples/typed_settings.py"),
     str(ROOT / "tests/typing/cases.py")],
], ids=["stubtest", "mypy-strict"])
def test_type_check(args, tmp_path):
    # Away from the source tree: the installed package is checked, and
    # nothing is left behind.
    proc = subprocess.run([sys.executable, "-m", *args], cwd=tmp_path,
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr

