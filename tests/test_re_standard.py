"""`re` as the module finds it at import: the reader computes re's work only
while re's functions are the standard ones by what they are, calls nothing
of re's that plain Python would not call, and imports and reads alike when
re is not as the shortcut needs it. Each case runs in a fresh interpreter
whose `re` is changed before the module is imported, and compares with the
plain-Python class there."""
import json
import sys

import pytest

# Run first in each script: what a read of `TEXT` stores and raises with
# the plain class and with the module, as JSON, after `prepare()` and the
# import. The patterns are compiled and cached before either class reads.
SCRIPT = """
import builtins, json, os, re, signal, sys, tempfile
from entries import described
compiler = getattr(re, "_compiler", None) or sys.modules["sre_compile"]
path = tempfile.mktemp()
with open(path, "w") as f:
    f.write({text!r})
re.search("^#", ""), re.split("=", "")
seen = []
{prepare}
from fernlake_data.plugins.param import Parameter
from model import ModelParameter
{after}
result = []
for cls in (ModelParameter, Parameter):
    del seen[:]
    try:
        p = cls(path)
        result.append([{{k: v for k, v in vars(p).items() if k != "path"}},
                       list(seen)])
    except BaseException as e:
        result.append([described(e), list(seen)])
print(json.dumps(result))
"""

TEXT = "# a comment\nowner = survey team\n"

# Changes of re made before the import, and what follows them.
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


@pytest.mark.parametrize("prepare, after", BEFORE_IMPORT.values(),
                         ids=BEFORE_IMPORT)
def test_re_changed_before_the_import(run_python, prepare, after):
    out = run_python(SCRIPT.format(text=TEXT, prepare=prepare, after=after))
    plain, native = json.loads(out.stdout.splitlines()[-1])
    # Only the module's own traceback entries differ.
    if isinstance(plain[0], list):
        assert native[0][:2] == plain[0][:2]
    else:
        assert native == plain
