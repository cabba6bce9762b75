"""A process that has imported numpy and pandas, and forks a child for each
script that a test runs in a fresh interpreter: the child starts where such
an interpreter would be once those two are imported (not the module: each
child initialises it for the first time), and ends through the
interpreter's own exit, with its atexit functions, daemon threads and
finalisation.

    python zygote.py REQUESTS REPLIES ENVIRONMENT

reads from the descriptor REQUESTS one JSON line per child: {"id", "argv":
what follows `python` ("-c CODE ARGS..." or "-m MODULE ARGS..."), "cwd",
"out", "err": files for the child's output}; writes to REPLIES "ID PID"
once the child runs, then "ID STATUS" with its wait status. Children run
side by side, each with a process of its own that waits for it.
ENVIRONMENT, a JSON object, holds the variables to restore (null: unset)
once numpy and pandas are imported: those that keep their thread pools to
one thread, so that a fork copies the whole process."""
import builtins
import gc
import importlib.machinery
import json
import os
import runpy
import sys
import types

import numpy  # noqa: F401
import pandas  # noqa: F401

REQUESTS, REPLIES = int(sys.argv[1]), int(sys.argv[2])
for name, value in json.loads(sys.argv[3]).items():
    if value is None:
        os.environ.pop(name, None)
    else:
        os.environ[name] = value
threads = os.listdir("/proc/self/task")
assert len(threads) == 1, f"{len(threads)} threads: a fork would copy one"


def requests():
    pending = b""
    while True:
        while b"\n" not in pending:
            data = os.read(REQUESTS, 1 << 16)
            if not data:
                return
            pending += data
        line, pending = pending.split(b"\n", 1)
        yield json.loads(line)


def run(request):
    """In the child: runs the script as `python ARGV` would; returns 1 for
    an uncaught exception, which it prints as that would, or None (a
    SystemExit goes on to the interpreter)."""
    os.close(REQUESTS)
    os.close(REPLIES)
    for fd, path in ((1, request["out"]), (2, request["err"])):
        opened = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        os.dup2(opened, fd)
        os.close(opened)
    os.chdir(request["cwd"])
    option, what, *args = request["argv"]
    main = types.ModuleType("__main__")
    main.__dict__.update(__builtins__=builtins, __annotations__={},
                         __loader__=importlib.machinery.BuiltinImporter)
    sys.modules["__main__"] = main
    sys.argv = [option, *args]
    try:
        if option == "-c":
            sys.path[0] = ""
            exec(compile(what, "<string>", "exec"), vars(main))
        elif option == "-m":
            sys.path[0] = os.getcwd()
            runpy._run_module_as_main(what)
        else:
            raise SystemExit(f"{option}: an option of the interpreter, "
                             "which needs an interpreter of its own")
    except SystemExit:
        raise
    except BaseException as e:  # noqa: B036 - as the interpreter prints it
        tb = e.__traceback__.tb_next  # the script's frames, not this one
        sys.last_type, sys.last_value, sys.last_traceback = type(e), e, tb
        sys.excepthook(type(e), e.with_traceback(tb), tb)
        return 1
    return None


for request in requests():
    sys.stdout.flush()
    sys.stderr.flush()
    # What the child inherits stays out of its collections, which would
    # otherwise copy each page of it to the child to look at it.
    gc.freeze()
    if os.fork() == 0:  # runs the child and tells how it ended
        pid = os.fork()
        if pid == 0:
            raise SystemExit(run(request))
        os.write(REPLIES, b"%d %d\n" % (request["id"], pid))
        os.write(REPLIES, b"%d %d\n" % (request["id"], os.waitpid(pid, 0)[1]))
        os._exit(0)
    try:
        while os.waitpid(-1, os.WNOHANG)[0]:  # those that told
            pass
    except ChildProcessError:
        pass
