"""vorn_columns over every kind of source: paths, file objects that seek and that do not,
compressed files and streams. Each gives the events EventReader gives for the same bytes;
hostile file objects and corrupt or cut-short streams end in a clear error or a quiet end,
never a crash or a wrong event."""
import bz2
import errno
import gzip
import io
import itertools
import lzma
import os
import pickle
import struct
import sys
import types
import zlib

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorn
import vorn_columns as vc
import vorn_columns._sources
import wd_files
from test_columns import EXAMPLES, FILES, LIMITS, as_row, collect, drain, expect, header_rows, rows
from test_hardening import run
from wd_model import MODELS, PANIC, wd2_probe

zstandard = pytest.importorskip("zstandard", reason="the zstd extra is not installed")

COMPRESS = {
    "gzip": gzip.compress,
    "bz2": bz2.compress,
    "xz": lzma.compress,
    "zstd": lambda b: zstandard.ZstdCompressor(write_checksum=True).compress(b),
}


def decompressed_prefix(codec, data):
    """What a streaming decompressor makes of `data`, which may be cut short."""
    if codec == "zstd":
        reader = zstandard.ZstdDecompressor().stream_reader(io.BytesIO(data), read_across_frames=True)
        return reader.read()
    d = {"gzip": lambda: zlib.decompressobj(31), "bz2": bz2.BZ2Decompressor,
         "xz": lzma.LZMADecompressor}[codec]()
    return d.decompress(data)


class Pipe(io.RawIOBase):
    """A file object that cannot seek and hands out bytes in short, uneven reads."""

    def __init__(self, data, sizes=(1, 7, 4096, 13, 65536, 3)):
        super().__init__()
        self._data, self._at, self._sizes = data, 0, itertools.cycle(sizes)

    def readable(self):
        return True

    def readinto(self, b):
        n = min(len(b), next(self._sizes), len(self._data) - self._at)
        b[:n] = self._data[self._at:self._at + n]
        self._at += n
        return n


def write_compressed(path, codec, content):
    with open(path, "wb") as f:
        f.write(COMPRESS[codec](content))
    return path


# Every kind of source: make(path, content) -> a fresh source of those bytes.
KINDS = {
    "path": lambda p, c: p,
    "open": lambda p, c: open(p, "rb"),
    "unbuffered": lambda p, c: open(p, "rb", buffering=0),
    "BytesIO": lambda p, c: io.BytesIO(c),
    "pipe": lambda p, c: Pipe(c),
    "gzip file": lambda p, c: write_compressed(p + ".gz", "gzip", c),
    "xz pipe": lambda p, c: Pipe(COMPRESS["xz"](c)),
}


def check_source(path, make, layout, content, start, stop, max_events, max_bytes):
    """iter_batches, scan and read (with and without an index) of fresh sources from `make`
    give the events of EventReader over `path`, and a CorruptRecordError where it panics."""
    events = []
    corrupt = drain(vorn.EventReader(path, layout), events)
    ref = [as_row(e) for e in events]
    channels = wd2_probe(content) if layout == "WD2" else 0
    header = 28 if channels >= 2 else 24
    want, fails = expect(ref, corrupt, start, stop)
    ends = np.cumsum([0] + [header + len(r[-1]) for r in ref]).tolist()

    def check_error(error):
        n = len(ref)
        assert (error.index, error.offset) == (n, ends[n])
        assert f"event {n} at byte offset {ends[n]}" in str(error)

    got, error = collect(vc.iter_batches(make(), layout, max_events=max_events,
                                         max_bytes=max_bytes, start=start, stop=stop),
                         start, max_events or 2**64, max_bytes, header)
    assert got == want and (error is not None) == fails
    if fails:
        check_error(error)
    indexes = [None]
    if corrupt:
        with pytest.raises(vc.CorruptRecordError) as info:
            vc.scan(make(), layout)
        check_error(info.value)
    else:
        index = vc.scan(make(), layout)
        assert header_rows(index.columns, layout) == [r[:-1] for r in ref]
        assert index.positions.tolist() == ends and index.channels == channels
        indexes.append(index)
    for index in indexes:
        if fails:
            with pytest.raises(vc.CorruptRecordError) as info:
                vc.read(make(), layout, start=start, stop=stop, index=index)
            check_error(info.value)
        else:
            batch = vc.read(make(), layout, start=start, stop=stop, index=index)
            assert rows(batch) == want and batch.channels == channels


@pytest.mark.parametrize("kind", KINDS)
@settings(EXAMPLES, max_examples=60)
@given(file=FILES, limits=LIMITS, data=st.data())
def test_every_source_gives_the_events_of_event_reader(write, kind, file, limits, data):
    layout, content = file
    count = len(content) // 24 + 1
    start = data.draw(st.integers(0, count))
    stop = data.draw(st.none() | st.integers(start, count + 1))
    path = write(content)
    check_source(path, lambda: KINDS[kind](path, content), layout, content, start, stop, *limits)


# Records across the 1 MiB buffer and blocks longer than it, as file objects deliver them.
LARGE = {
    "WD1 blocks past the buffer": ("WD1", wd_files.wd1_run(3, 700_000) + wd_files.wd1_run(2, 5)),
    "WD2 first block past the buffer": ("WD2", wd_files.wd2_run(3, 300_000, channels=2)),
    "WD1 runs of 1 KB records": ("WD1", wd_files.wd1_run(3000, 600)),
}


@pytest.mark.parametrize("kind", ["unbuffered", "pipe", "gzip file"])
@pytest.mark.parametrize("name", LARGE)
def test_large_records_from_file_objects(write, kind, name):
    layout, content = LARGE[name]
    content = content[:-7]
    path = write(content)
    check_source(path, lambda: KINDS[kind](path, content), layout, content, 1, None, None, 1 << 20)


class TestFileObjects:
    def test_positions_count_from_where_the_object_stood(self):
        content = wd_files.wd1_run(6)
        f = io.BytesIO(b"junk" * 5 + content)
        f.seek(20)
        index = vc.scan(f, "WD1")
        assert index.positions.tolist() == list(range(0, 6 * 32 + 1, 32))
        f.seek(20)
        batch = vc.read(f, "WD1", start=4, index=index)
        assert batch["event_counter"].tolist() == [4, 5] and not f.closed

    def test_the_object_is_never_closed(self, wd1_path):
        with open(wd1_path, "rb") as f:
            batches = vc.iter_batches(f, "WD1", max_events=2)
            next(batches)
            del batches
            assert not f.closed and f.seek(0) == 0 and f.read(4) == wd_files.wd1_run(5)[:4]

    def test_a_seekable_object_is_followed_as_it_grows(self, write):
        path = write(wd_files.wd1([0], event_counter=0))
        seen = []
        with open(path, "rb") as f:
            for batch in vc.follow(f, "WD1", poll=0.01, idle_timeout=0.2):
                seen += batch["event_counter"].tolist()
                if len(seen) < 3:
                    with open(path, "ab") as out:
                        out.write(wd_files.wd1([7], event_counter=len(seen)))
        assert seen == [0, 1, 2]

    @pytest.mark.parametrize("source, message", [
        (lambda p: Pipe(open(p, "rb").read()), "cannot seek"),
        (lambda p: write_compressed(p + ".gz", "gzip", open(p, "rb").read()), "gzip-compressed"),
    ])
    def test_follow_refuses_what_cannot_grow(self, wd1_path, source, message):
        with pytest.raises(ValueError, match=message):
            vc.follow(source(wd1_path), "WD1")

    @pytest.mark.parametrize("source, error", [
        (12, TypeError), (io.StringIO("text"), TypeError), (object(), TypeError)])
    def test_what_is_no_source(self, source, error):
        with pytest.raises(error, match="binary file object"):
            vc.read(source, "WD1")

    @pytest.mark.parametrize("method", ["readinto", "readinto1"])
    @pytest.mark.parametrize("codec, compression", [
        (None, "auto"), ("gzip", "auto"), ("gzip", "gzip"), ("zstd", "auto"), ("xz", "xz")])
    def test_an_object_with_readinto_alone_is_read(self, method, codec, compression):
        content = wd_files.wd1_run(300, 20)
        data = COMPRESS[codec](content) if codec else content
        f = types.SimpleNamespace(**{method: Pipe(data).readinto})
        assert rows(vc.read(f, "WD1", compression=compression)) == rows(
            vc.read(io.BytesIO(content), "WD1"))

    @pytest.mark.parametrize("source, compression, error, message", [
        (wd_files.wd1_run(3), "auto", ValueError, "^embedded null byte"),
        (b"run" * 2000, None, OSError, "File name too long"),
        (b"run" * 2000, "auto", OSError, "File name too long"),
        (types.SimpleNamespace(read=io.StringIO("text").read), "auto", TypeError,
         "opened in text mode"),
        (types.SimpleNamespace(read=io.StringIO("text").read), None, TypeError,
         "opened in text mode"),
    ])
    def test_a_source_given_the_wrong_way_says_the_right_one(self, source, compression, error,
                                                             message):
        """Bytes that cannot name a file were meant as data; a read that gives str belongs to
        a file opened in text mode."""
        with pytest.raises(error, match=message) as info:
            vc.read(source, "WD1", compression=compression)
        if isinstance(source, bytes):
            assert "to read bytes in memory, pass io.BytesIO(data)" in str(info.value)

    def test_bad_compression_argument(self, wd1_path):
        with pytest.raises(ValueError, match="^compression must be"):
            vc.scan(wd1_path, "WD1", compression="zip")

    def test_storage_options_are_taken(self, wd1_path):
        assert len(vc.read(wd1_path, "WD1", storage_options={"anon": True})) == 5


class Hostile(io.RawIOBase):
    """Serves `data` in reads of 5 bytes; call `at` (from 1) does `act` instead."""

    def __init__(self, data, at, act, method="readinto", seekable=False):
        super().__init__()
        self._data, self._pos, self._calls = data, 0, 0
        self._at, self._act, self._seekable = at, act, seekable
        setattr(self, method, getattr(self, "_" + method))

    def readable(self):
        return True

    def seekable(self):
        return self._seekable

    def seek(self, pos, whence=0):
        self._pos = pos
        return pos

    def tell(self):
        return self._pos

    def _serve(self, n):
        out = self._data[self._pos:self._pos + min(n, 5)]
        self._pos += len(out)
        return out

    def _readinto(self, b):
        self._calls += 1
        if self._calls == self._at:
            return self._act(self, b)
        out = self._serve(len(b))
        b[:len(out)] = out
        return len(out)

    def _read1(self, n=-1):
        self._calls += 1
        if self._calls == self._at:
            return self._act(self, n)
        return self._serve(n)


def raise_(error):
    def act(f, _):
        raise error
    return act


class TestHostileFileObjects:
    """Each misdeed at read 1 (opening a WD2 reader) and read 9 (mid-iteration)."""
    CONTENT = wd_files.wd2_run(6, channels=2)

    @pytest.mark.parametrize("at", [1, 9])
    @pytest.mark.parametrize("method, act, error, message", [
        ("readinto", lambda f, b: len(b) + 1, ValueError, r"readinto\(\) returned \d+, outside 0"),
        ("readinto", lambda f, b: -1, ValueError, r"returned -1, outside 0"),
        ("readinto", lambda f, b: None, ValueError, "non-blocking file objects are not supported"),
        ("readinto", lambda f, b: 2.0, TypeError, r"readinto\(\) returned float, not an int"),
        ("read1", lambda f, n: b"x" * (n + 1), ValueError, r"read1\(\) returned \d+ bytes, more"),
        ("read1", lambda f, n: "text", TypeError, r"read1\(\) returned str: the file object "
                                                  r"was opened in text mode"),
        ("read1", lambda f, n: None, ValueError, "non-blocking"),
    ])
    def test_a_bad_read_is_a_clear_error(self, at, method, act, error, message):
        f = Hostile(self.CONTENT, at, act, method, seekable=True)
        with pytest.raises(error, match=message):
            list(vc.iter_batches(f, "WD2", max_events=1, compression=None))

    @pytest.mark.parametrize("seekable", [True, False])
    @pytest.mark.parametrize("error", [OSError(5, "Input/output error"), KeyboardInterrupt()])
    def test_a_raised_exception_ends_the_walk_and_leaves_the_record_whole(self, write, seekable,
                                                                          error):
        """Raised once at each read in turn: the events before it come first, the exception
        itself next, and iterating on gives every event exactly once."""
        want = [as_row(e) for e in vorn.EventReader(write(self.CONTENT), "WD2")]
        for at in itertools.count(1):
            f = Hostile(self.CONTENT, at, raise_(error), seekable=seekable)
            try:
                batches = vc.iter_batches(f, "WD2", max_events=2, compression=None)
            except type(error) as e:  # raised while the layout probe reads
                assert e is error
                continue
            got, raised = [], 0
            while True:
                try:
                    got += rows(next(batches))
                except StopIteration:
                    break
                except type(error) as e:
                    assert e is error
                    raised += 1
            assert got == want and raised <= 1
            if not raised:
                return

    def test_a_view_kept_after_the_call_is_released(self):
        """The memory a read fills is reused: the view of it handed to readinto() dies."""
        def keep(f, b):
            f.kept = b
            return 0
        f = Hostile(self.CONTENT, 1, keep, seekable=True)
        assert len(vc.read(f, "WD1", compression=None)) == 0  # the 0 is the end of the input
        with pytest.raises(ValueError, match="released memoryview"):
            f.kept[0] = 1

    def test_closed_mid_iteration_gives_the_objects_own_error(self, write):
        path = write(wd_files.wd1_run(3000, 1000))  # more than one 1 MiB read
        f = open(path, "rb")
        batches = vc.iter_batches(f, "WD1", max_bytes=4096)
        next(batches)
        f.close()
        with pytest.raises(ValueError, match="closed file"):
            list(batches)


def skippable(size, magic=0x184D2A50):
    """A zstd skippable frame holding `size` bytes."""
    return struct.pack("<II", magic, size) + b"\xa5" * size


def zstd_framed(*parts):
    """The zstd frames of the bytes parts, and the skippable frames of the int parts."""
    return b"".join(skippable(p) if isinstance(p, int) else COMPRESS["zstd"](p) for p in parts)


ZSTD_RUN = wd_files.wd1_run(400, 30)
HALF = len(ZSTD_RUN) // 2
# name: (layout, content, the input made of it)
SKIPPABLE = {
    "one first": ("WD1", ZSTD_RUN, lambda c: zstd_framed(5, c)),
    "several first": ("WD1", ZSTD_RUN,
                      lambda c: skippable(0, magic=0x184D2A5F) + zstd_framed(70, 3, c)),
    "a seek table last": ("WD1", ZSTD_RUN, lambda c: zstd_framed(c, 40)),
    "first to the reach, between and last": (
        "WD1", ZSTD_RUN,
        lambda c: zstd_framed(vorn_columns._sources.REACH - 100, c[:HALF], 8, c[HALF:], 9)),
    "plain whose first words read as one": (
        "WD2", wd_files.wd2_run(30, event_counter=0x184D2A50, timestamp=16), lambda c: c),
    "plain whose first words read as one past its end": (
        "WD2", wd_files.wd2_run(30, event_counter=0x184D2A50, timestamp=1 << 20), lambda c: c),
}


class TestCompressed:
    CONTENT = wd_files.wd1_run(400, 300) + wd_files.wd1_run(1)[:30]

    @pytest.mark.parametrize("codec", COMPRESS)
    def test_streams_cut_at_every_tenth_end_as_a_cut_file_does(self, write, codec):
        packed = COMPRESS[codec](self.CONTENT)
        for tenth in range(11):
            cut = packed[:len(packed) * tenth // 10]
            plain = decompressed_prefix(codec, cut)
            assert self.CONTENT.startswith(plain)
            want = [r[:-1] + (bytes(r[-1]),) for r in MODELS["WD1"](plain)]
            path = write(cut, name=f"cut{tenth}.wd1.x")
            got = [r for b in vc.iter_batches(path, "WD1", compression=codec) for r in rows(b)]
            assert got == want, f"cut at {tenth}/10"
            if tenth:  # "auto" needs the stream's first bytes
                assert rows(vc.read(io.BytesIO(cut), "WD1")) == want

    @pytest.mark.parametrize("codec", COMPRESS)
    def test_a_corrupt_stream_names_the_file_and_the_offset(self, write, codec):
        """The stream's own check fails at its end: the events the codec delivered before
        it come first, then the error."""
        packed = bytearray(COMPRESS[codec](self.CONTENT))
        packed[{"gzip": -5, "zstd": -1, "bz2": -2, "xz": -14}[codec]] ^= 0x55
        path = write(bytes(packed), name="run.wd1.z")
        got = []
        with pytest.raises(vc.CorruptStreamError) as info:
            for b in vc.iter_batches(path, "WD1", max_events=50):
                got += rows(b)
        e = info.value
        assert (e.filename, e.codec) == (path, codec) and isinstance(e, ValueError)
        every = [r[:-1] + (bytes(r[-1]),) for r in MODELS["WD1"](self.CONTENT)]
        assert got == every[:len(got)] and len(got) * 624 <= e.offset <= len(self.CONTENT)
        assert f"{path}: corrupt {codec} data at byte offset {e.offset} " in str(e)
        again = pickle.loads(pickle.dumps(e))
        assert (str(again), again.offset, again.codec) == (str(e), e.offset, codec)

    def test_a_named_codec_that_does_not_decode(self, wd1_path):
        with pytest.raises(vc.CorruptStreamError, match="corrupt bz2 data at byte offset 0"):
            vc.read(wd1_path, "WD1", compression="bz2")

    @pytest.mark.parametrize("codec", COMPRESS)
    @pytest.mark.parametrize("cut", [False, True])
    def test_plain_data_that_starts_with_magic_bytes_is_read_as_plain(self, write, codec, cut):
        """A WD1 event_size of 559,903 starts with gzip's 1f 8b 08 00; the others' magic
        bytes, followed by a header that does not decode, begin records too."""
        head = {"gzip": (559_903).to_bytes(4, "little"), "bz2": b"BZh9",
                "xz": b"\xfd7zXZ\x00", "zstd": b"\x28\xb5\x2f\xfd\x08"}[codec]
        content = head.ljust(24, b"\0") + wd_files.wd1_run(3)
        if codec == "gzip" and not cut:
            content = content.ljust(559_903 + 24, b"\1")  # the first record complete
        path = write(content)
        check_source(path, lambda: path, "WD1", content, 0, None, None, 4 << 20)
        check_source(path, lambda: io.BytesIO(content), "WD1", content, 0, None, None, 4 << 20)

    @pytest.mark.parametrize("kind", ["path", "file object", "pipe"])
    @pytest.mark.parametrize("case", SKIPPABLE)
    def test_skippable_frames_are_looked_past(self, write, kind, case):
        """Skippable frames (metadata, a seek table) before, between and after zstd frames:
        the input is zstd, as the zstd tool reads it; plain data whose first words read as a
        skippable frame's header, with no zstd frame after it, stays plain. What detection
        read of a pipe comes back to the read that follows."""
        layout, content, pack = SKIPPABLE[case]
        packed = pack(content)
        packed_path = write(packed)
        make = {"path": lambda: packed_path, "file object": lambda: io.BytesIO(packed),
                "pipe": lambda: Pipe(packed)}[kind]
        path = write(content)
        source = make()
        assert vc.detect_layout(source) == layout
        assert rows(vc.read(source, layout)) == rows(vc.read(path, layout, compression=None))
        check_source(path, make, layout, content, 0, None, None, 4 << 20)

    @pytest.mark.parametrize("codec", COMPRESS)
    def test_a_corrupt_stream_after_a_passing_error_is_corrupt(self, codec):
        """The object's own error, raised once, is its own; the codec's failure after it is
        still CorruptStreamError."""
        packed = bytearray(COMPRESS[codec](self.CONTENT))
        packed[{"gzip": -5, "zstd": -1, "bz2": -2, "xz": -14}[codec]] ^= 0x55
        f = Hostile(bytes(packed), 30, raise_(OSError(errno.EIO, "Input/output error")), "read1")
        batches = vc.iter_batches(f, "WD1", compression=codec)
        with pytest.raises(OSError, match="Input/output error"):
            list(batches)
        with pytest.raises(vc.CorruptStreamError):
            list(batches)

    def test_a_compressed_index_start_reads_forward(self, write):
        path = write(COMPRESS["zstd"](self.CONTENT), name="run.wd1.zst")
        index = vc.scan(path, "WD1")
        batch = vc.read(path, "WD1", start=395, index=index)
        assert batch["event_counter"].tolist() == list(range(395, 400))
        assert index.positions[-1] == 400 * 624

    def test_zstd_without_its_library_says_what_to_install(self, write, monkeypatch):
        path = write(COMPRESS["zstd"](self.CONTENT), name="run.wd1.zst")
        monkeypatch.setitem(sys.modules, "zstandard", None)
        monkeypatch.setitem(sys.modules, "compression", None)
        with pytest.raises(ImportError, match=r"pip install 'vorn\[zstd\]'"):
            vc.scan(path, "WD1")

    def test_a_gzip_bomb_streams_in_bounded_memory(self, tmp_path):
        """256 MiB of records in a gzip file about a thousandth that size: peak memory grows
        by two 4 MiB batches, the read buffer and the codec's state, not by the file."""
        out = run("""
            import gzip, resource, sys, vorn_columns as vc, wd_files
            record = wd_files.wd1([0] * 32756)  # 64 KiB
            with gzip.open(sys.argv[1], "wb", compresslevel=9) as f:
                for _ in range(256 << 20 >> 16):
                    f.write(record)
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            events = sum(len(b) for b in vc.iter_batches(sys.argv[1], "WD1"))
            grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
            print(events, grown >> 10)
        """, tmp_path / "bomb.wd1.gz", timeout=300)
        events, grown_mib = map(int, out.split())
        assert events == 256 << 20 >> 16
        assert os.path.getsize(tmp_path / "bomb.wd1.gz") * 1000 < events << 16
        assert grown_mib < 32


def test_a_seek_the_file_cannot_address_means_the_bytes_are_not_there(tmp_path):
    """A corrupt header's block sends the probe's skip far past the end; a file object whose
    seek refuses that offset (EINVAL, as lseek past the file system's limit) reads as the file
    does, without an error."""
    import errno
    import struct

    class Bounded(io.FileIO):
        def seek(self, offset, whence=io.SEEK_SET):
            if offset > 1 << 40:
                raise OSError(errno.EINVAL, "Invalid argument")
            return super().seek(offset, whence)

    path = tmp_path / "far.wd2"
    path.write_bytes(struct.pack("<IQIQi", 0, 0, 2**31, 200, 4000))  # 32 TiB of samples
    assert len(vc.read(Bounded(str(path), "rb"), "WD2")) == 0
    assert list(vorn.EventReader(str(path), "WD2")) == []


@pytest.mark.parametrize("given", ["path", "file object", "gzip path"])
def test_close_lets_go_of_what_vorn_opened_and_only_that(tmp_path, open_fds, given):
    path = tmp_path / "run.wd1"
    data = wd_files.wd1_run(50, samples=8)
    path.write_bytes(gzip.compress(data) if given == "gzip path" else data)
    before = open_fds()
    f = open(path, "rb") if given == "file object" else None
    with vc.iter_batches(f or path, "WD1", max_events=10) as batches:
        first = next(batches)
    assert open_fds() == before + (1 if f else 0)  # a given object stays open, nothing else
    batches.close()  # again: nothing happens
    with pytest.raises(ValueError, match="I/O operation on a closed reader"):
        next(batches)
    with pytest.raises(ValueError, match="closed reader"):
        batches.position
    assert list(first["event_counter"]) == list(range(10))  # a batch handed out stays valid
    if f:
        assert not f.closed and f.read(1) is not None
        f.close()


@pytest.mark.parametrize("first, then", [("plain", "gzip"), ("gzip", "plain")])
def test_a_path_replaced_after_it_was_looked_at_is_read_as_looked_at(tmp_path, monkeypatch,
                                                                      first, then):
    """The file whose first bytes decided the codec is the file read, even where its name is
    given to another file before the read begins; a plain one is still read by descriptor."""
    made = {"plain": wd_files.wd1_run(20), "gzip": gzip.compress(wd_files.wd1_run(30))}
    path, other = tmp_path / "run.wd1", tmp_path / "next.wd1"
    path.write_bytes(made[first])
    inode = os.stat(path).st_ino
    sniff = vorn_columns._sources.sniff

    def sniff_then_replace(head):
        if other.exists():
            os.replace(other, path)
        return sniff(head)

    monkeypatch.setattr(vorn_columns._sources, "sniff", sniff_then_replace)
    other.write_bytes(made[then])
    index = vc.scan(path, "WD1")
    assert (len(index), index.codec) == ((20, None) if first == "plain" else (30, "gzip"))
    if first == "plain":
        assert index.inode == inode
