"""Interpreted equivalent of ``fernlake_data.plugins.param.Parameter``.

Ordinary Python code with the same behaviour as the native class; the
benchmarks in ``run.py`` use it as the baseline.
"""
import re


class Parameter:
    def __init__(self, path) -> None:
        self.path = path
        self.read_param(path)

    def __getitem__(self, key):
        if key not in self.__dict__.keys():
            raise KeyError
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
