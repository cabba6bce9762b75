"""`python -m scripts.every_shortcut_runs PATH` reads PATH (a comment and a
setting, k=v) with the module, fetches and stores a setting and fetches a
key that is missing; prints the shortcuts that did not run."""
import sys

from fernlake_data.plugins import param
from shortcut_runs import not_run

path = sys.argv[1]
param.Parameter(path)  # re compiles and caches both patterns


def use():
    p = param.Parameter(path)
    p["k"] = p["k"]
    try:
        # A key with no hash yet takes the body, which tests membership on
        # the dictionary.
        p["".join(["ab", "sent"])]
    except KeyError:
        pass


print(*not_run(use))
