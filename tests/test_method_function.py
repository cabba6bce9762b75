"""The methods' function type: attributes, their setters and messages,
binding to instances, representation, pickling, weak references and
collection, as interpreted functions behave."""
import ctypes
import gc
import pickle
import re
import sys
import types
import weakref

import pytest

from conftest import METHODS, Parameter, param

KorvelFunction = type(vars(Parameter)["read_param"])
TYPE_NAME = "korvel_function_or_method"
_P = ctypes.c_void_p
_api = ctypes.pythonapi


# Objects of the type around method records of our own reach the call
# conventions and the fields that the module's four functions do not use.
class MethodRecord(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("meth", _P),
                ("flags", ctypes.c_int), ("doc", ctypes.c_char_p)]


class Layout(ctypes.Structure):
    _fields_ = [(n, _P) for n in (
        "refcnt", "type", "ml", "self", "module", "weakreflist", "vectorcall",
        "dict", "name", "qualname", "doc", "globals", "code", "closure",
        "classobj", "defaults")] + [
        ("defaults_pyobjects", ctypes.c_int),
        ("defaults_size", ctypes.c_size_t), ("flags", ctypes.c_int)] + [
        (n, _P) for n in ("defaults_tuple", "defaults_kwdict",
                          "defaults_getter", "annotations")]


Entry = ctypes.PYFUNCTYPE(ctypes.py_object, _P, _P)
EntryKw = ctypes.PYFUNCTYPE(ctypes.py_object, _P, _P, _P)
_keep = []  # records and callbacks outlive every object that uses them


def capi(name, restype, *argtypes):
    function = _api[name]
    function.restype, function.argtypes = restype, argtypes
    return function


def obj(address):  # borrowed; a null pointer reads as "NULL"
    return "NULL" if address is None else ctypes.cast(
        address, ctypes.py_object).value


def owned(address):  # takes over a new reference
    result = obj(address)
    _api.Py_DecRef(ctypes.py_object(result))
    return result


def counted(value):
    _api.Py_IncRef(ctypes.py_object(value))
    return id(value)


def make(ml_flags=3, flags=0, ml_doc=None, **fields):
    """A function object whose entry point answers with what it received;
    `fields` fill its object fields."""
    entry = (EntryKw if ml_flags & 15 == 3 else Entry)(
        lambda *received: tuple(map(obj, received)))
    record = MethodRecord(b"probe", ctypes.cast(entry, _P), ml_flags, ml_doc)
    _keep.append((entry, record))
    address = capi("_PyObject_GC_New", _P, ctypes.py_object)(KorvelFunction)
    ctypes.memset(address + 16, 0, ctypes.sizeof(Layout) - 16)
    layout = Layout.from_address(address)
    layout.ml, layout.self = ctypes.addressof(record), address
    layout.flags = flags
    for field, value in dict({"qualname": "P.probe"}, **fields).items():
        setattr(layout, field, counted(value))
    capi("PyObject_GC_Track", None, _P)(address)
    return owned(address)


_call = capi("PyObject_Call", _P, ctypes.py_object, ctypes.py_object, _P)


def call(function, args, kwargs):  # no keyword dictionary for None
    return owned(_call(function, args, None if kwargs is None else id(kwargs)))


def raises(error, message):  # exactly this message
    return pytest.raises(error, match=f"^{re.escape(message)}$")


def test_type_shape():
    # Modules sharing the type rely on this exact layout and size.
    assert (KorvelFunction.__name__, KorvelFunction.__module__,
            KorvelFunction.__bases__, KorvelFunction.__basicsize__) == (
        TYPE_NAME, "builtins", (object,), ctypes.sizeof(Layout))
    with raises(TypeError, f"type '{TYPE_NAME}' is not an acceptable base "
                           "type"):
        type("Derived", (KorvelFunction,), {})
    with raises(TypeError, f"cannot create '{TYPE_NAME}' instances"):
        KorvelFunction()


@pytest.mark.parametrize("name", METHODS)
def test_attributes_of_the_module_functions(name):
    f = vars(Parameter)[name]
    assert f.__name__ is f.func_name is sys.intern(name)
    assert (f.__qualname__, f.__module__) == ("Parameter." + name,
                                              param.__name__)
    for attr in ("__doc__", "func_doc", "__defaults__", "func_defaults",
                 "__kwdefaults__", "__closure__", "func_closure", "__self__"):
        assert getattr(f, attr) is None, attr
    assert f.__globals__ is f.func_globals is vars(param)
    assert f.__code__ is f.func_code and f.__code__.co_name == name
    assert f.__dict__ is f.func_dict and f.__dict__ == {}
    assert f.__annotations__ is f.__annotations__ == (
        {"return": None} if name == "__init__" else {})
    assert repr(f) == f"<korvelfunction Parameter.{name} at {hex(id(f))}>"
    assert f.__reduce__() == f.__reduce__(1, 2) == "Parameter." + name
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert weakref.ref(f)() is f and gc.is_tracked(f)


DELETE = object()
READ_ONLY = ("__self__", "__globals__", "func_globals", "__closure__",
             "func_closure", "__code__", "func_code")
NOT_TEXT = "{} must be set to a string object".format


@pytest.mark.parametrize("attr, value, message", [
    (attr, value, f"attribute '{attr}' of '{TYPE_NAME}' objects is not "
     "writable") for attr in READ_ONLY for value in (None, DELETE)] + [
    ("__name__", 3, NOT_TEXT("__name__")),
    ("func_name", DELETE, NOT_TEXT("__name__")),
    ("__qualname__", DELETE, NOT_TEXT("__qualname__")),
    ("func_dict", DELETE, "function's dictionary may not be deleted"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
    ("func_defaults", [], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [], "__annotations__ must be set to a dict object")])
def test_refused_changes_leave_the_function_unchanged(attr, value, message):
    f = Parameter.read_param
    before = getattr(f, attr)
    error = AttributeError if attr in READ_ONLY else TypeError
    with raises(error, message):
        delattr(f, attr) if value is DELETE else setattr(f, attr, value)
    assert getattr(f, attr) is before


Text = type("Text", (str,), {})
Table = type("Table", (dict,), {})
Row = type("Row", (tuple,), {})
SAME, FRESH = object(), object()  # read back: the value set; a new {}


@pytest.mark.parametrize("attr, value, read", [
    ("__doc__", 5, SAME), ("func_doc", DELETE, None),
    ("func_name", Text("renamed"), SAME), ("__qualname__", Text("Q"), SAME),
    ("__dict__", Table(), SAME), ("func_defaults", Row((1,)), SAME),
    ("__defaults__", DELETE, None), ("__kwdefaults__", Table(a=1), SAME),
    ("__kwdefaults__", DELETE, None), ("__annotations__", Table(), SAME),
    ("__annotations__", None, FRESH), ("__annotations__", DELETE, FRESH),
    ("__module__", DELETE, None)])
def test_setters_replace_and_release_the_old_value(attr, value, read):
    f = make(ml_doc=b"doc", module="m", defaults_tuple=(0,),
             defaults_kwdict={"k": 0}, annotations={"a": 0})
    assert (f.__name__, f.__doc__) == ("probe", "doc")  # made on first read
    old = getattr(f, attr)
    before = [sys.getrefcount(old), sys.getrefcount(value)]
    delattr(f, attr) if value is DELETE else setattr(f, attr, value)
    after = [sys.getrefcount(old), sys.getrefcount(value)]
    # One reference less to the old value, one more to a new one that is
    # kept. From 3.12 interned texts (the name, the module) and small
    # numbers are immortal: their count stays put.
    kept = value is not DELETE and value is not None
    assert after == [count if sys.version_info >= (3, 12) and count >= 2 ** 30
                     else count + change
                     for count, change in zip(before, (-1, kept))]
    now = getattr(f, attr)
    if read is FRESH:
        assert now == {} and now is not old and getattr(f, attr) is now
    else:
        assert now is (value if read is SAME else read)


def test_collector_sees_every_field_and_collects_a_cycle():
    fields = dict(closure=object(), module=Text("m"), name=Text("n"),
                  qualname=Text("q"), doc=object(), globals={},
                  code=Parameter.read_param.__code__, classobj=object(),
                  defaults_tuple=(1,), defaults_kwdict={}, annotations={})
    held = list(fields.values())
    references = [sys.getrefcount(o) for o in held]
    f = make(**fields)
    assert f.__self__ is fields["closure"] and f.__closure__ is None
    f.me = f  # other names go through the attribute dictionary
    assert f.__dict__ == {"me": f} and gc.is_tracked(f)
    visited = held[:2] + [f.__dict__] + held[2:]
    assert list(map(id, gc.get_referents(f))) == list(map(id, visited))
    gone = []
    ref = weakref.ref(f, gone.append)
    del f, visited
    gc.collect()
    assert ref() is None and gone == [ref]
    assert [sys.getrefcount(o) for o in held] == references


def test_functions_bind_to_instances_only(write_param):
    p = Parameter(write_param("a=1\n"))
    f = vars(Parameter)["read_param"]
    first, second = p.read_param, p.read_param
    assert type(first) is types.MethodType and first is not second
    assert first.__func__ is second.__func__ is f and first.__self__ is p
    assert Parameter.read_param is f
    f(p, write_param("b=2\n"))
    assert p["b"] == "2"
    with raises(TypeError, "read_param() takes exactly 2 positional "
                           "arguments (0 given)"):
        f()
    # `__get__(None, owner)` from Python passes no instance, and gives the
    # function itself as an interpreted function's does; the slot itself
    # binds None as one.
    def plain(self):
        pass
    assert f.__get__(None, Parameter) is f
    assert plain.__get__(None, Parameter) is plain
    descr_get = ctypes.PYFUNCTYPE(_P, ctypes.py_object, _P, ctypes.py_object)(
        type_slot(KorvelFunction, "tp_descr_get"))
    bound = owned(descr_get(f, id(None), Parameter))
    assert (type(bound), bound.__func__, bound.__self__) == (
        types.MethodType, f, None)
    assert owned(descr_get(f, None, Parameter)) is f


# The slots of a type object, read where its structure keeps them: before
# 3.10 PyType_GetSlot does not read static types. The fields before these
# are pointers or pointer-sized on every version.
TYPE_SLOTS = {"tp_descr_get": 34}
_type_slot_ids = {"tp_descr_get": 54}  # typeslots.h


def type_slot(cls, name):
    address = _P.from_address(
        id(cls) + TYPE_SLOTS[name] * ctypes.sizeof(_P)).value
    if sys.version_info >= (3, 10):
        assert address == capi("PyType_GetSlot", _P, ctypes.py_object,
                               ctypes.c_int)(cls, _type_slot_ids[name])
    return address


def test_type_slots_are_read_where_the_type_keeps_them():
    # A heap type gives its slots through PyType_GetSlot on every version.
    class Descriptor:
        def __get__(self, obj, owner):
            pass
    assert type_slot(Descriptor, "tp_descr_get") == capi(
        "PyType_GetSlot", _P, ctypes.py_object, ctypes.c_int)(
        Descriptor, _type_slot_ids["tp_descr_get"])


F, NULL = object(), "NULL"  # stand-ins: the function itself; no object


@pytest.mark.parametrize("ml_flags, flags, args, kwargs, received", [
    (1, 0, (1, 2), None, (F, (1, 2))),
    (1 | 32, 0, (1,), {}, (F, (1,))),  # low four bits choose; {} is none
    (3, 0, (1,), {"k": 2}, (F, (1,), {"k": 2})),
    (3, 0, (), None, (F, (), NULL)), (4, 0, (), {}, (F, NULL)),
    (8, 0, (7,), None, (F, 7)),
    # A method of an extension class takes its instance first ...
    (1, 4, ("inst", 1, 2), None, ("inst", (1, 2))),
    (3, 4, ("inst",), {"k": 2}, ("inst", (), {"k": 2})),
    (8, 4, ("inst", 7), None, ("inst", 7)),
    # ... unless it is static.
    (1, 5, ("inst", 1), None, (F, ("inst", 1)))])
def test_entry_point_receives_per_convention(ml_flags, flags, args, kwargs,
                                             received):
    f = make(ml_flags, flags)
    assert call(f, args, kwargs) == tuple(f if x is F else x
                                          for x in received)


KEYWORDS = "probe() takes no keyword arguments"
UNBOUND = "unbound method P.probe() needs an argument"


@pytest.mark.parametrize("ml_flags, flags, args, kwargs, message", [
    (1, 0, (), {"k": 1}, KEYWORDS), (4, 0, (1,), {"k": 1}, KEYWORDS),
    (8, 0, (1,), {"k": 1}, KEYWORDS), (1, 4, ("inst",), {"k": 1}, KEYWORDS),
    (4, 0, (1, 2), None, "probe() takes no arguments (2 given)"),
    (4, 4, ("inst", 1), {}, "probe() takes no arguments (1 given)"),
    (8, 0, (), None, "probe() takes exactly one argument (0 given)"),
    (8, 0, (1, 2), {}, "probe() takes exactly one argument (2 given)"),
    (1, 4, (), None, UNBOUND), (3, 4, (), {"k": 1}, UNBOUND)])
def test_wrong_calls_are_refused(ml_flags, flags, args, kwargs, message):
    with raises(TypeError, message):
        call(make(ml_flags, flags), args, kwargs)


@pytest.mark.parametrize("ml_flags", [0, 2, 5, 6, 9, 12, 16])
def test_unknown_conventions_are_a_system_error(ml_flags):
    with pytest.raises(SystemError, match=r"^Bad call flags in .*\. "
                       "METH_OLDARGS is no longer supported!$"):
        make(ml_flags)(1)
