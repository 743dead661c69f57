"""Events by number: ``take`` reads chosen records of a file and nothing
between them; ``select`` makes a Batch of some of another's events."""
from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Dict, List, Literal, Optional, Tuple, overload

import numpy as np

from . import (Batch, Index, Layout, Source, StaleIndexError, _check_file, _index, _layout, _native,
               _open, _stale)
from ._layouts import FIELDS

if TYPE_CHECKING:
    from . import WD1Batch, WD2Batch

# Batches of input read forward: the chosen events are copied out of each.
_FORWARD_EVENTS = 1 << 16
_FORWARD_BYTES = 32 << 20


def _numbers(events: Any, count: int, filename: Any) -> np.ndarray:
    """`events` as int64 event numbers of a file of `count` events: a
    boolean mask of `count` entries, or strictly increasing numbers."""
    chosen = np.asarray(events)
    if chosen.dtype == np.bool_:
        if chosen.shape != (count,):
            raise ValueError(f"a mask of events needs one entry per event of the file ({count}), "
                             f"not the shape {chosen.shape}")
        return np.flatnonzero(chosen).astype(np.int64)
    if chosen.ndim != 1:
        raise ValueError(f"events must be one-dimensional, not of shape {chosen.shape}")
    if chosen.size == 0:
        return np.empty(0, np.int64)
    if chosen.dtype.kind not in "iu":
        raise TypeError(f"events must be integers or a boolean mask, not {chosen.dtype}")
    if chosen.dtype == np.uint64 and chosen.max() > np.iinfo(np.int64).max:
        chosen = chosen.astype(object)  # named below as it was given
    rising = np.flatnonzero(chosen[1:] <= chosen[:-1])
    if len(rising):
        i = int(rising[0]) + 1
        raise ValueError(f"events must be strictly increasing: {chosen[i]} follows "
                         f"{chosen[i - 1]}")
    for number in (chosen[0], chosen[-1]):
        if not 0 <= number < count:
            raise IndexError(f"event {number} is not in {os.fsdecode(filename)}, which holds "
                             f"{count} events")
    return chosen.astype(np.int64)


@overload
def take(source: Source, layout: Literal["WD1"], events: Any, *, index: Optional[Index] = ...,
         storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> WD1Batch: ...
@overload
def take(source: Source, layout: Literal["WD2"], events: Any, *, index: Optional[Index] = ...,
         storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> WD2Batch: ...
@overload
def take(source: Source, layout: Layout, events: Any, *, index: Optional[Index] = ...,
         storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> Batch: ...


def take(source: Source, layout: Layout, events: Any, *, index: Optional[Index] = None,
         storage_options: Optional[Dict[str, Any]] = None,
         compression: Optional[str] = "auto") -> Batch:
    """The events numbered ``events`` of the file as one batch: strictly
    increasing numbers, or a boolean mask with an entry per event. Only their
    records are read, each run of adjacent ones with one read; without an
    ``index``, the file's headers are scanned first. Input that cannot seek
    (compressed, a pipe) is read forward. An index that no longer describes
    the file raises ``StaleIndexError``, as in ``read``."""
    layout = _layout(layout)
    if index is not None and not isinstance(index, Index):
        raise TypeError(f"index must be a vorn_columns.Index, not {type(index).__name__}")
    decoder, opened = _open(source, layout, compression, storage_options)
    filename = opened.filename
    if index is None:
        if not opened.seekable:
            return _forward(decoder, filename, layout, events)
        index = _index(decoder, opened, layout)
    numbers = _numbers(events, len(index), filename)
    _check_file(decoder, filename, layout, index)
    starts = index.positions[numbers]
    batch = pick(decoder, filename, layout, numbers, starts, index.positions[numbers + 1] - starts)
    # Records of the same sizes may have been rewritten: the headers vouch for them.
    for name, column in batch.columns.items():
        differ = np.flatnonzero(column != index.columns[name][numbers])
        if len(differ):
            raise _changed(filename, int(numbers[differ[0]]), int(starts[differ[0]]))
    return batch


def _forward(decoder: _native.Decoder, filename: Any, layout: str, events: Any) -> Batch:
    """take() of input read once, from start to end, without an index: the
    chosen events are copied out of each batch as it passes, and their
    numbers checked against the count once the end is known."""
    given = np.asarray(events)
    mask = given.dtype == np.bool_ and given.ndim == 1
    wanted = given if mask else _numbers(events, np.iinfo(np.int64).max, filename)
    chosen: List[Batch] = []
    seen = 0
    while True:
        read = decoder.decode(seen, _FORWARD_EVENTS, _FORWARD_BYTES)
        n = len(read)
        read.raise_outcome("take() reads the events before it")
        rows = (np.flatnonzero(given[seen:seen + n]) if mask else
                wanted[slice(*np.searchsorted(wanted, [seen, seen + n]))] - seen)
        if n or not chosen:  # an empty batch gives the columns their types
            chosen.append(select(read.batch(), rows))
        if n == 0:
            break
        seen += n
    numbers = _numbers(events, seen, filename)
    numbers.setflags(write=False)
    return Batch(layout, int(numbers[0]) if len(numbers) else 0, decoder.channels,
                 {name: np.concatenate([c[name] for c in chosen]) for name in FIELDS[layout]},
                 np.concatenate([c.samples for c in chosen]), _joined([c.offsets for c in chosen]),
                 numbers)


def _joined(offsets: List[np.ndarray]) -> np.ndarray:
    """The offsets of batches put one after another."""
    out = np.zeros(sum(len(o) - 1 for o in offsets) + 1, np.int64)
    at, base = 0, 0
    for o in offsets:
        out[at + 1:at + len(o)] = o[1:] + base
        at, base = at + len(o) - 1, base + int(o[-1])
    out.setflags(write=False)
    return out


def pick(decoder: _native.Decoder, filename: Any, layout: str, numbers: np.ndarray,
         starts: np.ndarray, sizes: np.ndarray) -> Batch:
    """The events `numbers`, whose records start at `starts` and are `sizes`
    bytes long, read by `decoder` as one batch."""
    picked = decoder.pick(starts.astype(np.int64).tobytes(), sizes.astype(np.int64).tobytes())
    if picked.outcome == "mismatch":
        at = np.flatnonzero(starts == picked.offset)
        raise _changed(filename, int(numbers[at[0]]) if len(at) else None, picked.offset)
    picked.raise_outcome("")
    numbers = numbers.astype(np.int64)  # a copy of its own, read-only
    numbers.setflags(write=False)
    batch: Batch = picked.batch(numbers)
    return batch


def _changed(filename: Any, event: Optional[int], position: int) -> StaleIndexError:
    return _stale(filename, f"event {event}'s record differs from the index's (byte offset "
                            f"{position})")


def _view(batch: Batch, key: slice) -> Batch:
    start, stop, step = key.indices(len(batch))
    if step != 1:
        raise ValueError(f"a Batch is sliced in steps of 1, not {step}")
    stop = max(start, stop)
    low, high = int(batch.offsets[start]), int(batch.offsets[stop])
    offsets = batch.offsets[start:stop + 1] - low
    offsets.setflags(write=False)
    columns = {name: column[start:stop] for name, column in batch.columns.items()}
    chosen = getattr(batch, "_events", None)
    first = batch.first + start if chosen is None else (
        int(chosen[start]) if stop > start else 0)
    return Batch(batch.layout, first, batch.channels, columns, batch.samples[low:high], offsets,
                 None if chosen is None else chosen[start:stop])


def _gather(batch: Batch, rows: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """The samples and offsets of the events `rows`, copied."""
    every = np.diff(batch.offsets)
    counts = every[rows]
    offsets = np.zeros(len(rows) + 1, np.int64)
    np.cumsum(counts, out=offsets[1:])
    offsets.setflags(write=False)
    per = int(every[0]) if len(every) else 0
    if np.all(every == per) and len(batch.samples) == per * len(batch) and batch.offsets[0] == 0:
        # One sample count for all: a gather of rows, as waveforms() sees them.
        return batch.samples.reshape(len(batch), per)[rows].reshape(-1), offsets
    samples = np.empty(int(offsets[-1]), batch.samples.dtype)
    if not len(rows):
        return samples, offsets
    # Runs of consecutive events are copied as one slice each.
    breaks = np.flatnonzero(np.diff(rows) != 1) + 1
    for a, b in zip(np.r_[0, breaks], np.r_[breaks, len(rows)]):
        low, high = batch.offsets[rows[a]], batch.offsets[rows[b - 1] + 1]
        samples[offsets[a]:offsets[b]] = batch.samples[low:high]
    return samples, offsets


def select(batch: Batch, key: Any) -> Batch:
    """``batch[key]`` for anything but a column name."""
    if isinstance(key, slice):
        return _view(batch, key)
    if isinstance(key, (int, np.integer)):
        raise TypeError(f"a Batch is indexed by a column name, a slice, a mask or an array of "
                        f"indices, not {type(key).__name__}; batch.event({key}) gives one event")
    rows = np.asarray(key)
    if rows.dtype == np.bool_:
        if rows.shape != (len(batch),):
            raise IndexError(f"a mask of shape {rows.shape} does not fit a batch of "
                             f"{len(batch)} events")
        rows = np.flatnonzero(rows)
    elif rows.size == 0:
        rows = np.empty(0, np.intp)
    elif rows.dtype.kind not in "iu" or rows.ndim != 1:
        raise TypeError(f"a Batch is indexed by a column name, a slice, a mask or a 1-D array "
                        f"of indices, not {rows.dtype} of shape {rows.shape}")
    numbers = batch.events[rows]  # IndexError for an index past the end, as NumPy says it
    rows = np.where(rows < 0, rows + len(batch), rows) if rows.dtype.kind == "i" else rows
    samples, offsets = _gather(batch, rows)
    numbers.setflags(write=False)
    columns = {name: column[rows] for name, column in batch.columns.items()}
    return Batch(batch.layout, int(numbers[0]) if len(numbers) else 0, batch.channels, columns,
                 samples, offsets, numbers)

