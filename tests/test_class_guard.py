"""What the class's own shortcuts skip is skipped only for the class itself:
a subclass's methods run, an instance attribute `read_param` is called
with references of its own, and a failing lookup of it fails as in plain
Python."""
import sys

import pytest

from conftest import Parameter, module_frames, qualified, script
from model import ModelParameter

TEXT = "# c\na=1\nb=2\n"


def subclass(base, overrides, calls):
    """A subclass of `base` whose `overrides` record their calls, then do
    what the base class does."""
    def read_param(self, path):
        calls.append(("read_param", path))
        return base.read_param(self, path)

    def __setitem__(self, key, value):
        calls.append(("__setitem__", key, value))
        base.__setitem__(self, key, value)

    chosen = {"read_param": read_param, "__setitem__": __setitem__}
    return type("Sub", (base,), {n: chosen[n] for n in overrides})


@pytest.mark.parametrize("overrides", [
    ("read_param",), ("__setitem__",), ("read_param", "__setitem__")])
def test_a_subclass_override_runs(write_param, overrides):
    path = write_param(TEXT)
    results = []
    for base in (Parameter, ModelParameter):
        calls = []
        cls = subclass(base, overrides, calls)
        p = cls(path)
        p.read_param(path)
        p["c"] = "3"
        results.append((calls, vars(p)))
    assert results[0] == results[1]
    assert results[0][0]  # the overrides ran


class Reader:
    """Stands for read_param as an instance attribute."""

    def __init__(self):
        self.paths = []

    def __call__(self, path):
        self.paths.append(path)

    def method(self, path):
        self.paths.append(path)


@pytest.mark.parametrize("kind", ["callable", "bound method", "function"])
def test_an_instance_read_param_keeps_its_references(write_param, kind):
    path = write_param(TEXT)
    for cls in (Parameter, ModelParameter):
        reader = Reader()
        attr = {"callable": reader, "bound method": reader.method,
                "function": lambda path: reader.paths.append(path)}[kind]
        p = cls.__new__(cls)
        p.read_param = attr
        before = sys.getrefcount(attr)
        for _ in range(20):
            p.__init__(path)
        assert sys.getrefcount(attr) == before, cls
        assert reader.paths == [path] * 20 and vars(p) == {
            "read_param": attr, "path": path}


class Colliding:
    """A key of the instance dictionary that hashes as 'read_param' and
    whose comparison with it raises once armed (a dictionary that shares
    its keys with the class's other instances may compare them as the key
    is stored)."""
    armed = False

    def __hash__(self):
        return hash("read_param")

    def __eq__(self, other):
        if Colliding.armed and other == "read_param":
            raise LookupError("compared")
        return NotImplemented


def test_a_failing_lookup_of_read_param_fails_the_call(write_param):
    path = write_param(TEXT)
    results = []
    for cls in (Parameter, ModelParameter):
        p = cls.__new__(cls)
        vars(p)[Colliding()] = 1
        Colliding.armed = True
        try:
            p.__init__(path)
        except LookupError as e:
            results.append((type(e), e.args, [
                k for k in vars(p) if isinstance(k, str)],
                module_frames(e.__traceback__)))
        else:
            results.append(None)
        finally:
            Colliding.armed = False
    assert results == [
        (LookupError, ("compared",), ["path"], frames)
        for frames in ([(10, qualified("__init__"))], [])]


def test_out_of_memory_while_looking_up_read_param(write_param):
    """An allocation that fails while the instance's attributes are looked
    up for read_param fails the call, or the lookup finds the instance
    attribute: the class's own read_param never runs in its place."""
    pytest.importorskip("_testcapi")
    out = script("out_of_memory_read_param", write_param(TEXT))
    assert out.stdout.split() == ["same"]
