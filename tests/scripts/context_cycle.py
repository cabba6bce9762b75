"""A read whose item assignment raises an exception whose context chain is
a cycle (a -> b -> a), while the truth test of the traceback switch raises:
the switch's error propagates with the failure as its context, and the
cycle stays as it was, as Python chains an exception raised while another
is handled. Prints the types of the switch's errors, then of the cycle."""
import sys

from fernlake_data.plugins.param import Parameter

a, b = ValueError("a"), KeyError("b")
a.__context__, b.__context__ = b, a


class Target(Parameter):
    def __setitem__(self, key, value):
        raise a


class Switch:
    def __bool__(self):
        raise RuntimeError("switch")


runtime = sys.modules["korvel_runtime"]
runtime.cline_in_traceback = Switch()
try:
    Target.__new__(Target).read_param(sys.argv[1])
except RuntimeError as e:
    raised = e
finally:
    runtime.cline_in_traceback = False
# The switch is read once for each entry the failure gets: each error of
# it is chained to the one before, the first to the failure.
switch_errors = []
e = raised
while isinstance(e, RuntimeError) and len(switch_errors) < 10:
    switch_errors.append(e)
    e = e.__context__
assert e is a and a.__context__ is b and b.__context__ is a, e
print(*{type(e).__name__ for e in switch_errors}, "then", type(a).__name__,
      type(b).__name__)
