"""Reads of UTF-8 files in a fresh interpreter, by the plain-Python class and
by the module's, while something could tell whether the file's text decoder
ran: a tool that watches its code, a replaced part of it, a signal or a
pending call that its interpreted code would serve. Each scenario returns,
for the plain class first, what the caller could see."""
import codecs
import ctypes
import encodings.utf_8
import os
import resource
import signal
import sys
import tempfile
import threading
import time
import traceback

from entries import described
from fernlake_data.plugins.param import Parameter
from model import ModelParameter

CLASSES = (ModelParameter, Parameter)
DECODE = codecs.BufferedIncrementalDecoder.decode
DECODE_CODE = DECODE.__code__
UTF8_DECODER = encodings.utf_8.IncrementalDecoder


def read(cls, path, done=lambda: None):
    """What reading `path` into a new object of `cls` gave: the error as
    a script prints it, or None, and the settings stored. `done` runs
    first: describing an error reads source files."""
    p = cls.__new__(cls)
    error = None
    try:
        p.__init__(path)
    except Exception as e:
        error = e
    done()
    return [error and described(error)[:2],
            {k: v for k, v in vars(p).items() if k != "path"}]


# ------------------------------------------------------------ watching tools

def watched(path, tool):
    """How often `tool` saw the decoder's decode() start during each read,
    and what the read gave."""
    seen = []

    def tracer(frame, event, arg):
        if event == "call" and frame.f_code is DECODE_CODE:
            seen.append(event)

    m = getattr(sys, "monitoring", None)

    def started(code, offset):
        if code is DECODE_CODE:
            seen.append("start")

    def start():
        if tool == "trace":
            sys.settrace(tracer)
        elif tool == "profile":
            sys.setprofile(tracer)
        else:
            m.use_tool_id(4, "test")
            m.register_callback(4, m.events.PY_START, started)
            if tool == "monitoring":
                m.set_events(4, m.events.PY_START)
            else:
                m.set_local_events(4, DECODE_CODE, m.events.PY_START)

    def stop():
        sys.settrace(None)
        sys.setprofile(None)
        if m is not None and m.get_tool(4) is not None:
            m.set_events(4, 0)
            m.set_local_events(4, DECODE_CODE, 0)
            m.free_tool_id(4)

    results = []
    for cls in CLASSES:
        seen.clear()
        start()
        try:
            outcome = read(cls, path, stop)
        finally:
            stop()
        results.append([len(seen)] + outcome)
    return results


def recording_reset(self):
    # Runs as the code of codecs.BufferedIncrementalDecoder.reset, with
    # the globals of codecs: it reaches this module through the importer.
    __import__("decoder_scenarios").RESETS.append(type(self).__name__)
    self.buffer = b""


RESETS = []


def resets(path):
    """The decoder resets that each read of `path` made, with reset()'s
    code replaced (which leaves its class as it was)."""
    reset = codecs.BufferedIncrementalDecoder.reset
    reset.__code__, original = recording_reset.__code__, reset.__code__
    results = []
    try:
        for cls in CLASSES:
            RESETS.clear()
            results.append([list(RESETS)] + read(cls, path))
            results[-1][0] = list(RESETS)
    finally:
        reset.__code__ = original
    return results


# ------------------------------------------------------- replaced decoders

CALLS = []


def recording_decode(self, input, final=False):
    CALLS.append((len(input), final))
    return DECODE(self, input, final)


def upper_decode(self, input, final=False):
    data = self.buffer + input
    (result, consumed) = self._buffer_decode(data, self.errors, final)
    self.buffer = data[consumed:]
    return result.upper()


class OwnDecoder(UTF8_DECODER):
    decode = recording_decode


def with_instance(**attributes):
    """A factory of the codec's decoders that gives each instance
    `attributes` of its own."""
    def make(errors="strict"):
        decoder = UTF8_DECODER(errors)
        for name, value in attributes.items():
            # A function of the instance is called unbound, but decode().
            setattr(decoder, name,
                    value.__get__(decoder) if name == "decode" else value)
        return decoder
    return make


def upper_bytes(data, errors, final):
    return codecs.utf_8_decode(data.upper(), errors, final)


# Each: the object, the attribute set on it and what is set.
REPLACEMENTS = {
    "class_method": (UTF8_DECODER, "decode", recording_decode),
    "base_method": (codecs.BufferedIncrementalDecoder, "decode",
                    recording_decode),
    "class_helper": (UTF8_DECODER, "_buffer_decode",
                     staticmethod(upper_bytes)),
    "method_code": (DECODE, "__code__", upper_decode.__code__),
    "instance_method": (codecs.lookup("utf-8"), "incrementaldecoder",
                        with_instance(decode=recording_decode)),
    "instance_helper": (codecs.lookup("utf-8"), "incrementaldecoder",
                        with_instance(_buffer_decode=upper_bytes)),
    "instance_buffer": (codecs.lookup("utf-8"), "incrementaldecoder",
                        with_instance(buffer=b"pre=fix\n")),
    "other_class": (codecs.lookup("utf-8"), "incrementaldecoder",
                    OwnDecoder),
}


def replaced(path):
    """Per replacement: the decode() calls that reached a recording
    replacement during each read of `path`, and what the read gave."""
    results = {}
    for name, (owner, attribute, value) in REPLACEMENTS.items():
        original = (owner.__dict__.get(attribute, CALLS)
                    if isinstance(owner, type)
                    else getattr(owner, attribute))
        setattr(owner, attribute, value)
        try:
            results[name] = []
            for cls in CLASSES:
                CALLS.clear()
                outcome = read(cls, path)
                results[name].append([len(CALLS)] + outcome)
        finally:
            if original is CALLS:  # inherited
                delattr(owner, attribute)
            else:
                setattr(owner, attribute, original)
    return results


# ------------------------------------------------------------ pending work

class Stop(Exception):
    pass


def stop(*args):
    raise Stop("stop")


REMOTE_RAN = threading.Event()


def used():
    """The size of this process's memory."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()


def stopped(kind):
    """Where a read of an endless file stops when, once it has begun, a
    signal handler (`kind` "signal"), a pending call ("pending_call") or
    an exception sent to the reading thread ("thread_exception") raises,
    or a signal follows a script sent by sys.remote_exec ("remote_exec")
    once it ran: for the
    plain class whether the innermost line of the model is its readlines(),
    for the module its entries."""
    # A read that would not stop takes memory until it fails for the lack
    # of it, not the machine's.
    resource.setrlimit(resource.RLIMIT_AS, (used() + (512 << 20),) * 2)
    signal.signal(signal.SIGUSR1, stop)
    main = threading.get_ident()
    opened = threading.Event()

    def hook(event, args):
        if event == "open" and args[0] == os.devnull.replace("null", "zero"):
            opened.set()

    def interrupt():
        # Once open() has made the file and the read has taken 16 MiB of
        # it, past the interpreted code that open() runs: the read that
        # follows does not end.
        opened.wait()
        start = used()
        while used() < start + (16 << 20):
            time.sleep(0)  # the reading thread's turn
        if kind == "signal":
            signal.pthread_kill(main, signal.SIGUSR1)
        elif kind == "thread_exception":
            ctypes.pythonapi.PyThreadState_SetAsyncExc(
                ctypes.c_ulong(main), ctypes.py_object(Stop))
        elif kind == "remote_exec":
            # The script runs where the reading thread's interpreted code
            # next checks for work; an error of its own would go unraised,
            # so once it ran the signal stops the read. A read that never
            # runs it ends for the lack of memory, and lets this go.
            sys.remote_exec(os.getpid(), script)
            REMOTE_RAN.wait()
            if not finished:
                signal.pthread_kill(main, signal.SIGUSR1)
        else:
            import _testcapi
            _testcapi._pending_threadfunc(stop)

    script = os.path.join(tempfile.mkdtemp(), "ran.py")
    with open(script, "w") as f:
        f.write("import decoder_scenarios\ndecoder_scenarios.REMOTE_RAN.set()\n")
    sys.addaudithook(hook)
    results = []
    for cls in CLASSES:
        opened.clear()
        REMOTE_RAN.clear()
        finished = False
        helper = threading.Thread(target=interrupt)
        helper.start()
        try:
            cls("/dev/zero")
            results.append("not stopped")
        except Stop as e:
            if cls is ModelParameter:
                last = [f for f in traceback.extract_tb(e.__traceback__)
                        if f.filename.endswith("model.py")][-1]
                results.append("readlines" in last.line)
            else:
                results.append(described(e)[2])
        except MemoryError:
            results.append("MemoryError")
        finished = True
        REMOTE_RAN.set()
        helper.join()
    return results
