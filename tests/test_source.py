"""Checks of the C++ sources: every Py_EnterRecursiveCall is left again by
Py_LeaveRecursiveCall on every way out of its function."""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = sorted([*ROOT.glob("src/**/*.cpp"), *ROOT.glob("support/*.cpp")])
# Comments, and string and character literals, which may hold anything.
NOISE = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'',
                   re.S)


def functions(text):
    """Bodies of the function definitions: from a `{` alone on its line at
    the start of a line to the next `}` there, as the sources write them."""
    text = NOISE.sub(lambda m: " " * len(m.group()), text)
    return re.findall(r"^\{\n.*?^\}", text, re.S | re.M)


def enclosing_block(body, pos):
    """(start, end) of the innermost brace block holding `pos`."""
    depth, start = 0, pos
    while start > 0:
        start -= 1
        if body[start] == "}":
            depth += 1
        elif body[start] == "{":
            if depth == 0:
                break
            depth -= 1
    depth, end = 0, start + 1
    while depth >= 0:
        depth += {"{": 1, "}": -1}.get(body[end], 0)
        end += 1
    return start, end


def unbalanced_returns(body):
    """The returns that leave `body` inside the recursion guard: after an
    entry (past the block that handles its failure) with no
    Py_LeaveRecursiveCall before them in a block that also holds them."""
    found = []
    for enter in re.finditer(r"Py_EnterRecursiveCall\(", body):
        failed = re.compile(r"\)\)\s*\{[^{}]*\}").match(
            body, body.index(")", enter.end()))
        after = failed.end() if failed else enter.end()
        leaves = [m.start() for m in re.finditer(
            r"Py_LeaveRecursiveCall\(\)", body)]
        for ret in re.finditer(r"\breturn\b", body[after:]):
            at = after + ret.start()
            if not any(after < leave < at
                       and enclosing_block(body, leave)[1] > at
                       for leave in leaves):
                found.append(body[at:body.index(";", at) + 1])
    return found


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.name)
def test_recursion_guard_is_left_on_every_exit(path):
    assert [r for body in functions(path.read_text())
            for r in unbalanced_returns(body)] == []


def test_the_check_finds_an_exit_inside_the_guard():
    body = functions("""
int
f(PyObject *o)
{
    if (Py_EnterRecursiveCall(" while calling")) {
        return -1;
    }
    if (o == NULL) {
        Py_LeaveRecursiveCall();
        return 0;
    }
    int r = g(o);
    if (r < 0) {
        return r;
    }
    Py_LeaveRecursiveCall();
    return r;
}
""")
    assert unbalanced_returns(*body) == ["return r;"]
    assert sum("Py_EnterRecursiveCall" in p.read_text() for p in SOURCES) > 0
