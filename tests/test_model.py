"""Generated parameter files: the module and the plain-Python model must
store the same settings, in the same order, and fail the same way."""
import os

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from conftest import Parameter
from model import ModelParameter, outcome, read_into

# Everything str.strip() removes, some of which no line reader splits on.
WHITESPACE = " \t\v\f\r\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u2028\u2029\u3000"

# Also what looks like a separator or a comment but is none: ';', ':' and
# a byte-order mark, which str.strip() keeps.
chars = st.one_of(
    st.sampled_from(WHITESPACE + "#=;:\ufeff\x00aé€北\U0001f600"),
    st.characters(blacklist_categories=("Cs",)))
piece = st.text(chars, max_size=6)
side = st.text(chars.filter(lambda c: c != "="), max_size=6)
padding = st.text(st.sampled_from(WHITESPACE), max_size=3)
setting = st.builds(lambda k, v: k + "=" + v, side, side)
body = st.one_of(
    st.just(""),                                            # blank
    piece.map(lambda s: "#" + s),                           # comment
    setting, setting, setting,
    st.lists(piece, min_size=1, max_size=4).map("=".join))  # 0 to 3 '='
line = st.builds(lambda *parts: "".join(parts), padding, body, padding,
                 st.sampled_from(["\n"] * 4 + ["\r\n", "\r", ""]))
# UTF-8 text, now and then with an undecodable byte somewhere in it.
param_file = st.builds(
    lambda raw, bad, at: raw[:at] + bad + raw[at:],
    st.lists(line, max_size=12).map(lambda ls: "".join(ls).encode()),
    st.sampled_from([b""] * 9 + [b"\xff"]), st.integers(0, 200))

# Examples per generated-file test: a few for the daily run, more in CI and
# many in `make fuzz`, which set FERNLAKE_FUZZ_EXAMPLES.
EXAMPLES = int(os.environ.get("FERNLAKE_FUZZ_EXAMPLES", "100"))
SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture(scope="module")
def write(tmp_path_factory):
    directory = tmp_path_factory.mktemp("generated")

    def write(name, raw):
        (directory / name).write_bytes(raw)
        return str(directory / name)
    return write


@SETTINGS
@given(first=param_file, second=param_file)
@example(first=b"", second=b"")
@example(first=b"a=1\r\n  # c=3\n\t\n=f\ne=\n", second=b"a=b=c\nz=1\n")
@example(first=b"x = 1\nlonely\n", second=b"x=2\n\xff")
def test_parameter_agrees_with_model(write, first, second):
    """Construction, then a second read into the same object."""
    p = Parameter.__new__(Parameter)
    m = ModelParameter.__new__(ModelParameter)
    for method, path in [("__init__", write("1.param", first)),
                         ("read_param", write("2.param", second))]:
        failure = outcome(lambda: getattr(p, method)(path))
        assert failure == outcome(lambda: getattr(m, method)(path))
        # Insertion order too: a later key replaces the value in place.
        assert list(vars(p).items()) == list(vars(m).items())
        for key in [*vars(m), "absent\0"]:
            assert outcome(lambda: p[key]) == outcome(lambda: m[key])
            assert key not in vars(m) or p[key] is vars(p)[key]
        if method == "__init__" and failure is None:
            assert vars(Parameter(path)) == vars(m)


@SETTINGS
@given(raw=param_file)
def test_plain_dict_target_agrees_with_model(write, raw):
    path = write("target.param", raw)
    target, expected = {"kept": 0, "": None}, {"kept": 0, "": None}
    assert (outcome(lambda: Parameter.read_param(target, path))
            == outcome(lambda: read_into(expected, path)))
    assert list(target.items()) == list(expected.items())
