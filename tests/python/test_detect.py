"""Layout detection: a recording's first records name their layout, on every kind of input, and
input that cannot seek gets back what detection read; the command refuses a layout the file
does not read as."""
import gzip
import io
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vorn_columns as vc
from vorn import EventReader

from wd_files import wd1, wd2

EXAMPLES = settings(deadline=None, database=None, max_examples=60,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])


class Pipe(io.RawIOBase):
    """A file object that cannot seek, handing out uneven chunks."""

    def __init__(self, data):
        self._data, self._at = data, 0

    def readable(self):
        return True

    def readinto(self, b):
        n = min(len(b), 1 + self._at % 977, len(self._data) - self._at)
        b[:n] = self._data[self._at:self._at + n]
        self._at += n
        return n


@st.composite
def recordings(draw):
    """(layout, bytes): a few records as a digitizer writes them, perhaps cut short."""
    layout = draw(st.sampled_from(["WD1", "WD2"]))
    count = draw(st.integers(3, 20))
    size = draw(st.integers(0 if layout == "WD1" else 1, 600))  # WD2 records hold samples
    if layout == "WD1":
        data = b"".join(wd1(np.arange(size) % 4096, board_channel=draw(st.integers(0, 3)),
                            event_counter=i + 7) for i in range(count))
    else:
        channels = draw(st.sampled_from([None, 2, 3]))
        data = b"".join(wd2(np.full(size * (channels or 1), 0.5, np.float32), channels=channels,
                            event_counter=i + 7) for i in range(count))
    cut = draw(st.integers(0, min(20, len(data) // count - 1)))  # within the last record
    return layout, data[:len(data) - cut]


@given(recordings())
@EXAMPLES
def test_a_recording_names_its_layout_on_every_kind_of_input(tmp_path, case):
    layout, data = case
    path = tmp_path / "run.dat"
    path.write_bytes(data)
    assert vc.detect_layout(path) == layout
    assert vc.detect_layout(io.BytesIO(data)) == layout
    pipe = Pipe(data)
    assert vc.detect_layout(pipe) == layout
    # what detection read of the pipe comes back to the next reader
    whole = vc.read(pipe, layout)
    expected = list(EventReader(str(path), layout))
    assert len(whole) == len(expected)
    assert [int(c) for c in whole["event_counter"]] == [ev["event_counter"] for ev in expected]


class Slotted:
    """A file object that cannot be referred to weakly, as many C types cannot."""
    __slots__ = ("_f",)

    def __init__(self, f):
        self._f = f

    def readinto(self, b):
        return self._f.readinto(b)

    def seekable(self):
        return self._f.seekable()

    def seek(self, *args):
        return self._f.seek(*args)

    def tell(self):
        return self._f.tell()


class Unhashable(Pipe):
    __hash__ = None


TWO_CHANNELS = b"".join(wd2(np.full(6, 0.5, np.float32), channels=2, event_counter=i)
                        for i in range(100))


@pytest.mark.parametrize("make, refused", [
    (Pipe, False),
    (lambda d: io.BytesIO(gzip.compress(d)), False),
    (lambda d: Slotted(io.BytesIO(d)), False),
    (lambda d: Slotted(Pipe(d)), True),
    (Unhashable, True),
])
def test_what_detection_reads_reaches_the_next_reader(make, refused):
    """Input that cannot seek gets back what detection read, and one that could not get it
    back is refused before a byte is read; input that can seek is put back where it stood,
    compressed or not."""
    f = make(TWO_CHANNELS)
    if refused:
        with pytest.raises(TypeError, match="give the layout, or pass a file object that can "
                                            "seek"):
            vc.detect_layout(f)
    else:
        assert vc.detect_layout(f) == "WD2"
    assert vc.read(f, "WD2")["event_counter"].tolist() == list(range(100))


@pytest.mark.parametrize("content, says", [
    (b"", "too short"),
    (wd1(list(range(100)))[:150], "too short"),  # not one whole record
    (wd1([1], event_counter=5) + wd1([1], event_counter=3) + wd1([2], event_counter=9),
     "fit neither"),
    # Records that chain as WD1 but go backwards, and as WD2 make no whole record: more than
    # a record's worth of bytes, so not too short.
    (b"".join(wd1([1] * 3, board_channel=2**30, event_counter=9 - i) for i in range(3)),
     "fit neither layout .*as WD1, their event_counter does not increase; as WD2, not one"),
], ids=["empty", "cut", "backwards", "backwards-no-whole-wd2"])
def test_what_cannot_be_told_is_a_value_error_saying_why(tmp_path, content, says):
    (tmp_path / "a").write_bytes(content)
    with pytest.raises(ValueError, match=says):
        vc.detect_layout(tmp_path / "a")


def test_a_first_record_that_cannot_be_read_names_the_other_layout(tmp_path):
    (tmp_path / "a").write_bytes(b"".join(wd2([0.5] * 6, event_counter=i) for i in range(4)))
    with pytest.raises(vc.CorruptRecordError, match="reads as WD2: give the layout 'WD2'"):
        vc.read(tmp_path / "a", "WD1")


def vorn(*args, **options):
    script = Path(sys.executable).with_name("vorn")
    command = [str(script)] if script.exists() else [sys.executable, "-m", "vorn_columns.cli"]
    return subprocess.run([*command, *args], capture_output=True, text=True, timeout=60,
                          **options)


class TestCommand:
    WD1_FILE = b"".join(wd1(np.arange(1000) % 4096, event_counter=i) for i in range(30))

    @pytest.mark.parametrize("via", ["file", "stdin"])
    def test_a_file_read_as_the_other_layout_is_refused(self, tmp_path, via):
        pytest.importorskip("pyarrow")
        (tmp_path / "run042.wd1").write_bytes(self.WD1_FILE)
        if via == "file":
            run = vorn("convert", "--layout", "WD2", "run042.wd1", "out.parquet", cwd=tmp_path)
        else:
            run = subprocess.run(
                [*vorn("--version").args[:-1], "convert", "--layout", "WD2", "-", "out.parquet"],
                input=self.WD1_FILE, capture_output=True, cwd=tmp_path, timeout=60)
            run.stderr = run.stderr.decode()
        assert run.returncode == 1
        name = "run042.wd1" if via == "file" else "-"
        assert run.stderr == (f"vorn: {name} does not read as WD2: its first records do not chain "
                              "as WD2 records; they read as WD1. Use --layout WD1.\n")
        assert sorted(os.listdir(tmp_path)) == ["run042.wd1"]  # nothing written

    def test_a_name_without_a_layout_takes_the_detected_one(self, tmp_path):
        (tmp_path / "run.dat").write_bytes(self.WD1_FILE)
        run = vorn("info", "run.dat", cwd=tmp_path)
        assert run.returncode == 0 and run.stdout.startswith("run.dat (WD1)\n")

    def test_a_fifo_is_read_whole_after_detection(self, tmp_path):
        fifo = tmp_path / "live"
        os.mkfifo(fifo)
        command = vorn("--version").args[:-1]
        reader = subprocess.Popen([*command, "info", "--layout", "WD1", str(fifo)],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        with open(fifo, "wb") as f:
            f.write(self.WD1_FILE)
        out, err = reader.communicate(timeout=60)
        assert reader.returncode == 0, err
        assert "  events           30\n" in out and "incomplete tail  0 bytes" in out


@st.composite
def valid_recordings(draw):
    """(layout, bytes, whole records): a recording EventReader reads cleanly, with what a
    digitizer may well write: WD1 event_size 23 and odd sizes, counters in any order, and a
    last record cut short where two whole ones come before it."""
    layout = draw(st.sampled_from(["WD1", "WD2"]))
    count = draw(st.integers(1, 6))
    counters = draw(st.lists(st.integers(0, 2**32 - 1), min_size=count, max_size=count))
    if layout == "WD1":
        records = []
        for counter in counters:
            samples = draw(st.lists(st.integers(0, 4095), max_size=12))
            odd = draw(st.sampled_from([0, 1] if samples else [-1, 0, 1]))  # 23, 24, 25
            records.append(wd1(samples, event_size=24 + 2 * len(samples) + odd,
                               board_channel=draw(st.integers(0, 3)), event_counter=counter))
    else:
        channels = draw(st.sampled_from([None, 2, 3]))
        size = draw(st.integers(1, 40))
        records = [wd2(np.full(size * (channels or 1), 0.5, np.float32), channels=channels,
                       event_counter=counter) for counter in counters]
    data = b"".join(records)
    if count >= 3:
        data = data[:len(data) - draw(st.integers(0, len(records[-1]) - 1))]
    return layout, data, count


class TestGivenLayout:
    """A layout given is read as given unless the records refute it: at most one whole record
    as it, then an incomplete tail, where the other layout chains two."""

    OTHER = {"WD1": "WD2", "WD2": "WD1"}
    TWO_WD1 = b"".join(wd1(np.arange(1000) % 4096, event_counter=i) for i in range(2))

    @staticmethod
    def events(path, layout):
        """EventReader's events of the file, and whether it ended without an error."""
        out = []
        try:
            for ev in EventReader(str(path), layout):
                out.append(ev)
        except BaseException as e:  # the reader's PanicException derives from BaseException
            if isinstance(e, (KeyboardInterrupt, SystemExit)):
                raise
            return out, False
        return out, True

    @staticmethod
    def record_bytes(layout, ev):
        if layout == "WD1":
            return 24 + 2 * len(ev["data"])
        return 24 + 4 * (ev["channels"] >= 2) + 4 * len(ev["data"])

    @given(valid_recordings())
    @EXAMPLES
    def test_a_recording_is_read_as_its_own_layout_and_refused_the_other(self, tmp_path, case):
        """Its own layout is never refused and reads as EventReader does; the other is refused
        exactly where it reads at most one whole record then a tail and the recording's first
        two records, whole, hold samples."""
        layout, data, _ = case
        path = tmp_path / "run.dat"
        path.write_bytes(data)
        own, _ = self.events(path, layout)
        for source in (path, io.BytesIO(data)):
            assert vc.read(source, layout)["event_counter"].tolist() == [
                ev["event_counter"] for ev in own]
        assert len(vc.scan(path, layout)) == len(own)
        other = self.OTHER[layout]
        wrong, clean = self.events(path, other)
        holds_samples = [ev["event_size"] >= 24 if layout == "WD1" else ev["samples"] >= 1
                         for ev in own[:2]]
        refuse = (len(own) >= 2 and all(holds_samples)
                  and clean and len(wrong) <= 1
                  and sum(self.record_bytes(other, ev) for ev in wrong) < len(data))
        try:
            batch = vc.read(path, other)
        except vc.CorruptRecordError:
            assert not clean
            return
        except ValueError as e:
            assert f"does not read as {other}" in str(e) and f"they read as {layout}" in str(e)
            assert refuse
            return
        assert not refuse
        assert batch["event_counter"].tolist() == [ev["event_counter"] for ev in wrong]

    @pytest.mark.parametrize("call", [
        lambda source: vc.read(source, "WD2"),
        lambda source: vc.scan(source, "WD2"),
        lambda source: list(vc.iter_batches(source, "WD2")),
    ], ids=["read", "scan", "iter_batches"])
    @pytest.mark.parametrize("kind", ["path", "file object"])
    def test_two_wd1_records_are_refused_as_wd2(self, tmp_path, call, kind):
        path = tmp_path / "run.dat"
        path.write_bytes(self.TWO_WD1)
        source = path if kind == "path" else io.BytesIO(self.TWO_WD1)
        with pytest.raises(ValueError, match=r"does not read as WD2: its first records do not "
                                             r"chain as WD2 records; they read as WD1\. Give "
                                             r"the layout 'WD1'\."):
            call(source)

    def test_input_that_cannot_be_read_again_is_not_judged(self):
        assert len(vc.read(Pipe(self.TWO_WD1), "WD2")) == 1  # what it decodes, as before

    def test_the_command_reads_counters_that_go_backwards(self, tmp_path):
        """A WD1 file whose counters decrease reads as one WD2 record where board_channel is
        1: the command's earlier rule took that for the file's layout."""
        (tmp_path / "run.dat").write_bytes(b"".join(
            wd1(np.arange(8) + 100 * i, board_channel=1, event_counter=9 - i) for i in range(3)))
        run = vorn("info", "--layout", "WD1", "run.dat", cwd=tmp_path)
        assert run.returncode == 0, run.stderr
        assert "  events           3\n" in run.stdout


SIX_WD2 = b"".join(wd2(np.full(8, 0.25, np.float32), channels=2, event_counter=i)
                   for i in range(6))


@pytest.mark.parametrize("call", [
    lambda p: vc.read(p),
    lambda p: next(vc.iter_batches(p, max_events=4)),
    lambda p: vc.scan(p),
    lambda p: pytest.importorskip("polars") and vc.scan_polars([p, p]).collect(),
    lambda p: pytest.importorskip("dask.dataframe") and vc.to_dask([p, p]).compute(),
], ids=["read", "iter_batches", "scan", "scan_polars", "to_dask"])
@pytest.mark.parametrize("content, layout", [(TestCommand.WD1_FILE, "WD1"), (SIX_WD2, "WD2")])
def test_without_a_layout_each_file_is_read_as_the_one_it_fits(tmp_path, call, content, layout):
    path = tmp_path / "run.dat"
    path.write_bytes(content)
    got = call(path)
    want = vc.read(path, layout)
    if isinstance(got, (vc.Batch, vc.Index)):
        assert got.layout == layout
        assert got["event_counter"].tolist() == want["event_counter"][:len(got)].tolist()
    else:  # a frame of the file twice
        assert list(got["event_counter"]) == want["event_counter"].tolist() * 2
        assert list(got.columns[:len(want.columns)]) == list(want.columns)
