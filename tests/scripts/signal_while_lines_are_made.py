"""An alarm that goes off while native code splits the lines of the opened
object, which checks for no signal, then with the shortcuts' guard of re
tripped; prints the module's lines in the traceback of each
KeyboardInterrupt that the alarm's handler raises."""
import io
import re
import signal

from entries import module_frames
from own_open import Parameter


def interrupt(signum, frame):
    raise KeyboardInterrupt


signal.signal(signal.SIGALRM, interrupt)
for tripped in (False, True):
    if tripped:
        re.search.__defaults__ = (0,)
    text = io.StringIO("k=v\n" * 2_000_000)
    signal.setitimer(signal.ITIMER_REAL, 0.005)
    try:
        Parameter(lambda mode: text)
    except KeyboardInterrupt as e:
        print([line for line, _ in module_frames(e.__traceback__)])
