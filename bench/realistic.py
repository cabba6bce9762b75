"""Parameter files of the kind users keep, generated.

A file starts with a comment line; of the lines after it about 10% are
comments (some indented) and blank lines (some holding only blanks), the
rest settings. A setting's key names a section, a sub-key and a number
(`sensor.depth_limit_17`), each key its own but for about 1 in 100 lines
that sets again a key set earlier, as files that override a setting further
down do. A value is 1 to 12 words, a number, or a token of 100 to 400
characters (a base64-like or a hex run, without '='). About 1 line in 10
holds a non-ASCII word (accented letters, the euro sign, Chinese, emoji)
and about 1 in 20 ends in blanks or tabs.

The text is drawn from a `random.Random` seeded by the number of lines, so
that each size always gives the same file, on every Python version.
"""
import base64
import functools
import random
from typing import Dict, NamedTuple

SECTIONS = (
    "survey", "station", "sensor", "export", "network", "storage", "alarm",
    "report", "calibration", "logging", "display", "site", "pump", "gauge",
    "archive", "schedule", "upload", "weather", "boat", "sampling",
)

SUB_KEYS = (
    "depth_limit", "owner", "interval", "label", "threshold", "mode", "path",
    "retries", "timeout", "note", "unit", "token", "checksum", "start",
    "window", "scale", "offset", "contact", "description", "format",
    "min_level", "max_level", "api_key", "signature", "title", "enabled",
)

WORDS = (
    "north", "south", "east", "west", "shore", "lake", "fern", "basin",
    "station", "survey", "team", "daily", "weekly", "monthly", "morning",
    "evening", "level", "water", "depth", "sample", "field", "record",
    "export", "archive", "sensor", "gauge", "pump", "backup", "primary",
    "secondary", "manual", "automatic", "on", "off", "true", "false",
    "yes", "no", "fast", "slow", "metres", "litres", "celsius", "hours",
    "minutes", "seconds", "report", "summer", "winter", "spring", "autumn",
    "inlet", "outlet", "dam", "bridge", "harbour", "pier", "reed", "bank",
    "check", "before", "after", "every", "only", "when", "the", "a", "of",
    "and", "to", "at", "in", "for", "with", "from", "upper", "lower",
    "red", "green", "blue", "clear", "cloudy", "wind", "rain", "snow",
    "ice", "flow", "rate", "limit", "alert", "contact", "office", "data",
    "csv", "json", "utf-8", "v2", "beta", "stable", "legacy",
)

# Words with letters beyond ASCII: Latin-1 letters, the euro sign, Chinese
# and emoji, so that values are texts of each of the interpreter's widths.
NON_ASCII_WORDS = (
    "café", "résumé", "Müller", "Zürich", "über", "Straße", "Maß", "€",
    "12€", "€/m³", "北京", "北京市", "湖泊", "🌲", "🚣", "🌧️", "👍",
)

TRAILING = (" ", "  ", "\t", " \t", "\t\t", "    ")
INDENTS = ("  ", "    ", "\t", " ")
BASE64_ONLY = str.maketrans("", "", "=")


class File(NamedTuple):
    text: str
    settings: Dict[str, str]  # what reading the file must store


def words(rng, non_ascii):
    out = rng.choices(WORDS, k=rng.randint(1, 12))
    if non_ascii:
        out[rng.randrange(len(out))] = rng.choice(NON_ASCII_WORDS)
    return " ".join(out)


def number(rng):
    kind = rng.randrange(4)
    if kind == 0:
        return str(rng.randint(0, 10 ** rng.randint(1, 9)))
    if kind == 1:
        return str(-rng.randint(1, 10 ** rng.randint(1, 6)))
    if kind == 2:
        return "%.*f" % (rng.randint(1, 6), rng.uniform(-1000, 1000))
    return "%.3e" % rng.uniform(1e-9, 1e9)


def token(rng):
    length = rng.randint(100, 400)
    raw = rng.getrandbits(8 * length).to_bytes(length, "little")
    if rng.random() < 0.5:
        return raw.hex()[:length]
    return base64.b64encode(raw).decode("ascii").translate(BASE64_ONLY)[:length]


def value(rng, non_ascii):
    if non_ascii:
        return words(rng, True)
    r = rng.random()
    if r < 0.55:
        return words(rng, False)
    if r < 0.85:
        return number(rng)
    return token(rng)


def comment(rng, non_ascii):
    line = "# " + words(rng, non_ascii)
    if rng.random() < 0.3:
        line = rng.choice(INDENTS) + line
    return line


@functools.lru_cache(maxsize=None)
def realistic(n_lines):
    """The file of `n_lines` lines and the settings it holds."""
    rng = random.Random(20260301 + n_lines)
    lines = ["# settings of the Fernlake stations, generated"]
    settings = {}
    keys = []
    for _ in range(n_lines - 1):
        r = rng.random()
        non_ascii = rng.random() < 0.1
        if r < 0.06:
            line = comment(rng, non_ascii)
        elif r < 0.10:
            line = rng.choice(("", "", "", "   ", "\t"))
        else:
            if keys and rng.random() < 0.01:
                key = rng.choice(keys)
            else:
                key = "%s.%s_%d" % (rng.choice(SECTIONS), rng.choice(SUB_KEYS),
                                    len(keys) + 1)
                keys.append(key)
            settings[key] = value(rng, non_ascii)
            line = key + "=" + settings[key]
        if line.strip() and rng.random() < 0.05:
            line += rng.choice(TRAILING)
        lines.append(line)
    return File("\n".join(lines) + "\n", settings)
