"""Reads with opened objects of this script's own (a callable path makes the
opened object), each while a LookupError is handled, which is handled again
afterwards; prints `results`, by case: the outcome of the read, what
`__exit__` saw and the settings stored."""
import sys
from types import SimpleNamespace

from entries import module_frames
from own_open import Parameter

OUTER = LookupError("outer")

def lines_of(tb):
    return [line for line, _ in module_frames(tb)]
def describe(e):
    return e and f"{type(e).__name__}: {e}"

class CM:
    result = enter_error = exit_error = None
    lines = staticmethod(lambda: ["a=1\n", "b = 2\r\n"])
    __init__ = lambda self, mode: None
    def __enter__(self):
        if self.enter_error:
            raise self.enter_error
        return SimpleNamespace(readlines=self.lines)
    def __exit__(self, t, v, tb):
        global saw
        saw = v, (describe(v), lines_of(tb), t is (v and type(v))
                  and tb is (v and v.__traceback__)
                  and sys.exc_info()[1] is (v or OUTER))
        if self.exit_error:
            raise self.exit_error
        return self.result
def cm(lines=CM.lines, **attrs):
    return type("CM", (CM,), dict(attrs, lines=staticmethod(lines)))
def late_failure():
    yield "a=1"
    raise OSError("disk")
class Untestable:
    __bool__ = lambda self: 1 / 0
class Unprintable:
    __str__ = lambda self: 1 / 0
class Uncomparable(str):  # its comparison with "" fails
    strip = lambda self: self
    __eq__ = lambda self, other: 1 / 0
    __hash__ = str.__hash__
class Line(str):
    __str__ = lambda self: Uncomparable(str.__str__(self))
freed = []
class Bare:  # neither __enter__ nor __exit__
    __del__ = lambda self: freed.append(True)

bad = lambda: ["a=1", "bad", "c=3"]
cases = dict(
    normal=cm(result=Untestable()), fails=cm(bad, result=0),
    suppressed=cm(bad, result=[1]),
    exit_raises=cm(bad, exit_error=OSError("exit")),
    exit_raises_at_end=cm(exit_error=OSError("exit")),
    enter_fails=cm(enter_error=OSError("enter")),
    no_enter=type("X", (), {"__init__": CM.__init__, "__exit__": CM.__exit__}),
    neither=lambda mode: Bare(),
    iter_fails=cm(late_failure),
    not_text=cm(lambda: [b"a=1", Unprintable()]),
    blank_test_fails=cm(lambda: [Line("x=1")]),
)
results = {}
for name, factory in cases.items():
    saw, target = (None, None), {}
    try:
        raise OUTER
    except LookupError:
        try:
            outcome = Parameter.read_param(target, factory)
        except Exception as e:
            outcome = (describe(e), lines_of(e.__traceback__),
                       describe(e.__context__), e is saw[0])
        assert sys.exc_info()[1] is OUTER, name
    results[name] = (outcome, saw[1], target)
results["opened_object_freed"] = freed == [True]
if __name__ == "__main__":
    print(repr(results))
