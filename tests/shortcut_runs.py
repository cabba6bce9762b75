"""How often each shortcut of the module's test build ran, and dictionary
watchers taken as other extensions take them: for scripts that run in
fresh interpreters."""
import ctypes


def take_every_watcher():
    """Takes every free dictionary watcher id (from 3.12), before the
    module's import; returns how many it took."""
    watch = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object,
                             ctypes.py_object, ctypes.py_object)(
        lambda *a: 0)
    take_every_watcher.kept = watch
    ctypes.pythonapi.PyDict_AddWatcher.argtypes = [ctypes.c_void_p]
    taken = 0
    try:
        while True:
            ctypes.pythonapi.PyDict_AddWatcher(
                ctypes.cast(watch, ctypes.c_void_p))
            taken += 1
    except (ValueError, RuntimeError):  # no more ids
        return taken


def not_run(action):
    """The shortcuts that did not run during `action()`."""
    from fernlake_data.plugins import param
    library = ctypes.CDLL(param.__file__)
    names = ctypes.c_char_p.in_dll(
        library, "fernlake_param_shortcut_names").value.decode().split()

    class Runs(ctypes.Structure):
        _fields_ = [(name, ctypes.c_uint64) for name in names]
    counts = Runs.in_dll(library, "fernlake_param_shortcut_runs")
    before = [getattr(counts, name) for name in names]
    action()
    return [n for n, b in zip(names, before) if getattr(counts, n) == b]
