"""Imported first by a script that runs in a fresh interpreter: the module
keeps the `open` it finds at import, so it is imported here while `open`
also takes a callable, which makes the object that `open(path, "r")`
returns. The script then hands the reader objects of its own."""
import builtins

real_open = builtins.open
builtins.open = lambda f, *a: f(*a) if callable(f) else real_open(f, *a)
from fernlake_data.plugins.param import Parameter  # noqa: E402,F401
builtins.open = real_open
