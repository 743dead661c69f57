"""Iterating an EventReader: the protocol, growing files, input errors, internal failures."""
import os
import subprocess
import sys
import textwrap

import pytest

from vorn import EventReader

from wd_files import wd1, wd1_run, wd2, wd2_run

# Four records of each layout and form, and the size of one record in bytes.
LAYOUTS = {
    "WD1": ("WD1", wd1_run(4), 32),                                # 24 + 4 x 2 bytes
    "WD2 with channel word": ("WD2", wd2_run(4, channels=2), 52),  # 28 + 6 x 4 bytes
    "WD2 without channel word": ("WD2", wd2_run(4), 36),           # 24 + 3 x 4 bytes
}


def counters(reader):
    return [event["event_counter"] for event in reader]


def assert_exhausted(reader, times=3):
    for _ in range(times):
        with pytest.raises(StopIteration) as info:
            next(reader)
        assert info.value.args == ()


@pytest.mark.parametrize("layout", LAYOUTS)
class TestProtocol:
    def test_iter_is_self(self, write, layout):
        reader_type, content, _ = LAYOUTS[layout]
        reader = EventReader(write(content), reader_type)
        assert iter(reader) is reader
        assert iter(iter(reader)) is reader

    def test_yields_every_record_then_stops_again_and_again(self, write, layout):
        reader_type, content, _ = LAYOUTS[layout]
        reader = EventReader(write(content), reader_type)
        assert counters(reader) == [0, 1, 2, 3]
        assert_exhausted(reader)
        assert list(reader) == []

    def test_loops_share_one_position(self, write, layout):
        reader_type, content, _ = LAYOUTS[layout]
        reader = EventReader(write(content), reader_type)
        first = []
        for event in reader:
            first.append(event["event_counter"])
            if len(first) == 2:
                break
        assert first == [0, 1]
        assert next(reader)["event_counter"] == 2
        assert counters(reader) == [3]

    def test_an_empty_file_yields_nothing(self, write, layout):
        reader = EventReader(write(b""), LAYOUTS[layout][0])
        assert list(reader) == []
        assert_exhausted(reader)

    def test_two_readers_of_one_file_are_independent(self, write, layout):
        reader_type, content, _ = LAYOUTS[layout]
        path = write(content)
        a, b = EventReader(path, reader_type), EventReader(path, reader_type)
        next(a)
        assert counters(b) == [0, 1, 2, 3]
        assert counters(a) == [1, 2, 3]

    def test_a_grown_file_yields_the_new_records(self, write, layout):
        reader_type, content, size = LAYOUTS[layout]
        path = write(content[: 3 * size])
        reader = EventReader(path, reader_type)
        assert counters(reader) == [0, 1, 2]
        with open(path, "ab") as f:
            f.write(content[3 * size:])
        assert counters(reader) == [3]
        assert_exhausted(reader)

    @pytest.mark.parametrize("cut", [1, 10, 23, 24, 25, 27, -1])
    def test_a_record_cut_short_arrives_whole_once_completed(self, write, layout, cut):
        reader_type, content, size = LAYOUTS[layout]
        cut = 3 * size + (cut % size)
        path = write(content[:cut])
        reader = EventReader(path, reader_type)
        assert counters(reader) == [0, 1, 2]
        assert_exhausted(reader)
        with open(path, "ab") as f:
            f.write(content[cut:])
        last = next(reader)
        assert last["event_counter"] == 3
        assert list(last["data"]) == list(EventReader(write(content), reader_type))[3]["data"].tolist()
        assert_exhausted(reader)

    def test_a_record_completed_in_several_pieces(self, write, layout):
        reader_type, content, size = LAYOUTS[layout]
        path = write(content[: 3 * size])
        reader = EventReader(path, reader_type)
        assert counters(reader) == [0, 1, 2]
        for start in range(3 * size, 4 * size - 1, 7):
            with open(path, "ab") as f:
                f.write(content[start:start + 7])
            assert counters(reader) == ([3] if start + 7 >= 4 * size else [])


def test_records_stream_from_a_pipe(tmp_path):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)  # a writer, so that the open does not wait
    try:
        os.write(writer, wd1_run(6))
        reader = EventReader(fifo, "WD1")
    finally:
        os.close(writer)
    assert counters(reader) == [0, 1, 2, 3, 4, 5]
    assert_exhausted(reader)


class TestInputErrors:
    """A failed read is raised, by its error number, and does not end the object."""

    def test_directory_as_wd1(self, tmp_path):
        reader = EventReader(str(tmp_path), "WD1")
        with pytest.raises(IsADirectoryError) as info:
            next(reader)
        e = info.value
        assert type(e) is IsADirectoryError
        assert str(e) == "Is a directory (os error 21)" and e.args == (str(e),)
        assert e.errno is None
        assert_exhausted(reader)

    def test_io_error_as_wd1(self, eio_path):
        reader = EventReader(eio_path, "WD1")
        with pytest.raises(OSError) as info:
            next(reader)
        assert type(info.value) is OSError
        assert str(info.value) == "Input/output error (os error 5)"
        assert info.value.errno is None
        assert_exhausted(reader)

    def test_for_loop_propagates_the_error(self, tmp_path):
        with pytest.raises(IsADirectoryError):
            for _ in EventReader(str(tmp_path), "WD1"):
                pass


def panic_of(call):
    """The exception that call() raises, which `except Exception` must let pass."""
    try:
        call()
    except Exception as e:  # noqa: BLE001
        pytest.fail(f"{type(e).__name__}: {e} was caught by `except Exception`")
    except BaseException as e:  # noqa: BLE001
        return e
    pytest.fail("no exception raised")


class TestPanicException:
    @pytest.mark.parametrize("event_size", [0, 22, -1, -2**31])
    def test_negative_sample_count_wd1(self, write, capfd, event_size):
        reader = EventReader(write(wd1(event_size=event_size) + wd1_run(2)), "WD1")
        exc = panic_of(lambda: next(reader))
        kind = type(exc)
        assert kind.__name__ == "PanicException"
        assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
        assert exc.args == ("capacity overflow",) and str(exc) == "capacity overflow"
        assert "capacity overflow" in capfd.readouterr().err
        # The failed header stays consumed; the reader goes on after it.
        assert counters(reader) == [0, 1]
        again = EventReader(write(wd1(event_size=event_size)), "WD1")
        assert type(panic_of(lambda: next(again))) is kind  # one type for the process

    def test_negative_probed_channel_count_wd2(self, write):
        # Empty records whose channel word -1 passes the probe leave -1 channels
        # and 24-byte headers; the second header then reads 5 samples, an
        # impossible block of 5 x -1 x 4 bytes.
        first = wd2([], channels=-1, samples=0, event_counter=7)
        second = wd2([], channels=-1, samples=0, event_counter=8, timestamp=5 << 32)
        reader = EventReader(write(first + second), "WD2")
        event = next(reader)
        assert (event["channels"], event["samples"], len(event["data"])) == (-1, 0, 0)
        assert str(panic_of(lambda: next(reader))) == "capacity overflow"
        assert_exhausted(reader)


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


class TestNumpyAccess:
    def test_numpy_missing(self, write):
        path = write(wd1_run(4))
        empty = write(b"")
        r = run_python(f"""
            import sys
            sys.modules["numpy"] = None  # import numpy now fails
            import vorn
            assert list(vorn.EventReader({empty!r}, "WD1")) == []
            reader = vorn.EventReader({path!r}, "WD1")
            for attempt in range(2):
                try:
                    next(reader)
                except Exception:
                    raise SystemExit("caught by except Exception")
                except BaseException as e:
                    print(type(e).__name__, str(e).splitlines()[0])
            del sys.modules["numpy"]
            event = next(reader)  # the next event tries again, and now succeeds
            print(event["event_counter"], event["data"].tolist())
            """)
        assert r.returncode == 0, r.stderr
        lines = r.stdout.splitlines()
        prefix = "PanicException Failed to access NumPy array API capsule: "
        assert len(lines) == 3
        assert all(line.startswith(prefix) for line in lines[:2]), lines
        assert "ModuleNotFoundError" in lines[0]
        assert lines[2] == "2 [2, 3, 4, 5]"

    def test_reentrant_use_is_refused(self, write):
        # The first event imports NumPy; a stand-in that uses the same reader
        # while that import runs meets the exclusive borrow.
        path = write(wd1_run(3))
        r = run_python(f"""
            import sys, vorn
            reader = vorn.EventReader({path!r}, "WD1")
            seen = set()
            class Trap:
                def __getattr__(self, name):
                    for use in (next, iter):
                        try:
                            use(reader)
                        except RuntimeError as e:
                            seen.add(str(e))
                    raise AttributeError(name)
            sys.modules["numpy"] = Trap()
            try:
                next(reader)
            except BaseException as e:
                print(type(e).__name__)
            del sys.modules["numpy"]
            print(sorted(seen))
            print([ev["event_counter"] for ev in reader])
            """)
        assert r.returncode == 0, r.stderr
        assert r.stdout.splitlines() == [
            "PanicException",
            "['Already borrowed', 'Already mutably borrowed']",
            "[1, 2]",
        ]

    def test_other_reader_stepped_during_numpy_lookup_does_not_hang(self, write):
        # Regression: NumPy's API table is made once, under a lock; a second
        # reader stepped on the same thread while it was being made waited for
        # that lock forever.
        path = write(wd1_run(2))
        r = run_python(f"""
            import sys, vorn
            first = vorn.EventReader({path!r}, "WD1")
            other = vorn.EventReader({path!r}, "WD1")
            seen = []
            class Trap:
                def __getattr__(self, name):
                    if not seen:
                        try:
                            next(other)
                        except BaseException as e:
                            seen.append(type(e).__name__)
                    raise AttributeError(name)
            sys.modules["numpy"] = Trap()
            try:
                next(first)
            except BaseException as e:
                seen.append(type(e).__name__)
            del sys.modules["numpy"]
            print(seen)
            print([ev["event_counter"] for ev in other])
            """)
        assert r.returncode == 0, r.stderr
        assert r.stdout.splitlines() == ["['PanicException', 'PanicException']", "[1]"]
