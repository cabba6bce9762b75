"""Reads with `re` bound to a module of this script's own, stops the
watching of the module's namespace with every watcher id that another
extension may use, rebinds `re` to another such module (which frees the
first) and reads again, in both classes: each read calls the `re` bound at
that time. Prints "same" when both classes agree."""
import re
import sys
import types

import _testcapi

import model
from fernlake_data.plugins import param

path = sys.argv[1]


def fake_re(tag, seen):
    fake = types.ModuleType("fake_re")
    fake.search = lambda *a: seen.append(tag) or re.search(*a)
    fake.split = re.split
    return fake


def reads(module, cls):
    seen = []
    module.re = fake_re("first", seen)
    cls(path)
    for watcher in range(1, 8):  # 0 is the interpreter's own
        try:
            _testcapi.unwatch_dict(watcher, vars(module))
        except ValueError:
            pass  # no watcher with that id
    module.re = fake_re("second", seen)
    # Memory that the first module held is taken by objects of its kind.
    taken = [types.ModuleType("taken") for _ in range(100)]
    cls(path)
    module.re = re
    del taken
    return seen


native = reads(param, param.Parameter)
plain = reads(model, model.ModelParameter)
print("same" if native == plain == ["first"] * 2 + ["second"] * 2
      else (native, plain))
