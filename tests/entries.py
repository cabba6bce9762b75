"""The module's traceback entries in a failure, for the tests and for the
scripts they run in fresh interpreters."""
import traceback

# The file name that the module's entries carry.
SOURCE_FILE = "fernlake_data\\plugins\\param"


def module_frames(tb):
    """(line, function name) of each traceback frame of the module's source
    file, outermost first."""
    return [(f.lineno, f.name) for f in traceback.extract_tb(tb)
            if f.filename == SOURCE_FILE]


def described(e):
    """An exception as a script prints it: its type's name, its text and
    the module's entries."""
    return [type(e).__name__, str(e), module_frames(e.__traceback__)]
