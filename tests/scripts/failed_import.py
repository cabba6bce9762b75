"""`python -m scripts.failed_import BREAK MEND` runs the code BREAK, imports
the module, runs MEND and imports it again; prints, as JSON, the failure of
the first import with the module's entries, and whether the second module
holds numpy, pandas and the function type that extensions share."""
import importlib
import json
import sys
import types  # noqa: F401 - for BREAK

from entries import module_frames

MODULE = "fernlake_data.plugins.param"
exec(sys.argv[1])
try:
    importlib.import_module(MODULE)
except Exception as e:
    failure = e
# Mended first: from 3.13 reading a traceback's lines imports tokenize,
# which needs builtins.open.
exec(sys.argv[2])
out = [[f"{type(failure).__name__}: {failure}",
        module_frames(failure.__traceback__)]]
m = importlib.import_module(MODULE)
out.append([m.np is sys.modules["numpy"], m.pd is sys.modules["pandas"],
            type(m.Parameter.read_param)
            is sys.modules["_korvel_0_29_32"].korvel_function_or_method])
print(json.dumps(out))
