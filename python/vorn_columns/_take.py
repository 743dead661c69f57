"""Events by number: ``take`` reads chosen records of a file and nothing
between them; ``pick`` reads them by their positions."""
from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Dict, List, Literal, Optional, Tuple, overload

import numpy as np

from . import _args, _native, _sidecar
from ._args import Layout, Source
from ._batch import Batch, select
from ._index import Index
from ._errors import StaleIndexError, stale
from ._layouts import FIELDS
from ._sidecar import IndexArg
from ._reading import check_file, decoder_of, index_of, open_source

if TYPE_CHECKING:
    from ._batch import WD1Batch, WD2Batch
    from ._features import Features

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
def take(source: Source, layout: Layout, events: Any, *, index: IndexArg = ...,
         storage_options: Optional[Dict[str, Any]] = ..., compression: Optional[str] = ...,
         features: Features, samples: Optional[bool] = ...) -> Batch: ...
@overload
def take(source: Source, layout: Literal["WD1"], events: Any, *, index: IndexArg = ...,
         storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> WD1Batch: ...
@overload
def take(source: Source, layout: Literal["WD2"], events: Any, *, index: IndexArg = ...,
         storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> WD2Batch: ...
@overload
def take(source: Source, layout: Layout, events: Any, *, index: IndexArg = ...,
         storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> Batch: ...


def take(source: Source, layout: Layout, events: Any, *, index: IndexArg = "auto",
         storage_options: Optional[Dict[str, Any]] = None,
         compression: Optional[str] = "auto", features: Optional[Features] = None,
         samples: Optional[bool] = None) -> Batch:
    """The events numbered ``events`` of the file as one batch: strictly
    increasing numbers, or a boolean mask with an entry per event. Only their
    records are read, each run of adjacent ones with one read; without an
    ``index``, the file's headers are scanned first. Input that cannot seek
    (compressed, a pipe) is read forward. An index that no longer describes
    the file raises ``StaleIndexError``, as in ``read``; ``index="auto"``
    uses the file's sidecar where one matches it. ``features`` and
    ``samples`` as in ``read``."""
    layout = _args.layout(layout)
    params, keep = _args.features(features, samples)
    index = _sidecar.resolve(source, index, storage_options, layout)
    opened = open_source(source, compression, storage_options)
    decoder = decoder_of(opened, layout)
    filename = opened.filename
    if index is None:
        if not opened.seekable:
            return _forward(decoder, filename, layout, events, params, keep)
        index = index_of(decoder, opened, layout, given=True)
    numbers = _numbers(events, len(index), filename)
    check_file(decoder, filename, layout, index)
    starts = index.positions[numbers]
    batch = pick(decoder, filename, layout, numbers, starts, index.positions[numbers + 1] - starts,
                 params, keep)
    # Records of the same sizes may have been rewritten: the headers vouch for them.
    for name in FIELDS[layout]:
        differ = np.flatnonzero(batch.columns[name] != index.columns[name][numbers])
        if len(differ):
            raise _changed(filename, int(numbers[differ[0]]), int(starts[differ[0]]))
    return batch


def _forward(decoder: _native.Decoder, filename: Any, layout: str, events: Any,
             features: Optional[Tuple[Any, ...]], samples: bool) -> Batch:
    """take() of input read once, from start to end, without an index: the
    chosen events are copied out of each batch as it passes, and their
    numbers checked against the count once the end is known."""
    given = np.asarray(events)
    mask = given.dtype == np.bool_ and given.ndim == 1
    wanted = given if mask else _numbers(events, np.iinfo(np.int64).max, filename)
    chosen: List[Batch] = []
    seen = 0
    while True:
        read = decoder.decode(seen, _FORWARD_EVENTS, _FORWARD_BYTES, features, samples)
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
    kept = chosen[0].samples is not None
    return Batch(layout, int(numbers[0]) if len(numbers) else 0, decoder.channels,
                 {name: np.concatenate([c[name] for c in chosen]) for name in chosen[0].columns},
                 np.concatenate([c.samples for c in chosen]) if kept else None,
                 _joined([c.offsets for c in chosen]) if kept else None, numbers)


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
         starts: np.ndarray, sizes: np.ndarray, features: Optional[Tuple[Any, ...]] = None,
         samples: bool = True) -> Batch:
    """The events `numbers`, whose records start at `starts` and are `sizes`
    bytes long, read by `decoder` as one batch (with the features of
    `features`, native parameters, and their samples where `samples`)."""
    picked = decoder.pick(starts.astype(np.int64).tobytes(), sizes.astype(np.int64).tobytes(),
                          features, samples)
    if picked.outcome == "mismatch":
        at = np.flatnonzero(starts == picked.offset)
        raise _changed(filename, int(numbers[at[0]]) if len(at) else None, picked.offset)
    picked.raise_outcome("")
    numbers = numbers.astype(np.int64)  # a copy of its own, read-only
    numbers.setflags(write=False)
    batch: Batch = picked.batch(numbers)
    return batch


def _changed(filename: Any, event: Optional[int], position: int) -> StaleIndexError:
    return stale(filename, f"event {event}'s record differs from the index's (byte offset "
                            f"{position})")
