"""The supported CPython versions are written once, as requires-python in
pyproject.toml: the classifiers name the same versions, scripts/find-python
reads the line, and the interpreter at hand is one of them."""
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
PYPROJECT = (ROOT / "pyproject.toml").read_text()


def supported():
    """The versions of requires-python, in the one form that CMakeLists.txt
    and find-python read: ">=3.X,<3.Y" on a line of its own."""
    match = re.search(r'^requires-python = ">=3\.(\d+),<3\.(\d+)"$',
                      PYPROJECT, re.MULTILINE)
    assert match is not None, "requires-python is not \">=3.X,<3.Y\""
    oldest, past = int(match.group(1)), int(match.group(2))
    assert oldest < past
    return [f"3.{minor}" for minor in range(oldest, past)]


def test_classifiers_name_the_supported_versions():
    named = re.findall(r'"Programming Language :: Python :: (3\.\d+)"',
                       PYPROJECT)
    assert named == supported()


def test_find_python_reads_requires_python():
    out = subprocess.run(
        ["sh", str(ROOT / "scripts" / "find-python"), "--supported"],
        check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    assert out.split() == supported()


def test_interpreter_is_supported():
    assert "%d.%d" % sys.version_info[:2] in supported()
