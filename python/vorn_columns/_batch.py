"""Batches and indexes: a Batch holds events of a file as columns (read, chosen or sliced
from another), an Index where each record starts and its header values; both map header names
to columns."""
from __future__ import annotations

import operator
from typing import (TYPE_CHECKING, Any, Dict, ItemsView, Iterator, KeysView, Literal, Optional,
                    Sequence, Tuple, TypedDict, Union, ValuesView, overload)

import numpy as np

from ._layouts import DESCRIPTIONS, FIELDS
from .arrow import array_capsules, batch_stream_capsule, schema_capsule

if TYPE_CHECKING:
    import numpy.typing as npt
    import pandas


def _column(columns: Dict[str, np.ndarray], name: str, owner: str) -> np.ndarray:
    """A column by name. The samples are no column (they are not one value per
    event): asking for "data" says where they are."""
    try:
        return columns[name]
    except KeyError:
        if name != "data":
            raise
        where = ("the samples are b.samples (flat, split by b.offsets) and b.waveforms()"
                 if owner == "b" else "an index holds no samples: read or take the events")
        raise KeyError(f"'data' is not a column: {where}") from None


class _HeaderColumns:
    """The header columns of a batch or an index as a mapping of their names
    (`keys()`, `items()`, `name in x`); not a collections.abc.Mapping, since a
    batch also answers slices and masks."""

    __slots__ = ()
    columns: Dict[str, np.ndarray]

    def __iter__(self) -> Iterator[str]:
        return iter(self.columns)

    def __contains__(self, name: object) -> bool:
        return name in self.columns

    def keys(self) -> KeysView[str]:
        return self.columns.keys()

    def values(self) -> ValuesView[np.ndarray]:
        return self.columns.values()

    def items(self) -> ItemsView[str, np.ndarray]:
        return self.columns.items()


class Batch(_HeaderColumns):
    """Events of a file, as columns: ``[first, first + len(batch))``, or the
    events a selection chose (``events``). Its header columns can be used as
    a mapping (``keys()``, ``items()``, ``name in batch``); ``len(batch)`` is
    its number of events."""

    # _events: the event numbers of a batch that was chosen, not read as a
    # range; left unset (read back as None) for a contiguous one. _native:
    # the native batch that a batch read from a file holds, from which its
    # arrays were made (and its Arrow arrays are made); unset for one made
    # here.
    __module__ = "vorn_columns"  # its public name, which pickles refer to
    __slots__ = ("layout", "first", "channels", "columns", "samples", "offsets", "_events",
                 "_native")

    def __init__(self, layout: str, first: int, channels: int, columns: Dict[str, np.ndarray],
                 samples: np.ndarray, offsets: np.ndarray,
                 events: Optional[np.ndarray] = None) -> None:
        self.layout = layout
        self.first = first
        self.channels = channels  # the WD2 channel count found on opening; 0 for WD1
        self.columns = columns
        self.samples = samples
        self.offsets = offsets
        if events is not None:
            self._events = events

    def __len__(self) -> int:
        if self.offsets is None:  # features without samples: every column has a row an event
            return len(next(iter(self.columns.values())))
        return len(self.offsets) - 1

    def _samples_kept(self, what: str) -> None:
        if self.samples is None:
            raise ValueError(f"{what} needs the samples, which a batch read with features keeps "
                             f"only with samples=True")

    def __getstate__(self) -> Tuple[None, Dict[str, Any]]:
        # A copy's arrays are its own: the native batch stays behind.
        return None, {name: getattr(self, name) for name in self.__slots__
                      if name != "_native" and hasattr(self, name)}

    @property
    def events(self) -> np.ndarray:
        """The int64 event numbers of the batch's events in their file."""
        chosen: Optional[np.ndarray] = getattr(self, "_events", None)
        if chosen is not None:
            return chosen
        return np.arange(self.first, self.first + len(self), dtype=np.int64)

    @overload
    def __getitem__(self, key: str) -> np.ndarray: ...
    @overload
    def __getitem__(self, key: Union[slice, np.ndarray, Sequence[int]]) -> "Batch": ...

    def __getitem__(self, key: Any) -> Any:
        """A header column by name; a ``Batch`` of the events of a slice (a
        view of this one's memory), a boolean mask or an array of indices
        (copies)."""
        if isinstance(key, str):
            return _column(self.columns, key, "b")
        return select(self, key)

    def __repr__(self) -> str:
        held = "no samples" if self.samples is None else f"samples {len(self.samples)}"
        if getattr(self, "_events", None) is not None:
            return f"<vorn_columns.Batch {self.layout} {len(self)} chosen events {held}>"
        return (f"<vorn_columns.Batch {self.layout} events {self.first}.."
                f"{self.first + len(self)} {held}>")

    def waveforms(self) -> np.ndarray:
        """The samples as ``(n, samples)`` (WD1) or ``(n, channels, samples)``
        (WD2), a view without copying; every event must have as many samples."""
        self._samples_kept("waveforms()")
        counts = np.diff(self.offsets)
        per_event = int(counts[0]) if len(counts) else 0
        differ = np.flatnonzero(counts != per_event)
        if len(differ):
            i = int(differ[0])
            numbers = self.events
            raise ValueError(
                f"event {numbers[i]} has {int(counts[i])} samples where event {numbers[0]} "
                f"has {per_event}: waveforms() needs one sample count for the whole batch")
        if DESCRIPTIONS[self.layout].channel_field is None:
            return self.samples.reshape(len(self), per_event)
        channels = max(self.channels, 1)
        if per_event % channels:
            # A block whose size wrapped around holds no whole samples per channel.
            raise ValueError(
                f"event {self.events[0]} has {per_event} samples, not a whole number for each of "
                f"{channels} channels")
        return self.samples.reshape(len(self), channels, per_event // channels)

    def to_pandas(self, *, samples: bool = True) -> "pandas.DataFrame":
        """The batch as a pandas DataFrame indexed by event number in its file:
        the header columns, its features (those of a WD2 file of several
        channels as Arrow fixed-size lists, through pyarrow) and, with
        ``samples`` and where the batch holds them, each event's samples as a
        list column ``"data"`` (Arrow ``large_list`` through pyarrow). Needs
        pandas, and pyarrow for list columns. ``pd.DataFrame(batch)`` is not
        the way: pandas takes any iterable as rows, and a batch iterates its
        names."""
        samples = samples and self.samples is not None
        lists = [name for name, column in self.columns.items() if column.ndim > 1]
        try:
            import pandas as pd
            if samples or lists:
                import pyarrow as pa
        except ImportError as e:
            how = ("pip install 'vorn[arrow]', or pass samples=False" if e.name == "pyarrow"
                   else "pip install pandas")
            raise ImportError(f"Batch.to_pandas() needs {e.name}: {how}", name=e.name) from e
        columns: Dict[str, Any] = dict(self.columns)
        if samples or lists:
            exported = pa.record_batch(self)
            for name in lists + (["data"] if samples else []):
                columns[name] = pd.arrays.ArrowExtensionArray(exported.column(name))
        chosen = getattr(self, "_events", None)
        index = (pd.RangeIndex(self.first, self.first + len(self), name="event") if chosen is None
                 else pd.Index(chosen, name="event"))
        return pd.DataFrame(columns, index=index, copy=False)

    def event(self, i: int) -> Dict[str, Any]:
        """Event ``i`` of the batch as the dict ``vorn.EventReader`` yields
        for it; ``"data"`` shares memory with the batch."""
        n = len(self)
        i = operator.index(i)
        if i < 0:
            i += n
        if not 0 <= i < n:
            raise IndexError(f"event {i} is outside a batch of {n} events")
        self._samples_kept("event()")
        out: Dict[str, Any] = {name: int(self.columns[name][i]) for name in FIELDS[self.layout]}
        out["data"] = self.samples[self.offsets[i]:self.offsets[i + 1]]
        return out

    def __arrow_c_schema__(self) -> Any:
        """The Arrow schema of the batch, as an "arrow_schema" PyCapsule."""
        return schema_capsule(self.layout, self.channels, tuple(self.columns),
                              self.samples is not None)

    def __arrow_c_array__(self, requested_schema: Any = None) -> Tuple[Any, Any]:
        """The batch as an Arrow record batch over its own memory (see
        ``vorn_columns.arrow``): "arrow_schema" and "arrow_array" PyCapsules."""
        return array_capsules(self, requested_schema)

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """The batch as an Arrow stream of one record batch, an
        "arrow_array_stream" PyCapsule; each call makes a new stream of it."""
        return batch_stream_capsule(self, requested_schema)


def _view(batch: Batch, key: slice) -> Batch:
    start, stop, step = key.indices(len(batch))
    if step != 1:
        raise ValueError(f"a Batch is sliced in steps of 1, not {step}")
    stop = max(start, stop)
    samples, offsets = batch.samples, batch.offsets
    if offsets is not None:
        low, high = int(offsets[start]), int(offsets[stop])
        offsets = offsets[start:stop + 1] - low
        offsets.setflags(write=False)
        samples = samples[low:high]
    columns = {name: column[start:stop] for name, column in batch.columns.items()}
    chosen = getattr(batch, "_events", None)
    first = batch.first + start if chosen is None else (
        int(chosen[start]) if stop > start else 0)
    return Batch(batch.layout, first, batch.channels, columns, samples, offsets,
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
    samples, offsets = (None, None) if batch.offsets is None else _gather(batch, rows)
    numbers.setflags(write=False)
    columns = {name: column[rows] for name, column in batch.columns.items()}
    return Batch(batch.layout, int(numbers[0]) if len(numbers) else 0, batch.channels, columns,
                 samples, offsets, numbers)


if TYPE_CHECKING:
    # What a batch of a known layout holds, for type checkers only (as
    # vorn's WD1Event): read(path, "WD1") is a WD1Batch, and so on. Import
    # them under `if TYPE_CHECKING:`.
    class WD1Columns(TypedDict):
        event_size: npt.NDArray[np.int32]
        board_id: npt.NDArray[np.int32]
        pattern: npt.NDArray[np.int32]
        board_channel: npt.NDArray[np.int32]
        event_counter: npt.NDArray[np.int32]
        timestamp: npt.NDArray[np.int32]

    class WD2Columns(TypedDict):
        event_counter: npt.NDArray[np.uint32]
        timestamp: npt.NDArray[np.uint64]
        samples: npt.NDArray[np.uint32]
        sampling_period: npt.NDArray[np.uint64]
        channels: npt.NDArray[np.int32]

    class WD1Batch(Batch):
        layout: Literal["WD1"]
        columns: WD1Columns  # type: ignore[assignment]
        samples: npt.NDArray[np.uint16]
        offsets: npt.NDArray[np.int64]
        def waveforms(self) -> npt.NDArray[np.uint16]: ...

    class WD2Batch(Batch):
        layout: Literal["WD2"]
        columns: WD2Columns  # type: ignore[assignment]
        samples: npt.NDArray[np.float32]
        offsets: npt.NDArray[np.int64]
        def waveforms(self) -> npt.NDArray[np.float32]: ...
