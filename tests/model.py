"""The class `Parameter` in plain Python, twice: `PlainParameter` is what a
user would write, the baseline of the benchmarks; `ModelParameter` is the
oracle that the extension module is compared with, the same class with the
module's messages for a line that does not split into two. Both share no
code with the module, nor with the file checker (`param_check`), which
reads the same format to report on it, where these store."""
import re


class PlainParameter:
    def __init__(self, path) -> None:
        self.path = path
        self.read_param(path)

    def __getitem__(self, key):
        if key not in self.__dict__.keys():
            raise KeyError  # the key is not part of the error
        return self.__dict__[key]

    def __setitem__(self, key, value):
        self.__dict__[key] = value

    def read_param(self, path):
        with open(path, "r") as f:
            lines = f.readlines()
            for l in lines:
                l = str(l).strip()
                if re.search("^#", l):
                    continue
                if l == "":
                    continue
                key, value = re.split("=", l)
                self[key] = value


def unpack_pair(pieces):
    """(key, value), with the messages of a wrong number of pieces."""
    if len(pieces) > 2:
        raise ValueError("too many values to unpack (expected 2)")
    if len(pieces) < 2:
        raise ValueError("need more than %d value%s to unpack"
                         % (len(pieces), "" if len(pieces) == 1 else "s"))
    return pieces[0], pieces[1]


def read_into(target, path):
    """Stores the settings of the file at `path` in `target`, in file order,
    by item assignment; what was stored before a failure stays."""
    with open(path, "r") as f:
        for line in f.readlines():
            line = str(line).strip()
            if re.search("^#", line) or line == "":
                continue
            key, value = unpack_pair(re.split("=", line))
            target[key] = value


class ModelParameter(PlainParameter):
    def read_param(self, path):
        read_into(self, path)


def outcome(action):
    """(type, arguments) of the exception that `action` raises, or None."""
    try:
        action()
    except Exception as e:
        return type(e), e.args
    return None
