"""Files whose bytes the reader takes itself instead of their readlines():
the same lines, errors and positions, the same calls that a caller's tools
and replacements see, and pending work served as the decoder's interpreted
code would serve it."""
import json
import os
import re
import sys
import threading

import pytest

from conftest import Parameter, qualified
from model import ModelParameter, outcome

READ, INIT = qualified("read_param"), qualified("__init__")


def both(action):
    """What `action(cls)` gave for the plain class and the module's."""
    return [action(cls) for cls in (ModelParameter, Parameter)]


def read_into_new(cls, path):
    p = cls.__new__(cls)
    return outcome(lambda: p.__init__(path)), list(vars(p).items())


def scenario(run_python, call):
    """Runs `call` of decoder_scenarios in a fresh interpreter; its
    result, the plain class's first."""
    out = run_python(f"""
        import json, decoder_scenarios as s
        print(json.dumps(s.{call}))
    """)
    return json.loads(out.stdout)


# Bytes that are no UTF-8, each refused where the module checks words of
# eight bytes at once, or one character at a time.
NOT_UTF8 = {
    "overlong_three": b"a=1\nx=\xe0\x80\x80\n",
    "overlong_three_last": b"a=1\nx=\xe0\x9f\xbf\n",
    "lead_f5": b"a=1\nx=\xf5\x80\x80\x80\n",
    "lead_f7": b"x=\xf7\xbf\xbf\xbf\n",
    **{f"high_bit_at_{i}": b"k=" + b"v" * (i - 2) + b"\x80" + b"v" * 20
       for i in range(2, 16)},
    "high_bit_at_0": b"\x80=v" + b"v" * 20,
    "high_bit_at_1": b"k\x80v" + b"v" * 20,
    # Past the first of the pieces that a larger file is read in.
    "after_many_pieces": b"k=v\n" * 50_000 + b"x=\xff\n",
}


@pytest.mark.parametrize("data", NOT_UTF8.values(), ids=NOT_UTF8)
def test_bytes_that_are_no_utf8_fail_as_readlines_fails(write_param, data):
    path = write_param(data)
    plain, module = both(lambda cls: read_into_new(cls, path))
    assert plain[0][0] is UnicodeDecodeError and module == plain


@pytest.fixture
def read_seen(monkeypatch):
    """read_into_new() with the lines that re.search was given."""
    calls, search = [], re.search

    def recording(pattern, line, *args):
        calls.append(line)
        return search(pattern, line, *args)
    monkeypatch.setattr(re, "search", recording)

    def read(cls, path):
        calls.clear()
        return read_into_new(cls, path), list(calls)
    return read


# The reader keeps a file's bytes in chunks of this size, cut where a line
# ends; what follows is placed across that boundary.
CHUNK = 1 << 18
ACROSS_CHUNKS = {
    "crlf": b"\r\nb=2\r\n",
    "cr_only": b"\rb=2\rc=3",
    "two_bytes": "k=\u00e9\u00e9\n".encode(),
    "four_bytes": "k=\U0001f600\U0001f600\n".encode(),
    "no_utf8": b"\nx=\xff\n",
    "cut_character": b"\nx=\xe2\x82\n",
}


@pytest.mark.parametrize("shift", [-3, -2, -1, 0, 1])
@pytest.mark.parametrize("tail", ACROSS_CHUNKS.values(), ids=ACROSS_CHUNKS)
def test_lines_across_chunks_read_as_readlines(write_param, read_seen, shift,
                                              tail):
    """Line ends, characters and bad bytes at a chunk's end read as
    readlines() reads them, and re.search sees the same lines."""
    # Short lines end where a chunk would end, after long ones that spare
    # re.search most of the calls.
    line, filler = b"key=value\n", b"k=" + b"v" * 4093 + b"\n"
    head = filler * (CHUNK // len(filler) - 1)
    head += line * ((CHUNK - 20 - len(head)) // len(line))
    head += b"a=" + b"v" * (CHUNK + shift - len(head) - 2)
    # One boundary; then several, and a line longer than a chunk.
    for data in (head + tail, head * 2 + b"b" * CHUNK + tail):
        path = write_param(data)
        plain, module = both(lambda cls: read_seen(cls, path))
        assert module == plain


@pytest.mark.parametrize("text", [
    "a=1\r\nb=2\r\n", "\r\n\r\nk=v\r\n\r\n", "a=1\r\r\nb=2\n\r", "k=v\r\n\n\r",
])
def test_each_line_end_ends_one_line(write_param, read_seen, text):
    """re.search sees each line once: "\\r\\n" ends one line, not two."""
    path = write_param(text)
    plain, module = both(lambda cls: read_seen(cls, path))
    assert module == plain


# Characters at the edges of the interpreter's widths of text, and of the
# first bytes of their UTF-8, alone and beside ASCII.
EDGES = ["\x7f", "\x80", "\xff", "\u0100", "\u07ff", "\u0800", "\uffff",
         "\U00010000", "\U0010ffff"]


@pytest.mark.parametrize("largest", EDGES)
def test_texts_keep_the_width_of_their_largest_character(write_param,
                                                         largest):
    """The texts made from the bytes equal the decoder's, width included,
    which equality and hashing rely on."""
    values = [largest, largest * 2, "a" + largest, largest + "\xe9" * 3,
              "\x80" + largest + "a" * 9]
    path = write_param("".join(f"k{i}={v}\n" for i, v in enumerate(values)))
    plain, module = both(lambda cls: [(k, v, sys.getsizeof(v)) for k, v in
                                      read_into_new(cls, path)[1][1:]])
    assert module == plain


@pytest.mark.parametrize("skipped", [b"\xfe=1\n", b"z=1\n"])
def test_descriptor_positioned_past_the_start(write_param, skipped):
    """open() of a descriptor reads from where it stands: bytes that are no
    UTF-8 after it fail as readlines() fails there, not from the start."""
    path = write_param(b"skip" + skipped + b"a=1\nx=\xff\n")

    def read(cls):
        fd = os.open(path, os.O_RDONLY)
        os.lseek(fd, 4 + len(skipped), os.SEEK_SET)
        return read_into_new(cls, fd)
    plain, module = both(read)
    assert plain[0][0] is UnicodeDecodeError and module == plain


def test_a_pipe_reads_as_readlines(tmp_path):
    """A named pipe cannot seek back: its bytes are read as readlines()
    reads them."""
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)

    def read(cls):
        def write():
            with open(fifo, "wb") as w:
                w.write(b"a=1\nx=\xff\n")
        writer = threading.Thread(target=write)
        writer.start()
        try:
            return read_into_new(cls, fifo)
        finally:
            writer.join()
    plain, module = both(read)
    assert plain[0][0] is UnicodeDecodeError and module == plain


LONG = b"".join(b"key%05d=value %d\n" % (i, i) for i in range(3000))
TOOLS = ["trace", "profile"]
if sys.version_info >= (3, 12):
    TOOLS += ["monitoring", "local_monitoring"]


@pytest.mark.parametrize("tool", TOOLS)
@pytest.mark.parametrize("data", [LONG, LONG + b"x=\xff\n"],
                         ids=["utf8", "not_utf8"])
def test_tools_see_the_decoder_run(run_python, write_param, tool, data):
    """A trace, profile or sys.monitoring tool sees each decode() of the
    file's decoder that plain Python makes."""
    path = write_param(data)
    plain, module = scenario(run_python, f"watched({path!r}, {tool!r})")
    assert plain[0] > 1 and module == plain


def test_bytes_that_are_no_utf8_reset_no_decoder(run_python, write_param):
    path = write_param(LONG + b"x=\xff\n")
    plain, module = scenario(run_python, f"resets({path!r})")
    assert plain[0] == [] and module == plain


def test_replaced_decoders_decode_the_lines(run_python, write_param):
    """A replaced decode() or helper of the codec's decoder class, or of
    the decoder itself, decodes the lines as in plain Python."""
    path = write_param(b"a=1\n# c\nb=2\n")
    results = scenario(run_python, f"replaced({path!r})")
    assert {name: plain for name, (plain, module) in results.items()
            if plain != module} == {}
    assert results["other_class"][0][0] > 0


@pytest.mark.parametrize("kind", ["signal", "pending_call",
                                  "thread_exception", "remote_exec"])
def test_pending_work_stops_the_read_in_readlines(run_python, kind):
    """A signal handler or a pending call that raises, an exception sent to
    the thread, or a remote script that signals, stops a read of an endless
    file inside readlines(), at its line."""
    if kind == "pending_call":
        pytest.importorskip("_testcapi", reason="pending calls are queued "
                            "through the interpreter's test module")
    if kind == "remote_exec" and not hasattr(sys, "remote_exec"):
        pytest.skip("sys.remote_exec comes with 3.14")
    plain, module = scenario(run_python, f"stopped({kind!r})")
    assert plain is True
    assert module == [[10, INIT], [21, READ], [22, READ]]
