"""WD1 and WD2 event files as NumPy columns, many events at a time.

Each batch holds one array per header field, every event's samples one after
another in one array, and the offsets that split them. The events are exactly
those that ``vorn.EventReader`` yields for the same file.
"""
from __future__ import annotations

import errno
import functools
import operator
import os
import time
from typing import Any, Dict, Iterable, Iterator, NoReturn, Optional, Tuple, Union

import numpy as np

from . import _native

__all__ = ["Batch", "BatchIterator", "CorruptRecordError", "Index", "StaleIndexError", "follow",
           "iter_batches", "read", "scan", "to_dask"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

FIELDS = {
    "WD1": ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp"),
    "WD2": ("event_counter", "timestamp", "samples", "sampling_period", "channels"),
}
_UNLIMITED = 2**64 - 1
_MOST = 2**63 - 1  # the largest max_events and max_bytes
# Why a native walk stopped; from _STOP_CORRUPT on, in failure.
_STOP_LIMIT, _STOP_END, _STOP_CORRUPT, _STOP_ERROR, _STOP_TRUNCATED = range(5)


class CorruptRecordError(ValueError):
    """A record that cannot be read: a WD1 ``event_size`` of 22 or less, or a
    WD2 sample block larger than any object can be. ``index`` is the event's
    index in the file, ``offset`` the byte offset of its first byte."""

    def __init__(self, message: str, *, index: int, offset: int, filename: Any) -> None:
        super().__init__(message)
        self.index = index
        self.offset = offset
        self.filename = filename

    def __reduce__(self) -> Tuple[Any, ...]:
        # The keyword-only fields go along, so that the error survives pickle
        # (raised in a worker process) and copy.
        rebuild = functools.partial(type(self), index=self.index, offset=self.offset,
                                    filename=self.filename)
        return rebuild, self.args, self.__dict__


class StaleIndexError(ValueError):
    """The file no longer holds what an index or a reader knew of it: it was
    replaced, truncated or rewritten. ``reason`` says what changed."""

    def __init__(self, message: str, *, filename: Any, reason: str) -> None:
        super().__init__(message)
        self.filename = filename
        self.reason = reason

    def __reduce__(self) -> Tuple[Any, ...]:
        rebuild = functools.partial(type(self), filename=self.filename, reason=self.reason)
        return rebuild, self.args, self.__dict__


class Batch:
    """Events ``[first, first + len(batch))`` of a file, as columns."""

    __slots__ = ("layout", "first", "channels", "columns", "samples", "offsets")

    def __init__(self, layout: str, first: int, channels: int, columns: Dict[str, np.ndarray],
                 samples: np.ndarray, offsets: np.ndarray) -> None:
        self.layout = layout
        self.first = first
        self.channels = channels  # the WD2 channel count found on opening; 0 for WD1
        self.columns = columns
        self.samples = samples
        self.offsets = offsets

    def __len__(self) -> int:
        return len(self.offsets) - 1

    def __getitem__(self, name: str) -> np.ndarray:
        return self.columns[name]

    def __repr__(self) -> str:
        return (f"<vorn_columns.Batch {self.layout} events {self.first}.."
                f"{self.first + len(self)} samples {len(self.samples)}>")

    def waveforms(self) -> np.ndarray:
        """The samples as ``(n, samples)`` (WD1) or ``(n, channels, samples)``
        (WD2), a view without copying; every event must have as many samples."""
        counts = np.diff(self.offsets)
        per_event = int(counts[0]) if len(counts) else 0
        differ = np.flatnonzero(counts != per_event)
        if len(differ):
            i = int(differ[0])
            raise ValueError(
                f"event {self.first + i} has {int(counts[i])} samples where event {self.first} "
                f"has {per_event}: waveforms() needs one sample count for the whole batch")
        if self.layout == "WD1":
            return self.samples.reshape(len(self), per_event)
        channels = max(self.channels, 1)
        if per_event % channels:
            # A block whose size wrapped around holds no whole samples per channel.
            raise ValueError(
                f"event {self.first} has {per_event} samples, not a whole number for each of "
                f"{channels} channels")
        return self.samples.reshape(len(self), channels, per_event // channels)

    def event(self, i: int) -> Dict[str, Any]:
        """Event ``i`` of the batch as the dict ``vorn.EventReader`` yields
        for it; ``"data"`` shares memory with the batch."""
        n = len(self)
        i = operator.index(i)
        if i < 0:
            i += n
        if not 0 <= i < n:
            raise IndexError(f"event {i} is outside a batch of {n} events")
        out: Dict[str, Any] = {name: int(col[i]) for name, col in self.columns.items()}
        out["data"] = self.samples[self.offsets[i]:self.offsets[i + 1]]
        return out

    def __arrow_c_schema__(self) -> Any:
        """The Arrow schema of the batch, as an "arrow_schema" PyCapsule."""
        from . import arrow
        return arrow.schema_capsule(self.layout, self.channels)

    def __arrow_c_array__(self, requested_schema: Any = None) -> Tuple[Any, Any]:
        """The batch as an Arrow record batch over its own memory (see
        ``vorn_columns.arrow``): "arrow_schema" and "arrow_array" PyCapsules."""
        from . import arrow
        return arrow.array_capsules(self, requested_schema)


class Index:
    """Where each record of a file starts, and its header values, without
    its samples. ``positions`` has ``len(index) + 1`` entries: the last is the
    end of the last complete record."""

    __slots__ = ("layout", "channels", "columns", "positions")

    def __init__(self, layout: str, channels: int, columns: Dict[str, np.ndarray],
                 positions: np.ndarray) -> None:
        self.layout = layout
        self.channels = channels
        self.columns = columns
        self.positions = positions

    def __len__(self) -> int:
        return len(self.positions) - 1

    def __getitem__(self, name: str) -> np.ndarray:
        return self.columns[name]

    def __repr__(self) -> str:
        return f"<vorn_columns.Index {self.layout} events {len(self)}>"


def _layout(layout: Any) -> str:
    if type(layout) is not str or layout not in FIELDS:
        raise ValueError(f"layout must be 'WD1' or 'WD2', not {layout!r}")
    return layout


def _count(value: Any, name: str, *, least: int = 0, most: Optional[int] = None,
           none: Optional[int] = None) -> int:
    """An integer argument, checked where it is given: TypeError for anything
    else (bools too), ValueError outside [least, most]."""
    if value is None and none is not None:
        return none
    try:
        if isinstance(value, (bool, np.bool_)):
            raise TypeError
        count = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if count < least:
        raise ValueError(f"{name} must be at least {least}, not {count}")
    if most is not None and count > most:
        raise ValueError(f"{name} must be at most {most}, not {count}")
    return count


def _limits(max_events: Any, max_bytes: Any) -> Tuple[int, int]:
    return (_count(max_events, "max_events", least=1, most=_MOST, none=_UNLIMITED),
            _count(max_bytes, "max_bytes", least=1, most=_MOST))


def _open(path: PathLike, layout: str) -> Tuple[_native.Decoder, Any]:
    filename = os.fspath(path)
    return _native.Decoder(os.fsencode(filename), layout, filename), filename


def _corrupt(filename: Any, layout: str, index: int, offset: int, how: str) -> CorruptRecordError:
    what = "an event_size of 22 or less" if layout == "WD1" else "a sample block no object can hold"
    return CorruptRecordError(
        f"{os.fsdecode(filename)}: event {index} at byte offset {offset} cannot be read "
        f"({what}); {how.format(index=index)}", index=index, offset=offset, filename=filename)


def _failed(stop: Tuple[int, Any]) -> bool:
    return stop[0] >= _STOP_CORRUPT


def _failure(stop: Tuple[int, Any], filename: Any, layout: str, index: int,
             how: str) -> BaseException:
    """The exception of a walk that _failed() at event `index`."""
    kind, detail = stop
    if kind == _STOP_CORRUPT:
        return _corrupt(filename, layout, index, detail, how)
    if kind == _STOP_TRUNCATED:
        length, position = detail
        return StaleIndexError(
            f"{os.fsdecode(filename)}: the file is now {length} bytes long, shorter than the "
            f"{position} bytes already read from it", filename=filename,
            reason="truncated below the reader's position")
    if detail == errno.ENOMEM:
        return MemoryError(f"{os.fsdecode(filename)}: no memory for event {index}")
    return OSError(detail, os.strerror(detail), filename)


def _iteration_failure(stop: Tuple[int, Any], filename: Any, layout: str,
                       index: int) -> BaseException:
    """What a BatchIterator step raises for a walk that failed."""
    return _failure(stop, filename, layout, index, "iteration stops before it")


# The native step makes Batch objects and raises _iteration_failure()'s.
_native.register(Batch, FIELDS, _iteration_failure)


def _raise_failure(stop: Tuple[int, Any], filename: Any, layout: str, index: int,
                   how: str) -> NoReturn:
    """Raises _failure(...). The traceback keeps this frame: it lets go of the
    exception on the way out, so that the two form no reference cycle."""
    error = _failure(stop, filename, layout, index, how)
    try:
        raise error
    finally:
        del error


def _skip(decoder: _native.Decoder, count: int, filename: Any, layout: str, first: int,
          how: str) -> int:
    """Steps over up to `count` records, headers only; returns how many."""
    skipped, _, _, stop = decoder.scan(min(count, _UNLIMITED), False)
    if _failed(stop):
        _raise_failure(stop, filename, layout, first + skipped, how)
    return skipped


def _batch(layout: str, decoder: _native.Decoder, first: int, columns: Tuple[np.ndarray, ...],
           samples: np.ndarray, offsets: np.ndarray) -> Batch:
    return Batch(layout, first, decoder.channels, dict(zip(FIELDS[layout], columns)), samples,
                 offsets)


def read(path: PathLike, layout: str, *, start: int = 0, stop: Optional[int] = None,
         index: Optional[Index] = None) -> Batch:
    """Events ``[start, stop)`` of the file as one batch (``stop=None``: to
    the end). With an ``index`` from ``scan``, reading seeks straight to
    ``start`` instead of stepping over the records before it."""
    layout = _layout(layout)
    start = _count(start, "start")
    stop = _count(stop, "stop", none=_UNLIMITED)
    decoder, filename = _open(path, layout)
    how = "read(path, layout, stop={index}) reads the events before it"
    if index is not None:
        if not isinstance(index, Index):
            raise TypeError(f"index must be a vorn_columns.Index, not {type(index).__name__}")
        if index.layout != layout:
            raise ValueError(f"index is of a {index.layout} file, not {layout}")
        known = min(start, len(index))
        decoder.seek(int(index.positions[known]))
        at = known + _skip(decoder, start - known, filename, layout, known, how)
    else:
        at = _skip(decoder, start, filename, layout, 0, how) if start else 0
    wanted = min(max(stop - start, 0), _UNLIMITED) if at == start else 0
    columns, samples, offsets, ended = decoder.decode(wanted, _UNLIMITED, False)
    if _failed(ended):
        n = len(offsets) - 1
        del columns, samples, offsets  # the traceback keeps this frame, not the partial batch
        _raise_failure(ended, filename, layout, start + n, how)
    return _batch(layout, decoder, start, columns, samples, offsets)


def scan(path: PathLike, layout: str) -> Index:
    """The positions and header values of every complete record, read
    without the samples (large sample blocks are stepped over by a seek)."""
    layout = _layout(layout)
    decoder, filename = _open(path, layout)
    _, columns, positions, stop = decoder.scan(_UNLIMITED, True)
    if _failed(stop):
        n = len(positions) - 1
        del columns, positions  # the traceback keeps this frame, not the partial index
        _raise_failure(stop, filename, layout, n, "the index would end before it")
    return Index(layout, decoder.channels, dict(zip(FIELDS[layout], columns)), positions)


class BatchIterator:
    """Batches of a file in order. After the end it can be iterated again and
    then yields the records appended since; a record cut short by the end of
    the file is left for a later pass."""

    def __init__(self, path: PathLike, layout: str, *, max_events: Optional[int] = None,
                 max_bytes: int = 4 << 20, start: int = 0, stop: Optional[int] = None) -> None:
        self.layout = _layout(layout)
        max_events, max_bytes = _limits(max_events, max_bytes)
        start = _count(start, "start")
        stop = _count(stop, "stop", none=_UNLIMITED)
        self._decoder, self.filename = _open(path, self.layout)
        # No file holds 2**64 records: past that, a count means "all".
        self._decoder.iterate(min(start, _UNLIMITED), min(stop, _UNLIMITED), max_events,
                              max_bytes)

    @property
    def channels(self) -> int:
        return int(self._decoder.channels)

    @property
    def position(self) -> int:
        """Byte offset of the next record to read."""
        return int(self._decoder.position)

    def __iter__(self) -> "BatchIterator":
        return self

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """The batches to come as an Arrow stream, an "arrow_array_stream"
        PyCapsule; reading it advances this iterator."""
        from . import arrow
        return arrow.stream_capsule(self, requested_schema)

    def __next__(self) -> Batch:
        # One native call steps over records, decodes, counts and makes the
        # batch, holding the decoder throughout: no Python code runs between
        # consuming records and handing them out, and a second thread meets
        # RuntimeError. An error met after some events is raised next time.
        return self._decoder.next_batch()


def iter_batches(path: PathLike, layout: str, *, max_events: Optional[int] = None,
                 max_bytes: int = 4 << 20, start: int = 0,
                 stop: Optional[int] = None) -> BatchIterator:
    """Batches of events ``[start, stop)`` that never split an event: each
    ends at ``max_events`` events or before the event that would take its
    file bytes past ``max_bytes``, and holds at least one event."""
    return BatchIterator(path, layout, max_events=max_events, max_bytes=max_bytes, start=start,
                         stop=stop)


def follow(path: PathLike, layout: str, *, max_events: Optional[int] = None,
           max_bytes: int = 4 << 20, poll: float = 0.5,
           idle_timeout: Optional[float] = None) -> Iterator[Batch]:
    """Batches of a file that is being written, as its records arrive; ends
    after ``idle_timeout`` seconds without a new record (``None``: never)."""
    _layout(layout)
    _limits(max_events, max_bytes)
    if poll < 0:
        raise ValueError(f"poll must not be negative, not {poll}")
    return _follow(path, layout, max_events, max_bytes, poll, idle_timeout)


def _follow(path: PathLike, layout: str, max_events: Optional[int], max_bytes: int, poll: float,
            idle_timeout: Optional[float]) -> Iterator[Batch]:
    batches = iter_batches(path, layout, max_events=max_events, max_bytes=max_bytes)
    last = time.monotonic()
    while True:
        for batch in batches:
            last = time.monotonic()
            yield batch
        if idle_timeout is not None and time.monotonic() - last >= idle_timeout:
            return
        time.sleep(poll)


def to_dask(paths: Union[PathLike, Iterable[PathLike]], layout: str, *,
            events_per_partition: int = 100_000) -> Any:
    """The events of the files as a lazy ``dask.dataframe.DataFrame``, one
    partition per ``events_per_partition`` events of a file, read by the
    worker that computes it; ``"data"`` is an Arrow large_list column. Needs
    the ``dask`` extra (``pip install 'vorn[dask]'``)."""
    from . import _dask
    return _dask.to_dask(paths, layout, events_per_partition=events_per_partition)
