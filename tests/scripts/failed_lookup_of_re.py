"""`python -m scripts.failed_lookup_of_re PATH` enters before `re` in the
module's namespace a key that hashes as "re" and whose comparison raises
once armed, then reads PATH three times, the key taken out before the
third; prints, as JSON, what each read stored or raised."""
import json
import sys

from entries import described
from fernlake_data.plugins import param


class SameHash:
    armed = False

    def __hash__(self):
        return hash("re")

    def __eq__(self, other):
        if SameHash.armed:
            SameHash.armed = False
            raise ArithmeticError("compared once")
        return False


path = sys.argv[1]
ns, key = vars(param), SameHash()
param.Parameter(path)
# Entered before 're', so that a lookup of 're' compares with it.
re_module = ns.pop("re")
ns[key] = None
ns["re"] = re_module
SameHash.armed = True
result = []
for _ in range(2):
    try:
        result.append(vars(param.Parameter(path)))
    except Exception as e:
        result.append(described(e))
del ns[key]
result.append(vars(param.Parameter(path)))
print(json.dumps(result))
