"""`python -m scripts.keys_running_code PATH` stores and fetches, in an
instance of the class and of a subclass made from PATH, keys whose hash and
equality run Python code; prints, as JSON, how often each ran, by class.
In a fresh process: from 3.14 the keys that earlier instances of a class
stored take part in storing a key, so both classes start alike."""
import json
import sys

from fernlake_data.plugins.param import Parameter


class Counted(str):
    """A key whose hash and equality run Python code, counted."""
    counts = {"hash": 0, "eq": 0}

    def __hash__(self):
        Counted.counts["hash"] += 1
        return str.__hash__(self)

    def __eq__(self, other):
        Counted.counts["eq"] += 1
        return str.__eq__(self, other)


counts = []
for cls in (Parameter, type("Sub", (Parameter,), {})):
    p = cls(sys.argv[1])
    Counted.counts.update(hash=0, eq=0)
    p[Counted("a")] = 1
    p[Counted("a")], p["a"]
    try:
        p[Counted("b")]
    except KeyError:
        counts.append(dict(Counted.counts))
print(json.dumps(counts))
