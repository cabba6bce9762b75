"""Every kind of call of a Parameter class, good and bad, in one table: the
leak and reference-count tests, the memcheck smoke script and the memory
soak all run it. It takes the class to call, so that the same calls of the
plain-Python class give a baseline."""
import operator
import os
from typing import Any, Callable, Dict, NamedTuple, Optional, Tuple, Type

# The methods of the class, in the order it defines them, and the line of
# each definition: the one list of them that the tests read. A method added
# to the class is added here too (test_import checks it).
METHODS = ("__init__", "__getitem__", "__setitem__", "read_param")
DEFINED_AT = dict(zip(METHODS, (8, 12, 17, 20)))

# The files the calls read: settings with a comment, a blank line and blanks
# around the '=', and the three ways a file stops a read.
TEXTS = {
    "good": b"# survey\nsite=north\n\n  count = 12 \nk=v\n",
    "no_eq": b"a=1\n# c\nlonely\n",
    "two_eq": b"a=1\nx=y=z\n",
    "undecodable": b"a=1\n\xff\n",
}


def write_files(directory):
    """The files of TEXTS written in `directory`, and a path to none, by
    name."""
    paths = {"missing": os.path.join(directory, "missing.param")}
    for name, text in TEXTS.items():
        paths[name] = os.path.join(directory, name + ".param")
        with open(paths[name], "wb") as f:
            f.write(text)
    return paths


class Call(NamedTuple):
    name: str
    error: Optional[Type[BaseException]]  # what the call raises, if any
    func: Callable
    args: Tuple = ()
    kwargs: Dict[str, Any] = {}

    def run(self):
        try:
            self.func(*self.args, **self.kwargs)
        except self.error or ():
            pass


def calls(Parameter, paths):
    """Each kind of call of the class `Parameter` on the files `paths`."""
    p = Parameter(paths["good"])
    p["key"] = value = object()
    # A subclass takes the general paths that the shortcuts skip.
    sub = type("Sub", (Parameter,), {})
    s = sub(paths["good"])
    s["key"] = value
    get, set_, read = (getattr(Parameter, name) for name in
                       ("__getitem__", "__setitem__", "read_param"))
    good = paths["good"]
    return [
        Call("construct", None, Parameter, (good,)),
        Call("construct_by_keyword", None, Parameter, (), {"path": good}),
        Call("read_again", None, p.read_param, (good,)),
        Call("read_into_dict", None, read, ({}, good)),
        Call("subscript", None, operator.getitem, (p, "key")),
        Call("assign", None, operator.setitem, (p, "k", "v")),
        Call("get", None, p.__getitem__, ("key",)),
        Call("set_by_keyword", None, set_, (),
             {"self": p, "key": "key", "value": value}),
        Call("construct_subclass", None, sub, (good,)),
        Call("subscript_subclass", None, operator.getitem, (s, "key")),
        Call("assign_subclass", None, operator.setitem, (s, "key", value)),
        Call("missing_key_subclass", KeyError, get, (s, "absent")),
        Call("no_equals_subclass", ValueError, s.read_param,
             (paths["no_eq"],)),
        Call("missing_key", KeyError, operator.getitem, (p, "absent")),
        Call("unhashable_get", TypeError, operator.getitem, (p, [])),
        Call("unhashable_set", TypeError, p.__setitem__, ([], value)),
        Call("init_no_path", TypeError, Parameter),
        Call("init_two_paths", TypeError, Parameter, (good, good)),
        Call("init_repeated", TypeError, Parameter, (good,), {"path": good}),
        Call("init_unexpected", TypeError, Parameter, (),
             {"path": good, "extra": value}),
        Call("get_no_self", TypeError, get, (), {"key": "key"}),
        Call("get_repeated_self", TypeError, p.__getitem__, ("key",),
             {"self": p}),
        Call("set_missing_key", TypeError, set_, (),
             {"self": p, "value": value}),
        Call("read_one_argument", TypeError, read, (p,)),
        Call("no_item_assignment", TypeError, read, ((), good)),
        Call("missing_file", FileNotFoundError, p.read_param,
             (paths["missing"],)),
        Call("no_equals", ValueError, Parameter, (paths["no_eq"],)),
        Call("two_equals", ValueError, p.read_param, (paths["two_eq"],)),
        Call("undecodable", UnicodeDecodeError, p.read_param,
             (paths["undecodable"],)),
    ]
