"""Runs the code object of each method of the class as a function's, and
has a monitoring tool watch it (from 3.12); prints, as JSON, the type of
each error and the line of its last traceback entry."""
import json
import sys
import traceback
import types

from call_matrix import METHODS
from fernlake_data.plugins.param import Parameter

result = []
for method in METHODS:
    code = vars(Parameter)[method].__code__
    try:
        types.FunctionType(code, {})(*range(code.co_argcount))
    except Exception as e:
        result.append([type(e).__name__,
                       traceback.extract_tb(e.__traceback__)[-1].lineno])
    if sys.version_info >= (3, 12):
        m = sys.monitoring
        m.use_tool_id(4, "test")
        m.set_local_events(4, code, m.events.PY_START)
        m.set_local_events(4, code, 0)
        m.free_tool_id(4)
print(json.dumps(result))
