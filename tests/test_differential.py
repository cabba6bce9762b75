"""The module with its shortcuts and the build without them (`make
general`) store, raise and call alike: every scenario of
differential_scenarios.py runs in an interpreter of each build, one
interpreter per group of scenarios, and the records of the two must be
equal, down to the traceback entries with their implementation positions
and the calls that wrapped functions, tracers and monitoring tools saw."""
import json
import os
import subprocess
import sys

import pytest

from conftest import SHORTCUTS
from differential_scenarios import SCENARIOS, load

load()

HERE = os.path.dirname(os.path.abspath(__file__))
# The site directory of the build without shortcuts, when there is one.
GENERAL_SITE = os.environ.get("FERNLAKE_GENERAL_SITE")

pytestmark = pytest.mark.skipif(
    not GENERAL_SITE, reason="no build without shortcuts to compare with: "
    "`make general` builds one and names it in FERNLAKE_GENERAL_SITE")


def environments():
    """The environments of an interpreter of each build: the normal build
    is this one, or, where this is the general build, the one installed
    in the environment."""
    paths = os.environ.get("PYTHONPATH", "").split(os.pathsep)
    general = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [GENERAL_SITE] + [p for p in paths if p and p != GENERAL_SITE]))
    normal = dict(os.environ)
    if not SHORTCUTS:
        normal["PYTHONPATH"] = os.pathsep.join(
            p for p in paths if p and os.path.abspath(p)
            != os.path.abspath(GENERAL_SITE))
    return {"shortcuts": normal, "general": general}


def start(group, env):
    """The interpreter that runs `group` in `env`, with the group's own
    additions to the environment."""
    extra = next((s.env for s in SCENARIOS.values()
                  if s.group == group and s.env), None)
    # The same hashes in both builds, for the same probes of dictionaries.
    env = dict(env, PYTHONHASHSEED="0", **(extra or {}))
    return subprocess.Popen(
        [sys.executable, os.path.join(HERE, "differential_run.py"), group],
        cwd=HERE, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True)


@pytest.fixture(scope="module")
def records():
    """What each build recorded, by group: an interpreter per group and
    build, two running side by side."""
    groups = list(dict.fromkeys(s.group for s in SCENARIOS.values()))
    runs = [(group, build, env) for group in groups
            for build, env in environments().items()]
    results = {}
    for i in range(0, len(runs), 2):
        started = [(g, b, start(g, env)) for g, b, env in runs[i:i + 2]]
        for group, build, proc in started:
            out, err = proc.communicate()
            if proc.returncode != 0:
                pytest.fail(f"{group} with the {build} build failed:\n"
                            f"{out}\n{err}")
            record = json.loads(out.splitlines()[-1])
            assert record["shortcuts"] == (build == "shortcuts"), build
            results.setdefault(build, {}).update(record["outcomes"])
    return results


def first_difference(a, b):
    """The first entries of two records that differ, as text."""
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return (f"entry {i}:\nshortcuts: {json.dumps(x)}\n"
                    f"general:   {json.dumps(y)}")
    return f"{len(a)} entries with shortcuts, {len(b)} without"


@pytest.mark.parametrize("name", SCENARIOS)
def test_both_builds_do_alike(records, name):
    with_shortcuts, general = (records[b][name]
                               for b in ("shortcuts", "general"))
    assert general == with_shortcuts, first_difference(with_shortcuts,
                                                       general)
    # A scenario that failed on its own compares nothing.
    assert not any(entry[0] == "scenario failed" for entry in general), (
        general)
