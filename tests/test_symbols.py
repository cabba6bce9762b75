"""The module needs of the interpreter only what its headers for extensions
declare: a function that only the interpreter's internal headers declare
may be missing from a build of it, and the module must still import."""
import os
import re
import shutil
import subprocess
import sysconfig

import pytest

from conftest import param


def declared_for_extensions():
    """The words of the interpreter's headers, without its internal ones."""
    include = sysconfig.get_paths()["include"]
    words = set()
    for directory, subdirectories, files in os.walk(include):
        subdirectories[:] = [d for d in subdirectories if d != "internal"]
        for name in files:
            if name.endswith(".h"):
                with open(os.path.join(directory, name),
                          errors="replace") as f:
                    words.update(re.findall(r"\w+", f.read()))
    return words


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_every_required_interpreter_symbol_is_declared_for_extensions():
    listing = subprocess.run(
        ["nm", "-D", "--undefined-only", param.__file__],
        capture_output=True, text=True, check=True).stdout
    # "U" marks a symbol that the module cannot be loaded without; a weak
    # one ("w") may be missing.
    required = {line.split()[-1] for line in listing.splitlines()
                if line.split()[:1] == ["U"]
                and line.split()[-1].startswith(("Py", "_Py"))}
    declared = declared_for_extensions()
    if "Py_Initialize" not in declared:
        pytest.skip("the interpreter's headers are not installed")
    assert sorted(required - declared) == []
