"""The class Parameter as a caller uses it: construction, item access and
assignment on the instance dictionary, and their failures."""
import builtins
import pathlib
from collections import deque

import pytest

from conftest import Parameter, module_frames, qualified

GET, INIT = qualified("__getitem__"), qualified("__init__")
SET, READ = qualified("__setitem__"), qualified("read_param")


def fails(exc_type, call, *args):
    with pytest.raises(exc_type) as info:
        call(*args)
    return info


def test_settings_and_attributes_are_one_store(write_param):
    path = pathlib.Path(write_param("a=1\n"))
    p = Parameter(path)
    assert p.path is path and p["path"] is path
    p.x, p["two words"], p[3], p[1] = 1, 2, 3, "int"
    assert (p["x"], getattr(p, "two words"), p[1.0]) == (1, 2, "int")
    assert vars(p) == {"path": path, "a": "1", "x": 1, "two words": 2,
                       3: 3, 1: "int"}
    assert Parameter(write_param("path=from file\n"))["path"] == "from file"


def test_path_is_set_first_and_replaced_by_init_again(write_param):
    p, marker = Parameter.__new__(Parameter), object()
    frames = module_frames(fails(TypeError, p.__init__, marker).tb)
    assert frames == [(10, INIT), (21, READ)] and vars(p) == {"path": marker}
    p["a"] = p["b"] = 1
    second = write_param("b=2\n")
    assert p.__init__(second) is None
    assert vars(p) == {"path": second, "a": 1, "b": "2"}
    info = fails(AttributeError, Parameter.__init__, object(), "p")
    assert module_frames(info.tb) == [(9, INIT)]


def test_missing_and_unhashable_keys(write_param, monkeypatch):
    p, original = Parameter(write_param("")), KeyError
    # The class raised is the one builtins had at import.
    with monkeypatch.context() as m:
        m.setattr(builtins, "KeyError", type("Other", (Exception,), {}))
        info = fails(original, p.__getitem__, "nope")
    assert type(info.value) is original and info.value.args == ()
    assert module_frames(info.tb) == [(14, GET)]
    info = fails(TypeError, p.__getitem__, [1])
    assert module_frames(info.tb) == [(13, GET)]
    info = fails(TypeError, p.__setitem__, [1], 2)
    # A dict's own message, which names the use from 3.14.
    assert str(info.value) == str(fails(TypeError, {}.__setitem__, [1], 2)
                                  .value)
    assert module_frames(info.tb) == [(18, SET)]


def test_settings_named_like_methods(write_param):
    p = Parameter(write_param("read_param=x\n"))
    info = fails(TypeError, p.read_param, p.path)
    assert str(info.value) == "'str' object is not callable"
    assert module_frames(fails(TypeError, p.__init__, p.path).tb) == [
        (10, INIT)]
    p["keys"] = p["__getitem__"] = p["__setitem__"] = "shadow"
    p["k"] = 5
    assert p["k"] == 5 and p["keys"] == "shadow" and p.__getitem__ == "shadow"


def test_no_container_protocol(write_param):
    p = Parameter(write_param("a=1\n"))
    with pytest.raises(AttributeError):
        del p["a"]
    fails(TypeError, len, p)
    info = fails(KeyError, lambda: "a" in p)  # asks p[0] first
    assert module_frames(info.tb) == [(14, GET)]
    p[0], p[1] = "a", "b"
    assert "b" in p
    fails(KeyError, list, p)  # ends at p[2]


class Everything:
    def __contains__(self, key):
        return True


def viewing(base, *args):
    """An object whose `__dict__` is a `base` whose keys hold everything."""
    store = type("Store", (base,), {"keys": lambda self: Everything()})(*args)
    return type("View", (), {"__dict__": property(lambda self: store)})()


class One:
    def __index__(self):
        return 1


SEQUENCE, OUT_OF_RANGE = (deque, "abc"), "deque index out of range"


@pytest.mark.parametrize("store, key, outcome", [
    (SEQUENCE, One(), "b"),
    (SEQUENCE, -1, "c"),
    (SEQUENCE, 3, (IndexError, OUT_OF_RANGE)),
    (SEQUENCE, -4, (IndexError, OUT_OF_RANGE)),
    (SEQUENCE, 2 ** 100,
     (IndexError, "cannot fit 'int' into an index-sized integer")),
    (SEQUENCE, "1",
     (TypeError, "'str' object cannot be interpreted as an integer")),
    ((object,), 0, (TypeError, "'Store' object is not subscriptable")),
    ((dict, {"a": 1}), "b", (KeyError, "'b'")),  # the mapping's own error
])
def test_item_fetch_from_a_store_that_is_no_dict(store, key, outcome):
    view = viewing(*store)
    if not isinstance(outcome, tuple):
        assert Parameter.__getitem__(view, key) == outcome
    else:
        info = fails(outcome[0], Parameter.__getitem__, view, key)
        assert str(info.value) == outcome[1]
        assert module_frames(info.tb) == [(15, GET)]
