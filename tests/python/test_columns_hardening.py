"""vorn_columns when things go wrong around it: Ctrl-C, threads sharing an
iterator or still reading at exit, files cut short under a reader, hostile
arguments and failed reads. No event may be lost, repeated or mislabelled.
"""
import errno
import gc
import os
import re
import subprocess
import sys
import textwrap
import threading
import traceback
import weakref

import numpy as np
import pytest

import vorn_columns as vc
import wd_files
from test_hardening import run


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


def check_labels(batches, first, count):
    """Every event of [first, first + count) once, each batch's `first` its own."""
    for b in batches:
        assert b.first == b["event_counter"][0], f"batch first={b.first} holds {b['event_counter'][:3]}"
    got = np.concatenate([b["event_counter"] for b in batches])
    assert np.array_equal(got, np.arange(first, first + count)), f"{len(got)} events, not {count}"


def pestered(batches):
    """Every batch of the iterator `batches`, read in the main thread while
    another sends it SIGINT every 2 ms, and how many KeyboardInterrupts came.
    One counts where it was sent while next() was at work; one that lands
    between next() returning and the caller storing its result would be lost
    by Python itself, so the handler skips it."""
    import signal
    state = {"inside": False}

    def handler(*_):
        if state["inside"]:
            state["inside"] = False
            raise KeyboardInterrupt
    signal.signal(signal.SIGINT, handler)
    done = threading.Event()

    def pester(main=threading.main_thread().ident):
        while not done.wait(0.002):
            state["inside"] = False
            signal.pthread_kill(main, signal.SIGINT)
            try:
                batches.position
            except RuntimeError:  # the main thread is inside next()
                state["inside"] = True
    threading.Thread(target=pester).start()
    got, interrupts = [], 0
    while True:
        try:
            got.append(next(batches))
        except KeyboardInterrupt:
            interrupts += 1
        except StopIteration:
            break
    done.set()
    return got, interrupts


def cut_and_restored(path, content, cut, reading, stop, times):
    """Runs reading() on two threads while the file at `path` is cut at byte
    `cut` and written whole again `times` times; then sets `stop` and waits
    for them."""
    readers = [threading.Thread(target=reading) for _ in range(2)]
    for t in readers:
        t.start()
    try:
        for _ in range(times):
            os.truncate(path, cut)
            with open(path, "r+b") as f:
                f.seek(cut)
                f.write(content[cut:])
    finally:
        stop.set()
        for t in readers:
            t.join()


class TestInterrupts:
    def test_ctrl_c_during_iteration_loses_no_batch(self, big_wd1):
        out = run("""
            import sys
            import vorn_columns as vc
            from test_columns_hardening import check_labels, pestered
            got, interrupts = pestered(vc.iter_batches(sys.argv[1], "WD1", start=5))
            check_labels(got, 5, 40_000 - 5)
            print(interrupts > 0)
        """, big_wd1)
        assert out.split() == ["True"]

    def test_interrupt_while_numpy_is_first_reached_loses_no_batch(self, write):
        path = write(wd_files.wd1_run(6))
        out = run("""
            import sys
            import numpy.lib
            import vorn_columns as vc
            from test_columns_hardening import check_labels
            real = numpy.lib.NumpyVersion
            def interrupted(*args):   # the binding's first look at NumPy
                numpy.lib.NumpyVersion = real
                raise KeyboardInterrupt
            numpy.lib.NumpyVersion = interrupted
            batches = vc.iter_batches(sys.argv[1], "WD1", max_events=2)
            try:
                next(batches)
            except KeyboardInterrupt:
                print("interrupted")
            check_labels(list(batches), 0, 6)
        """, path)
        assert out.split() == ["interrupted"]


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="reads use helper threads from two CPUs on")
def test_a_child_forked_during_a_threaded_read_reads_on_threads(big_wd1):
    """Regression: a child forked while another thread read on helpers kept
    the CPUs those helpers held, and read on its own thread ever after."""
    out = run("""
        import os, sys, threading, warnings
        import vorn_columns as vc
        from vorn_columns import _native
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads about
        path = sys.argv[1]
        every = _native._read_threads()
        done = threading.Event()
        def loop():
            while not done.is_set():
                vc.read(path, "WD1")
        threading.Thread(target=loop).start()
        for _ in range(100):
            while _native._read_threads() == every:  # until the read holds CPUs
                pass
            pid = os.fork()
            if pid == 0:
                ok = (_native._read_threads() == every and
                      vc.read(path, "WD1")["event_counter"][-1] == 39_999)
                os._exit(0 if ok else 1)
            held = _native._read_threads() < every
            status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
            if held:  # the fork fell inside the read
                break
        done.set()
        print(held, status)
    """, big_wd1)
    assert out.split() == ["True", "0"]


class TestSharedIterator:
    def test_four_threads_share_one_iterator(self, big_wd1):
        batches = vc.iter_batches(big_wd1, "WD1", max_events=1, stop=10_000)
        got = []

        def work():
            while True:
                try:
                    batch = next(batches)
                except RuntimeError:  # another thread is inside next()
                    continue
                except StopIteration:
                    return
                got.append((batch.first, batch["event_counter"].tolist()))

        threads = [threading.Thread(target=work) for _ in range(4)]
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)  # threads take turns often, inside next() too
        try:
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(interval)
        got.sort()
        assert got == [(i, [i]) for i in range(10_000)], f"{len(got)} events"


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


@pytest.mark.skipif(os.environ.get("VORN_SANITIZED") == "1",
                    reason="after a pthread_exit unwind the frames' stack shadow stays "
                           "poisoned, and ASan reports its own sigaltstack call there")
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


def outcome(option, value):
    """What an option given `value` is: None where valid, else the exception."""
    if value is None:
        return None if option in ("stop", "max_events") else TypeError
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        return TypeError
    counts = option.startswith("max_")
    least, most = (1, 2**63 - 1) if counts else (0, None)
    return None if value >= least and (most is None or value <= most) else ValueError


def events_of(call, path, **options):
    if call == "read":
        return vc.read(path, "WD1", **options)["event_counter"].tolist()
    batches = (vc.iter_batches(path, "WD1", **options) if call == "iter_batches" else
               vc.follow(path, "WD1", poll=0, idle_timeout=0, **options))
    return [c for b in batches for c in b["event_counter"].tolist()]


class TestArguments:
    OPTIONS = {"read": ["start", "stop"], "iter_batches": ["start", "stop", "max_events", "max_bytes"],
               "follow": ["max_events", "max_bytes"]}

    @pytest.mark.parametrize("call", OPTIONS)
    @pytest.mark.parametrize("value", [True, False, 1.5, "2", None, -1, 0, 2, np.int64(3),
                                       2**63 - 1, 2**63, 2**64, 2**80])
    def test_counts_are_checked_when_the_call_is_made(self, wd1_path, call, value):
        calls = {"read": vc.read, "iter_batches": vc.iter_batches, "follow": vc.follow}
        for option in self.OPTIONS[call]:
            want = outcome(option, value)
            if want is None:  # past the end, start and stop clamp as in slicing
                window = {"start": slice(value, None), "stop": slice(None, value)}
                expected = list(range(5))[window.get(option, slice(None))]
                assert events_of(call, wd1_path, **{option: value}) == expected, option
            else:
                with pytest.raises(want, match=f"^{option} must be"):
                    calls[call](wd1_path, "WD1", **{option: value})  # not only at next()


class TestChangedFiles:
    @pytest.mark.parametrize("how", ["iter_batches", "follow"])
    @pytest.mark.parametrize("rewrite", [b"", wd_files.wd1_run(3, samples=1)],
                             ids=["emptied", "rewritten shorter"])
    def test_a_file_cut_below_the_position_raises(self, write, how, rewrite):
        path = write(wd_files.wd1_run(10))
        batches = (vc.iter_batches(path, "WD1") if how == "iter_batches" else
                   vc.follow(path, "WD1", poll=0.01, idle_timeout=0.3))
        assert next(batches)["event_counter"].tolist() == list(range(10))
        with open(path, "wb") as f:
            f.write(rewrite)
        with pytest.raises(vc.StaleIndexError) as info:
            next(batches)
        e = info.value
        assert isinstance(e, ValueError) and e.filename == path and path in str(e) and e.reason
        if how == "iter_batches":  # it stays at its position, and says so again
            with pytest.raises(vc.StaleIndexError):
                next(batches)
            with open(path, "ab") as f:
                f.write(wd_files.wd1_run(10)[len(rewrite):])  # back to its old length: read on
            assert list(batches) == []


class TestFailures:
    @pytest.mark.parametrize("call", ["read", "scan", "iter_batches"])
    def test_corrupt_record_error_keeps_neither_a_cycle_nor_the_columns(self, write, call):
        path = write(wd_files.wd1_run(200, 100) + wd_files.wd1(event_size=5))
        gc.disable()
        try:
            try:
                if call == "iter_batches":
                    for _ in vc.iter_batches(path, "WD1"):
                        pass
                else:
                    getattr(vc, call)(path, "WD1")
            except vc.CorruptRecordError as e:
                error = weakref.ref(e)
                callees = traceback.walk_tb(e.__traceback__.tb_next)  # not this frame
                held = [name for frame, _ in callees
                        for name, v in frame.f_locals.items() if isinstance(v, np.ndarray)]
                assert held == []  # the partial columns go even while the error is kept
            assert error() is None  # gone with its last reference, not left for the collector
        finally:
            gc.enable()

    def test_an_index_on_a_fifo_reads_forward_to_its_start(self, tmp_path):
        # A FIFO cannot seek: the position is reached by reading the records before it.
        fifo = str(tmp_path / "events.fifo")
        os.mkfifo(fifo)
        for _ in range(2):
            feeder = threading.Thread(target=lambda: open(fifo, "wb").write(wd_files.wd1_run(3)))
            feeder.start()
            if _ == 0:
                index = vc.scan(fifo, "WD1")
            else:
                batch = vc.read(fifo, "WD1", start=1, index=index)
            feeder.join()
        assert (batch.first, list(batch["event_counter"])) == (1, [1, 2])

    @pytest.mark.skipif(os.environ.get("VORN_SANITIZED") == "1",
                        reason="the sanitizer's shadow memory does not live under RLIMIT_AS")
    @pytest.mark.skipif(os.environ.get("VORN_EMULATED") == "1",
                        reason="under qemu-user RLIMIT_AS caps the emulator, not the guest")
    def test_a_scan_that_can_start_no_thread_reads_the_same_headers(self, write):
        # A scan reads the headers of long runs of 4 KB blocks on several
        # threads; under an address-space cap their stacks (8 MiB) cannot be
        # had, and the calling thread reads every part itself. The capped scan
        # comes first: the C library keeps the stacks of ended threads.
        path = write(wd_files.wd1_run(2300, 2100) + wd_files.wd1_run(1, 2101)
                     + wd_files.wd1_run(2200, 2100))
        out = run("""
            import resource, sys, numpy as np, vorn_columns as vc
            vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
            _, hard = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS, (vm + (6 << 20), hard))
            capped = vc.scan(sys.argv[1], "WD1")
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
            free = vc.scan(sys.argv[1], "WD1")
            same = np.array_equal(free.positions, capped.positions) and all(
                np.array_equal(free.columns[k], capped.columns[k]) for k in free.columns)
            print(len(capped), same)
        """, path)
        assert out.split() == ["4501", "True"]


def made_of(reader, path):
    """What `reader` makes of a WD1 file: its header columns, and its positions
    (a scan) or its offsets and samples (a read)."""
    if reader == "scan":
        ix = vc.scan(path, "WD1")
        return ix.columns, (ix.positions,)
    if reader == "take":  # every event, picked in runs read on threads
        ix = vc.scan(path, "WD1")
        b = vc.take(path, "WD1", np.arange(len(ix)), index=ix)
        return b.columns, (b.offsets, b.samples)
    b = vc.read(path, "WD1")
    return b.columns, (b.offsets, b.samples)


def is_prefix(got, want):
    """Whether `got` is what made_of gives for the first events of `want`."""
    (columns, arrays), (all_columns, all_arrays) = got, want
    n = len(arrays[0]) - 1
    if not all(np.array_equal(columns[k], all_columns[k][:n]) for k in all_columns):
        return False
    if not np.array_equal(arrays[0], all_arrays[0][:n + 1]):
        return False
    return len(arrays) == 1 or np.array_equal(arrays[1], all_arrays[1][:all_arrays[0][n]])


def agrees_but_for_zeros(got, want):
    """Whether `got` holds the first events of `want`, but for bytes read as
    zeros: the system may hand a read racing a truncation, or a write that
    extends the file, zeros for bytes that are there (ext4 does)."""
    (columns, arrays), (all_columns, all_arrays) = got, want
    n = len(arrays[0]) - 1

    def same(a, b):
        return a.shape == b.shape and bool(np.all((a == b) | (a == 0)))

    if not np.array_equal(arrays[0], all_arrays[0][:n + 1]):
        return False
    if not all(same(columns[k], all_columns[k][:n]) for k in all_columns):
        return False
    return len(arrays) == 1 or same(arrays[1], all_arrays[1][:all_arrays[0][n]])


# Long runs of records of one size are found and read on threads of the
# reader's own: a scan finds the headers of 4 KB blocks; a read reads parts
# of runs of any size side by side, a take the runs of its picks.
@pytest.mark.parametrize("reader, record", [("scan", "4 KB"), ("read", "4 KB"), ("read", "24 B"),
                                            ("take", "4 KB")])
class TestThreadedReads:
    @pytest.fixture
    def runs(self, write, record):
        if record == "24 B":
            return write(wd_files.run_of("WD1", 100_000, 0) + wd_files.wd1([1])
                         + wd_files.run_of("WD1", 100_000, 0))
        return write(wd_files.wd1_run(2300, 2100) + wd_files.wd1_run(1, 2101)
                     + wd_files.wd1_run(2200, 2100))

    def test_ctrl_c_gives_the_whole_result_or_none(self, runs, reader):
        # SIGINT sent to the process, not to a thread: the reader's own threads
        # block it, so the interpreter's handler sees each one.
        out = run("""
            import os, signal, sys, threading, time
            import numpy as np, vorn_columns as vc
            from test_columns_hardening import made_of, is_prefix
            reader = sys.argv[2]
            want = made_of(reader, sys.argv[1])
            armed = False  # the handler raises only around the reads, not in this loop's checks
            def handler(*_):
                if armed:
                    raise KeyboardInterrupt
            signal.signal(signal.SIGINT, handler)
            def pester():
                for _ in range(40):
                    time.sleep(0.003)
                    os.kill(os.getpid(), signal.SIGINT)
            sender = threading.Thread(target=pester)
            sender.start()
            interrupted = reads = 0
            while sender.is_alive() or reads < 3:
                try:
                    armed = True
                    got = made_of(reader, sys.argv[1])
                    armed = False
                except KeyboardInterrupt:
                    armed = False
                    interrupted += 1
                    continue
                reads += 1
                assert is_prefix(got, want) and len(got[1][0]) == len(want[1][0])
            sender.join()
            print(interrupted > 0, reads >= 3)
        """, runs, reader)
        assert out.split() == ["True", "True"]

    def test_two_threads_while_the_file_is_cut_and_restored(self, runs, reader):
        # Every byte of the file is there as written, gone, or (from the
        # system, see agrees_but_for_zeros) zero, so each reader finds a
        # prefix of the records, whatever it meets when; a header read as
        # zeros is a corrupt record, past the page the file is cut in.
        with open(runs, "rb") as f:
            content = f.read()
        want = made_of(reader, runs)
        cut = len(content) // 2 + 1000 + 7  # inside a record near the middle
        changing = cut // 4096 * 4096 - 24  # a header from here on may read as zeros
        record_bytes = len(wd_files.wd1_run(1, 2100))
        stop, wrong = threading.Event(), []

        def reading():
            while not stop.is_set():
                try:
                    got = made_of(reader, runs)
                except vc.CorruptRecordError as e:
                    if e.offset <= changing:
                        wrong.append(e)
                    continue
                except vc.StaleIndexError as e:  # a take after a scan of the other state
                    at = re.search(r"byte offset (\d+)", e.reason)
                    if at and int(at.group(1)) + record_bytes <= changing:
                        wrong.append(e)  # names a record that the cut left whole
                    continue
                except Exception as e:  # noqa: BLE001 - any other failure is the test's
                    wrong.append(e)
                    return
                if not agrees_but_for_zeros(got, want):
                    wrong.append(len(got[1][0]) - 1)

        cut_and_restored(runs, content, cut, reading, stop, 60)
        assert wrong == []
        assert is_prefix(made_of(reader, runs), want)
