"""Generated parameter files: the module and the plain-Python model must
store the same settings, in the same order, and fail the same way."""
import pytest
from hypothesis import HealthCheck, example, given, settings

from conftest import Parameter
from generated import EXAMPLES, param_file
from model import ModelParameter, outcome, read_into

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
    """Construction, then a second read into the same object; and each file
    read into a plain dict."""
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
        target, expected = {"kept": 0, "": None}, {"kept": 0, "": None}
        assert (outcome(lambda: Parameter.read_param(target, path))
                == outcome(lambda: read_into(expected, path)))
        assert list(target.items()) == list(expected.items())
