"""From 3.14 the module learns of changes to the dictionaries it reads
through a dictionary watcher. Another extension may stop the watching of a
dictionary with the module's watcher id: the module then sees the change
all the same, as plain Python does."""
import sys

import pytest

pytestmark = pytest.mark.skipif(sys.version_info < (3, 14),
                                reason="dictionary watchers from 3.14")


def test_a_namespace_unwatched_by_another_extension(run_python, write_param):
    capi = pytest.importorskip("_testcapi")
    if not hasattr(capi, "unwatch_dict"):
        pytest.skip("_testcapi cannot unwatch a dictionary")
    path = write_param("# c\nk=v\n")
    out = run_python(f"""
        import sys
        sys.argv[1:] = [{path!r}]
        exec(open("unwatched_namespace.py").read())
    """)
    assert out.stdout.split() == ["same"]
