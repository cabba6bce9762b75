"""Check parameter files before `Parameter` reads them.

    python -m fernlake_data.plugins.param_check FILE...

Each file is read the way `Parameter` reads it, and every problem is printed
as `file:line: severity: message`. Errors are lines that stop a read;
warnings are lines that read, but store something other than what the
author most likely meant. Standard library only: the checker does not need
the extension module, so it also runs where the extension is not built.
"""

import argparse
import io
import locale
import os
import re
import sys
from typing import List, NamedTuple, Optional, Tuple

# Keys become attributes of the Parameter object, found before the class's
# own methods, so these stored names make the listed calls fail with a
# TypeError (mostly "'str' object is not callable"). Other names, including
# every other method name of the class and of `object`, store harmlessly.
BREAKS = {
    "read_param": ("read_param", "__init__"),
    "__init__": ("__init__",),
    "__getitem__": ("__getitem__",),
    "__setitem__": ("__setitem__",),
    "__getstate__": ("copy", "deepcopy", "pickle", "old pickle"),
    "__reduce_ex__": ("copy", "deepcopy", "pickle", "old pickle"),
    "__deepcopy__": ("deepcopy",),
    # Pickle protocols 0 and 1 refuse objects whose __slots__ is true.
    "__slots__": ("old pickle",),
}
CALLS = {
    "read_param": "p.read_param(path)",
    "__init__": "p.__init__(path)",
    "__getitem__": "p.__getitem__(key)",
    "__setitem__": "p.__setitem__(key, value)",
    "copy": "copy.copy(p)",
    "deepcopy": "copy.deepcopy(p)",
    "pickle": "pickle.dumps(p)",
    "old pickle": "pickle.dumps(p, protocol 0 or 1)",
}


def broken_calls(key: str, value: str) -> Tuple[str, ...]:
    """The calls on a Parameter that storing `key` with `value` breaks."""
    if key == "__slots__" and not value:  # an empty __slots__ is false
        return ()
    return BREAKS.get(key, ())


# What the read raises for a line without '=' and for one with several.
NO_EQUALS = "ValueError: need more than 1 value to unpack"
TOO_MANY = "ValueError: too many values to unpack (expected 2)"

BOM = "\ufeff"


class Finding(NamedTuple):
    line: Optional[int]  # None: about the whole file
    severity: str        # "error" or "warning"
    message: str

    def format(self, filename: str) -> str:
        where = filename if self.line is None else f"{filename}:{self.line}"
        return f"{where}: {self.severity}: {self.message}"


def _show(text: str, limit: int = 60) -> str:
    shown = repr(text)
    return shown if len(shown) <= limit else shown[:limit - 4] + "...'"


def _no_equals_hint(line: str, first: bool) -> str:
    if first and line.startswith(BOM):
        rest = line[1:].strip()
        if rest.startswith("#"):
            return "; the byte-order mark in front of '#' keeps it from" \
                   " being a comment"
        if not rest:
            return "; the byte-order mark alone makes this line non-blank"
    if line.startswith((";", "//")):
        return "; comments start with '#'"
    if line.startswith("[") and line.endswith("]"):
        return "; there are no sections"
    if ":" in line:
        return "; key and value are separated by '=', not ':'"
    return ""


def _too_many_hint(line: str) -> str:
    key, rest = line.split("=", 1)
    if not key:
        return ""
    if "://" in rest or re.search(r"[?&][^=&]*=", rest):
        kind = " (a URL with a query?)"
    elif re.fullmatch(r"[A-Za-z0-9+/_-]+={1,2}", rest):
        kind = " (base64 padding?)"
    elif ";" in rest:
        kind = " (a connection string?)"
    else:
        kind = ""
    return f"; the value holds '='{kind}; values cannot contain '='"


def check_lines(lines: List[str]) -> List[Finding]:
    """Findings for the lines of a file, as `readlines()` returns them."""
    findings = []
    seen = {}  # stored key -> line that last set it
    if lines and lines[0].startswith(BOM):
        findings.append(Finding(1, "warning",
                                "byte-order mark at the start of the file:"
                                " it stays in the first line as '\\ufeff'"))
    for number, raw in enumerate(lines, 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        equals = line.count("=")
        if equals == 0:
            findings.append(Finding(
                number, "error",
                f"no '=' in {_show(line)}: a read stops at this line"
                f" ({NO_EQUALS})" + _no_equals_hint(line, number == 1)))
            continue
        if equals > 1:
            findings.append(Finding(
                number, "error",
                f"{equals} '=' in {_show(line)}, a setting takes exactly one:"
                f" a read stops at this line ({TOO_MANY})"
                + _too_many_hint(line)))
            continue
        key, value = line.split("=")
        padded = [f"key {_show(key)}" if key != key.rstrip() else "",
                  f"value {_show(value)}" if value != value.lstrip() else ""]
        if any(padded):
            which = " and ".join(p for p in padded if p)
            findings.append(Finding(
                number, "warning",
                f"whitespace next to '=' is kept: stored {which}"))
        if key == "":
            findings.append(Finding(number, "warning",
                                    "empty key: the value is stored under ''"))
        if key in seen:
            findings.append(Finding(
                number, "warning",
                f"key {_show(key)} repeats line {seen[key]}: this later"
                " value replaces it"))
        seen[key] = number
        broken = broken_calls(key, value)
        if broken:
            calls = ", ".join(CALLS[c] for c in broken)
            findings.append(Finding(
                number, "warning",
                f"key {_show(key)} is stored as an attribute that shadows"
                f" what the object needs: {calls} then fail with TypeError"))
        elif key == "path":
            findings.append(Finding(
                number, "warning",
                "key 'path' replaces the file name that Parameter(path)"
                " keeps in p.path"))
    return findings


def _decode_position(path: str, encoding: str) -> Optional[Tuple[int, int]]:
    """Line and column of the first byte the encoding rejects."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        data.decode(encoding)
    except UnicodeDecodeError as e:
        good = data[:e.start].decode(encoding)
        before = io.StringIO(good, newline=None).readlines() or [""]
        last = before[-1]
        if last.endswith("\n"):
            return len(before) + 1, 1
        return len(before), len(last) + 1
    return None


def check_file(path: str) -> Tuple[List[Finding], bool]:
    """Findings for one file, and whether it could be read at all."""
    encoding = locale.getpreferredencoding(False)
    try:
        # Exactly as Parameter opens it: the locale's encoding, universal
        # newlines, and every line read before any is looked at.
        with open(path, "r") as f:
            lines = f.readlines()
    except UnicodeDecodeError as e:
        try:
            position = _decode_position(path, encoding)
        except (OSError, UnicodeDecodeError):
            position = None
        line, where = (None, "") if position is None else (
            position[0], f" at column {position[1]}")
        byte = e.object[e.start:e.start + 1].hex()
        return [Finding(line, "error",
                        f"cannot decode byte 0x{byte}{where} with the"
                        f" locale's encoding {encoding} ({e.reason}):"
                        " nothing of the file is read")], False
    except OSError as e:
        return [Finding(None, "error", "cannot open: "
                        + (e.strerror or str(e)))], False
    return check_lines(lines), True


def shown_name(path: str) -> str:
    """The file name as it can be printed.

    Bytes of a name that do not decode with the file system's encoding come
    in as lone surrogates, which a strict stdout refuses to encode; they are
    shown as '\\xff' escapes instead, the way other tools show them.
    """
    return os.fsencode(path).decode(sys.getfilesystemencoding(),
                                    "backslashreplace")


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m fernlake_data.plugins.param_check",
        description="Check key=value parameter files the way Parameter reads"
                    " them: every line that would stop a read is an error;"
                    " whitespace kept next to '=', a byte-order mark,"
                    " repeated keys and keys that shadow what the Parameter"
                    " object needs are warnings.",
        epilog="Exit status: 0 when no line would stop a read, 1 when one"
               " would, 2 when a file cannot be opened or decoded.")
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="parameter file to check")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="print errors only")
    args = parser.parse_args(argv)
    status = 0
    for name in args.files:
        findings, readable = check_file(name)
        for finding in findings:
            if finding.severity == "error" or not args.quiet:
                print(finding.format(shown_name(name)))
        if not readable:
            status = 2
        elif status == 0 and any(f.severity == "error" for f in findings):
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
