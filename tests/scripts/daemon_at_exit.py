"""`python -m scripts.daemon_at_exit KIND PATH` leaves while a daemon thread
loops in a method of the module, once it is surely inside: a read of PATH
into an instance ("long_read") or into one whose __setitem__ is written in
Python ("python_setitem") once that holds more than a thousand settings,
or a construction ("construction") once the loop has made a hundred."""
import os
import sys
import threading
import time

from fernlake_data.plugins.param import Parameter


class S(Parameter):
    def __setitem__(self, k, v):
        super().__setitem__(k, v)


kind, path = sys.argv[1:]
p, s, made = Parameter.__new__(Parameter), S.__new__(S), []
call, inside = {
    "long_read": (lambda: p.read_param(path), lambda: len(vars(p)) > 1000),
    "construction": (lambda: made.append(Parameter(os.devnull)),
                     lambda: len(made) > 100),
    "python_setitem": (lambda: s.read_param(path),
                       lambda: len(vars(s)) > 1000),
}[kind]


def loop():
    while True:
        call()


threading.Thread(target=loop, daemon=True).start()
while not inside():
    time.sleep(0)  # the thread's turn with the interpreter lock
