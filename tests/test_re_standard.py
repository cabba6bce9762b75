"""`re` as the module finds it at import: the reader computes re's work only
while re's functions are the standard ones by what they are, calls nothing
of re's that plain Python would not call, and imports and reads alike when
re is not as the shortcut needs it. Each case runs in a fresh interpreter
whose `re` is changed before the module is imported, and compares with the
plain-Python class there."""
import json

import pytest

from conftest import script
from scripts.re_before_import import BEFORE_IMPORT


@pytest.mark.parametrize("name", BEFORE_IMPORT)
def test_re_changed_before_the_import(name):
    plain, native = json.loads(script("re_before_import", name).stdout)
    # Only the module's own traceback entries differ.
    if isinstance(plain[0], list):
        assert native[0][:2] == plain[0][:2]
    else:
        assert native == plain
