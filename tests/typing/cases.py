"""What the package's type information accepts and rejects, for `mypy
--strict`: each rejected line carries the ignore comment of the error it
must raise, and an ignore that no longer matches an error fails the check.
Never run."""
import os
from pathlib import Path
from typing import Any

from typing_extensions import assert_type

from fernlake_data.plugins import param
from fernlake_data.plugins.param import Parameter

# Constructor and reader take what the built-in open takes.
p = Parameter("settings.param")
Parameter(b"settings.param")
Parameter(Path("settings.param"))
Parameter(os.open("settings.param", os.O_RDONLY))
assert_type(p.read_param(Path("more.param")), None)

# Stored values are of any type, by item and by attribute.
assert_type(p["site"], Any)
assert_type(p.site, Any)
assert_type(p[("any", "hashable", "key")], Any)
p[3] = ["any", "value"]
assert_type(p.path, "int | str | bytes | os.PathLike[str] | os.PathLike[bytes]")
assert_type(param.__test__, "dict[str, Any]")

Parameter(3.5)  # type: ignore[arg-type]
Parameter()  # type: ignore[call-arg]
Parameter("a", "b")  # type: ignore[call-arg]
p.read_param(None)  # type: ignore[arg-type]
p[["unhashable"]]  # type: ignore[index]
p[{"unhashable"}] = 1  # type: ignore[index]
result = p.read_param("more.param")  # type: ignore[func-returns-value]
# Settings are stored by item assignment; as attributes they are read only.
p.site = "x"  # type: ignore[attr-defined]
