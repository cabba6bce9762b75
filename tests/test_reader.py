"""The reader: the file format, what each kind of bad line or file raises
and at which line, what is stored before a failure, the file leaving its
context, and files read as readlines() reads them."""
import ast
import asyncio
import builtins
import locale
import os
import sys
from types import SimpleNamespace

import pytest

from conftest import Parameter, module_frames, param, qualified, script
from model import ModelParameter, outcome, read_into

READ, INIT = qualified("read_param"), qualified("__init__")


def settings(p):
    return {k: v for k, v in vars(p).items() if k != "path"}


def failing_read(exc_type, target, path):
    with pytest.raises(exc_type) as info:
        Parameter.read_param(target, path)
    return info.value, module_frames(info.tb)


@pytest.mark.parametrize("text, expected", [
    ("a=1\nb = 2\n# c=3\n\n \t \n  #d=4\ne=\n=f\n",
     {"a": "1", "b ": " 2", "e": "", "": "f"}),
    ("a=1\r\nb=2 \t\r\nc=3\rd=4\n\x0b\u3000 e=5\xa0\x1c\x85\t\n\u2028\n",
     {"a": "1", "b": "2", "c": "3", "d": "4", "e": "5"}),
    ("a#b=1\nc=#2\n\t # x=y = z\n", {"a#b": "1", "c": "#2"}),
    ("x=1\nschlüssel=wert ✓\nx=2\n", {"x": "2", "schlüssel": "wert ✓"}),
    ("", {}),
])
def test_file_format(write_param, text, expected):
    p = Parameter(write_param(text, locale.getpreferredencoding(False)))
    assert settings(p) == expected and list(settings(p)) == list(expected)


@pytest.mark.parametrize("line, message", [
    ("no equals sign", "need more than 1 value to unpack"),
    ("a=b=c", "too many values to unpack (expected 2)"),
])
def test_malformed_line_keeps_earlier_settings(write_param, line, message):
    bad = write_param(f"a=1\n{line}\nb=2\n")
    p = Parameter(write_param("a=0\nz=0\n"))
    error, frames = failing_read(ValueError, p, bad)
    assert str(error) == message and frames == [(21, READ), (29, READ)]
    assert settings(p) == {"a": "1", "z": "0"}
    with pytest.raises(ValueError) as info:
        Parameter(bad)
    assert module_frames(info.tb) == [(10, INIT), (21, READ), (29, READ)]
    assert sys.exc_info() == (None, None, None)  # nothing left handled


def test_unreadable_files_store_nothing(write_param, tmp_path):
    data, encoding = b"a=1\n\xff\x81\n", locale.getpreferredencoding(False)
    p, absent = Parameter(write_param("z=0\n")), str(tmp_path / "absent")
    try:
        data.decode(encoding)
    except UnicodeDecodeError:  # only where the default encoding rejects it
        frames = failing_read(UnicodeDecodeError, p, write_param(data))[1]
        assert frames == [(21, READ), (22, READ)]
    for unopenable in (absent, str(tmp_path)):  # missing, a directory
        assert failing_read(OSError, p, unopenable)[1] == [(21, READ)]
    assert settings(p) == {"z": "0"}


# Files whose bytes the reader takes at once: what readlines() would make
# of them, down to the positions of a decoding error in the piece it was
# decoding, late in a long file too, and where a "\r\n" or a character
# straddles the pieces it decodes.
LONG = b"".join(b"key%05d=value %d\n" % (i, i) for i in range(5000))
READ_AS_READLINES = {
    "late_bad_byte": LONG + b"x=\xff\n" + LONG,
    "cut_at_the_end": LONG + b"x=\xe2\x82",
    "surrogate": b"a=1\nx=\xed\xa0\x80\n",
    "overlong": b"a=1\nx=\xc0\x80\n",
    "above_unicode": b"x=\xf4\x90\x80\x80\n",
    "cr_lf_across_pieces": b"k" * 8191 + b"=\r\nb=2\r\rc=3\r",
    "wide_across_pieces": b"k" * 8190 + "=€\n".encode() + LONG,
    "other_line_ends": "a=1\x85b\u2028c\x0cd\x1ce=2\n".encode(),
    "mark_and_astral": "\ufeffa=1\n\U0001f600=\U0001f600 \n".encode(),
}


@pytest.mark.parametrize("data", READ_AS_READLINES.values(),
                         ids=READ_AS_READLINES)
def test_read_as_readlines_reads(write_param, data):
    path = write_param(data)
    results = []
    for cls in (ModelParameter, Parameter):
        p = cls.__new__(cls)
        results.append((outcome(lambda: p.__init__(path)),
                        list(vars(p).items())))
    assert results[0] == results[1]


def test_a_locale_not_of_utf8_reads_as_readlines(run_python, write_param):
    """In a locale whose encoding is ASCII, UTF-8 bytes fail to decode as
    they do for readlines(), not as the bytes a UTF-8 file would be."""
    path = write_param("k=v\nwert=\u00e9\n".encode())
    out = run_python(f"""
        import locale
        from fernlake_data.plugins.param import Parameter
        from model import ModelParameter, outcome
        print(locale.getpreferredencoding(False), *[
            outcome(lambda: cls({path!r})) for cls in (ModelParameter,
                                                        Parameter)],
              sep="\\n")
    """, fresh=True, env={**os.environ, "LC_ALL": "C", "PYTHONUTF8": "0",
                          "PYTHONCOERCECLOCALE": "0"})
    encoding, plain, module = out.stdout.splitlines()
    assert encoding != "UTF-8" and "UnicodeDecodeError" in plain
    assert plain == module


def test_further_reads_and_other_targets(write_param):
    p = Parameter(write_param("a=1\nb=1\n"))
    assert p.read_param(write_param("b=2\nc=2\n")) is None
    assert settings(p) == {"a": "1", "b": "2", "c": "2"}
    path, target = write_param("a=1\n"), {"keep": 0}
    assert Parameter.read_param(path=path, self=target) is None
    assert target == {"keep": 0, "a": "1"}
    error, frames = failing_read(TypeError, (), path)
    assert str(error) == "'tuple' object does not support item assignment"
    assert frames == [(21, READ), (30, READ)]


def test_re_is_looked_up_at_each_use(write_param, monkeypatch):
    path, calls = write_param("; note\nk:v\n"), []
    fake = SimpleNamespace(  # any true object marks a comment
        search=lambda *args: calls.append(args) or args[1].count(";"),
        split=lambda *args: calls.append(args) or iter(args[1].split(":")))
    assert failing_read(ValueError, {}, path)[1] == [(21, READ), (29, READ)]
    ns = vars(param)
    monkeypatch.setitem(ns, "re", fake)
    assert Parameter.read_param({}, path) is None
    assert calls == [("^#", "; note"), ("^#", "k:v"), ("=", "k:v")]
    # Taken out from the last name back to `re`, so that each is put back
    # in its place in the namespace's order, which test_import checks.
    for name in reversed(list(ns)[list(ns).index("re"):]):
        monkeypatch.delitem(ns, name)
    Parameter.read_param({}, write_param(""))  # nothing to resolve
    error, frames = failing_read(NameError, {}, path)
    assert str(error) == "name 're' is not defined"
    assert frames == [(21, READ), (25, READ)]
    monkeypatch.setattr(builtins, "re", fake, raising=False)
    target = {}
    Parameter.read_param(target, path)
    assert target == {"k": "v"}


def broken(*args):
    yield "k"
    raise ArithmeticError("broken split")


class Undecided:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("search, split, error, line", [
    (None, lambda p, l: [], "ValueError: need more than 0 values to unpack",
     29),
    (None, lambda p, l: iter(()), "ValueError: need more than 0 values to "
     "unpack", 29),
    (None, lambda p, l: iter("k"), "ValueError: need more than 1 value to "
     "unpack", 29),
    (None, lambda p, l: iter("kvx"), "ValueError: too many values to unpack "
     "(expected 2)", 29),
    (None, broken, "ArithmeticError: broken split", 29),
    (None, lambda p, l: 5, "TypeError: 'int' object is not iterable", 29),
    (Undecided(), None, "ZeroDivisionError: no truth", 25),
])
def test_what_re_returns_is_checked(write_param, monkeypatch, search, split,
                                    error, line):
    fake = SimpleNamespace(search=lambda p, l: search, split=split)
    monkeypatch.setattr(param, "re", fake)
    target = {}
    exc, frames = failing_read(Exception, target, write_param("kv\n"))
    assert f"{type(exc).__name__}: {exc}" == error
    assert frames == [(21, READ), (line, READ)] and target == {}



NO_EQ = "ValueError: need more than 1 value to unpack"
OUTER, CLEAN = "LookupError: outer", (None, [], True)
A, AB = {"a": "1"}, {"a": "1", "b ": " 2"}


def read_fails(error, line, stored=A):
    """The read fails at `line`; `__exit__` sees that and passes it on."""
    return (error, [21, line], OUTER, True), (error, [line], True), stored


def leaves_early(error, stored=None, exit_saw=None):
    """Fails at line 21 with an error that `__exit__` did not see."""
    return (error, [21], OUTER, False), exit_saw, stored or {}


def test_opened_objects_of_our_own():
    # Per case: the outcome (None, or the error, its reader lines, its context
    # and whether `__exit__` saw it), what `__exit__` saw (the error, its
    # reader lines and whether its arguments and the handled exception
    # agree) and the settings stored.
    assert ast.literal_eval(script("opened_objects").stdout) == dict(
        normal=(None, CLEAN, AB),  # the exit result is not truth-tested
        fails=read_fails(NO_EQ, 29),
        suppressed=(None, (NO_EQ, [29], True), A),
        exit_raises=(("OSError: exit", [21], NO_EQ, False),
                     (NO_EQ, [29], True), A),
        exit_raises_at_end=leaves_early("OSError: exit", AB, CLEAN),
        enter_fails=leaves_early("OSError: enter"),
        no_enter=leaves_early("AttributeError: __enter__"),
        neither=leaves_early("AttributeError: __exit__"),
        iter_fails=read_fails("OSError: disk", 23),
        not_text=read_fails("ZeroDivisionError: division by zero", 24,
                            {"b'a": "1'"}),
        blank_test_fails=read_fails("ZeroDivisionError: division by zero",
                                    27, {}),
        opened_object_freed=True,
    )


def fail_quietly(read, bad):
    try:
        read({}, bad)
    except ValueError:
        pass
    return sys.exc_info()[1]


def context_of_a_new_exception():
    try:
        raise KeyError("later")
    except KeyError as e:
        return e.__context__


def generator(read, bad):
    seen = [fail_quietly(read, bad)]
    yield
    return seen + [sys.exc_info()[1], context_of_a_new_exception()]


async def coroutine(read, bad):
    seen = [fail_quietly(read, bad)]
    await asyncio.sleep(0)
    return seen + [sys.exc_info()[1], context_of_a_new_exception()]


def handled_after_failed_read(read, bad, frame):
    """What is handled after a read failed inside a generator or coroutine
    started while its caller handled another exception; for a function,
    right after the read."""
    try:
        raise LookupError("outer")
    except LookupError:
        if frame is fail_quietly:
            return repr(fail_quietly(read, bad))
        runner = frame(read, bad)
        runner.send(None)
    try:
        runner.send(None)
    except StopIteration as e:
        return [repr(x) for x in e.value]


@pytest.mark.parametrize("frame", [generator, coroutine, fail_quietly])
def test_handled_exception_after_a_failed_read(write_param, frame):
    bad = write_param("a=1\nx\n")
    assert (handled_after_failed_read(Parameter.read_param, bad, frame)
            == handled_after_failed_read(read_into, bad, frame))
