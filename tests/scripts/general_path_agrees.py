"""`python -m scripts.general_path_agrees DIRECTORY` reads generated files,
written in DIRECTORY, with the shortcuts and with their guards tripped: re
wrapped, an instance of a trivial subclass, lines that are a str subclass
whose str() and strip() are no plain str. Every traceback entry carries its
implementation position, so the positions are compared too. Prints "same"
when all agree."""
import os
import re
import sys

from hypothesis import HealthCheck, given, settings

from entries import module_frames
from generated import EXAMPLES, param_file
from own_open import Parameter, real_open

DIRECTORY = sys.argv[1]
sys.modules["korvel_runtime"].cline_in_traceback = True


class Sub(Parameter):
    pass


class Stripped(str):
    pass


class Line(str):

    def __str__(self):
        return Stripped(str.__str__(self))


class Lines:
    # open(lines, "r") gives an object whose lines are a str subclass.
    def __init__(self, path):
        self.path = path

    def __call__(self, mode):
        return self

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None

    def readlines(self):
        with real_open(self.path, "r") as f:
            return [Line(l) for l in f.readlines()]


def wrapped_re(on):
    search, split = re.search, re.split
    if on:
        re.search = lambda *a: search(*a)
        re.split = lambda *a: split(*a)
    return search, split


def outcome(cls, lines, paths):
    p = cls.__new__(cls)
    result = []
    for method, path in zip(("__init__", "read_param"), paths):
        try:
            getattr(p, method)(Lines(path) if lines else path)
            error = None
        except Exception as e:
            error = [type(e).__name__, repr(e.args),
                     module_frames(e.__traceback__)]
        result.append([[[k, v] for k, v in vars(p).items() if k != "path"],
                       error])
    return result


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=list(HealthCheck))
@given(first=param_file, second=param_file)
def compare(first, second):
    paths = [os.path.join(DIRECTORY, n) for n in ("1.param", "2.param")]
    for path, raw in zip(paths, (first, second)):
        with real_open(path, "wb") as f:
            f.write(raw)
    plain = outcome(Parameter, False, paths)
    for cls, lines, re_wrapped in [(Sub, False, False),
                                   (Parameter, True, False),
                                   (Parameter, False, True),
                                   (Sub, True, True)]:
        search, split = wrapped_re(re_wrapped)
        try:
            assert outcome(cls, lines, paths) == plain, (cls, lines,
                                                         re_wrapped)
        finally:
            re.search, re.split = search, split

compare()
print("same")
