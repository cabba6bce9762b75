"""`python -m scripts.no_free_watcher PATH` takes every dictionary watcher
id, as other extensions may, imports the module and reads PATH with the
plain-Python class and with the module; prints, as JSON, how many ids it
took, the shortcuts that did not run, and what each read stored (each
setting fetched as an item) or raised."""
import json
import sys

from shortcut_runs import not_run, take_every_watcher

taken = take_every_watcher()
from entries import described  # noqa: E402
from fernlake_data.plugins.param import Parameter  # noqa: E402
from model import ModelParameter  # noqa: E402

outcomes = []


def read():
    for cls in (ModelParameter, Parameter):
        try:
            p = cls(sys.argv[1])
            outcomes.append({k: p[k] for k in vars(p) if k != "path"})
        except ValueError as e:
            outcomes.append(described(e)[:2])


print(json.dumps([taken, not_run(read), outcomes]))
