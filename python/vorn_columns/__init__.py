"""WD1 and WD2 event files as NumPy columns, many events at a time.

Each batch holds one array per header field, every event's samples one after
another in one array, and the offsets that split them. The events are exactly
those that ``vorn.EventReader`` yields for the same file.
"""
from __future__ import annotations

import functools
import importlib.metadata
import io
import operator
import os
import time
from typing import (IO, TYPE_CHECKING, Any, Dict, ItemsView, Iterable, Iterator, KeysView, List,
                    Literal, NoReturn, Optional, Sequence, Tuple, TypedDict, Union, ValuesView,
                    cast, overload)

import numpy as np

from . import _detect, _native, _remote, _sources
from ._layouts import DESCRIPTIONS, FIELDS, LONGEST_HEADER
from ._sources import CorruptStreamError

if TYPE_CHECKING:
    import dask.dataframe
    import numpy.typing as npt
    import pandas
    import polars

__all__ = ["Batch", "BatchIterator", "CorruptRecordError", "CorruptStreamError", "Index",
           "StaleIndexError", "detect_layout", "follow", "iter_batches", "read",
           "release_memory", "scan", "scan_polars", "take", "to_dask"]

try:
    __version__ = importlib.metadata.version("vorn")
except importlib.metadata.PackageNotFoundError:  # imported from a tree, not installed
    __version__ = "unknown"

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# A layout's name: exactly "WD1" or "WD2".
Layout = Literal["WD1", "WD2"]
# A path, or a binary file object (anything with readinto1, read1, readinto or read).
Source = Union[PathLike, IO[bytes], io.RawIOBase, io.BufferedIOBase]

_UNLIMITED = 2**64 - 1
_MOST = 2**63 - 1  # the largest max_events and max_bytes


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


class Batch:
    """Events of a file, as columns: ``[first, first + len(batch))``, or the
    events a selection chose (``events``). Its header columns can be used as
    a mapping (``keys()``, ``items()``, ``name in batch``); ``len(batch)`` is
    its number of events."""

    # _events: the event numbers of a batch that was chosen, not read as a
    # range; left unset (read back as None) for a contiguous one. _native:
    # the native batch that a batch read from a file holds, from which its
    # arrays were made (and its Arrow arrays are made); unset for one made
    # here.
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
        return len(self.offsets) - 1

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
        from . import _take
        return _take.select(self, key)

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

    def __repr__(self) -> str:
        if getattr(self, "_events", None) is not None:
            return (f"<vorn_columns.Batch {self.layout} {len(self)} chosen events "
                    f"samples {len(self.samples)}>")
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
        the header columns, and with ``samples`` each event's samples as a list
        column ``"data"`` (Arrow ``large_list`` through pyarrow). Needs pandas,
        and pyarrow for the samples. ``pd.DataFrame(batch)`` is not the way:
        pandas takes any iterable as rows, and a batch iterates its names."""
        try:
            import pandas as pd
            if samples:
                import pyarrow as pa
        except ImportError as e:
            how = ("pip install 'vorn[arrow]', or pass samples=False" if e.name == "pyarrow"
                   else "pip install pandas")
            raise ImportError(f"Batch.to_pandas() needs {e.name}: {how}", name=e.name) from e
        columns: Dict[str, Any] = dict(self.columns)
        if samples:
            columns["data"] = pd.arrays.ArrowExtensionArray(pa.record_batch(self).column("data"))
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

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """The batch as an Arrow stream of one record batch, an
        "arrow_array_stream" PyCapsule; each call makes a new stream of it."""
        from . import arrow
        return arrow.batch_stream_capsule(self, requested_schema)


class Index:
    """Where each record of a file starts, and its header values, without
    its samples. ``positions`` has ``len(index) + 1`` entries: the last is the
    end of the last complete record. ``inode`` and ``size`` are the file's at
    the scan (None: not known); for an object behind a URL, ``tag`` is its
    ETag or modification time ("" where the filesystem gives neither).
    ``codec`` is the compression the scan found (None: plain), whose
    decompressed bytes the positions count. A read that seeks with the index
    first checks that the file is the same one, no shorter, and that the
    record found at the position has the index's header values; else it
    raises ``StaleIndexError``."""

    __slots__ = ("layout", "channels", "columns", "positions", "inode", "size", "tag", "codec")

    def __init__(self, layout: str, channels: int, columns: Dict[str, np.ndarray],
                 positions: np.ndarray, *, inode: Optional[int] = None,
                 size: Optional[int] = None, tag: str = "", codec: Optional[str] = None) -> None:
        self._set(layout, channels, columns, positions, inode, size, tag, codec, owned=False)

    def _set(self, layout: str, channels: int, columns: Dict[str, np.ndarray], positions: Any,
             inode: Optional[int], size: Optional[int], tag: str = "",
             codec: Optional[str] = None, *, owned: bool) -> None:
        """Checks what is cheap to check. Positions become read-only: an array
        the index does not own (`owned` False) is copied first if writeable."""
        self.layout = _layout(layout)
        p = np.asarray(positions)
        if p.dtype.kind not in "iu" or p.ndim != 1:
            raise TypeError(f"positions must be a one-dimensional integer array, not {p.dtype} "
                            f"of {p.ndim} dimensions")
        if p.dtype != np.int64 or (p.flags.writeable and not owned):
            p = p.astype(np.int64)
        p.flags.writeable = False
        if not len(p) or p[0] != 0 or bool(np.any(p[1:] < p[:-1])):
            raise ValueError("positions must start at 0 and never decrease")
        if set(columns) != set(FIELDS[layout]) or any(
                len(c) != len(p) - 1 for c in columns.values()):
            raise ValueError(f"columns must be the {layout} fields {', '.join(FIELDS[layout])}, "
                             f"each of len(positions) - 1 = {len(p) - 1} values")
        self.channels = operator.index(channels)
        self.columns = columns
        self.positions = p
        self.inode = inode
        self.size = size
        self.tag = tag
        self.codec = codec

    def __len__(self) -> int:
        return len(self.positions) - 1

    def __getitem__(self, name: str) -> np.ndarray:
        return _column(self.columns, name, "ix")

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

    def __repr__(self) -> str:
        return f"<vorn_columns.Index {self.layout} events {len(self)}>"

    def __getstate__(self) -> Tuple[Any, ...]:
        return (self.layout, self.channels, self.columns, self.positions, self.inode, self.size,
                self.tag, self.codec)

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        # Unpickled arrays are writeable: the positions, the index's own,
        # become read-only again in place.
        self._set(*state, owned=True)

    def _header(self, event: int) -> Tuple[int, ...]:
        """The header values of `event` as the scan found them."""
        return tuple(int(self.columns[name][event]) for name in FIELDS[self.layout])


class _FileMark:
    """What an index knows of its file besides the header values: enough to
    check a file before seeking to one of its positions."""

    def __init__(self, index: Index) -> None:
        self.layout = index.layout
        self.channels = index.channels
        self.inode = index.inode
        self.size = index.size
        self.tag = index.tag
        self.codec = index.codec
        self.positions = index.positions


_LAYOUT_NAMES = " or ".join(", ".join(repr(n) for n in FIELDS).rsplit(", ", 1))


def _layout(layout: Any) -> Layout:
    if type(layout) is not str or layout not in FIELDS:
        raise ValueError(f"layout must be {_LAYOUT_NAMES}, not {layout!r}")
    return cast(Layout, layout)


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


def _open(source: Source, layout: str, compression: Any,
          storage_options: Any) -> Tuple[_native.Decoder, _sources.Input]:
    opened = _sources.open_input(source, compression, storage_options)
    return _native.Decoder(opened.native, layout, opened.filename), opened


def _open_range(url: str, layout: str, start: int, stop: int, mark: Union[Index, _FileMark],
                storage_options: Any) -> Tuple[_native.Decoder, _sources.Input]:
    """A decoder of the object at `url` that holds the bytes of events [start, stop), as far
    as the index knows them, fetched with one request once the object's size and ETag are
    found to be the index's. The channel count comes from the index: the WD2 probe would
    read the object's first bytes."""
    known = len(mark.positions) - 1
    vouching = min(start, known - 1)  # the event whose header the read checks first
    begin = int(mark.positions[vouching]) if known else 0
    last = max(stop, vouching + 1)
    end = int(mark.positions[last]) if known and last <= known else None
    fs, inside = _remote.filesystem(url, storage_options)
    now = _remote.identity(fs, inside, url)
    reason = _remote.changed(_remote.Identity(mark.size or 0, mark.tag), now)
    if reason is not None:
        raise _stale(url, reason)
    opened = _sources.Input(_remote.range_file(fs, inside, url, now, begin, end), url, None, True, 0)
    opened.remote = now
    return _native.Decoder(opened.native, layout, url, mark.channels), opened


def _other_layout(filename: Any, layout: str) -> Optional[str]:
    """The other layout where the file named `filename` reads as it, else None."""
    if not isinstance(filename, (str, bytes)) or not os.path.isfile(filename):
        return None
    try:
        found = detect_layout(filename)
    except (OSError, ValueError):
        return None
    return found if found != layout else None


def _verdicts(source: Any, compression: Any, storage_options: Any) -> Tuple[
        str, List[Tuple[str, _detect.Verdict]]]:
    """(the input's name, each layout's verdict on its first records). Input that cannot seek
    is read once, up to the first MiB and a header, and what was read is given back to the
    reader that follows; a file object that can seek is put back where it stood."""
    start: Optional[int] = None  # where a file object that can seek stood
    if _sources.is_file_object(source) and not _sources.can_seek(source):
        if not _sources.can_give_back(source):
            raise TypeError(f"cannot detect the layout of a {type(source).__name__}: it cannot "
                            "seek, and what detection read could not be given back to the next "
                            "reader (it cannot be referred to weakly); give the layout, or pass "
                            "a file object that can seek")
        recording = _sources.Recording(_sources.Replayed(source, _sources.take_given_back(source)))
        try:
            opened = _sources.open_input(recording, compression, storage_options)
            head = _read_up_to(opened.native, _detect.SPAN + LONGEST_HEADER)
        finally:
            _sources.give_back(source, bytes(recording.recorded))
        name = getattr(source, "name", None)
        filename = name if isinstance(name, (str, bytes)) else opened.filename

        def reopen() -> Any:
            return io.BytesIO(head)
    else:
        if _sources.is_file_object(source):
            start = int(source.tell())
        opened = _sources.open_input(source, compression, storage_options)
        filename = opened.filename

        def reopen() -> Any:
            if start is not None:
                source.seek(start)
                if opened.native is source:
                    return source
            return _sources.open_input(source, compression, storage_options).native
    verdicts = []
    for layout in FIELDS:
        decoder = _native.Decoder(reopen(), layout, filename)

        def scan_first(count: int, decoder: Any = decoder) -> Tuple[
                Dict[str, np.ndarray], np.ndarray, bool]:
            scanned = decoder.scan(0, count, True)
            if scanned.outcome == "error":
                scanned.raise_outcome("")
            return scanned.columns, scanned.positions, scanned.outcome == "corrupt"
        verdicts.append((layout, _detect.verdict(layout, scan_first)))
    if start is not None:
        source.seek(start)
    return os.fsdecode(filename), verdicts


def _read_up_to(f: Any, n: int) -> bytes:
    out = bytearray()
    while len(out) < n:
        chunk = f.read(n - len(out))
        if not chunk:
            break
        out += chunk
    return bytes(out)


def detect_layout(source: Source, *, storage_options: Optional[Dict[str, Any]] = None,
                  compression: Optional[str] = "auto") -> Layout:
    """"WD1" or "WD2": the layout whose records the input's first records fit as a recording's
    do. Up to 16 headers within the first MiB are read as each layout (blocks are stepped over
    where the input can seek): they must chain exactly, each record ending where the next
    header begins (a last record cut by the end of the input fits), and agree (WD1: every
    event_size at least 24; WD2: the same samples, sampling_period and channel word), with
    event_counter increasing. Raises ValueError saying why when neither layout fits, when both
    do, or when the input is too short to tell. Input that cannot seek is given back what was
    read, so that the next function reading it starts at its first byte."""
    name, verdicts = _verdicts(source, compression, storage_options)
    return cast(Layout, _detect.decide(name, verdicts))


# The native decoder makes Batch objects, and raises the package's errors
# with the other-layout advice for a first record that cannot be read.
_native.register(Batch, CorruptRecordError, StaleIndexError, _other_layout)


def _skip(decoder: _native.Decoder, count: int, first: int, how: str) -> int:
    """Steps over up to `count` records from event `first`, headers only;
    returns how many."""
    skipped = decoder.scan(first, min(count, _UNLIMITED), False)
    skipped.raise_outcome(how)
    return len(skipped)


@overload
def read(path: Source, layout: Literal["WD1"], *, start: int = ..., stop: Optional[int] = ...,
         index: Optional[Index] = ..., storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> WD1Batch: ...
@overload
def read(path: Source, layout: Literal["WD2"], *, start: int = ..., stop: Optional[int] = ...,
         index: Optional[Index] = ..., storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> WD2Batch: ...
@overload
def read(path: Source, layout: Layout, *, start: int = ..., stop: Optional[int] = ...,
         index: Optional[Index] = ..., storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> Batch: ...


def read(path: Source, layout: Layout, *, start: int = 0, stop: Optional[int] = None,
         index: Optional[Index] = None, storage_options: Optional[Dict[str, Any]] = None,
         compression: Optional[str] = "auto") -> Batch:
    """Events ``[start, stop)`` of the file as one batch (``stop=None``: to
    the end). With an ``index`` from ``scan``, reading seeks straight to
    ``start`` instead of stepping over the records before it, once the file
    is found to be the one the index describes (else ``StaleIndexError``).
    Input that cannot seek, compressed input among it, is read forward to
    ``start``.

    The batch's memory, once nothing uses it any more, is kept for the next
    ``read`` or ``take`` in the process, as an allocator keeps freed blocks
    (see ``release_memory``)."""
    layout = _layout(layout)
    start = _count(start, "start")
    stop = _count(stop, "stop", none=_UNLIMITED)
    if index is not None and not isinstance(index, Index):
        raise TypeError(f"index must be a vorn_columns.Index, not {type(index).__name__}")
    first = None
    if index is not None and len(index):
        first = index._header(min(start, len(index) - 1))
    return _read(path, layout, start, stop, index, first, compression, storage_options)


def release_memory() -> int:
    """Frees the memory kept from dropped batches for later reads, and
    returns how many bytes it was. The memory of the last four batches of
    ``read`` and ``take`` dropped (and of finished iterators' pools) is kept,
    1 GiB at most, so that a loop over files reads into memory whose pages are
    touched already; what has not been reused for 10 seconds is freed at a
    later call (there is no thread of its own). Memory under an array, a view
    or an Arrow export is never kept or freed while that lives. The scratch
    memory that reads in parts keep for the next (256 KiB a thread) is freed
    and counted too."""
    return _native.release_memory()


def _read(path: Source, layout: str, start: int, stop: int, mark: Union[Index, _FileMark, None],
          first: Optional[Tuple[int, ...]], compression: Any = "auto",
          storage_options: Any = None) -> Batch:
    """read() once its arguments are checked. `mark` is the index to seek
    with, `first` the header values it holds for event min(start, len - 1)."""
    if (mark is not None and _remote.is_url(path) and mark.codec is None
            and compression in ("auto", None)):
        assert isinstance(path, str)
        decoder, opened = _open_range(path, layout, start, stop, mark, storage_options)
    else:
        decoder, opened = _open(path, layout, compression, storage_options)
    filename = opened.filename
    how = "read(path, layout, stop={index}) reads the events before it"
    if mark is not None:
        at = _seek(decoder, filename, layout, start, mark, first, how)
    else:
        at = _skip(decoder, start, 0, how) if start else 0
    wanted = min(max(stop - start, 0), _UNLIMITED) if at == start else 0
    read = decoder.decode(min(start, _UNLIMITED), wanted, _UNLIMITED)
    if mark is not None and start < len(mark.positions) - 1:
        _vouch_batch(decoder, filename, start, stop, mark, first, read, how)
    read.raise_outcome(how)  # letting go of the partial batch, which the traceback would keep
    batch = read.batch()
    batch.first = start  # an empty batch may start past the native count's 2**64 - 1
    return batch


def _stale(filename: Any, reason: str) -> StaleIndexError:
    return StaleIndexError(f"{os.fsdecode(filename)}: the index no longer describes this file: "
                           f"{reason}; scan it again", filename=filename, reason=reason)


def _check_file(decoder: _native.Decoder, filename: Any, layout: str,
                mark: Union[Index, _FileMark]) -> None:
    """Raises StaleIndexError unless the open file is the one the index
    describes, read as the same layout, and no shorter than at the scan."""
    if mark.layout != layout:
        raise _stale(filename, f"another layout: the index is of a {mark.layout} file, not "
                               f"{layout}")
    if decoder.channels != mark.channels:
        raise _stale(filename, f"another channel count: {decoder.channels}, where the index has "
                               f"{mark.channels}")
    inode, size = decoder.identity()
    if mark.inode is not None and inode is not None and inode != mark.inode:
        raise _stale(filename, f"another file (inode {inode}, where the index has {mark.inode})")
    if mark.size is not None and size is not None and size < mark.size:
        raise _stale(filename, f"the file shrank from {mark.size} to {size} bytes")


def _seek(decoder: _native.Decoder, filename: Any, layout: str, start: int,
          mark: Union[Index, _FileMark], first: Optional[Tuple[int, ...]], how: str) -> int:
    """Moves `decoder` to event `start` by the index's positions; returns the
    event reached (fewer than `start` where the file ends first). Past the
    index's last event, that event's header vouches for its position, and the
    walk steps on from its end as the file now has it."""
    _check_file(decoder, filename, layout, mark)
    known = len(mark.positions) - 1
    if start < known:
        decoder.seek(int(mark.positions[start]))
        return start
    if known == 0:
        return _skip(decoder, start, 0, how) if start else 0
    last = int(mark.positions[known - 1])
    decoder.seek(last)
    _vouch(filename, known - 1, last, first, _header_at(decoder, known - 1, how))
    return known + _skip(decoder, start - known, known, how)


def _vouch_batch(decoder: _native.Decoder, filename: Any, start: int, stop: int,
                 mark: Union[Index, _FileMark], first: Optional[Tuple[int, ...]],
                 read: _native.NativeBatch, how: str) -> None:
    """Checks a batch read from the index's position of event `start`: its
    first header is the index's, it holds every event of the range that the
    index knows, and where the index knows the whole range, the last event
    ends where the index says, so that batches of adjacent ranges (Dask
    partitions) neither overlap nor leave a gap. An input error is left for
    the caller to raise."""
    count = len(read)
    if read.outcome == "error" and not count:
        return
    position = int(mark.positions[start])
    if count:
        found: Optional[Tuple[int, ...]] = tuple(int(c[0]) for c in read.columns.values())
    else:
        decoder.seek(position)
        found = _header_at(decoder, start, how)
    _vouch(filename, start, position, first, found)
    end = min(stop, len(mark.positions) - 1)
    if read.outcome == "error" or end <= start:
        return
    if count < end - start or (end == stop and decoder.position != int(mark.positions[end])):
        raise _stale(filename, f"events {start} to {end - 1} no longer end at byte offset "
                               f"{int(mark.positions[end])}")


def _vouch(filename: Any, event: int, position: int, first: Optional[Tuple[int, ...]],
           found: Optional[Tuple[int, ...]]) -> None:
    if found is None or found != first:
        raise _stale(filename, f"event {event}'s header differs from the index's (byte offset "
                               f"{position})")


def _header_at(decoder: _native.Decoder, event: int, how: str) -> Optional[Tuple[int, ...]]:
    """The header values of the record of event `event` at the decoder's
    position, which then stands after it; None where no complete record can
    be read there."""
    found = decoder.scan(event, 1, True)
    if len(found):
        return tuple(int(c[0]) for c in found.columns.values())
    if found.outcome == "error":
        found.raise_outcome(how)
    return None


def scan(path: Source, layout: Layout, *, storage_options: Optional[Dict[str, Any]] = None,
         compression: Optional[str] = "auto") -> Index:
    """The positions and header values of every complete record, read
    without the samples (large sample blocks are stepped over by a seek
    where the input can seek)."""
    layout = _layout(layout)
    decoder, opened = _open(path, layout, compression, storage_options)
    return _index(decoder, opened, layout)


def _index(decoder: _native.Decoder, opened: _sources.Input, layout: str) -> Index:
    """scan() once the input is open."""
    scanned = decoder.scan(0, _UNLIMITED, True)
    scanned.raise_outcome("the index would end before it")  # letting go of the partial index
    inode, size = decoder.identity()
    tag = ""
    if opened.remote is not None:
        size, tag = opened.remote
    return Index(layout, decoder.channels, scanned.columns, scanned.positions, inode=inode,
                 size=size, tag=tag, codec=opened.codec)


class BatchIterator:
    """Batches of a file in order. After the end it can be iterated again and
    then yields the records appended since; a record cut short by the end of
    the file is left for a later pass."""

    def __init__(self, path: Source, layout: Layout, *, max_events: Optional[int] = None,
                 max_bytes: int = 4 << 20, start: int = 0, stop: Optional[int] = None,
                 storage_options: Optional[Dict[str, Any]] = None,
                 compression: Optional[str] = "auto") -> None:
        self.layout = _layout(layout)
        max_events, max_bytes = _limits(max_events, max_bytes)
        start = _count(start, "start")
        stop = _count(stop, "stop", none=_UNLIMITED)
        self._decoder, self.input = _open(path, self.layout, compression, storage_options)
        self.filename = self.input.filename
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
        return arrow.stream_capsule(self._decoder, requested_schema)

    def __next__(self) -> Batch:
        # One native call steps over records, decodes, counts and makes the
        # batch, holding the decoder throughout: no Python code runs between
        # consuming records and handing them out, and a second thread meets
        # RuntimeError. An error met after some events is raised next time.
        return self._decoder.next_batch()

    def close(self) -> None:
        """Closes what vorn opened for the iterator (the file of a path, a
        decompressor over it), never a file object it was given; batches
        already handed out stay valid. Closing again does nothing; next()
        then raises ValueError."""
        decoder, self._decoder = self._decoder, _CLOSED
        if decoder is not _CLOSED and isinstance(self.input.native, (_sources.Decompressed,
                                                                      _sources.Descriptor)):
            self.input.native.close()  # closes the file under it only where vorn opened it
        del decoder  # the file of a path closes with the last reference to its decoder

    def __enter__(self) -> "BatchIterator":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


class _ClosedDecoder:
    """What a closed BatchIterator reads through: every use is a ValueError."""

    def _closed(self, *args: Any) -> NoReturn:
        raise ValueError("I/O operation on a closed reader")

    next_batch = stream = _closed

    @property
    def position(self) -> int:
        self._closed()

    @property
    def channels(self) -> int:
        self._closed()


_CLOSED: Any = _ClosedDecoder()


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

    class WD1BatchIterator(BatchIterator):
        def __iter__(self) -> WD1BatchIterator: ...
        def __next__(self) -> WD1Batch: ...
        def __enter__(self) -> WD1BatchIterator: ...

    class WD2BatchIterator(BatchIterator):
        def __iter__(self) -> WD2BatchIterator: ...
        def __next__(self) -> WD2Batch: ...
        def __enter__(self) -> WD2BatchIterator: ...


@overload
def iter_batches(path: Source, layout: Literal["WD1"], *, max_events: Optional[int] = ...,
                 max_bytes: int = ..., start: int = ..., stop: Optional[int] = ...,
                 storage_options: Optional[Dict[str, Any]] = ...,
                 compression: Optional[str] = ...) -> WD1BatchIterator: ...
@overload
def iter_batches(path: Source, layout: Literal["WD2"], *, max_events: Optional[int] = ...,
                 max_bytes: int = ..., start: int = ..., stop: Optional[int] = ...,
                 storage_options: Optional[Dict[str, Any]] = ...,
                 compression: Optional[str] = ...) -> WD2BatchIterator: ...
@overload
def iter_batches(path: Source, layout: Layout, *, max_events: Optional[int] = ...,
                 max_bytes: int = ..., start: int = ..., stop: Optional[int] = ...,
                 storage_options: Optional[Dict[str, Any]] = ...,
                 compression: Optional[str] = ...) -> BatchIterator: ...


def iter_batches(path: Source, layout: Layout, *, max_events: Optional[int] = None,
                 max_bytes: int = 4 << 20, start: int = 0, stop: Optional[int] = None,
                 storage_options: Optional[Dict[str, Any]] = None,
                 compression: Optional[str] = "auto") -> BatchIterator:
    """Batches of events ``[start, stop)`` that never split an event: each
    ends at ``max_events`` events or before the event that would take its
    file bytes past ``max_bytes``, and holds at least one event."""
    return BatchIterator(path, layout, max_events=max_events, max_bytes=max_bytes, start=start,
                         stop=stop, storage_options=storage_options, compression=compression)


@overload
def follow(path: Source, layout: Literal["WD1"], *, max_events: Optional[int] = ...,
           max_bytes: int = ..., poll: float = ..., idle_timeout: Optional[float] = ...,
           storage_options: Optional[Dict[str, Any]] = ...,
           compression: Optional[str] = ...) -> Iterator[WD1Batch]: ...
@overload
def follow(path: Source, layout: Literal["WD2"], *, max_events: Optional[int] = ...,
           max_bytes: int = ..., poll: float = ..., idle_timeout: Optional[float] = ...,
           storage_options: Optional[Dict[str, Any]] = ...,
           compression: Optional[str] = ...) -> Iterator[WD2Batch]: ...
@overload
def follow(path: Source, layout: Layout, *, max_events: Optional[int] = ...,
           max_bytes: int = ..., poll: float = ..., idle_timeout: Optional[float] = ...,
           storage_options: Optional[Dict[str, Any]] = ...,
           compression: Optional[str] = ...) -> Iterator[Batch]: ...


def follow(path: Source, layout: Layout, *, max_events: Optional[int] = None,
           max_bytes: int = 4 << 20, poll: float = 0.5, idle_timeout: Optional[float] = None,
           storage_options: Optional[Dict[str, Any]] = None,
           compression: Optional[str] = "auto") -> Iterator[Batch]:
    """Batches of a file that is being written, as its records arrive; ends
    after ``idle_timeout`` seconds without a new record (``None``: never).
    A path or a file object that can seek; not compressed input, nor a URL."""
    _remote.refuse_url(path, "follow")
    if poll < 0:
        raise ValueError(f"poll must not be negative, not {poll}")
    batches = iter_batches(path, layout, max_events=max_events, max_bytes=max_bytes,
                           storage_options=storage_options, compression=compression)
    name = os.fsdecode(batches.filename)
    if batches.input.codec is not None:
        raise ValueError(f"cannot follow {name}: it is {batches.input.codec}-compressed, and a "
                         "compressed stream is read once, to its end; use iter_batches")
    if not batches.input.seekable:
        raise ValueError(f"cannot follow {name}: a file object that cannot seek (a pipe) has "
                         "no end to wait at; use iter_batches, which reads it as it arrives")
    return _follow(batches, poll, idle_timeout)


def _follow(batches: BatchIterator, poll: float, idle_timeout: Optional[float]) -> Iterator[Batch]:
    last = time.monotonic()
    while True:
        for batch in batches:
            last = time.monotonic()
            yield batch
        if idle_timeout is not None and time.monotonic() - last >= idle_timeout:
            return
        time.sleep(poll)


def to_dask(paths: Union[Source, Iterable[Source]], layout: Layout, *,
            events_per_partition: int = 100_000,
            storage_options: Optional[Dict[str, Any]] = None,
            compression: Optional[str] = "auto") -> "dask.dataframe.DataFrame":
    """The events of the files as a lazy ``dask.dataframe.DataFrame``, one
    partition per ``events_per_partition`` events of a file, read by the
    worker that computes it; ``"data"`` is an Arrow large_list column. A
    source may be a URL (``s3://...``, ``https://...``) or a glob pattern,
    local or remote. Needs the ``dask`` extra (``pip install 'vorn[dask]'``)."""
    from . import _dask
    frame: "dask.dataframe.DataFrame" = _dask.to_dask(paths, layout, events_per_partition=events_per_partition,
                         storage_options=storage_options, compression=compression)
    return frame


def scan_polars(sources: Union[Source, Iterable[Source]], layout: Layout, *,
                storage_options: Optional[Dict[str, Any]] = None,
                compression: Optional[str] = "auto") -> "polars.LazyFrame":
    """The events of one file, of a list of files or of a glob (a ``str``
    that names no file but holds ``*``, ``?`` or ``[``, local or remote) as
    a ``polars.LazyFrame`` whose queries read only what they need: without
    ``data``, the headers alone; with a filter on header columns, the
    samples of the events that pass; no further than a limit. Its columns
    are the header fields, ``data`` (each event's samples, a list) and, for
    a list or a glob, ``file`` (the source as given, or the name the glob
    matched). Needs the ``polars`` extra (``pip install 'vorn[polars]'``)."""
    from . import _polars
    return _polars.scan_polars(sources, layout, storage_options=storage_options,
                               compression=compression)


from ._take import take  # noqa: E402  (it builds on the names above)
