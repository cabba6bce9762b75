"""Parameter files of ``key=value`` lines, read into a ``Parameter``."""

from collections.abc import Hashable
from os import PathLike
from typing import Any, Dict, Union

from typing_extensions import TypeAlias

# What the built-in ``open`` accepts as its file: the class hands the path
# to ``open(path, "r")`` unchanged.
_Path: TypeAlias = Union[int, str, bytes, PathLike[str], PathLike[bytes]]

# The module's doctest table; it holds no tests.
__test__: Dict[str, Any]

class Parameter:
    """The settings of parameter files, held in the instance's own
    attribute dictionary.

    Each line of a file is stripped of surrounding whitespace; lines that
    then begin with ``#`` and empty lines are skipped, and every other line
    must hold exactly one ``=``. The text before it is the key and the text
    after it the value, both stored as ``str`` and neither stripped on its
    own. A later key replaces an earlier one.

    Every setting under a ``str`` key, as all read from a file are, is also
    an attribute: ``p["site"]`` and ``p.site`` give the same value. Item
    assignment stores any hashable key with any value.
    """

    path: _Path
    """The path given to the constructor, stored unchanged (a setting named
    ``path`` replaces it)."""

    def __init__(self, path: _Path) -> None:
        """Stores ``path`` as the attribute ``path``, then reads the file
        through ``self.read_param(path)``.

        ``path`` is anything the built-in ``open`` accepts: a ``str``,
        ``bytes`` or ``os.PathLike`` path, or an open file descriptor (which,
        as with ``open``, is closed once read).

        Raises ``ValueError`` for a setting line without ``=`` or with more
        than one, and whatever ``open`` or reading raises (``OSError``,
        ``UnicodeDecodeError``, ...).
        """

    def __getitem__(self, key: Hashable) -> Any:
        """The value stored under ``key``: a ``str`` when it was read from a
        file, whatever was assigned otherwise.

        Raises ``KeyError`` without arguments when ``key`` is not stored.
        """

    def __setitem__(self, key: Hashable, value: Any) -> None:
        """Stores ``value`` under ``key``, replacing an earlier value; a
        ``str`` key also makes it readable as an attribute."""

    def __getattr__(self, name: str) -> Any:
        """A setting read as an attribute, as ``self[name]`` gives it.

        Raises ``AttributeError`` when no setting has that name.
        """

    def read_param(self, path: _Path) -> None:
        """Reads the file at ``path`` and stores each of its settings by item
        assignment, in file order; settings of equal keys are replaced.

        ``path`` takes what the built-in ``open`` accepts, and the failures
        are those of the constructor. When a line is malformed the settings
        of the lines before it stay stored.
        """
