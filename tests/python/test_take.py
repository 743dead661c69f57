"""Events by number and Batch selection against EventReader, the model:
take() with and without an index, b[i:j], b[mask] and b[indices] give the
model's events at those numbers; a batch as a mapping of its header columns;
bad selections and an index of another file."""
import collections.abc
import gzip
import io
import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorn
import vorn_columns as vc
import wd_files
from test_columns import EXAMPLES, FILES, as_row, drain, rows


def chosen_rows(batch, ref, numbers, first=None):
    """The batch holds events `numbers` of `ref`; `first` where they are a range."""
    assert batch.events.dtype == np.int64 and batch.events.tolist() == list(numbers)
    assert batch.first == (first if first is not None else numbers[0] if len(numbers) else 0)
    assert rows(batch) == [ref[i] for i in numbers]


def check_waveforms(batch):
    """waveforms() of a chosen batch names the chosen event that differs."""
    counts = np.diff(batch.offsets)
    differ = np.flatnonzero(counts != counts[0]) if len(counts) else []
    if len(differ) and batch.layout == "WD1":
        with pytest.raises(ValueError, match=f"^event {batch.events[differ[0]]} has"):
            batch.waveforms()


@settings(EXAMPLES, max_examples=120)
@given(FILES, st.data())
def test_take_and_selections_give_the_events_of_event_reader(write, file, data):
    layout, content = file
    path = write(content)
    events = []
    corrupt = drain(vorn.EventReader(path, layout), events)
    ref = [as_row(e) for e in events]
    n = len(ref)
    if corrupt:
        with pytest.raises(vc.CorruptRecordError):
            vc.take(path, layout, [])
        return
    mask = np.array(data.draw(st.lists(st.booleans(), min_size=n, max_size=n)), bool)
    numbers = np.flatnonzero(mask).tolist()
    index = vc.scan(path, layout)
    for got in (vc.take(path, layout, numbers), vc.take(path, layout, mask, index=index)):
        chosen_rows(got, ref, numbers)
        assert got.channels == index.channels
        check_waveforms(got)

    whole = vc.read(path, layout)
    i = data.draw(st.integers(-n - 2, n + 2))
    j = data.draw(st.integers(-n - 2, n + 2))
    view = whole[i:j]
    start, stop, _ = slice(i, j).indices(n)
    chosen_rows(view, ref, list(range(start, max(start, stop))), first=start)
    assert view.offsets[0] == 0 and np.shares_memory(view.offsets, whole.offsets) is False
    if len(view.samples):
        assert np.shares_memory(view.samples, whole.samples)
    chosen_rows(whole[mask], ref, numbers)
    picks = data.draw(st.lists(st.integers(-n, n - 1), max_size=8)) if n else []
    again = whole[np.array(picks, np.int64)]
    chosen_rows(again, ref, [p % n for p in picks])
    # A selection of a selection keeps the file's event numbers.
    chosen_rows(whole[mask][::1][np.arange(len(numbers))[::-1]], ref, numbers[::-1])


@pytest.mark.parametrize("samples", [0, 1000, 4096])
@settings(EXAMPLES, max_examples=6)
@given(st.sampled_from([0.01, 0.3, 0.95]), st.integers(0, 2**32 - 1), st.booleans(),
       st.booleans())
def test_large_picks_read_in_parts_on_one_cpu_or_many(write, samples, density, seed, changed,
                                                      one_cpu):
    """Picks of megabytes read their runs on several threads, each run by one
    thread: the same events as a selection of the whole read, and records
    changed since the index fail at the first chosen one, as one by one."""
    record = len(wd_files.run_of("WD1", 1, samples))
    count = (6 << 20) // record  # a third of it is 2 MiB
    path = write(wd_files.run_of("WD1", count, samples))
    whole, index = vc.read(path, "WD1"), vc.scan(path, "WD1")
    rng = np.random.default_rng(seed)
    mask = rng.random(count) < density
    mask[rng.integers(count)] = True
    bad = sorted(rng.choice(count, 2, replace=False).tolist()) if changed else []
    for i in bad:  # one more sample by its header: the index's extent no longer fits
        with open(path, "r+b") as f:
            f.seek(i * record)
            f.write((record + 2).to_bytes(4, "little"))
    bad = [i for i in bad if mask[i]]
    cpus = os.sched_getaffinity(0)
    if one_cpu:
        os.sched_setaffinity(0, {min(cpus)})
    try:
        if bad:
            with pytest.raises(vc.StaleIndexError, match=f"event {bad[0]}'s record differs"):
                vc.take(path, "WD1", mask, index=index)
            return
        got = vc.take(path, "WD1", mask, index=index)
    finally:
        os.sched_setaffinity(0, cpus)
    want = whole[mask]
    assert got.events.tolist() == want.events.tolist()
    assert all(np.array_equal(got.columns[k], want.columns[k]) for k in want.columns)
    assert np.array_equal(got.offsets, want.offsets) and np.array_equal(got.samples, want.samples)


@pytest.mark.parametrize("events, error, message", [
    ([3, 3], ValueError, "strictly increasing: 3 follows 3"),
    ([4, 1], ValueError, "strictly increasing: 1 follows 4"),
    ([-1, 2], IndexError, "event -1 is not in"),
    ([2, 5], IndexError, "event 5 is not in .*, which holds 5 events"),
    (np.array([2, 2**64 - 1], np.uint64), IndexError, f"event {2**64 - 1} is not in"),
    (np.zeros(4, bool), ValueError, "one entry per event of the file \\(5\\)"),
    ([[1]], ValueError, "one-dimensional"),
    ([1.0], TypeError, "integers or a boolean mask"),
])
def test_take_refuses_events_that_are_not_increasing_numbers_of_the_file(
        wd1_path, events, error, message):
    with pytest.raises(error, match=message):
        vc.take(wd1_path, "WD1", events)


def test_take_with_an_index_of_another_file(write, wd2_path):
    content = wd_files.wd1_run(6, samples=4)
    path = write(content)
    index = vc.scan(path, "WD1")
    with pytest.raises(vc.StaleIndexError, match="another layout"):
        vc.take(path, "WD1", [1], index=vc.scan(wd2_path, "WD2"))
    with open(path, "r+b") as f:  # record 1 keeps its size, record 3 gets two more samples
        f.seek(1 * 32)
        f.write(wd_files.wd1([1, 2, 3, 4], event_counter=99))
        f.seek(3 * 32)
        f.write(wd_files.wd1([1, 2, 3, 4, 5, 6], event_counter=3))
    assert rows(vc.take(path, "WD1", [0, 2], index=index)) == rows(vc.read(path, "WD1", stop=3)[[0, 2]])
    for events, where in [([1], "event 1's record differs from the index's \\(byte offset 32"),
                          ([0, 3], "event 3's record differs from the index's \\(byte offset 96")]:
        with pytest.raises(vc.StaleIndexError, match=where):
            vc.take(path, "WD1", events, index=index)
    with open(path, "r+b") as f:
        f.truncate(5 * 32 + 10)
    with pytest.raises(vc.StaleIndexError, match="shrank"):
        vc.take(path, "WD1", [0], index=index)


class Stream(io.RawIOBase):
    """A file object that cannot seek, as a pipe or a socket is."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, b):
        return self._data.readinto(b)


@pytest.mark.parametrize("how", ["gzip", "file object", "stream"])
def test_take_from_input_that_is_not_a_plain_path(write, how):
    """Compressed input and streams are read forward, with an index or without."""
    content = wd_files.wd1_run(40, samples=3) + wd_files.wd1_run(5, samples=7)
    path = write(content)
    numbers = [0, 1, 2, 17, 30, 44]
    want = rows(vc.read(path, "WD1")[numbers])
    make = {"gzip": lambda: write(gzip.compress(content)), "file object": lambda: io.BytesIO(content),
            "stream": lambda: Stream(content)}[how]
    index = vc.scan(path, "WD1")
    mask = np.isin(np.arange(45), numbers)
    for events, kw in [(numbers, {}), (mask, {}), (numbers, {"index": index})]:
        got = vc.take(make(), "WD1", events, **kw)
        assert rows(got) == want and got.events.tolist() == numbers
    with pytest.raises(IndexError, match="event 45 is not in"):
        vc.take(make(), "WD1", [3, 45])
    with pytest.raises(ValueError, match="one entry per event of the file \\(45\\)"):
        vc.take(make(), "WD1", mask[:-1])


class TestBatchAsMapping:
    def test_header_columns_by_name(self, wd2_path):
        b = vc.read(wd2_path, "WD2")
        names = list(vc.FIELDS["WD2"])
        assert list(b) == names and list(b.keys()) == names and len(b) == 4
        assert [v is b[k] for k, v in b.items()] == [True] * 5
        assert [v is b[k] for k, v in zip(names, b.values())] == [True] * 5
        assert "channels" in b and "data" not in b and 0 not in b
        assert dict(b)["timestamp"] is b["timestamp"]
        assert not isinstance(b, collections.abc.Mapping)

    @pytest.mark.parametrize("key, error", [
        (0, TypeError), (np.int64(1), TypeError), ("data", KeyError), (slice(0, 4, 2), ValueError),
        (np.zeros(3, bool), IndexError), (np.array([0.5]), TypeError), ([7], IndexError)])
    def test_bad_keys(self, wd1_path, key, error):
        with pytest.raises(error):
            vc.read(wd1_path, "WD1")[key]


    @pytest.mark.parametrize("read", [lambda p: vc.read(p, "WD2"), lambda p: vc.scan(p, "WD2")],
                             ids=["batch", "index"])
    def test_index_and_batch_are_the_same_mapping(self, wd2_path, read):
        whole = read(wd2_path)
        names = list(vc.FIELDS["WD2"])
        assert list(whole) == names and list(whole.keys()) == names
        assert "channels" in whole and "data" not in whole and 0 not in whole
        assert all(v is whole[k] for k, v in whole.items())
        assert [id(v) for v in whole.values()] == [id(whole[k]) for k in names]
        # The samples are not a column: the error says where they are.
        with pytest.raises(KeyError, match="'data' is not a column: .*b.samples|index holds no"):
            whole["data"]
        with pytest.raises(KeyError, match="^'nope'$"):
            whole["nope"]

    @pytest.mark.parametrize("key", [slice(None), slice(1, 3), [3, 0, 0]], ids=str)
    @pytest.mark.parametrize("samples", [True, False])
    def test_to_pandas(self, wd2_path, key, samples):
        pd = pytest.importorskip("pandas")
        pa = pytest.importorskip("pyarrow")
        b = vc.read(wd2_path, "WD2")[key]
        frame = b.to_pandas(samples=samples)
        assert list(frame.columns) == list(b) + ["data"] * samples
        assert list(frame.index) == list(b.events) and frame.index.name == "event"
        for name in b:
            assert frame[name].dtype == b[name].dtype and (frame[name].to_numpy() == b[name]).all()
        if samples:
            assert frame["data"].tolist() == pa.table(b).column("data").to_pylist()
        # A batch iterates its names, which pandas would take for rows.
        assert pd.DataFrame(b).shape == (len(list(b)), 1)


def test_selections_reach_arrow_and_polars(write):
    pa = pytest.importorskip("pyarrow")
    pl = pytest.importorskip("polars")
    b = vc.read(write(wd_files.wd1_run(3) + wd_files.wd1_run(4, samples=2)), "WD1")
    mask = np.array([1, 0, 1, 1, 0, 0, 1], bool)
    assert pa.table(b[2:5]).equals(pa.table(b).slice(2, 3))
    assert pl.DataFrame(b[mask]).equals(pl.DataFrame(b).filter(pl.Series(mask)))
    assert pl.DataFrame(b[:0]).height == 0 and pa.table(b[[]]).num_rows == 0
