"""Item reads that the class's slot answers with one lookup, and those it
leaves to the method's body: whatever a key or a stored key runs, and how
often, is what plain Python runs. Each case reads from an instance of the
plain class, of the module's class and of a subclass of it (which takes the
general path), and the three must record the same results and calls."""
import json
import sys

import pytest

from conftest import script
from fernlake_data.plugins.param import Parameter
from model import ModelParameter, outcome

TEXT = "# c\nk=v\nzz=1\n"


class Recorded:
    """A key that hashes as `text` and records each comparison."""

    def __init__(self, text, log, fail=False):
        self.text, self.log, self.fail = text, log, fail

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        self.log.append(("eq", self.text, other))
        if self.fail:
            raise ArithmeticError("compared")
        return NotImplemented


class Counted(str):
    """A str key whose hash and comparisons are recorded."""
    log = None

    def __hash__(self):
        Counted.log.append(("hash", str(self)))
        return str.__hash__(self)

    def __eq__(self, other):
        Counted.log.append(("eq", str(self)))
        return str.__eq__(self, other)


def fresh(text):
    """An exact str equal to `text` whose hash is not yet computed."""
    return "".join(list(text))


def colliding_key_first(p, log):
    # Stored before "zz" with its hash, so a read of "zz" meets it first.
    d = p.__dict__
    del d["zz"]
    d[Recorded("zz", log)] = 0
    d["zz"] = "1"
    return [p["zz"], p["k"], p[fresh("zz")]]


def failing_key_first(p, log):
    d = p.__dict__
    del d["zz"]
    d[Recorded("zz", log, fail=True)] = 0
    d["zz"] = "1"
    return [p["k"], outcome(lambda: p["zz"])]


def key_added_after_reads(p, log):
    # The reads before find only str keys; the key added then must be seen.
    first = [p["zz"], p["zz"], p["k"]]
    d = p.__dict__
    value = d.pop("zz")
    d[Recorded("zz", log)] = 0
    d["zz"] = value
    return first + [p["zz"]]


def key_added_to_many_after_reads(p, log):
    # A dictionary large enough that it is scanned again only after reads.
    for i in range(200):
        p["n%d" % i] = str(i)
    first = [p["n7"] for _ in range(3)]
    d = p.__dict__
    value = d.pop("n7")
    d[Recorded("n7", log)] = 0
    d["n7"] = value
    return first + [p["n7"] for _ in range(100)] + [p["k"]]


def str_subclass_keys(p, log):
    Counted.log = log
    k = Counted("k")  # its hash kept once computed
    first = [p[k], p[k]]
    p[Counted("c")] = "3"
    return first + [p[k], p[Counted("c")], p["c"], p[fresh("c")],
                    outcome(lambda: p[Counted("absent")])]


def class_lookup_replaced(p, log):
    cls = type(p)

    def looked_up(self, name):
        log.append(("getattribute", name))
        return object.__getattribute__(self, name)
    first = p["k"]
    cls.__getattribute__ = looked_up
    try:
        return [first, p["k"], p["k"]]
    finally:
        del cls.__getattribute__


def keys_of_other_types(p, log):
    p[1] = "one"
    p[("k",)] = "tuple"
    return [p[1], p[1.0], p[("k",)], p["k"], outcome(lambda: p[2]),
            outcome(lambda: p[[]])]


def attribute_dictionary_of_another_kind(p, log):
    class Store(dict):
        def __contains__(self, key):
            log.append(("contains", key))
            return dict.__contains__(self, key)

        def __getitem__(self, key):
            log.append(("getitem", key))
            return dict.__getitem__(self, key)

        def keys(self):
            log.append("keys")
            return dict.keys(self)
    p.__dict__ = Store(p.__dict__)
    return [p["k"], outcome(lambda: p["absent"])]


CASES = {f.__name__: f for f in (
    colliding_key_first, failing_key_first, key_added_after_reads,
    key_added_to_many_after_reads, str_subclass_keys, class_lookup_replaced,
    keys_of_other_types,
    attribute_dictionary_of_another_kind)}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES)
def test_reads_run_what_plain_python_runs(write_param, case):
    path = write_param(TEXT)
    general = type("General", (Parameter,), {})
    records = []
    for cls in (ModelParameter, Parameter, general):
        log, got = [], []
        p = cls(path)
        # How often a key that collides with another compares depends on
        # the dictionary's table: its size, and from 3.14 the keys that
        # instances of a class share. A dictionary filled from the pairs
        # has the same table for every class (a copy of a dict would keep
        # the size of the source's own table).
        p.__dict__ = dict(list(vars(p).items()))
        error = outcome(lambda: got.append(case(p, log)))
        records.append((got, error, log))
    assert records[1] == records[0] and records[2] == records[0]
    assert case is keys_of_other_types or records[0][2]  # code ran


def test_reads_near_the_recursion_limit_fail_alike(write_param):
    """Where the recursion limit is in reach, the read fails as the
    general path fails, at the same depths as plain Python."""
    from test_shortcuts import outcomes_near_the_limit
    path = write_param(TEXT)
    results = [outcomes_near_the_limit(lambda p=cls(path): p["k"])
               for cls in (Parameter, type("General", (Parameter,), {}))]
    assert results[0] == results[1]


@pytest.mark.skipif(sys.version_info < (3, 14),
                    reason="watchers serve the reads from 3.14")
def test_reads_without_a_free_dictionary_watcher(write_param):
    """With every watcher id taken by others, reads take the general path
    and read what plain Python reads."""
    out = script("no_free_watcher", write_param(TEXT))
    taken, not_run, (plain, native) = json.loads(out.stdout)
    assert plain == native and (plain["k"], plain["zz"]) == ("v", "1")
    assert "item_read" in not_run
