"""Traceback entries of failures: file, line and routine of each entry, the
switch cline_in_traceback, the code objects and frames the entries use."""
import gc
import json
import os
import re
import traceback
import types

import pytest

from conftest import (METHODS, Parameter, SOURCE_FILE, module_frames, param,
                      qualified)

I, G, S, R = (qualified(m) for m in ("__init__", "__getitem__",
                                      "__setitem__", "read_param"))
POSITION = re.compile(r"(.+) \(fernlake_data/plugins/param:([1-9][0-9]*)\)")


def failure(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value


def codes(call):  # of the module's entries; each must look interpreted
    found = []
    for frame, line in traceback.walk_tb(failure(call).__traceback__):
        if frame.f_code.co_filename == SOURCE_FILE:
            assert frame.f_globals is vars(param)
            assert frame.f_code.co_firstlineno == line
            found.append(frame.f_code)
    return found


def frames(call):
    return [(code.co_firstlineno, code.co_name) for code in codes(call)]


@pytest.mark.parametrize("call, expected", [
    (lambda w: Parameter(w("x=1\n"))["y"], [(14, G)]),
    (lambda w: Parameter(w("")).__setitem__([1], 1), [(18, S)]),
    (lambda w: Parameter.__init__(object(), w("")), [(9, I)]),
    (lambda w: Parameter(w(b"a=\xff\n")), [(10, I), (21, R), (22, R)]),
])
def test_frames_of_method_failures(switch, write_param, call, expected):
    switch.cline_in_traceback = False
    assert frames(lambda: call(write_param)) == expected


def test_the_readme_quotes_the_position_that_a_read_reports(switch,
                                                             write_param):
    """The README's example position, of a line with two '=', is the one a
    read reports, and the reader's line it names is a failure point."""
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
    readme = os.path.join(root, "README.md")
    with open(readme, encoding="utf-8") as f:
        text = " ".join(f.read().split())
    quoted = re.search(r"\(fernlake_data/plugins/param:(\d+)\)`\. .* so "
                       r"(\d+) is line (\d+) of `reader\.cpp`", text)
    switch.cline_in_traceback = True
    last = codes(lambda: Parameter(write_param("url=a=b\n")))[-1]
    position = int(POSITION.fullmatch(last.co_name).group(2))
    assert quoted.groups() == (str(position),) * 2 + (str(position - 3000),)
    reader = os.path.join(root, "src", "fernlake_data",
                          "plugins", "reader.cpp")
    with open(reader, encoding="utf-8") as f:
        assert "IMPL_POS" in f.readlines()[position - 3001]


def test_error_of_the_switch_is_not_lost(switch, write_param):
    """The switch's own code may raise (a signal handler that runs there, or
    a truth test that fails): that error propagates, chained to the
    failure, which is kept unchanged."""
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError

    class Target(dict):
        def __setitem__(self, key, value):
            raise error
    error = LookupError("own", 7)
    switch.cline_in_traceback = undecided = Undecided()
    raised = failure(lambda: Parameter.read_param(
        Target(), write_param("a=1\n")))
    chain = [raised]
    while chain[-1].__context__ is not None:
        chain.append(chain[-1].__context__)
    assert type(raised) is ZeroDivisionError and chain[-1] is error
    assert error.args == ("own", 7)
    assert module_frames(error.__traceback__) == []
    assert module_frames(raised.__traceback__)[-1] == (21, R)
    assert switch.cline_in_traceback is undecided


def test_switch_is_absent_until_the_first_failure(run_python):
    out = run_python("""
        import sys, traceback
        from fernlake_data.plugins import param
        runtime = sys.modules["korvel_runtime"]
        object.__new__(param.Parameter)["k"] = 1
        print(hasattr(runtime, "cline_in_traceback"))
        try:
            param.Parameter()
        except TypeError as e:
            print(traceback.extract_tb(e.__traceback__)[-1].name)
        print(repr(runtime.cline_in_traceback))
    """).stdout.splitlines()
    assert out == ["False", I, "False"]


@pytest.mark.parametrize("true, false", [(True, False), (1, 0), ("x", "")])
def test_switch_takes_effect_at_the_next_failure(switch, true, false):
    switch.cline_in_traceback = true
    [(line, name)] = frames(Parameter)
    assert line == 8 and POSITION.fullmatch(name)[1] == I
    switch.cline_in_traceback = false
    assert frames(Parameter) == [(8, I)]
    del switch.cline_in_traceback
    assert frames(Parameter) == [(8, I)]
    assert switch.cline_in_traceback is False


def test_code_object_per_line_or_per_point(switch, write_param):
    p, f = Parameter(write_param("")), write_param("a=b=c\n")
    calls = [Parameter, lambda: Parameter(extra=1),
             lambda: Parameter(path="", extra=1),  # these three at line 8
             lambda: Parameter.__getitem__(key=1), lambda: p[[]], lambda: p[0],
             lambda: Parameter.__setitem__(self=1, key=1),
             lambda: Parameter.__setitem__(self=1, value=1),
             lambda: Parameter.read_param({}, f + ".missing"),
             lambda: Parameter.read_param({}, f)]  # two entries
    switch.cline_in_traceback = False
    [first] = codes(Parameter)
    reused = [code is first for call in calls[:3] for code in codes(call)]
    assert first.co_name == I and reused == [True] * 3
    switch.cline_in_traceback = True
    seen = [code for call in calls for code in codes(call)]
    again = [code for call in calls for code in codes(call)]
    assert [a is b for a, b in zip(seen, again)] == [True] * len(again)
    positions = {POSITION.fullmatch(code.co_name)[2] for code in seen}
    assert len(positions) == len(seen) == len(calls) + 1


def test_each_use_of_re_has_failure_points_of_its_own(switch, write_param,
                                                      monkeypatch):
    # With the switch on, a shared point would show the line of whichever
    # use failed first.
    path, switch.cline_in_traceback = write_param("a=1\n"), True
    lines = []
    for fake in (types.SimpleNamespace(split=re.split),
                 types.SimpleNamespace(search=re.search)):
        monkeypatch.setattr(param, "re", fake)
        lines.append(frames(lambda: Parameter(path))[-1][0])
    assert lines == [25, 29]


def test_entries_kept_without_builtins_in_the_namespace(run_python,
                                                        write_param):
    """With `__builtins__` gone from the module's namespace, a failure
    still carries the module's entries."""
    path = write_param("a=1\n")
    out = run_python(f"""
        import json
        from entries import module_frames
        from fernlake_data.plugins import param
        p, ns = param.Parameter({path!r}), vars(param)
        kept = ns.pop("__builtins__")
        try:
            p["missing"]
        except KeyError as e:
            print(json.dumps(module_frames(e.__traceback__)))
        finally:
            ns["__builtins__"] = kept
    """)
    assert json.loads(out.stdout) == [[14, G]]


def entry_frame(call):
    """The frame of the module's one entry in the failure of `call`."""
    tb = failure(call).__traceback__
    [frame] = [f for f, _ in traceback.walk_tb(tb)
               if f.f_code.co_filename == SOURCE_FILE]
    return frame


def frame_state(frame):
    back = frame.f_back
    return (frame.f_trace, dict(frame.f_locals), back and back.f_code,
            frame.f_code, frame.f_lineno)


@pytest.mark.parametrize("touch", [
    lambda frame: None,
    lambda frame: frame.f_locals,
    lambda frame: setattr(frame, "f_trace", print),
    lambda frame: frame.clear(),
], ids=["untouched", "locals read", "trace set", "cleared"])
def test_every_entry_has_a_frame_as_new(touch):
    """Failures at one point never share a frame that a caller holds, and
    no caller sees what was done to the frame of an earlier failure."""
    p = Parameter.__new__(Parameter)
    miss = lambda: p["absent"]  # noqa: E731, one caller for every entry
    first = entry_frame(miss)
    touch(first)
    del first
    gc.collect()  # the frames of the failures in the traceback's cycles
    frame = entry_frame(miss)
    other = entry_frame(miss)
    assert other is not frame
    assert frame_state(frame) == frame_state(other)
    assert frame.f_lineno == 14
