"""Training and prediction run without the GIL, and Ctrl-C stops a long fit
within about a second, leaving the estimator unfitted."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np

import kaltro

# Random labels: nearly every row a bounded support vector, a solve of minutes.
CHILD = textwrap.dedent("""
    import signal, sys, time
    import numpy as np
    import kaltro
    from sklearn.exceptions import NotFittedError
    rng = np.random.RandomState(0)
    X, y = rng.randn(30000, 10), rng.randint(0, 2, 30000)
    m = kaltro.SVC(C=1000, gamma=2.0, cache_size=50)
    print("fitting", flush=True)
    try:
        m.fit(X, y)
        print("finished")
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        try:
            m.predict(X[:5])
        except NotFittedError:
            print("unfitted")
        print("handler restored", signal.getsignal(signal.SIGINT) is signal.default_int_handler)
        print("fits again", kaltro.SVC().fit(X[:200], y[:200]).predict(X[:3]).shape == (3,))
""")


def test_ctrl_c_stops_a_long_fit():
    # Unbuffered: readline takes no more than its line from the pipe, so
    # communicate() still finds what follows (a buffered reader may already
    # hold it, and communicate() with a timeout reads past that buffer).
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, bufsize=0,
                             env=dict(os.environ))
    try:
        assert child.stdout.readline() == b"fitting\n"
        time.sleep(1.5)  # well inside the solve
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().decode()
        took = time.monotonic() - sent
        rest = child.communicate(timeout=60)[0].decode()
    finally:
        child.kill()
    assert line == "interrupted\n", line + rest
    assert took < 1.0, took
    print("interrupt took", took)
    assert rest.split("\n") == ["unfitted", "handler restored True", "fits again True", ""]
    assert child.returncode == 0


def test_fit_and_predict_leave_the_gil():
    rng = np.random.RandomState(1)
    X, y = rng.randn(4000, 10), rng.randint(0, 2, 4000)
    m = kaltro.SVC(C=10, gamma=1.0)
    worker = threading.Thread(target=lambda: m.fit(X, y).predict(X))
    # While the other thread trains and predicts, this one keeps running: the
    # longest pause it sees is far shorter than the work.
    start = last = time.monotonic()
    longest = 0.0
    worker.start()
    while worker.is_alive():
        now = time.monotonic()
        longest = max(longest, now - last)
        last = now
    took = time.monotonic() - start
    worker.join()
    assert took > 0.5, took  # enough work to tell
    assert longest < took / 4, (longest, took)
    print("longest", longest, took)
