"""Checks of the C++ sources: every Py_EnterRecursiveCall is left again by
Py_LeaveRecursiveCall on every way out of its function."""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = sorted(p for p in [*ROOT.glob("src/**/*"), *ROOT.glob("support/*")]
                 if p.suffix in (".cpp", ".hpp"))
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


def unbalanced_exits(body):
    """The ways out of the block of each Py_EnterRecursiveCall that stay in
    the guard: a return after the entry (past the block that handles its
    failure) with no Py_LeaveRecursiveCall before it in a block that also
    holds it, and the end of the entry's block with none directly in it."""
    found = []
    leaves = [m.start() for m in re.finditer(r"Py_LeaveRecursiveCall\(\)",
                                             body)]
    for enter in re.finditer(r"Py_EnterRecursiveCall\(", body):
        start, end = enclosing_block(body, enter.start())
        failed = re.compile(r"\)\)\s*\{[^{}]*\}").match(
            body, body.index(")", enter.end()))
        after = failed.end() if failed else enter.end()
        for ret in re.finditer(r"\breturn\b", body[after:end]):
            at = after + ret.start()
            if not any(after < leave < at
                       and enclosing_block(body, leave)[1] > at
                       for leave in leaves):
                found.append(body[at:body.index(";", at) + 1])
        if not any(after < leave < end
                   and enclosing_block(body, leave) == (start, end)
                   for leave in leaves):
            found.append("end of block")
    return found


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.name)
def test_recursion_guard_is_left_on_every_exit(path):
    assert [r for body in functions(path.read_text())
            for r in unbalanced_exits(body)] == []


def test_the_check_finds_an_exit_inside_the_guard():
    bodies = functions("""
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

void
h(PyObject *o)
{
    if (o != NULL) {
        if (Py_EnterRecursiveCall(" while calling")) {
            return;
        }
        g(o);
    }
    else {
        return;
    }
}
""")
    assert [unbalanced_exits(b) for b in bodies] == [["return r;"],
                                                     ["end of block"]]
    assert sum("Py_EnterRecursiveCall" in p.read_text() for p in SOURCES) > 0
