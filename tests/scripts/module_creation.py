"""Creates the module from its definition with specs of two kinds,
executes, re-executes and re-imports it, and imports it in a
subinterpreter; prints, as JSON, what each step gave."""
import _imp
import ctypes
import importlib
import importlib.util
import json
import sys
import types
import warnings

from entries import module_frames

MODULE = "fernlake_data.plugins.param"
warnings.simplefilter("error", RuntimeWarning)  # no version warning
init = ctypes.PyDLL(importlib.util.find_spec(MODULE).origin).PyInit_param
init.restype = ctypes.c_void_p
create = ctypes.pythonapi.PyModule_FromDefAndSpec2
create.restype = ctypes.py_object
create.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]


def make(**spec):
    return create(init(), types.SimpleNamespace(**spec), 1013)


bare = make(name="alt.param", loader=None, submodule_search_locations=None)
full = make(name="x", loader="L", origin="O", parent="P",
            submodule_search_locations=["S"])
out = dict(bare=sorted(vars(bare)), full=[vars(full)[k] for k in (
               "__loader__", "__file__", "__package__", "__path__")],
           run=_imp.exec_dynamic(bare), name=bare.__name__,
           entered=sys.modules[MODULE] is bare,
           # Once ready, creation hands back the module and reads no spec.
           created=make(name="z", origin="O") is bare,
           has_file=hasattr(bare, "__file__"), rerun=_imp.exec_dynamic(bare))
try:
    _imp.exec_dynamic(full)
except RuntimeError as e:
    out["other"] = [str(e), module_frames(e.__traceback__),
                    hasattr(full, "np")]
del sys.modules[MODULE]
out["again"] = importlib.import_module(MODULE) is bare
if sys.version_info >= (3, 13):  # renamed; reports instead of raising
    import _interpreters as subs
    sub = subs.create()
    failure = subs.run_string(sub, "import " + MODULE)
    out["sub"] = f"<class '{failure.type.__name__}'>: {failure.msg}"
else:
    import _xxsubinterpreters as subs
    sub = subs.create()
    try:
        subs.run_string(sub, "import " + MODULE)
    except subs.RunFailedError as e:
        out["sub"] = str(e)
subs.destroy(sub)
print(json.dumps(out))
