"""Exceptions as the module raises and chains them: the NameError of a
missing global names it, and an error of the traceback switch is chained
to the failure as Python chains it, cycles in the failure's own chain
included."""
import sys

import model
from conftest import Parameter, param
from model import ModelParameter


def test_a_missing_global_re_raises_a_name_error_naming_it(write_param,
                                                           monkeypatch):
    path = write_param("# c\nk=v\n")
    results = []
    for module, cls in ((param, Parameter), (model, ModelParameter)):
        monkeypatch.delattr(module, "re")
        try:
            cls(path)
        except NameError as e:
            results.append((e.args, getattr(e, "name", "none")))
        monkeypatch.undo()
    assert results[0] == results[1] == (
        ("name 're' is not defined",),
        "re" if sys.version_info >= (3, 10) else "none")


def test_switch_error_chained_to_a_failure_with_a_context_cycle(run_python,
                                                               write_param):
    """Runs in a fresh interpreter: were the chain walked without regard
    to its cycle, the read would never end (the run's time limit only
    keeps such a fault from stopping the suite)."""
    out = run_python(f"""
        import sys
        sys.argv[1:] = [{write_param("k=v")!r}]
        exec(open("context_cycle.py").read())
    """, timeout=60)
    assert out.stdout.split() == ["RuntimeError", "then", "ValueError",
                                  "KeyError"]
