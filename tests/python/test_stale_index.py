"""An index that no longer describes its file (rewritten, replaced, shrunk, edited
or of another file) raises StaleIndexError instead of yielding other events; an
index of a file that only grew stays valid."""
import copy
import os
import pickle
import tempfile

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorn_columns as vc
from wd_files import wd1, wd2

MODES = ["append", "in_place", "rename", "same_bytes_rename", "shrink"]


def wd1_file(sizes, seed=0):
    # Samples of 100 and more: a record read from inside another one's block
    # is a record, not one of event_size 22 or less.
    return b"".join(wd1(np.arange(n) + 100 + seed, event_counter=i) for i, n in enumerate(sizes))


def wd2_file(count, samples, channels, first=0, seed=0):
    width = samples * (channels or 1)
    return b"".join(wd2(np.arange(width, dtype=np.float32) + seed + i, channels=channels,
                        samples=samples, event_counter=first + i) for i in range(count))


def outcome(path, layout, start, stop, index=None):
    """The events read, as comparable rows, or the type of the error raised."""
    try:
        b = vc.read(path, layout, start=start, stop=stop, index=index)
    except vc.StaleIndexError:
        raise
    except (ValueError, OSError) as e:
        return type(e)
    return b.first, [tuple(c.tolist()) for c in b.columns.values()], b.samples.tobytes(), \
        b.offsets.tolist()


def change(path, mode, old, new, rng):
    """Changes the file at `path` (holding `old`) as `mode` says."""
    if mode == "append":
        with open(path, "ab") as f:
            f.write(new)
    elif mode == "in_place":
        with open(path, "r+b") as f:
            f.truncate(0)
            f.write(new)
    elif mode in ("rename", "same_bytes_rename"):
        with open(path + ".new", "wb") as f:
            f.write(old if mode == "same_bytes_rename" else new)
        os.replace(path + ".new", path)
    else:
        os.truncate(path, int(rng.integers(0, len(old))))


class TestChangedFileAgainstReadingWithoutIndex:
    @settings(deadline=None, database=None, max_examples=300)
    @given(layout=st.sampled_from(["WD1", "WD2"]),
           mode=st.sampled_from(MODES + ["in_place"] * 3), seed=st.integers(0, 2**32 - 1),
           start=st.integers(0, 40), span=st.integers(0, 12))
    def test_indexed_read_equals_plain_read_or_raises(self, layout, mode, seed, start, span):
        rng = np.random.default_rng(seed)
        count = int(rng.integers(5, 30))
        start %= count + 4
        # A rewrite keeps the first records as they were, so that later ones
        # sometimes start where the old ones did.
        keep, more = int(rng.integers(0, count + 1)), int(rng.integers(0, 30))
        if layout == "WD1":
            sizes = rng.integers(0, 6, count).tolist()
            old = wd1_file(sizes)
            new = wd1_file(([] if mode == "append" else sizes[:keep])
                           + rng.integers(0, 6, more).tolist(), seed=int(rng.integers(0, 2)))
        else:
            shape = int(rng.integers(1, 4)), [None, 2, 3][rng.integers(0, 3)]
            old = wd2_file(count, *shape)
            if mode == "append":
                new = wd2_file(more, *shape, first=count, seed=1)
            else:
                other = int(rng.integers(1, 4)), [None, 2, 3][rng.integers(0, 3)]
                new = wd2_file(keep, *shape) + wd2_file(
                    more, *(other if rng.random() < 0.5 else shape), first=keep, seed=1)
        stop = None if span == 12 else start + span
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "run")
            with open(path, "wb") as f:
                f.write(old)
            index = vc.scan(path, layout)
            change(path, mode, old, new, rng)
            want = outcome(path, layout, start, stop)
            try:
                got = outcome(path, layout, start, stop, index)
            except vc.StaleIndexError as e:
                assert mode != "append", e
                assert e.filename == path and e.reason in str(e)
                return
        assert mode in ("append", "in_place")
        assert got == want


class TestRewrittenFile:
    @pytest.mark.parametrize("how", ["in_place", "rename", "other_file"])
    def test_other_record_sizes_raise_instead_of_other_events(self, write, how):
        path = write(wd1_file([40] * 100))
        index = vc.scan(path, "WD1")
        # Event 50 of the old file starts where event 40 of the new one does.
        if how == "other_file":
            path = write(wd1_file([53] * 100))
        else:
            change(path, how, b"", wd1_file([53] * 100), None)
        with pytest.raises(vc.StaleIndexError) as info:
            vc.read(path, "WD1", start=50, stop=53, index=index)
        assert info.value.filename == path
        assert info.value.reason.startswith("event 50's header" if how == "in_place"
                                            else "another file")

    def test_shrunk_file_names_both_sizes(self, write):
        path = write(wd1_file([5] * 10))
        index = vc.scan(path, "WD1")
        os.truncate(path, 100)
        with pytest.raises(vc.StaleIndexError) as info:
            vc.read(path, "WD1", start=1, index=index)
        assert info.value.reason == "the file shrank from 340 to 100 bytes"

    def test_past_the_index_steps_on_only_from_its_own_last_event(self, write):
        path = write(wd1_file([5] * 10))
        index = vc.scan(path, "WD1")
        change(path, "in_place", b"", wd1_file([2] * 10 + [3] * 20), None)
        with pytest.raises(vc.StaleIndexError, match="event 9's header differs"):
            vc.read(path, "WD1", start=12, stop=14, index=index)


class TestForeignIndex:
    def test_three_channel_index_on_a_one_channel_file(self, write):
        path = write(wd2_file(20, 4, 3))
        index = vc.scan(path, "WD2")
        assert index.channels == 3
        change(path, "in_place", b"", wd2_file(40, 4, None), None)
        with pytest.raises(vc.StaleIndexError) as info:
            vc.read(path, "WD2", start=10, stop=12, index=index)
        assert info.value.reason == "another channel count: 1, where the index has 3"

    def test_layout_of_the_index_must_be_the_files(self, wd1_path):
        index = vc.scan(wd1_path, "WD1")
        with pytest.raises(vc.StaleIndexError, match="another layout"):
            vc.read(wd1_path, "WD2", index=index)


class TestHandBuiltIndex:
    def build(self, index, positions, **kw):
        return vc.Index("WD1", 0, dict(index.columns), positions, **kw)

    def test_positions_must_start_at_zero_and_never_decrease(self, write):
        index = vc.scan(write(wd1_file([3] * 10)), "WD1")
        for bad in (index.positions[::-1], index.positions + 30, index.positions[:-1],
                    index.positions.astype(np.float64)):
            with pytest.raises((ValueError, TypeError)):
                self.build(index, bad)

    def test_an_edited_position_raises_instead_of_other_events(self, write):
        path = write(wd1_file([3, 3, 3, 3, 3, 3]))
        index = vc.scan(path, "WD1")
        edited = index.positions.copy()
        edited[2:5] = edited[3:6]
        mine = self.build(index, edited)
        edited[1] = 0  # the index took its own copy
        assert mine.positions[1] == 30 and not mine.positions.flags.writeable
        with pytest.raises(vc.StaleIndexError, match="event 2's header differs"):
            vc.read(path, "WD1", start=2, stop=3, index=mine)

    def test_unpickled_positions_stay_read_only(self, write):
        path = write(wd1_file(range(8)))
        index = vc.scan(path, "WD1")
        for again in (pickle.loads(pickle.dumps(index)), copy.deepcopy(index)):
            assert not again.positions.flags.writeable
            with pytest.raises(ValueError):
                again.positions[3] = 0
            assert (again.inode, again.size, again.channels) == (index.inode, index.size, 0)
            assert outcome(path, "WD1", 3, 6, again) == outcome(path, "WD1", 3, 6)
        error = pickle.loads(pickle.dumps(vc.StaleIndexError("m", filename="f", reason="r")))
        assert (str(error), error.filename, error.reason) == ("m", "f", "r")

    def test_an_index_names_its_source_and_older_pickles_load(self, write):
        path = write(wd1_file(range(8)))
        index = vc.scan(path, "WD1")
        assert index.source == str(path) and vc.scan(open(path, "rb"), "WD1").source is None
        assert pickle.loads(pickle.dumps(index)).source == str(path)
        # An index pickled before it kept its source: eight fields, or six before tag and codec.
        for fields in (8, 6):
            old = vc.Index.__new__(vc.Index)
            old.__setstate__(index.__getstate__()[:fields])
            assert old.source is None and (old.positions == index.positions).all()
            assert outcome(path, "WD1", 3, 6, old) == outcome(path, "WD1", 3, 6)


class TestDask:
    @pytest.mark.parametrize("how", ["in_place", "rename", "append"])
    def test_file_changed_after_the_frame_was_made(self, tmp_path, how):
        pytest.importorskip("dask.dataframe", reason="the dask extra is not installed")
        pytest.importorskip("pyarrow", reason="the dask extra is not installed")
        path = str(tmp_path / "run.wd1")
        with open(path, "wb") as f:
            f.write(wd1_file([40] * 100))
        frame = vc.to_dask(path, "WD1", events_per_partition=10)
        change(path, how, b"", wd1_file([53] * 100), None)
        if how == "append":
            got = frame["event_counter"].compute(scheduler="synchronous")
            assert got.tolist() == list(range(100)) and got.index.tolist() == list(range(100))
            return
        with pytest.raises(vc.StaleIndexError) as info:
            frame.compute(scheduler="synchronous")
        assert info.value.filename == path

    def test_partition_that_no_longer_ends_where_the_next_starts(self, tmp_path):
        pytest.importorskip("dask.dataframe", reason="the dask extra is not installed")
        pytest.importorskip("pyarrow", reason="the dask extra is not installed")
        path = str(tmp_path / "run.wd1")
        record = [wd1(np.arange(10) + 100, event_counter=i) for i in range(12)]
        with open(path, "wb") as f:
            f.write(b"".join(record))
        frame = vc.to_dask(path, "WD1", events_per_partition=4)
        # Records 5 and 6 become three of the same bytes: every partition still
        # starts on the header the index has, but the middle one would end at
        # record 7 and the last start after it, which no partition would hold.
        three = wd1(event_counter=5) + wd1(event_counter=6) + wd1(np.arange(8), event_counter=7)
        change(path, "in_place", b"", b"".join(record[:5]) + three + b"".join(record[7:]), None)
        with pytest.raises(vc.StaleIndexError) as info:
            frame.compute(scheduler="synchronous")
        assert info.value.reason == "events 4 to 7 no longer end at byte offset 352"
