"""What every test file shares: the module, its class and list of methods,
fixtures that write parameter files and run scripts in fresh interpreters,
and the runtime support module's switch."""
import ctypes
import io
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

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


TESTS = os.path.dirname(os.path.abspath(__file__))


class Zygote:
    """zygote.py and the children it forks."""

    THREADS = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS")

    def __init__(self):
        self.directory = tempfile.TemporaryDirectory(prefix="zygote")
        requests, self.requests = os.pipe()
        self.replies, replies = os.pipe()
        self.log = os.path.join(self.directory.name, "log")
        restore = json.dumps({n: os.environ.get(n) for n in self.THREADS})
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [sys.executable, os.path.join(TESTS, "zygote.py"),
                 str(requests), str(replies), restore],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                pass_fds=(requests, replies), cwd=TESTS,
                env=dict(os.environ, **dict.fromkeys(self.THREADS, "1")))
        os.close(requests)
        os.close(replies)
        self.pending, self.told = b"", {}

    def reply(self, timeout=None):
        """Reads what the zygote told, into `told`: False if it told
        nothing within `timeout` seconds."""
        if not select.select([self.replies], [], [], timeout)[0]:
            return False
        data = os.read(self.replies, 1 << 16)
        if not data:
            with open(self.log) as log:
                pytest.fail(f"the zygote ended:\n{log.read()}")
        *lines, self.pending = (self.pending + data).split(b"\n")
        for line in lines:
            number, value = map(int, line.split())
            self.told.setdefault(number, []).append(value)
        return True

    def start(self, argv, cwd):
        """Starts a child; returns a function of a `timeout` that waits for
        its end and returns its completed process."""
        number = len(self.told)
        self.told[number] = []
        paths = [os.path.join(self.directory.name, f"{number}.{name}")
                 for name in ("out", "err")]
        os.write(self.requests, json.dumps(dict(
            id=number, argv=argv, cwd=cwd, out=paths[0],
            err=paths[1])).encode() + b"\n")

        def result(timeout=None):
            told, killed = self.told[number], False
            end = None if timeout is None else time.monotonic() + timeout
            while len(told) < 2:
                left = None if end is None or killed else max(
                    end - time.monotonic(), 0)
                if not self.reply(left):
                    while not told:
                        self.reply()
                    os.kill(told[0], signal.SIGKILL)
                    killed = True
            output = []
            for path in paths:  # decoded as subprocess decodes
                with open(path, "rb") as f:
                    output.append(io.TextIOWrapper(io.BytesIO(f.read())).read())
                os.remove(path)
            if killed:
                raise subprocess.TimeoutExpired(argv, timeout, *output)
            return subprocess.CompletedProcess(
                argv, os.waitstatus_to_exitcode(told[1]), *output)
        return result

    def close(self):
        os.close(self.requests)  # the zygote ends at the end of its input
        self.process.wait()
        os.close(self.replies)
        self.directory.cleanup()


ZYGOTE = []


def start(*argv, check=True, timeout=None, fresh=False, env=None):
    """Starts `python ARGV...` in this directory, so that it can import the
    tests' helpers; returns a function that waits for its end and returns
    its completed process, and fails the test on a failing run unless
    `check=False`. The run is a child of the zygote, which has imported
    numpy and pandas but not the module; `fresh=True` starts a new
    interpreter instead, for a run that needs what a fork cannot give:
    options of the interpreter in ARGV, an environment `env`, or numpy and
    pandas not yet imported. Runs started side by side (at a test module's
    import, say) run beside the tests."""
    if fresh:
        proc = subprocess.Popen(
            [sys.executable, *argv], stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True, cwd=TESTS, env=env)

        def result():
            try:
                out, err = proc.communicate(timeout=timeout)
            finally:
                proc.kill()  # once it ended, or on a timeout
            return subprocess.CompletedProcess(argv, proc.returncode, out,
                                               err)
    else:
        assert env is None, "an environment of its own needs fresh=True"
        if not ZYGOTE:
            ZYGOTE.append(Zygote())
        child = ZYGOTE[0].start(list(argv), TESTS)

        def result():
            return child(timeout)

    def completed():
        proc = result()
        if check and proc.returncode != 0:
            pytest.fail(f"script failed:\n{proc.stdout}\n{proc.stderr}")
        return proc
    return completed


def script(name, *args, **kwargs):
    """The completed process of a script of scripts/: see start()."""
    return start("-m", "scripts." + name, *args, **kwargs)()


def pytest_unconfigure(config):
    while ZYGOTE:
        ZYGOTE.pop().close()


@pytest.fixture
def run_python():
    """The completed process of `python -c CODE`, dedented: see start()."""
    def run(code, *args, **kwargs):
        return start("-c", textwrap.dedent(code), *args, **kwargs)()
    return run


@pytest.fixture
def switch():
    """The runtime support module; the switch is restored afterwards."""
    runtime = sys.modules["korvel_runtime"]
    before = runtime.__dict__.get("cline_in_traceback", False)
    yield runtime
    runtime.cline_in_traceback = before


Parameter = param.Parameter
