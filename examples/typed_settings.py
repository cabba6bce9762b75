"""Reads the sample parameter file in code that `mypy --strict` checks
clean: the package ships type information for the extension."""
import os
from pathlib import Path

from fernlake_data.plugins.param import Parameter

SAMPLE = Path(__file__).resolve().parent / "settings.param"


def station_count(p: Parameter) -> int:
    # Settings read from a file are text; convert them where they are used.
    return int(p["station_count"])


def main() -> None:
    p = Parameter(SAMPLE)  # any path the built-in open accepts
    site: str = p.site  # every setting is also an attribute
    print("site:", site)
    print("stations:", station_count(p))

    p["threshold"] = 0.9  # item assignment stores any value
    print("threshold:", p.threshold)

    p.read_param(os.fsencode(SAMPLE))  # a bytes path: rereads the file
    print("threshold after rereading:", p["threshold"])


if __name__ == "__main__":
    main()
