"""What every test file shares: the module, its class and list of methods,
fixtures that write parameter files and run scripts in fresh interpreters,
and the runtime support module's switch."""
import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

from call_matrix import DEFINED_AT, METHODS  # noqa: F401 - one list
from entries import SOURCE_FILE, module_frames  # noqa: F401
from fernlake_data.plugins import param


# Whether the module's shortcuts are compiled in: a build without them
# (`make general`) runs the general paths only, and a test that is about a
# shortcut running checks there that none runs.
_library = ctypes.CDLL(param.__file__)
SHORTCUTS = bool(ctypes.c_int.in_dll(
    _library, "fernlake_param_shortcuts_compiled").value)
SHORTCUT_NAMES = ctypes.c_char_p.in_dll(
    _library, "fernlake_param_shortcut_names").value.decode().split()


def qualified(method):
    return "fernlake_data.plugins.param.Parameter." + method


@pytest.fixture
def write_param(tmp_path):
    """Writes `text` to a new file and returns its path as text."""
    count = [0]

    def write(text, encoding="utf-8"):
        count[0] += 1
        path = tmp_path / f"settings{count[0]}.param"
        path.write_bytes(text.encode(encoding) if isinstance(text, str)
                         else text)
        return str(path)
    return write


@pytest.fixture
def run_python():
    """Runs a script in a fresh interpreter (the module initialises once per
    process), in this directory so that it can import the tests' helpers,
    and returns its completed process; a failing run fails the test unless
    `check=False`."""
    def run(code, check=True, **kwargs):
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True,
                              cwd=os.path.dirname(os.path.abspath(__file__)),
                              **kwargs)
        if check and proc.returncode != 0:
            pytest.fail(f"script failed:\n{proc.stdout}\n{proc.stderr}")
        return proc
    return run


@pytest.fixture
def switch():
    """The runtime support module; the switch is restored afterwards."""
    runtime = sys.modules["korvel_runtime"]
    before = runtime.__dict__.get("cline_in_traceback", False)
    yield runtime
    runtime.cline_in_traceback = before


Parameter = param.Parameter
