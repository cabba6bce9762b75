"""The file checker (python -m fernlake_data.plugins.param_check): what it
reports of each kind of line, its exit status, and that a file it passes
reads."""
import copy
import io
import locale
import os
import pickle
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings

from conftest import Parameter
from fernlake_data.plugins.param_check import (BREAKS, broken_calls,
                                                 check_file, main)
from generated import EXAMPLES, param_file

UTF8 = locale.getpreferredencoding(False).lower().replace("-", "") == "utf8"


def read_error(path):
    """What reading the file raises, or None."""
    try:
        Parameter.read_param({}, path)
    except Exception as e:
        return e
    return None


# The generated files of the comparison with the model, those that decode.
files = param_file.filter(lambda raw: b"\xff" not in raw).map(bytes.decode)


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=files)
def test_errors_are_the_lines_that_stop_a_read(write_param, text):
    findings, readable = check_file(write_param(text))
    errors = [f for f in findings if f.severity == "error"]
    failure = read_error(write_param(text))
    assert readable
    if not errors:
        assert failure is None
        return
    first = errors[0].line
    assert isinstance(failure, ValueError)
    assert str(failure) in errors[0].message
    lines = io.StringIO(text, newline="").readlines()  # endings kept
    assert read_error(write_param("".join(lines[:first - 1]))) is None
    assert read_error(write_param("".join(lines[:first]))) is not None
    # Every reported line, and only those, fails on its own too.
    assert [f.line for f in errors] == [
        n for n, one in enumerate(lines, 1) if read_error(write_param(one))]


def same(p, q):
    assert vars(q) == vars(p)


def pickles(protocols):
    return lambda p, _: [same(p, pickle.loads(pickle.dumps(p, n)))
                         for n in protocols]


OPERATIONS = {
    "read_param": lambda p, path: p.read_param(path),
    "__init__": lambda p, path: p.__init__(path),
    "__getitem__": lambda p, _: p.__getitem__("a"),
    "__setitem__": lambda p, _: p.__setitem__("a", "2"),
    "copy": lambda p, _: same(p, copy.copy(p)),
    "deepcopy": lambda p, _: same(p, copy.deepcopy(p)),
    "pickle": pickles(range(2, pickle.HIGHEST_PROTOCOL + 1)),
    "old pickle": pickles((0, 1)),
}


def broken_by(setting, write_param):
    """The operations that fail on a Parameter that stored the setting."""
    path, failed = write_param(f"a=1\n{setting}\n"), []
    for name, operation in OPERATIONS.items():
        try:
            operation(Parameter(path), path)
        except TypeError:
            failed.append(name)
    return tuple(failed)


def test_keys_that_break_the_object(write_param):
    candidates = set(dir(Parameter)) | set(BREAKS) | {
        "__copy__", "__setstate__", "__getnewargs__", "__getnewargs_ex__",
        "__getattr__", "__slots__", "path", "keys"}
    for key in sorted(candidates):
        for value in ("x", ""):
            assert broken_by(f"{key}={value}", write_param) == \
                broken_calls(key, value), (key, value)
    assert Parameter(write_param("path=x\n")).path == "x"


@pytest.mark.parametrize("content, quiet, status, expected", [
    ("# survey\n\n site=North \r\nx=\r", False, 0, []),
    ("a=1\nno equals\nb=2\nc=d=e\n", False, 1,
     [":2: error: no '=' in 'no equals'", ":4: error: 2 '=' in 'c=d=e'"]),
    ("url=http://h/?a=1\ntoken=YWI=\n", False, 1,
     ["URL with a query", "base64 padding"]),
    ("owner = survey team\n", False, 0,
     [":1: warning: whitespace next to '=' is kept: stored key 'owner '"
      " and value ' survey team'"]),
    ("a=1\na=2\n__reduce_ex__=x\n", False, 0,
     [":2: warning: key 'a' repeats line 1",
      ":3: warning: key '__reduce_ex__' is stored as an attribute"]),
    ("\ufeff# notes\nread_param=x\n", True, 1,
     [":1: error: no '=' in '\\ufeff# notes'"]),
    ("\ufeff# notes\n", False, 1,
     [":1: warning: byte-order mark", "keeps it from being a comment"]),
    pytest.param(b"a=1\n\xff\n", False, 2,
                 [":2: error: cannot decode byte 0xff at column 1"],
                 marks=pytest.mark.skipif(not UTF8, reason="UTF-8 only")),
    (None, False, 2, [": error: cannot open: No such file or directory"]),
])
def test_messages_and_status(write_param, capsys, tmp_path,
                             content, quiet, status, expected):
    path = write_param(content) if content else str(tmp_path / "absent")
    assert main([path] + ["--quiet"] * quiet) == status
    out = capsys.readouterr().out.splitlines()
    assert len(out) == len(expected)
    assert [o for o, e in zip(out, expected)
            if not (o.startswith(path) and e in o)] == []


def test_command_line(write_param, tmp_path):
    clean, bad = write_param("a=1\n"), write_param("a = 1\nb\n")
    proc = subprocess.run(
        [sys.executable, "-X", "importtime", "-m",
         "fernlake_data.plugins.param_check", "-q", clean, bad, clean],
        capture_output=True, text=True, cwd=tmp_path)
    assert proc.returncode == 1 and proc.stdout == (
        f"{bad}:2: error: no '=' in 'b': a read stops at this line"
        " (ValueError: need more than 1 value to unpack)\n")
    imported = {row.rpartition("|")[2].strip()
                for row in proc.stderr.splitlines()}
    assert "fernlake_data.plugins" in imported
    assert not imported & {"fernlake_data.plugins.param", "numpy"}
    assert main([clean, str(tmp_path), bad]) == 2  # unreadable wins


@pytest.mark.parametrize("content, status, message", [
    (b"b\n", 1, ":1: error: no '=' in 'b'"),
    (None, 2, ": error: cannot open: Is a directory"),  # None: a directory
], ids=["file", "directory"])
def test_undecodable_file_name(write_param, tmp_path, content, status,
                               message):
    odd = os.fsencode(tmp_path / "odd") + b"\xff"
    if content is None:
        os.mkdir(odd)
    else:
        with open(odd, "wb") as f:
            f.write(content)
    bad = write_param("b\n")
    proc = subprocess.run(
        [sys.executable, "-m", "fernlake_data.plugins.param_check", odd, bad],
        capture_output=True, text=True,
        env={**os.environ, "PYTHONIOENCODING": "utf-8:strict"})
    expected = [f"{tmp_path / 'odd'}\\xff{message}",
                f"{bad}:1: error: no '=' in 'b'"]
    out = proc.stdout.splitlines()
    assert (proc.returncode, proc.stderr) == (status, "")
    assert len(out) == 2 and all(map(str.startswith, out, expected))
