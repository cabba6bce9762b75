"""Read the sample parameter file into a Parameter and print its settings."""
import os

from fernlake_data.plugins.param import Parameter

here = os.path.dirname(os.path.abspath(__file__))
p = Parameter(os.path.join(here, "settings.param"))

print("Read", os.path.basename(p.path))
for key, value in vars(p).items():
    if key != "path":
        print(f"  {key!r:18} -> {value!r}")

# Every setting is also an attribute, and item assignment adds settings.
print("site by attribute:", p.site)
p["threshold"] = 0.9
print("threshold after assignment:", p.threshold)
try:
    p["missing"]
except KeyError as e:
    print("a missing key raises KeyError with no arguments:", e.args)
