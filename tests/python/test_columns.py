"""vorn_columns against vorn.EventReader, the model: iter_batches under any
limits and range, read with and without an index, and scan give its events
(header values, sample bytes) for generated, random and hostile files, whole,
cut short and growing; CorruptRecordError where it raises "capacity overflow".
Then bad input, the memory behind the columns, and threads.
"""
import errno
import os
import pathlib
import pickle
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vorn
import vorn_columns as vc
from vorn_columns._layouts import DESCRIPTIONS
import wd_files
from test_hardening import run
from test_hostile import HOSTILE
from wd_model import wd2_probe

DTYPES = {
    "WD1": [(name, "int32") for name in vc.FIELDS["WD1"]],
    "WD2": [("event_counter", "uint32"), ("timestamp", "uint64"), ("samples", "uint32"),
            ("sampling_period", "uint64"), ("channels", "int32")],
}
SAMPLES = {"WD1": "uint16", "WD2": "float32"}
EXAMPLES = settings(deadline=None, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])


def drain(reader, out):
    """Appends EventReader's events to `out`; True where "capacity overflow" ended them."""
    while True:
        try:
            out.append(next(reader))
        except StopIteration:
            return False
        except BaseException as e:
            assert type(e).__name__ == "PanicException" and str(e) == "capacity overflow", repr(e)
            return True


def as_row(event):
    return tuple(v for k, v in event.items() if k != "data") + (event["data"].tobytes(),)


def header_rows(columns, layout):
    """Header values event by event, the columns' types and flags checked."""
    assert [(k, str(c.dtype)) for k, c in columns.items()] == DTYPES[layout]
    assert all(c.flags.writeable and c.flags.aligned for c in columns.values())
    return list(zip(*(c.tolist() for c in columns.values())))


def rows(batch):
    """A batch's events as EventReader's in as_row()."""
    assert batch.samples.dtype == SAMPLES[batch.layout] and batch.offsets.dtype == np.int64
    assert batch.offsets[0] == 0 and batch.offsets[-1] == len(batch.samples)
    assert batch.samples.flags.writeable and batch.samples.flags.aligned
    assert not batch.offsets.flags.writeable  # consumers such as Arrow trust them
    bounds = batch.offsets.tolist()
    return [(*head, batch.samples[a:b].tobytes()) for head, a, b in
            zip(header_rows(batch.columns, batch.layout), bounds[:-1], bounds[1:])]


def expect(events, corrupt, start, stop):
    """Events [start, stop) of a file, and whether reading them meets the corrupt record."""
    return events[start:stop], corrupt and (stop is None or stop > len(events))


def check_corrupt(error, path, events, header):
    n = len(events)
    offset = n * header + sum(len(e[-1]) for e in events)
    assert isinstance(error, ValueError) and (error.index, error.offset) == (n, offset)
    assert error.filename == path and f"event {n} at byte offset {offset}" in str(error)
    again = pickle.loads(pickle.dumps(error))  # as from a worker process
    assert (str(again), again.index, again.offset, again.filename) == (str(error), n, offset, path)


def collect(batches, first, max_events, max_bytes, header):
    """The events of `batches` and the CorruptRecordError ending them; checks
    that each batch starts where the last ended and keeps to the limits."""
    got, last = [], None
    try:
        for b in batches:
            new = rows(b)
            sizes = [header + len(r[-1]) for r in new]
            assert b.first == first + len(got) and 1 <= len(new) <= max_events
            assert sum(sizes) <= max_bytes or len(new) == 1
            if last and len(last) < max_events:  # the last batch ended at max_bytes
                assert sum(last) + sizes[0] > max_bytes
            got, last = got + new, sizes
    except vc.CorruptRecordError as e:
        with pytest.raises(vc.CorruptRecordError) as again:  # it stays at the record
            next(batches)
        assert (again.value.index, again.value.offset) == (e.index, e.offset)
        return got, e
    return got, None


def refutes(path, layout):
    """Whether the file's first records refute the layout given: read as it, at most one whole
    record and then bytes that make none, where the other layout reads two whole records or
    more whose block fields are plausible. Such a read is refused (ValueError)."""
    mine = []
    drain(vorn.EventReader(path, layout), mine)
    if len(mine) > 1:
        return False
    width = 2 if layout == "WD1" else 4
    header = 28 if layout == "WD2" and mine and mine[0]["channels"] >= 2 else 24
    used = sum(header + width * len(e["data"]) for e in mine)
    if used >= os.path.getsize(path):
        return False
    other = "WD2" if layout == "WD1" else "WD1"
    theirs = []
    try:
        reader = vorn.EventReader(path, other)
        while len(theirs) < 2:
            theirs.append(next(reader))
    except BaseException:  # noqa: BLE001 - fewer than two whole records, however it ends
        return False
    d = DESCRIPTIONS[other]
    return all(e[d.block_field] >= d.plausible_from for e in theirs)


def check_file(path, layout, content, start, stop, max_events, max_bytes):
    """Every way of reading `path` against EventReader."""
    if refutes(path, layout):
        with pytest.raises(ValueError, match=f"does not read as {layout}"):
            vc.read(path, layout)
        return
    events = []
    corrupt = drain(vorn.EventReader(path, layout), events)
    ref = [as_row(e) for e in events]
    channels = wd2_probe(content) if layout == "WD2" else 0
    header = 28 if channels >= 2 else 24
    want, fails = expect(ref, corrupt, start, stop)

    got, error = collect(vc.iter_batches(path, layout, max_events=max_events, max_bytes=max_bytes,
                                         start=start, stop=stop),
                         start, max_events or 2**64, max_bytes, header)
    assert got == want and (error is not None) == fails
    if fails:
        check_corrupt(error, path, ref, header)

    indexes = [None]
    if corrupt:
        with pytest.raises(vc.CorruptRecordError) as info:
            vc.scan(path, layout)
        check_corrupt(info.value, path, ref, header)
    else:
        indexes.append(vc.scan(path, layout))
        assert header_rows(indexes[1].columns, layout) == [r[:-1] for r in ref]
        assert indexes[1].positions.tolist() == np.cumsum(
            [0] + [header + len(r[-1]) for r in ref]).tolist()
        assert indexes[1].channels == channels
    for index in indexes:
        if fails:
            with pytest.raises(vc.CorruptRecordError) as info:
                vc.read(path, layout, start=start, stop=stop, index=index)
            check_corrupt(info.value, path, ref, header)
            assert (f"stop={len(events)}" if events else "it is the first record") in str(
                info.value)
            return
        batch = vc.read(path, layout, start=start, stop=stop, index=index)
        assert rows(batch) == want and batch.first == start and batch.channels == channels
    check_batch_views(batch, events[start:stop], channels)


def check_batch_views(batch, events, channels):
    """event(i) is EventReader's dict; waveforms() a view, or ValueError naming the event."""
    for i, event in enumerate(events):
        mine = batch.event(i)
        assert list(mine) == list(event) and all(type(mine[k]) is int for k in list(mine)[:-1])
        assert as_row(mine) == as_row(event) and mine["data"].dtype == event["data"].dtype
    counts = np.diff(batch.offsets)
    per, width = (int(counts[0]) if len(counts) else 0), max(channels, 1)
    differ = np.flatnonzero(counts != per)
    if len(differ) or per % width:
        i = differ[0] if len(differ) else 0
        with pytest.raises(ValueError, match=f"^event {batch.first + i} has {counts[i]} samples"):
            batch.waveforms()
        return
    waves = batch.waveforms()
    n = len(events)
    assert waves.shape == ((n, per) if batch.layout == "WD1" else (n, width, per // width))
    assert waves.tobytes() == batch.samples.tobytes()
    assert np.shares_memory(waves, batch.samples) == (batch.samples.size > 0)


# ---- Files: generated, random and hostile -----------------------------------

I32 = st.integers(-(2**31), 2**31 - 1)
wd1_files = st.lists(st.builds(
    wd_files.wd1, st.lists(st.integers(0, 2**16 - 1), max_size=6),
    event_size=st.none() | st.sampled_from([0, 21, 22, 23, 25, 27, 2**31 - 1, -1]) | I32,
    board_channel=I32, timestamp=I32), max_size=6).map(b"".join)


@st.composite
def wd2_files(draw):
    channels = draw(st.sampled_from([None, 1, 2, 3]))
    width = channels or 1
    counts = draw(st.lists(st.integers(0, 4), max_size=6))
    if draw(st.booleans()):
        counts = counts[:1] * len(counts)  # what the layout probe needs to see a channel word
    first = draw(st.sampled_from([0, 2**32 - 1]))
    # Raw 32-bit patterns, NaNs among them: samples are compared as bytes.
    return b"".join(wd_files.wd2((np.arange(k * width) + i * 0x7FC00001) & wd_files.U32,
                                 channels=channels, event_counter=(first + i) & wd_files.U32,
                                 timestamp=2**64 - 1 - i, sampling_period=200 + i)
                    for i, k in enumerate(counts))


def cut_short(pair):
    layout, content = pair
    return st.tuples(st.just(layout), st.just(content) | st.integers(0, len(content)).map(
        lambda k: content[:k]))


FILES = st.one_of(
    st.tuples(st.just("WD1"), wd1_files),
    st.tuples(st.just("WD2"), wd2_files()),
    st.tuples(st.sampled_from(["WD1", "WD2"]), st.binary(max_size=160)),
    st.sampled_from([(layout, c) for layout, files in HOSTILE.items() for c in files.values()]),
).flatmap(cut_short)
LIMITS = st.tuples(st.none() | st.integers(1, 4), st.sampled_from([1, 40, 100, 4 << 20]))


@settings(EXAMPLES, max_examples=150)
@given(FILES, LIMITS, st.data())
def test_every_read_gives_the_events_of_event_reader(write, file, limits, data):
    layout, content = file
    count = len(content) // 24 + 1
    start = data.draw(st.integers(0, count))
    stop = data.draw(st.none() | st.integers(start, count + 1))
    check_file(write(content), layout, content, start, stop, *limits)


def many(layout, count, samples):
    if layout == "WD1":
        return wd_files.wd1_run(count, samples)
    return wd_files.wd2_run(count, samples, channels=2)


# Records across the edge of the 1 MiB buffer, and blocks larger than it.
LARGE = {
    "WD1 across the buffer edge": ("WD1", many("WD1", 2500, 211)),
    "WD2 across the buffer edge": ("WD2", many("WD2", 1100, 131)),
    "WD1 blocks past the buffer": ("WD1", many("WD1", 3, 700_000) + many("WD1", 2, 5)),
    "WD2 blocks past the buffer": ("WD2", many("WD2", 3, 300_000) + many("WD2", 2, 5)),
    # Runs of equal records of 1 KB and more are read in place until one differs.
    "WD1 runs that change size": ("WD1", many("WD1", 1200, 600) + many("WD1", 1, 700)
                                  + many("WD1", 900, 600) + many("WD1", 300, 20)),
    # A scan finds the headers of long runs of blocks of 4 KB and more where
    # the size puts them, on several threads: runs broken by another size
    # and by a corrupt header.
    "WD1 long runs of long blocks": ("WD1", many("WD1", 2300, 2100) + many("WD1", 1, 2101)
                                     + many("WD1", 2200, 2100)),
    "WD1 corrupt inside a long run": ("WD1", many("WD1", 2200, 2100)
                                      + wd_files.wd1(np.zeros(2100), event_size=7)
                                      + many("WD1", 100, 2100)),
    "WD2 long runs of long blocks": ("WD2", many("WD2", 2150, 1100) + many("WD2", 3, 1101)
                                     + many("WD2", 2150, 1100)),
}


@pytest.mark.parametrize("name", LARGE)
@pytest.mark.parametrize("cut, start, stop, max_events, max_bytes", [
    (None, 0, None, None, 4 << 20), (-7, 1, None, 500, 1 << 20), (-(2**20), 2, 2000, None, 5000),
    (-1, 4100, None, None, 64 << 20)])
def test_large_files(write, name, cut, start, stop, max_events, max_bytes):
    layout, content = LARGE[name]
    content = content[:cut]
    check_file(write(content), layout, content, start, stop, max_events, max_bytes)


# Runs of a megabyte and more are read in parts on several threads, each
# part checking its headers: records with short blocks (through a stage),
# of 1 to 4 KB (moved down in place) and longer (scattered reads).
RUN_RECORDS = {"24 B": ("WD1", 0), "152 B": ("WD1", 64), "2 KB": ("WD1", 1000),
               "4 KB": ("WD1", 2100), "WD2, 8 KB": ("WD2", 1024)}


@pytest.mark.parametrize("name", RUN_RECORDS)
@settings(EXAMPLES, max_examples=8)
@given(st.lists(st.tuples(st.floats(0, 1), st.sampled_from(["size", "corrupt"])), max_size=2),
       st.none() | st.floats(0, 1), st.sampled_from([4 << 20, (1 << 20) + 4321, 64 << 20]),
       st.none() | st.integers(1000, 100_000), st.integers(0, 3), st.booleans())
def test_long_runs_read_in_parts_on_one_cpu_or_many(write, name, breaks, cut, max_bytes,
                                                    max_events, start, one_cpu):
    layout, samples = RUN_RECORDS[name]
    record = len(wd_files.run_of(layout, 1, samples))
    count = (5 << 19) // record  # 2.5 MiB, parts of a megabyte and more
    at = sorted({int(f * count) for f, _ in breaks}) + [count]
    content, done = b"", 0
    for (_, why), i in zip(sorted(breaks), at):
        content += wd_files.run_of(layout, i - done, samples, first=done)
        content += (wd_files.wd1(np.zeros(samples), event_size=7) if why == "corrupt" and
                    layout == "WD1" else wd_files.run_of(layout, 1, samples + 1, first=i))
        done = i
    content += wd_files.run_of(layout, count - done, samples, first=done)
    if cut is not None:
        content = content[:int(cut * len(content))]
    path = write(content)
    cpus = os.sched_getaffinity(0)
    if one_cpu:  # no thread to spare: the same records, read on this one
        os.sched_setaffinity(0, {min(cpus)})
    try:
        check_file(path, layout, content, start, None, max_events, max_bytes)
    finally:
        os.sched_setaffinity(0, cpus)


def test_a_first_record_larger_than_max_bytes_is_a_batch_of_its_own(write):
    path = write(wd_files.wd1_run(3))  # 32 bytes each
    assert [len(b) for b in vc.iter_batches(path, "WD1", max_bytes=31)] == [1, 1, 1]


def check_growing(path, layout, content, pieces, start, stop, max_events, max_bytes):
    """Appends `content` in `pieces` to a file that EventReader and one
    BatchIterator, opened on its first piece, read to the end after each."""
    with open(path, "wb") as f:
        f.write(content[:pieces[0]])
    reader = vorn.EventReader(path, layout)
    batches = vc.iter_batches(path, layout, max_events=max_events, max_bytes=max_bytes,
                              start=start, stop=stop)
    header = 28 if layout == "WD2" and batches.channels >= 2 else 24
    events, got, at = [], [], pieces[0]
    for piece in pieces[1:] + [len(content)]:
        with open(path, "ab") as f:
            f.write(content[at:at + piece])
        at += piece
        corrupt = drain(reader, events)
        try:
            new, error = collect(batches, start + len(got), max_events or 2**64, max_bytes,
                                 header)
        except ValueError as e:  # the first records the iterator reads refute the layout
            assert "does not read as" in str(e) and not got and refutes(path, layout), e
            return
        got += new
        want, fails = expect([as_row(e) for e in events], corrupt, start, stop)
        assert got == want and (error is not None) == fails, f"after {at} bytes"
        if corrupt:
            return


@settings(EXAMPLES, max_examples=80)
@given(FILES, st.lists(st.integers(0, 50), min_size=1, max_size=8), LIMITS,
       st.integers(0, 3), st.none() | st.integers(3, 6))
def test_a_growing_file_is_continued_exactly(write, file, pieces, limits, start, stop):
    layout, content = file
    check_growing(write(), layout, content, pieces, start, stop, *limits)


def test_a_large_record_arriving_in_pieces(write):
    content = many("WD1", 2, 1_000_000)
    check_growing(write(), "WD1", content, [0, 24, 100_001, 999_999, 999_999], 0, None, None, 1)


def test_follow_yields_records_as_they_arrive_then_ends_when_idle(write):
    path = write(wd_files.wd1([0], event_counter=0))
    seen = []
    for batch in vc.follow(path, "WD1", poll=0.01, idle_timeout=0.2):
        seen += batch["event_counter"].tolist()
        if len(seen) < 3:
            with open(path, "ab") as f:
                f.write(wd_files.wd1([7], event_counter=len(seen)))
    assert seen == [0, 1, 2]


# ---- Bad input ---------------------------------------------------------------

CALLS = {
    "read": lambda path, layout="WD1", **kw: vc.read(path, layout, **kw),
    "scan": lambda path, layout="WD2", **kw: vc.scan(path, layout),
    "iter_batches": lambda path, layout="WD1", **kw: list(vc.iter_batches(path, layout, **kw)),
}


@pytest.mark.parametrize("call", CALLS)
class TestBadInput:
    @pytest.mark.parametrize("kind", [str, os.fsencode, pathlib.Path])
    def test_missing_file(self, tmp_path, call, kind):
        path = kind(str(tmp_path / "missing.bin"))
        with pytest.raises(FileNotFoundError) as info:
            CALLS[call](path)
        e = info.value
        assert (e.errno, e.strerror) == (errno.ENOENT, os.strerror(errno.ENOENT))
        assert e.filename == os.fspath(path)

    @pytest.mark.parametrize("layout", ["WD1", "WD2"])
    @pytest.mark.parametrize("fixture, code", [("tmp_path", errno.EISDIR), ("eio_path", errno.EIO)])
    def test_input_errors(self, request, call, layout, fixture, code):
        path = str(request.getfixturevalue(fixture))  # a directory; a file whose read fails
        with pytest.raises(OSError) as info:
            CALLS[call](path, layout)
        assert (info.value.errno, info.value.filename) == (code, path)

    @pytest.mark.parametrize("layout", ["wd1", "WD1 ", "WD3", b"WD1", 1])  # None: detected
    def test_layout(self, wd1_path, call, layout):
        with pytest.raises(ValueError, match="^layout must be 'WD1' or 'WD2'"):
            CALLS[call](wd1_path, layout)


@pytest.mark.parametrize("call, option", [
    ("read", {"start": -1}), ("read", {"stop": -1}), ("iter_batches", {"start": -1}),
    ("iter_batches", {"stop": -1}), ("iter_batches", {"max_events": 0}),
    ("iter_batches", {"max_bytes": 0})])
def test_counts_out_of_range(wd1_path, call, option):
    with pytest.raises(ValueError, match=f"^{next(iter(option))} must be at least"):
        CALLS[call](wd1_path, **option)


# ---- Column memory -----------------------------------------------------------


@pytest.mark.parametrize("layout", ["WD1", "WD2"])
def test_the_pool_never_hands_out_memory_a_kept_batch_uses(write, layout):
    """Dropped batches give their memory to later ones; a batch kept whole,
    or through one array of it, keeps its own."""
    kept = []
    for k, batch in enumerate(vc.iter_batches(write(many(layout, 300, 17)), layout, max_events=7)):
        if k % 3 == 0:
            kept.append((batch, rows(batch)))
        elif k % 3 == 1:
            kept.append((batch.event(1)["data"], batch.event(1)["data"].tobytes()))
        else:
            for a in [*batch.columns.values(), batch.samples]:
                a[...] = 0x5A  # what a kept batch sharing this memory would show
    del batch
    for part, before in kept:
        assert (rows(part) if isinstance(part, vc.Batch) else part.tobytes()) == before


def test_reads_reuse_only_memory_nothing_uses(write):
    """A dropped read's memory serves the next reads (and release_memory
    frees it); memory under a live view or Arrow export is left alone."""
    pa = pytest.importorskip("pyarrow")
    paths = [write(many("WD1", 200, 9 + k)) for k in range(4)]
    expected = [rows(next(iter(vc.iter_batches(p, "WD1")))) for p in paths]
    vc.release_memory()
    views, exports = [], []
    for k in range(12):
        batch = vc.read(paths[k % 4], "WD1")
        assert rows(batch) == expected[k % 4]
        if k % 4 == 0:
            views.append((batch.samples[3:], batch.samples[3:].tobytes()))
        elif k % 4 == 1:
            exports.append((pa.record_batch(batch), expected[k % 4]))
        del batch
    for view, before in views:
        assert view.tobytes() == before
    for exported, before in exports:
        assert exported.column("event_counter").to_pylist() == [r[4] for r in before]
    assert vc.release_memory() > 0
    assert vc.release_memory() == 0


def test_iterators_and_takes_leave_a_dropped_read_its_memory(write):
    """Kept memory goes to a taker of its size: an iterator's small batches
    and a take of two events do not take a whole read's memory and cut it
    down, which would leave the next read to fault in fresh pages."""
    path = write(many("WD1", 20_000, 64))
    vc.release_memory()
    batch = vc.read(path, "WD1")
    size = batch.samples.nbytes
    del batch
    for _ in vc.iter_batches(path, "WD1", max_events=100, max_bytes=1 << 16):
        pass
    assert len(vc.take(path, "WD1", [1, 5])) == 2
    assert vc.release_memory() >= size


def test_reads_on_threads_while_another_releases_kept_memory(write):
    """Reads on two threads hand memory to each other through what is kept,
    while a third frees it over and over: every read gives its file's events."""
    paths = [write(many("WD1", 300, 5 + k)) for k in range(2)]
    expected = [rows(vc.read(p, "WD1")) for p in paths]
    stop, wrong = threading.Event(), []

    def reader(k):
        for _ in range(150):
            batch = vc.read(paths[k], "WD1")
            if rows(batch) != expected[k]:
                wrong.append(k)

    def releaser():
        while not stop.is_set():
            vc.release_memory()

    threads = [threading.Thread(target=reader, args=(k,)) for k in range(2)]
    freeing = threading.Thread(target=releaser)
    freeing.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stop.set()
    freeing.join()
    assert wrong == []


# ---- Threads -----------------------------------------------------------------


def test_two_threads_read_two_files(write):
    files = [(write(many("WD1", 500, 30)), "WD1"), (write(many("WD2", 300, 20)), "WD2")]
    want = [[as_row(e) for e in vorn.EventReader(*f)] for f in files]
    got = [[], []]

    def work(i):
        for _ in range(10):
            got[i].append(sum(map(rows, vc.iter_batches(*files[i], max_events=9)), []))
            got[i].append(rows(vc.read(*files[i])))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == [[w] * 20 for w in want]


def test_one_iterator_used_from_two_threads_at_once(tmp_path):
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    out = run("""
        import os, sys, threading, time, vorn_columns as vc, wd_files
        w = os.open(sys.argv[1], os.O_RDWR)             # a writer that never blocks
        batches = vc.iter_batches(sys.argv[1], "WD1", max_events=1)
        got = []
        t = threading.Thread(target=lambda: got.append(next(batches)["event_counter"].tolist()))
        t.start()
        time.sleep(0.2)                                 # t now blocks inside next()
        try:
            next(batches)
        except RuntimeError as e:
            print(e)
        os.write(w, wd_files.wd1([1, 2, 3], event_counter=7))
        t.join()
        print(got)
    """, fifo, timeout=30)
    assert out.split("\n")[:2] == ["this reader is in use by another thread", "[[7]]"]
