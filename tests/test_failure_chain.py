"""Exceptions as the module raises and chains them: the NameError of a
missing global names it, and an error of the traceback switch is chained
to the failure as Python chains it, cycles in the failure's own chain
included."""
import json
import sys

from conftest import script


def test_a_missing_global_re_raises_a_name_error_naming_it(run_python,
                                                           write_param):
    """In a fresh interpreter: taking `re` out of the module's namespace
    changes the order of the names there."""
    path = write_param("# c\nk=v\n")
    out = run_python(f"""
        import json, model
        from fernlake_data.plugins import param
        results = []
        for module, cls in ((param, param.Parameter),
                            (model, model.ModelParameter)):
            del module.re
            try:
                cls({path!r})
            except NameError as e:
                results.append([e.args, getattr(e, "name", "none")])
        print(json.dumps(results))
    """)
    name = "re" if sys.version_info >= (3, 10) else "none"
    assert json.loads(out.stdout) == [[["name 're' is not defined"], name]] * 2


def test_switch_error_chained_to_a_failure_with_a_context_cycle(write_param):
    """Runs in a fresh interpreter: were the chain walked without regard
    to its cycle, the read would never end (the run's time limit only
    keeps such a fault from stopping the suite)."""
    out = script("context_cycle", write_param("k=v"), timeout=60)
    assert out.stdout.split() == ["RuntimeError", "then", "ValueError",
                                  "KeyError"]
