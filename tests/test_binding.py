"""Argument binding of the methods: every parameter by position or keyword,
wrong calls rejected with their fixed messages and an entry at the line of
the method's definition, compared with the plain class where it agrees."""
import ctypes
import gc

import pytest

from conftest import (DEFINED_AT, METHODS, Parameter as P, module_frames,
                      qualified)
from model import ModelParameter, outcome


# A call as C code makes it: the only way to pass keywords that are not text.
call_slot = ctypes.PYFUNCTYPE(*(ctypes.py_object,) * 4)(
    ("PyObject_Call", ctypes.pythonapi))
twice = "{}() got multiple values for keyword argument '{}'".format
unexpected = "{}() got an unexpected keyword argument '{}'".format


def given(method, count):
    n = 3 if method == "__setitem__" else 2
    return f"{method}() takes exactly {n} positional arguments ({count} given)"


# Texts other than the interned names; the lookup by hash misses OddHash.
Key = type("Key", (str,), {})
OddHash = type("OddHash", (str,), {"__hash__": lambda self: 1})
I, G, S, R = "__init__", "__getitem__", "__setitem__", "read_param"
WRONG_CALLS = [  # (call of target p with path f, method, message)
    (lambda p, f: P(), I, given(I, 1)),
    (lambda p, f: P(f, f), I, given(I, 3)),
    (lambda p, f: P(f, f, extra=1), I, given(I, 3)),
    (lambda p, f: P(extra=1), I, given(I, 1)),
    (lambda p, f: P(f, path=f), I, twice(I, "path")),
    (lambda p, f: P(f, **{Key("path"): f}), I, twice(I, "path")),
    (lambda p, f: P(path=f, extra=1), I, unexpected(I, "extra")),
    (lambda p, f: P(f, zz=1, path=f), I, unexpected(I, "zz")),
    (lambda p, f: P.__getitem__(key="a"), G, given(G, 0)),
    (lambda p, f: p.__getitem__("a", self=p), G, twice(G, "self")),
    (lambda p, f: P.__setitem__(self=p, value=1), S, given(S, 1)),
    (lambda p, f: P.__setitem__(self=p, key="k"), S, given(S, 2)),
    (lambda p, f: P.__setitem__(p, "k"), S, given(S, 2)),
    (lambda p, f: P.__setitem__(p, "k", value=1, key="k"), S, twice(S, "key")),
    (lambda p, f: p.__setitem__(1, 2, **{Key("x"): 1}), S, unexpected(S, "x")),
    (lambda p, f: P.read_param(p), R, given(R, 1)),
    (lambda p, f: p.read_param(f, mode="r"), R, unexpected(R, "mode")),
    # Non-text keywords; a missing parameter is found before them.
    (lambda p, f: call_slot(P.read_param, (p, f), {1: 2}), R,
     "read_param() keywords must be strings"),
    (lambda p, f: call_slot(P.__init__, (p,), {1: 2}), I, given(I, 1)),
    (lambda p, f: call_slot(P.__setitem__, (p, "k", "v"), {"zz": 1, 1: 2}),
     S, unexpected(S, "zz")),
]


@pytest.fixture(autouse=True)
def plain_names(switch):
    switch.cline_in_traceback = False


@pytest.mark.parametrize("call, method, message", WRONG_CALLS)
def test_wrong_call(write_param, call, method, message):
    p = P(write_param("a=1\n"))
    before = dict(vars(p))
    with pytest.raises(TypeError) as info:
        call(p, write_param("b=2\n"))
    assert info.type is TypeError and str(info.value) == message
    assert module_frames(info.tb) == [
        (DEFINED_AT[method], qualified(method))]
    assert vars(p) == before


def test_every_argument_by_name_or_position(write_param):
    p = P(path=write_param("a=1\n"))
    P.__setitem__(self=p, key="k", value="v")
    P.__setitem__(value="w", key="j", self=p)
    P.__setitem__(p, value="u", key="i")
    P.__setitem__(p, "s", **{Key("value"): "t"})
    P.read_param(self=p, path=write_param("b=2\n"))
    P.__init__(path=(last := write_param("c=3\n")), self=p)
    call_slot(P.__setitem__, (p, "e", "empty"), {})
    assert P.__getitem__(key="k", self=p) == "v"
    assert vars(p) == {"path": last, "a": "1", "k": "v", "j": "w", "i": "u",
                       "s": "t", "b": "2", "c": "3", "e": "empty"}


def test_later_equal_keyword_fills_the_parameter(write_param):
    p = P(write_param(""))
    P.__setitem__(p, "k", **{"value": "first", OddHash("value"): "last"})
    P.__setitem__(p, "j", **{OddHash("value"): "first", "value": "last"})
    assert (p["k"], p["j"]) == ("last", "last")


def test_keyword_values_outlive_their_dictionary(write_param):
    # The key's hash runs while the value is stored, and empties the
    # dictionary that brought the keywords: the call still holds them.
    class Key(str):
        def __hash__(self):
            for r in gc.get_referrers(self):
                if isinstance(r, dict) and r.get("key") is self:
                    r.clear()
            return str.__hash__(self)
    p = P(write_param(""))
    P.__setitem__(**{"self": p, "key": Key("x"), "value": ["v"]})
    assert [(k, type(k), v) for k, v in vars(p).items() if k != "path"] == [
        ("x", Key, ["v"])]


class Incomparable(str):
    """A keyword name whose comparison with any text raises."""
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise ArithmeticError("no comparison")


@pytest.mark.parametrize("call, method", [
    (lambda cls, p, f: cls(**{Incomparable("path"): f}), I),
    (lambda cls, p, f: cls.__getitem__(p, **{Incomparable("key"): "a"}), G),
    (lambda cls, p, f: cls.__setitem__(p, "k", **{Incomparable("value"): 1}),
     S),
    (lambda cls, p, f: cls.read_param(p, **{Incomparable("path"): f}), R),
], ids=[I, G, S, R])
def test_keyword_whose_comparison_raises(write_param, call, method):
    """The comparison's error is what the call raises, as from a function
    written in Python, with the method's entry."""
    p, f = P(write_param("a=1\n")), write_param("b=2\n")
    before = dict(vars(p))
    plain = outcome(lambda: call(ModelParameter, p, f))
    assert plain == (ArithmeticError, ("no comparison",))
    with pytest.raises(Exception) as info:
        call(P, p, f)
    assert (info.type, info.value.args) == plain
    assert module_frames(info.tb) == [
        (DEFINED_AT[method], qualified(method))]
    assert vars(p) == before
