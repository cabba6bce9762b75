"""From 3.14 the module learns of changes to the dictionaries it reads
through a dictionary watcher. Another extension may stop the watching of a
dictionary with the module's watcher id: the module then sees the change
all the same, as plain Python does."""
import sys

import pytest

from conftest import script

pytestmark = pytest.mark.skipif(sys.version_info < (3, 14),
                                reason="dictionary watchers from 3.14")


def test_a_namespace_unwatched_by_another_extension(write_param):
    capi = pytest.importorskip("_testcapi")
    if not hasattr(capi, "unwatch_dict"):
        pytest.skip("_testcapi cannot unwatch a dictionary")
    out = script("unwatched_namespace", write_param("# c\nk=v\n"))
    assert out.stdout.split() == ["same"]
