"""vorn_columns when things go wrong around it: Ctrl-C, threads sharing an
iterator or still reading at exit, files cut short under a reader, hostile
arguments and failed reads. No event may be lost, repeated or mislabelled.
"""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorn_columns as vc
import wd_files


@pytest.fixture(scope="module")
def big_wd1(tmp_path_factory):
    """40,000 WD1 records of 536 bytes (21 MB), event_counter 0, 1, ..."""
    block = np.frombuffer(wd_files.wd1_run(1000, 256), np.uint8).reshape(1000, 536).copy()
    path = tmp_path_factory.mktemp("big") / "big.wd1"
    with open(path, "wb") as f:
        for k in range(40):
            block.view("<i4")[:, 4] = np.arange(k * 1000, (k + 1) * 1000)
            f.write(block.tobytes())
    return str(path)


EXITING = {
    "read": """
        def loop():
            while True:
                vc.read(path, "WD1")
        threads = 2
    """,
    "fifo": """
        def loop():
            for batch in vc.iter_batches(sys.argv[2], "WD1", max_bytes=1 << 16):
                pass
        threads = 1
    """,
    "EventReader": """
        def loop():
            while True:
                next(vorn.EventReader(path, "WD1"))
        threads = 2
    """,
}
FEED = """
import sys
block = open(sys.argv[1], "rb").read(536 * 2000)  # whole records
with open(sys.argv[2], "wb") as f:
    while True:
        f.write(block)
"""


@pytest.mark.parametrize("reader", EXITING)
def test_exit_while_daemon_threads_read(tmp_path, big_wd1, reader):
    """CPython 3.13 and older end a thread that takes the interpreter lock
    back during finalization by unwinding it: that must not abort."""
    code = textwrap.dedent("""
        import sys, threading, time
        import vorn, vorn_columns as vc
        path = sys.argv[1]
    """) + textwrap.dedent(EXITING[reader]) + textwrap.dedent("""
        for _ in range(threads):
            threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.3)
    """)
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    for _ in range(6):
        # For "fifo", records keep coming until the reader is gone.
        feed = subprocess.Popen([sys.executable, "-c", FEED, big_wd1, fifo],
                                stderr=subprocess.DEVNULL) if reader == "fifo" else None
        try:
            proc = subprocess.run([sys.executable, "-c", code, big_wd1, fifo],
                                  capture_output=True, text=True, timeout=60)
        finally:
            if feed:
                feed.kill()
                feed.wait()
        assert proc.returncode == 0, proc.stderr
