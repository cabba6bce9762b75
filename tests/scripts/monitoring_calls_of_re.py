"""`python -m scripts.monitoring_calls_of_re PATH BEFORE AFTER` runs the code
BEFORE, imports the module, reads PATH once (re compiles and caches both
patterns) and runs AFTER, which give a sys.monitoring tool (id 3) its
callback and events; then reads PATH with the plain-Python reader and with
the module's into `target`, and prints, as JSON, the calls of re's
functions the tool saw in each read."""
import json
import re
import sys

m, seen = sys.monitoring, []
PY_START = m.events.PY_START
path, before, after = sys.argv[1:]


def started(code, offset):
    if code.co_filename == re.search.__code__.co_filename:
        seen.append(code.co_name)


def callback():
    m.register_callback(3, PY_START, started)


def start():
    m.use_tool_id(3, "test")
    callback()
    m.set_events(3, PY_START)


class Target(dict):
    arm = False

    def __setitem__(self, key, value):
        if self.arm:
            m.set_events(3, PY_START)
        super().__setitem__(key, value)


target = Target()
exec(before)
from fernlake_data.plugins.param import Parameter  # noqa: E402
from model import read_into  # noqa: E402

Parameter.read_param({}, path)  # patterns compiled and cached
exec(after)
calls = []
for read in (read_into, Parameter.read_param):
    m.set_events(3, 0) if target.arm else None
    seen.clear()
    read(target, path)
    calls.append(list(seen))
print(json.dumps(calls))
