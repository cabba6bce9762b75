"""`python -m scripts.silent_native_search PATH` replaces re.search by a
native function of the argument-array convention (METH_FASTCALL) that
returns NULL without setting an exception, and reads PATH with the
plain-Python class and with the module; prints, as JSON, what each
raised."""
import ctypes
import json
import re
import sys

from entries import described
from fernlake_data.plugins.param import Parameter
from model import ModelParameter


class MethodDef(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("meth", ctypes.c_void_p),
                ("flags", ctypes.c_int), ("doc", ctypes.c_char_p)]


silent_meth = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p,
                                ctypes.c_void_p, ctypes.c_ssize_t)(
    lambda self, args, nargs: None)
silent_def = MethodDef(b"silent", ctypes.cast(silent_meth, ctypes.c_void_p),
                       0x80, None)
new = ctypes.pythonapi.PyCFunction_NewEx
new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p] * 3
re.search = new(ctypes.addressof(silent_def), None, None)
result = []
for cls in (ModelParameter, Parameter):
    try:
        cls(sys.argv[1])
    except Exception as e:
        result.append(described(e))
print(json.dumps(result))
