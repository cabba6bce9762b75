"""`python -m scripts.re_before_import NAME` changes `re` as the entry NAME
of BEFORE_IMPORT prepares it, imports the module, runs what follows the
change, and prints, as JSON, what a read stores and raises with the
plain-Python class and with the module, and what the change saw of each."""
import builtins  # noqa: F401 - for the changes
import json
import os  # noqa: F401
import re
import signal  # noqa: F401
import sys
import tempfile

# Changes of re made before the import, and what follows them; each runs
# with `seen`, a list of what the change saw, and `compiler`, re's.
BEFORE_IMPORT = {
    # A function's code replaced in place, as hot-reload tools do.
    "split_code": ("""
ns = {}
exec("def split(pattern, string, *args, **kwargs):\\n"
     "    return [s.strip() for s in _compile(pattern, 0).split(string)]",
     ns)
re.split.__code__ = ns["split"].__code__
""", ""),
    # From 3.10 re's functions keep the builtins of their making: the
    # namespace's entry rebound is not what they use.
    "namespace_builtins": (
        'vars(re)["__builtins__"] = dict(vars(builtins))',
        """
real_isinstance = builtins.isinstance
builtins.isinstance = lambda *a: seen.append("isinstance") or \\
    real_isinstance(*a)
"""),
    # A signal that arrives while re's compiler runs is not lost: the
    # compiler sends one at its first call, and each call is seen.
    "compiler_signalled": ("""
import types
def raise_interrupt(signum, frame):
    raise KeyboardInterrupt
signal.signal(signal.SIGUSR1, raise_interrupt)
original, armed = compiler.compile, []
real = types.FunctionType(original.__code__, original.__globals__,
                          "compile", original.__defaults__)
def compile(p, flags=0, _seen=seen, _armed=armed, _real=real,
            _signal=lambda: os.kill(os.getpid(), signal.SIGUSR1)):
    if _armed:
        _seen.append(p)
        if len(_seen) == 1:
            _signal()
    return _real(p, flags)
# In place, with the compiler's own globals.
original.__code__, original.__defaults__ = (compile.__code__,
                                            compile.__defaults__)
""", "armed.append(True)"),
    # What the shortcut does not use may be anything.
    "compiler_no_module": (
        'sys.modules[compiler.__name__] = object()', ""),
    "sre_no_module": ('sys.modules["_sre"] = object()', ""),
}



if __name__ == "__main__":
    from entries import described
    prepare, after = BEFORE_IMPORT[sys.argv[1]]
    compiler = getattr(re, "_compiler", None) or sys.modules["sre_compile"]
    path = tempfile.mktemp()
    with open(path, "w") as f:
        f.write("# a comment\nowner = survey team\n")
    # Both patterns compiled and cached before either class reads.
    re.search("^#", ""), re.split("=", "")
    seen = []
    exec(prepare)
    from fernlake_data.plugins.param import Parameter
    from model import ModelParameter
    exec(after)
    result = []
    for cls in (ModelParameter, Parameter):
        del seen[:]
        try:
            p = cls(path)
            result.append([{k: v for k, v in vars(p).items()
                            if k != "path"}, list(seen)])
        except BaseException as e:  # noqa: B036
            result.append([described(e), list(seen)])
    print(json.dumps(result))
