"""Faults that hostile or unlucky use once found: a crash from plain Python,
records lost after a failed allocation, and hangs on blocking input.

Each case runs in a subprocess, so that a crash or a hang fails the test
instead of taking the test run with it.
"""
import os
import subprocess
import sys
import textwrap

import pytest

import wd_files

HERE = os.path.dirname(os.path.abspath(__file__))


def run(code, *args, timeout=60, prelude=""):
    code = textwrap.dedent(prelude) + textwrap.dedent(code)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE, os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-c", code, *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=env)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def test_instances_not_made_by_the_constructor_are_harmless(wd1_path):
    out = run("""
        import sys, vorn
        path = sys.argv[1]
        owner_type = type(next(vorn.EventReader(path, "WD1"))["data"].base)
        for t in (vorn.EventReader, owner_type):
            try:
                t.__new__ = staticmethod(lambda cls, *a: object.__new__(cls))
            except TypeError:
                print("immutable")  # 3.10 on: the type cannot be patched at all
                continue
            if t is vorn.EventReader:
                obj = t(path, "WD1")
                for step in (next, iter):
                    try:
                        step(obj)
                    except TypeError:
                        print("refused")
            else:
                obj = t()
            del obj
        print("alive")
    """, wd1_path)
    assert out.split()[-1] == "alive"
    expected = ["immutable"] * 2 if sys.version_info >= (3, 10) else ["refused"] * 2
    assert out.split()[:-1] == expected


def sparse_file(path, layout):
    """Two small records, one of 1 GiB (holes, its last sample 7), one small."""
    big = 1 << 30
    if layout == "WD1":
        small = [wd_files.wd1([1, 2, 3], event_counter=i) for i in range(4)]
        head = wd_files.WD1_HEADER.pack(24 + big, 0, 0, 0, 2, 0)
        last = b"\x07\x00"
    else:
        small = [wd_files.wd2([1.0, 2.0] * 3, channels=2, event_counter=i) for i in range(4)]
        head = wd_files.WD2_HEADER.pack(2, 0, big // 8, 200) + b"\x02\x00\x00\x00"
        last = b"\x00\x00\xe0\x40"  # 7.0f
    with open(path, "wb") as f:
        f.write(small[0] + small[1] + head)
        f.seek(big - len(last), os.SEEK_CUR)
        f.write(last + small[3])


@pytest.mark.skipif(os.environ.get("VORN_SANITIZED") == "1",
                    reason="the sanitizer's shadow memory does not live under RLIMIT_AS")
@pytest.mark.skipif(os.environ.get("VORN_EMULATED") == "1",
                    reason="under qemu-user RLIMIT_AS caps the emulator, which maps the guest's "
                    "memory its own way")
@pytest.mark.parametrize("layout", ["WD1", "WD2"])
def test_failed_allocation_leaves_the_record_for_the_next_step(tmp_path, layout):
    path = tmp_path / "sparse.bin"
    sparse_file(path, layout)
    out = run("""
        import resource, sys, vorn
        reader = vorn.EventReader(sys.argv[1], sys.argv[2])
        seen = [next(reader)["event_counter"] for _ in range(2)]
        vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (256 << 20), hard))
        for _ in range(2):
            try:
                next(reader)
                seen.append("event")
            except MemoryError:
                seen.append("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        big = next(reader)
        seen += [big["event_counter"], big["data"].nbytes, int(big["data"][-1])]
        del big
        seen += [ev["event_counter"] for ev in reader]
        print(seen)
    """, path, layout)
    assert out.strip() == str([0, 1, "MemoryError", "MemoryError", 2, 1 << 30, 7, 3])


FIFO_PRELUDE = """
    import os, signal, sys, threading, time, vorn, wd_files
    fifo = sys.argv[1]
    record = wd_files.wd1(list(range(5000)), event_counter=7)
    def interrupt_after(seconds):
        def handler(*_):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, seconds)
"""


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "events.fifo"
    os.mkfifo(path)
    return path


def test_a_thread_of_the_same_process_can_feed_a_fifo(fifo):
    out = run("""
        def writer():
            with open(fifo, "wb") as f:   # blocks until the reader opens
                for i in range(3):
                    time.sleep(0.05)
                    f.write(record[:100]); f.flush()
                    time.sleep(0.05)
                    f.write(record[100:]); f.flush()
        t = threading.Thread(target=writer)
        t.start()
        print(sum(ev["data"].size for ev in vorn.EventReader(fifo, "WD1")))
        t.join()
    """, fifo, timeout=30, prelude=FIFO_PRELUDE)
    assert out.strip() == "15000"


def test_ctrl_c_stops_a_blocked_open_and_a_blocked_step_without_losing_bytes(fifo):
    out = run("""
        interrupt_after(0.2)
        try:
            vorn.EventReader(fifo, "WD1")            # no writer: the open blocks
        except KeyboardInterrupt:
            print("open interrupted")
        w = os.open(fifo, os.O_RDWR)                 # a writer that never blocks
        reader = vorn.EventReader(fifo, "WD1")
        for cut in (10, 30, 9000):                   # in the header, in the block, past the buffer
            os.write(w, record[:cut])
            interrupt_after(0.2)
            try:
                next(reader)
            except KeyboardInterrupt:
                print("step interrupted")
            os.write(w, record[cut:])
            ev = next(reader)
            assert ev["event_counter"] == 7 and ev["data"].tolist() == list(range(5000)), ev
        print("whole")
    """, fifo, timeout=30, prelude=FIFO_PRELUDE)
    assert out.split("\n")[:5] == ["open interrupted"] + ["step interrupted"] * 3 + ["whole"]


def test_a_second_thread_meets_the_borrow_while_a_step_blocks(fifo):
    out = run("""
        w = os.open(fifo, os.O_RDWR)
        reader = vorn.EventReader(fifo, "WD1")
        got = []
        t = threading.Thread(target=lambda: got.append(next(reader)["event_counter"]))
        t.start()
        time.sleep(0.2)                               # t now blocks inside next()
        for step in (next, iter):
            try:
                step(reader)
            except RuntimeError as e:
                print(e)
        os.write(w, record)
        t.join()
        print(got)
    """, fifo, timeout=30, prelude=FIFO_PRELUDE)
    assert out.split("\n")[:3] == ["Already borrowed", "Already mutably borrowed", "[7]"]


@pytest.mark.parametrize("raised", ["KeyboardInterrupt", "SystemExit"])
def test_interrupt_during_numpy_import_arrives_as_itself(tmp_path, wd1_path, raised):
    fake = tmp_path / "fake" / "numpy"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text(f"raise {raised}\n")
    out = run(f"""
        import sys
        sys.path.insert(0, sys.argv[2])
        import vorn
        try:
            next(vorn.EventReader(sys.argv[1], "WD1"))
        except {raised}:
            print("arrived")
    """, wd1_path, fake.parent)
    assert out.strip() == "arrived"
