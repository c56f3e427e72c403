"""The process's first call, which imports NumPy's array API and fills the
process-wide caches: it must never hang, whatever runs while it does (a fork
from another thread, the same function called again from a signal handler on
the same thread).  Each case runs in a fresh interpreter with a timeout, so
a hang fails the test instead of stalling the suite."""

import pytest

from support import run_python

# A profile hook that makes NumpyVersion.__init__ (run by the first call)
# slow, and says when a thread is inside it.
SLOW_VERSION_CHECK = """
    import sys, threading, time
    inside = threading.Event()
    WANT = [-1, -1, -1, 1, 2, -1]
    def slow_version_check(frame, event, arg):
        if event == "call" and frame.f_code.co_qualname == "NumpyVersion.__init__":
            inside.set()
            time.sleep(0.5)
"""


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_fork_while_another_thread_makes_the_first_call():
    code = SLOW_VERSION_CHECK + """
    import os, signal, numpy as np, rastermark
    x = np.array([0.0, 1, 0, 1, 0, 1]); y = np.array([0.0, 5, 0, 5, 0, 5])
    threading.setprofile(slow_version_check)
    first = threading.Thread(target=rastermark.annotate_scanlines, args=(x, y))
    first.start()
    assert inside.wait(timeout=60), "the first call never reached the version check"
    pid = os.fork()
    if pid == 0:
        signal.alarm(30)   # a hang ends the child instead of the test
        ok = rastermark.annotate_scanlines(x, y).tolist() == WANT
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    first.join(timeout=60)
    print("child", os.waitstatus_to_exitcode(status), "parent", rastermark.annotate_scanlines(x, y).tolist())
    """
    out = run_python(code, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "child 0 parent [-1, -1, -1, 1, 2, -1]", out.stderr


def test_call_from_a_signal_handler_during_the_first_call():
    code = SLOW_VERSION_CHECK.replace("time.sleep(0.5)", "time.sleep(0.01)") + """
    import signal, numpy as np, rastermark
    x = np.array([0.0, 1, 0, 1, 0, 1]); y = np.array([0.0, 5, 0, 5, 0, 5])
    nested, busy = [], [False]
    def on_alarm(signum, frame):
        if busy[0]:
            return
        busy[0] = True
        try:
            nested.append(rastermark.annotate_scanlines(x, y).tolist())
        finally:
            busy[0] = False
    signal.signal(signal.SIGALRM, on_alarm)
    sys.setprofile(slow_version_check)          # the version check gives the handler time to run
    signal.setitimer(signal.ITIMER_REAL, 1e-3, 1e-3)
    outer = rastermark.annotate_scanlines(x, y).tolist()
    signal.setitimer(signal.ITIMER_REAL, 0)
    sys.setprofile(None)
    assert inside.is_set()
    assert nested and all(r == WANT for r in nested), nested
    print(outer)
    """
    out = run_python(code, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[-1, -1, -1, 1, 2, -1]"


def test_many_threads_racing_on_the_first_call_share_one_panic_class():
    # Without NumPy's array API every first call fails; the failures race to
    # create the internal-fault class, and all of them must see one class.
    code = """
    import sys, threading
    sys.modules["numpy"] = None                 # import numpy fails
    import rastermark
    barrier = threading.Barrier(8); seen = []
    def call():
        barrier.wait(timeout=60)
        try:
            rastermark.annotate_scanlines(1, 2)
        except BaseException as e:
            seen.append(type(e))
    ts = [threading.Thread(target=call) for _ in range(8)]
    [t.start() for t in ts]; [t.join(timeout=60) for t in ts]
    print(len(seen), len(set(seen)), seen[0].__name__, seen[0].__mro__[1].__name__)
    """
    out = run_python(code, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["8", "1", "PanicException", "BaseException"]
