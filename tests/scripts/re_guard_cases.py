"""Changes of `re` made after the module's import, each run in a fresh
interpreter: `python -m scripts.re_guard_cases NAME` (in tests/) prepares
the change NAME, then reads a file with the plain-Python class and with the
module, and prints, as JSON, what each stored or raised and what the change
saw of the read."""
import atexit
import json
import os
import re
import signal
import sys
import tempfile
import types
import warnings

from entries import described
import model
from model import ModelParameter

# The caches that re's _compile looks a pattern up in, first one first.
CACHES = [re._cache2, re._cache] if hasattr(re, "_cache2") else [re._cache]
seen = []
# The module's class, and the interpreter's own open(): set by the main
# block, which chooses how the module is imported.
Parameter = real_open = None


def write(text):
    fd, path = tempfile.mkstemp(suffix=".param")
    atexit.register(os.remove, path)
    with os.fdopen(fd, "w") as f:
        f.write(text)
    return path


def outcome(read):
    try:
        stored = read()
    except BaseException as e:
        return [described(e)[:2], list(seen)]
    return [{k: v for k, v in stored.items() if k != "path"}, list(seen)]


def compare(path, reads=1):
    """Reads `path` `reads` times with each class."""
    result = []
    for cls in (ModelParameter, Parameter):
        runs = []
        for _ in range(reads):
            del seen[:]
            runs.append(outcome(lambda: vars(cls(path))))
        result.append(runs)
    print(json.dumps(result))


def recorder(name, real):
    def record(*args, **kwargs):
        seen.append(name)
        return real(*args, **kwargs)
    return record


TEXT = "# a comment\nsite=north\nowner = survey team\n"


def warm_up(path):
    """Both patterns compiled and cached, and the module's shortcut checked
    on re as it is before the change."""
    re.search("^#", ""), re.split("=", "")
    Parameter(path)


# ------------------------------------------------------------ the cases

def pattern_text_frees_cache():
    """The cached "^#" is compiled from a str subclass whose equality
    empties re's caches, which frees the pattern."""
    class Freeing(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            seen.append("eq")
            re.purge()
            return str.__eq__(self, other)
    path = write(TEXT)
    warm_up(path)
    pattern = re.compile(Freeing("^#"))
    for cache in CACHES:
        cache.clear()
        cache[str, "^#", 0] = pattern
    del pattern
    re.split("=", "")
    compare(path, reads=2)


def large_default(function):
    """A flags default too large for a C long, its pattern cached under it
    (where plain Python finds it)."""
    big = 2 ** 100
    path = write(TEXT)
    warm_up(path)
    if function == "search":
        re.search.__defaults__ = (big,)
        key = (str, "^#", big)
    elif isinstance(re.split.__kwdefaults__, dict):
        re.split.__kwdefaults__ = {"maxsplit": 0, "flags": big}
        key = (str, "=", big)
    else:
        re.split.__defaults__ = (0, big)
        key = (str, "=", big)
    for cache in CACHES:
        cache[key] = re.compile(key[1])
    compare(path, reads=2)


def surrogate_in_code():
    """re.search runs code whose constants hold a lone surrogate."""
    ns = {}
    exec("def search(pattern, string, flags=0):\n"
         "    if string == '\\ud800':\n"
         "        return None\n"
         "    return _compile(pattern, flags).search(string)\n", ns)
    path = write(TEXT)
    warm_up(path)
    re.search.__code__ = ns["search"].__code__
    compare(path, reads=2)


def sentinel_class_getattribute():
    """The class of split's default flags gets a __getattribute__, which
    _compile's instance check of the flags calls."""
    def getattribute(self, name):
        seen.append(name)
        return int.__getattribute__(self, name)
    path = write(TEXT)
    warm_up(path)
    type(re._zero_sentinel).__getattribute__ = getattribute
    compare(path)


def sentinel_class_answers_regex_flag():
    """split's default flags object becomes an int subclass whose
    __class__ answers re.RegexFlag."""
    class Disguised(int):
        @property
        def __class__(self):
            seen.append("__class__")
            return re.RegexFlag
    path = write(TEXT)
    warm_up(path)
    re._zero_sentinel.__class__ = Disguised
    compare(path)


def namespace_key_hashing_as_re():
    """A key of the namespace that `re` is looked up in hashes as "re" and
    compares first; at the second lookup of a read (the split's) it
    replaces re.split, which the read then calls."""
    real_split = re.split

    class SameHash:
        def __init__(self):
            self.calls = 0

        def __hash__(self):
            return hash("re")

        def __eq__(self, other):
            self.calls += 1
            if self.calls == 2:
                re.split = recorder("split", real_split)
            return False

    from fernlake_data.plugins import param
    path = write("k=v\n")
    warm_up(path)
    keys = {}
    for cls, ns in ((ModelParameter, vars(model)), (Parameter, vars(param))):
        module = ns.pop("re")
        keys[cls] = SameHash()
        ns[keys[cls]] = None
        ns["re"] = module
    result = []
    for cls in (ModelParameter, Parameter):
        re.split = real_split
        keys[cls].calls = 0
        del seen[:]
        # How often the key compares depends on where the namespace's
        # layout puts it (the hash seed's): at least at the two lookups.
        runs = [outcome(lambda: vars(cls(path))), keys[cls].calls >= 2]
        result.append(runs)
    print(json.dumps(result))


def bytes_key_in_cache():
    """A key of re's cache made of str and b"^#" (under python -b), which
    the lookup of "^#" compares first."""
    path = write(TEXT)
    warm_up(path)
    for cache in CACHES:
        cache.clear()
        cache[str, b"^#", 0] = None
    re.search("^#", ""), re.split("=", "")
    result = []
    for cls in (ModelParameter, Parameter):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            stored = outcome(lambda: vars(cls(path)))
        result.append([stored, [[w.category.__name__, str(w.message),
                                 os.path.basename(w.filename), w.lineno]
                                for w in caught]])
    print(json.dumps(result))


def search_with_own_globals():
    """re.search rebuilt from its own code with globals of its own, whose
    _compile is seen."""
    own = dict(vars(re))
    own["_compile"] = recorder("_compile", re._compile)
    path = write(TEXT)
    warm_up(path)
    re.search = types.FunctionType(re.search.__code__, own, "search",
                                   re.search.__defaults__)
    compare(path)


def regex_flag_is_int():
    path = write(TEXT)
    warm_up(path)
    re.RegexFlag = int
    compare(path)


def cached_object_no_pattern():
    """The cache holds, under the keys of both patterns, an object that
    equals anything and shows a pattern's attributes."""
    class Impostor:
        groups = 0
        flags = re.compile("^#").flags

        def __init__(self, text):
            self.pattern = text
            self.real = re.compile(text)

        def __eq__(self, other):
            return True
        __hash__ = object.__hash__

        def search(self, string):
            seen.append("search")
            return self.real.search(string)

        def split(self, string, maxsplit=0):
            seen.append("split")
            return self.real.split(string, maxsplit)
    path = write(TEXT)
    warm_up(path)
    for cache in CACHES:
        cache[str, "^#", 0] = Impostor("^#")
        cache[str, "=", 0] = Impostor("=")
    compare(path)


# Monitoring: the calls of re's functions that a tool is told of, with the
# plain class and the module. `started` records the code names of re.

def read_both(path):
    """What a read of `path` gives with each class, each seen afresh."""
    outcomes = []
    for cls in (ModelParameter, Parameter):
        del seen[:]
        outcomes.append(outcome(lambda: vars(cls(path))))
    return outcomes


def started(code, offset):
    if code.co_filename == re.search.__code__.co_filename:
        seen.append(code.co_name)


def global_events_of_every_tool():
    m = sys.monitoring
    path = write(TEXT)
    warm_up(path)
    result = []
    for tool in range(6):
        m.use_tool_id(tool, "test")
        m.register_callback(tool, m.events.PY_START, started)
        m.set_events(tool, m.events.PY_START)
        result.append(read_both(path))
        m.set_events(tool, 0)
        m.free_tool_id(tool)
    print(json.dumps(result))


def local_events_of_every_tool():
    m = sys.monitoring
    path = write(TEXT)
    warm_up(path)
    codes = [re.search.__code__, re.split.__code__, re._compile.__code__]
    result = []
    for tool in range(6):
        code = codes[tool % 3]
        m.use_tool_id(tool, "test")
        m.register_callback(tool, m.events.PY_START, started)
        m.set_local_events(tool, code, m.events.PY_START)
        result.append(read_both(path))
        m.set_local_events(tool, code, 0)
        m.free_tool_id(tool)
    print(json.dumps(result))


def events_set_by_a_lines_generator():
    """The object that open() gives yields its lines from a generator,
    which sets global events for a tool partway through the read."""
    import builtins
    m = sys.monitoring

    class Lines:
        def __init__(self, mode):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return None

        def readlines(self):
            for i in range(200):
                if i == 100:
                    m.set_events(2, m.events.PY_START)
                yield "k%d=v\n" % i
    m.use_tool_id(2, "test")
    m.register_callback(2, m.events.PY_START, started)
    warm_up(write(TEXT))
    # The plain class's open() takes the callable as the module's does.
    builtins.open = lambda f, *a: f(*a) if callable(f) else real_open(f, *a)
    result = []
    for read in (model.read_into, Parameter.read_param):
        del seen[:]
        target = {}
        read(target, Lines)
        m.set_events(2, 0)
        result.append([target, list(seen)])
    print(json.dumps(result))


def local_events_set_by_a_signal_handler():
    """A handler of a signal that arrives during a long read sets local
    events on re.search's code: every line from there on calls re.search.
    Prints, for each of some reads, how many lines were stored when the
    handler set them (null when it ran at no line of the read), how many
    calls of re.search a tool saw, and the number of lines."""
    m = sys.monitoring
    code = re.search.__code__
    m.use_tool_id(1, "test")
    m.register_callback(1, m.events.PY_START, started)
    # The code object has monitoring data before the read.
    m.set_local_events(1, code, m.events.PY_START)
    m.set_local_events(1, code, 0)
    # Each line but the first begins with much whitespace, which the
    # reader skips before the line's signal check: a signal arrives there.
    count = 24
    path = write("k0=v\n" + "".join(" " * 1_000_000 + "k%d=v\n" % i
                                     for i in range(1, count)))
    warm_up(path)
    target, at = {}, []

    def reading():
        # A call of interpreted code, whose evaluation-loop check takes the
        # signal as handled, at every run of the handler.
        return 4 <= len(target) < count

    def handler(signum, frame):
        if reading() and not at:
            at.append(len(target))
            signal.setitimer(signal.ITIMER_REAL, 0)
            m.set_local_events(1, code, m.events.PY_START)
    signal.signal(signal.SIGALRM, handler)
    result = []
    for attempt in range(3):
        target.clear()
        del seen[:], at[:]
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        Parameter.read_param(target, path)
        signal.setitimer(signal.ITIMER_REAL, 0)
        m.set_local_events(1, code, 0)
        result.append([at[0] if at else None, seen.count("search"), count])
    print(json.dumps(result))


# Cases whose module's open() also takes a callable, which makes the opened
# object (its import then takes the shortcut of reading a file's bytes off).
OWN_OPEN = {"events_set_by_a_lines_generator"}

if __name__ == "__main__":
    name, *args = sys.argv[1:]
    if name in OWN_OPEN:
        from own_open import Parameter, real_open
    else:
        from fernlake_data.plugins.param import Parameter
    globals()[name](*args)
