"""Checks of the C++ sources: the interpreter's recursion guard is entered
and left in one place only, the call guard of support/call.hpp (through
the guard class of support/interpreter.hpp), so that no way out of a call
can leave it entered."""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = sorted(p for p in [*ROOT.glob("src/**/*"), *ROOT.glob("support/*")]
                 if p.suffix in (".cpp", ".hpp"))


@pytest.mark.parametrize("pattern, files", [
    (r"Py_(Enter|Leave)RecursiveCall\(", {"interpreter.hpp"}),
    (r"RecursionGuard\b", {"interpreter.hpp", "call.hpp"}),
])
def test_recursion_guard_has_one_entry_point(pattern, files):
    assert {p.name for p in SOURCES if re.search(pattern, p.read_text())} \
        == files
