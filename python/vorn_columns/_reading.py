"""Reading event files: a source opened in one trip, the layout given (and confirmed) or found,
an index's positions sought and vouched for, and the functions that read: read, scan,
iter_batches, follow and detect_layout."""
from __future__ import annotations

import io
import os
import time
from typing import (TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Literal, NoReturn,
                    Optional, Tuple, Union, cast, overload)

import numpy as np

from . import _args, _detect, _native, _remote, _sidecar, _sources
from ._args import UNLIMITED, Layout, Source
from ._batch import Batch
from ._index import FileMark, Index
from ._errors import CorruptRecordError, StaleIndexError, stale
from ._layouts import FIELDS, LONGEST_HEADER
from ._sidecar import IndexArg
from .arrow import stream_capsule

if TYPE_CHECKING:
    from ._batch import WD1Batch, WD2Batch
    from ._features import Features

# The bytes detection reads of input that cannot be read again: the records whose header starts
# in the span it looks at, and a header past it.
_LOOK = _detect.SPAN + LONGEST_HEADER


def open_source(source: Source, compression: Any = "auto", storage_options: Any = None,
                index: Union[Index, FileMark, None] = None,
                events: Tuple[int, int] = (0, UNLIMITED)) -> _sources.Input:
    """`source` opened for reading in one trip: the object behind a URL found (_remote), then
    its bytes opened and their codec found by the first of them (_sources). With an `index` of
    a plain object behind a URL, only the bytes of events [start, stop) of `events` are fetched,
    with one request, once the object's size and ETag are found to be the index's
    (StaleIndexError), and the channel count is the index's: the WD2 probe would read the
    object's first bytes. An Input given is itself."""
    if isinstance(source, _sources.Input):
        return source
    span = known = None
    if index is not None and index.codec is None and compression in ("auto", None):
        span, known = _span(index, *events), (index.size or 0, index.tag)
    found = _remote.resolve(source, storage_options, span, known)
    ranged = span is not None and found.identity is not None
    return _sources.open_input(found.file, None if ranged else compression, found.identity,
                               index.channels if ranged and index is not None else None)


def _span(index: Union[Index, FileMark], start: int, stop: int) -> Tuple[int, Optional[int]]:
    """The bytes of events [start, stop) as far as the index knows them, from the event whose
    header a read checks first; None: to the end."""
    known = len(index.positions) - 1
    vouching = min(start, known - 1)
    begin = int(index.positions[vouching]) if known else 0
    last = max(stop, vouching + 1)
    return begin, int(index.positions[last]) if known and last <= known else None


def decoder_of(opened: _sources.Input, layout: str) -> _native.Decoder:
    if opened.channels is None:
        return _native.Decoder(opened.native, layout, opened.filename)
    return _native.Decoder(opened.native, layout, opened.filename, opened.channels)


def layout_of(opened: _sources.Input, layout: Optional[str], name: Optional[str] = None) -> Layout:
    """The layout given (checked), or the one the input's first records fit (detect_layout's
    rule; ValueError names the input `name`, else its own), the input then standing at its
    start again for the reader."""
    if layout is not None:
        return _args.layout(layout)
    again, _ = _again(opened) or ((lambda: opened.native), None)  # a pipe named by its path
    found = _detect.decide(name or os.fsdecode(opened.filename),
                           _detect.verdicts(opened.filename, again))
    again()
    return cast(Layout, found)


def _again(opened: _sources.Input, look: bool = True) -> Optional[Tuple[Callable[[], Any],
                                                                         Optional[int]]]:
    """What reads `opened` from its start again, each call, without opening it again, and the
    input's length where known: the input itself, sought back, or (with `look`) where it cannot
    be read again, its first bytes, read into memory and put back in front of what the reader
    reads next (its length known where it ended within them). None where neither can be."""
    if opened.rewound() is not None:
        return opened.rewound, opened.length()
    if isinstance(opened.native, bytes) or not look:
        return None
    head = _read_up_to(opened.native, _LOOK)
    opened.native = _sources.Replayed(opened.native, head)
    return (lambda: io.BytesIO(head)), len(head) if len(head) < _LOOK else None


def refuted(opened: _sources.Input, layout: str, decoded: int = 0,
            look: bool = False) -> Optional[str]:
    """The layout the input's records read as where they refute `layout`, else None: as
    `layout` at most one whole record, then an incomplete tail, where the other layout chains
    two or more whole records, whatever their values. `decoded`: the records a read as `layout`
    decoded from the start; from two on, nothing is read again. Compressed input is not judged,
    nor input that cannot be read again unless `look` lets its first bytes be read ahead; a file
    object is left where it stood."""
    if decoded >= 2 or opened.codec is not None:
        return None
    native = opened.native
    at = native.tell() if opened.seekable and not isinstance(native, (bytes, int)) else None
    found = _again(opened, look)
    if found is None:
        return None
    try:
        return _detect.refuting(opened.filename, layout, *found)
    finally:
        if at is not None:
            native.seek(at)


def confirm(opened: _sources.Input, layout: str, decoded: int) -> None:
    """Raises ValueError where the records refute `layout` (refuted)."""
    found = refuted(opened, layout, decoded)
    if found is not None:
        raise ValueError(f"{os.fsdecode(opened.filename)} does not read as {layout}: its first "
                         f"records do not chain as {layout} records; they read as {found}. "
                         f"Give the layout '{found}'.")


def _other_layout(filename: Any, layout: str) -> Optional[str]:
    """The other layout where the file named `filename` reads as it, else None."""
    if not isinstance(filename, (str, bytes)) or not os.path.isfile(filename):
        return None
    try:
        found = detect_layout(filename)
    except (OSError, ValueError):
        return None
    return found if found != layout else None


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
    if not _sources.is_file_object(source) or _sources.can_seek(source):
        start = int(source.tell()) if _sources.is_file_object(source) else None  # type: ignore[union-attr]
        try:
            return layout_of(open_source(source, compression, storage_options), None)
        finally:
            if start is not None:
                source.seek(start)  # type: ignore[union-attr]
    if not _sources.can_give_back(source):
        raise TypeError(f"cannot detect the layout of a {type(source).__name__}: it cannot "
                        "seek, and what detection read could not be given back to the next "
                        "reader (it cannot be referred to weakly); give the layout, or pass "
                        "a file object that can seek")
    recording = _sources.Recording(_sources.Replayed(source, _sources.take_given_back(source)))
    try:
        opened = open_source(recording, compression, storage_options)
        head = _read_up_to(opened.native, _LOOK)
    finally:
        _sources.give_back(source, bytes(recording.recorded))
    name = getattr(source, "name", None)
    filename = name if isinstance(name, (str, bytes)) else opened.filename
    return cast(Layout, _detect.decide(os.fsdecode(filename), _detect.verdicts(
        filename, lambda: io.BytesIO(head))))


# The native decoder makes Batch objects, and raises the package's errors
# with the other-layout advice for a first record that cannot be read.
_native.register(Batch, CorruptRecordError, StaleIndexError, _other_layout)


def _skip(decoder: _native.Decoder, count: int, first: int, how: str) -> int:
    """Steps over up to `count` records from event `first`, headers only;
    returns how many."""
    skipped = decoder.scan(first, min(count, UNLIMITED), False)
    skipped.raise_outcome(how)
    return len(skipped)


@overload
def read(path: Source, layout: Optional[Layout] = ..., *, start: int = ...,
         stop: Optional[int] = ..., index: IndexArg = ...,
         storage_options: Optional[Dict[str, Any]] = ..., compression: Optional[str] = ...,
         features: Features, samples: Optional[bool] = ...) -> Batch: ...
@overload
def read(path: Source, layout: Literal["WD1"], *, start: int = ..., stop: Optional[int] = ...,
         index: IndexArg = ..., storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> WD1Batch: ...
@overload
def read(path: Source, layout: Literal["WD2"], *, start: int = ..., stop: Optional[int] = ...,
         index: IndexArg = ..., storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> WD2Batch: ...
@overload
def read(path: Source, layout: Optional[Layout] = ..., *, start: int = ...,
         stop: Optional[int] = ..., index: IndexArg = ...,
         storage_options: Optional[Dict[str, Any]] = ...,
         compression: Optional[str] = ...) -> Batch: ...


def read(path: Source, layout: Optional[Layout] = None, *, start: int = 0,
         stop: Optional[int] = None, index: IndexArg = "auto",
         storage_options: Optional[Dict[str, Any]] = None,
         compression: Optional[str] = "auto", features: Optional[Features] = None,
         samples: Optional[bool] = None) -> Batch:
    """Events ``[start, stop)`` of the file as one batch (``stop=None``: to
    the end), in the layout given, else the index's, else the one the first
    records fit (``detect_layout``). With an ``index`` from ``scan``, reading
    seeks straight to ``start`` instead of stepping over the records before
    it, once the file is found to be the one the index describes (else
    ``StaleIndexError``). ``index="auto"`` uses the file's sidecar where one
    matches it (``Index.save``), ``None`` none; a sidecar's path is loaded.
    Input that cannot seek, compressed input among it, is read forward to
    ``start``. With ``features`` (a ``Features``), the
    batch holds the pulse features of each event beside its header columns,
    computed as the file is read, and no samples unless ``samples=True``.

    The batch's memory, once nothing uses it any more, is kept for the next
    ``read`` or ``take`` in the process, as an allocator keeps freed blocks
    (see ``release_memory``)."""
    given = None if layout is None else _args.layout(layout)
    start = _args.count(start, "start")
    stop = _args.count(stop, "stop", none=UNLIMITED)
    params, keep = _args.features(features, samples)
    index = _sidecar.resolve(path, index, storage_options, given)
    first = None
    if index is not None and len(index):
        first = index._header(min(start, len(index) - 1))
    return read_range(path, given, start, stop, index, first, compression, storage_options,
                      params, keep)


def release_memory() -> int:
    """Frees the memory kept from dropped batches for later reads, and
    returns how many bytes it was. The memory of the last four batches of
    ``read`` and ``take`` dropped (and of finished iterators' pools) is kept,
    1 GiB at most, so that a loop over files reads into memory whose pages are
    touched already; what has not been reused for 10 seconds is freed at a
    later call (there is no thread of its own). Memory under an array, a view
    or an Arrow export is never kept or freed while that lives. The scratch
    memory that reads in parts keep for the next (256 KiB a thread), and the
    stages that reads with features decode into, are freed and counted too."""
    return _native.release_memory()


def read_range(path: Source, layout: Optional[str], start: int, stop: int,
               mark: Union[Index, FileMark, None], first: Optional[Tuple[int, ...]],
               compression: Any = "auto", storage_options: Any = None,
               features: Optional[Tuple[Any, ...]] = None, samples: bool = True) -> Batch:
    """read() once its arguments are checked. `mark` is the index to seek
    with, `first` the header values it holds for event min(start, len - 1);
    `features` the native parameters of the features to compute."""
    opened = open_source(path, compression, storage_options, mark, (start, stop))
    layout = layout_of(opened, layout if layout or mark is None else mark.layout)
    decoder = decoder_of(opened, layout)
    filename = opened.filename
    how = "read(path, layout, stop={index}) reads the events before it"
    if mark is not None:
        at = _seek(decoder, filename, layout, start, mark, first, how)
    else:
        at = _skip(decoder, start, 0, how) if start else 0
    wanted = min(max(stop - start, 0), UNLIMITED) if at == start else 0
    read = decoder.decode(min(start, UNLIMITED), wanted, UNLIMITED, features, samples)
    if mark is not None and start < len(mark.positions) - 1:
        _vouch_batch(decoder, filename, start, stop, mark, first, read, how)
    read.raise_outcome(how)  # letting go of the partial batch, which the traceback would keep
    batch: Batch = read.batch()
    if mark is None:
        confirm(opened, layout, at + len(batch))
    batch.first = start  # an empty batch may start past the native count's 2**64 - 1
    return batch


def check_file(decoder: _native.Decoder, filename: Any, layout: str,
                mark: Union[Index, FileMark]) -> None:
    """Raises StaleIndexError unless the open file is the one the index
    describes, read as the same layout, and no shorter than at the scan."""
    if mark.layout != layout:
        raise stale(filename, f"another layout: the index is of a {mark.layout} file, not "
                               f"{layout}")
    if decoder.channels != mark.channels:
        raise stale(filename, f"another channel count: {decoder.channels}, where the index has "
                               f"{mark.channels}")
    inode, size = decoder.identity()
    if mark.inode is not None and inode is not None and inode != mark.inode:
        raise stale(filename, f"another file (inode {inode}, where the index has {mark.inode})")
    if mark.size is not None and size is not None and size < mark.size:
        raise stale(filename, f"the file shrank from {mark.size} to {size} bytes")


def _seek(decoder: _native.Decoder, filename: Any, layout: str, start: int,
          mark: Union[Index, FileMark], first: Optional[Tuple[int, ...]], how: str) -> int:
    """Moves `decoder` to event `start` by the index's positions; returns the
    event reached (fewer than `start` where the file ends first). Past the
    index's last event, that event's header vouches for its position, and the
    walk steps on from its end as the file now has it."""
    check_file(decoder, filename, layout, mark)
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
                 mark: Union[Index, FileMark], first: Optional[Tuple[int, ...]],
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
        columns = read.columns
        found: Optional[Tuple[int, ...]] = tuple(int(columns[n][0]) for n in FIELDS[read.layout])
    else:
        decoder.seek(position)
        found = _header_at(decoder, start, how)
    _vouch(filename, start, position, first, found)
    end = min(stop, len(mark.positions) - 1)
    if read.outcome == "error" or end <= start:
        return
    if count < end - start or (end == stop and decoder.position != int(mark.positions[end])):
        raise stale(filename, f"events {start} to {end - 1} no longer end at byte offset "
                               f"{int(mark.positions[end])}")


def _vouch(filename: Any, event: int, position: int, first: Optional[Tuple[int, ...]],
           found: Optional[Tuple[int, ...]]) -> None:
    if found is None or found != first:
        raise stale(filename, f"event {event}'s header differs from the index's (byte offset "
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


def scan(path: Source, layout: Optional[Layout] = None, *,
         storage_options: Optional[Dict[str, Any]] = None,
         compression: Optional[str] = "auto", index: IndexArg = "auto") -> Index:
    """The positions and header values of every complete record, read
    without the samples (large sample blocks are stepped over by a seek
    where the input can seek), in the layout given or else found; with
    ``index="auto"``, the file's sidecar where one matches it, unread."""
    given = None if layout is None else _args.layout(layout)
    known = _sidecar.resolve(path, index, storage_options, given)
    if known is not None and given in (None, known.layout):
        return known
    st = _sidecar.scanned_stat(path)
    opened = open_source(path, compression, storage_options)
    found = layout_of(opened, given)
    scanned = index_of(decoder_of(opened, found), opened, found, given=given is not None,
                       source=name_of(path))
    if st is not None:
        scanned.mtime_ns = st.st_mtime_ns
        if scanned.size is None and opened.codec is not None:
            scanned.size = st.st_size
    return scanned


def name_of(source: Any) -> Optional[str]:
    """The name of a file or URL as an index keeps it; None for a file object (or an input
    opened already)."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        return None
    return os.fsdecode(_remote.local_path(source))


def index_of(decoder: _native.Decoder, opened: _sources.Input, layout: str, *,
             given: bool, source: Optional[str] = None) -> Index:
    """scan() once the input is open; `given`: the layout was given, and the records must not
    refute it. `source`: the name of the file or URL scanned."""
    scanned = decoder.scan(0, UNLIMITED, True)
    scanned.raise_outcome("the index would end before it")  # letting go of the partial index
    if given:
        confirm(opened, layout, len(scanned))
    inode, size = decoder.identity()
    tag = ""
    if opened.remote is not None:
        size, tag = opened.remote
    return Index(layout, decoder.channels, scanned.columns, scanned.positions, inode=inode,
                 size=size, tag=tag, codec=opened.codec, source=source)


class BatchIterator:
    """Batches of a file in order. After the end it can be iterated again and
    then yields the records appended since; a record cut short by the end of
    the file is left for a later pass."""

    __module__ = "vorn_columns"

    def __init__(self, path: Source, layout: Optional[Layout] = None, *,
                 max_events: Optional[int] = None, max_bytes: int = 4 << 20, start: int = 0,
                 stop: Optional[int] = None, storage_options: Optional[Dict[str, Any]] = None,
                 compression: Optional[str] = "auto", features: Optional[Features] = None,
                 samples: Optional[bool] = None, index: IndexArg = None) -> None:
        given = None if layout is None else _args.layout(layout)
        max_events, max_bytes = _args.limits(max_events, max_bytes)
        params, keep = _args.features(features, samples)
        start = _args.count(start, "start")
        stop = _args.count(stop, "stop", none=UNLIMITED)
        mark = _sidecar.resolve(path, index, storage_options, given) if start else None
        self.input = open_source(path, compression, storage_options)
        self.filename = self.input.filename
        self.layout = layout_of(self.input, given or (mark.layout if mark else None))
        self._decoder = decoder_of(self.input, self.layout)
        self._unconfirmed = given is not None  # until the first batch is read
        at = 0
        if mark is not None and self.input.seekable and len(mark):
            # The index's positions instead of a walk over the records before `start`, once
            # the record found there has the index's header.
            at = min(start, len(mark) - 1)
            check_file(self._decoder, self.filename, self.layout, mark)
            position = int(mark.positions[at])
            self._decoder.seek(position)
            _vouch(self.filename, at, position, mark._header(at),
                   _header_at(self._decoder, at, "iter_batches reads the events before it"))
            self._decoder.seek(position)
        # No file holds 2**64 records: past that, a count means "all".
        self._decoder.iterate(min(start, UNLIMITED), min(stop, UNLIMITED), max_events,
                              max_bytes, params, keep, at)

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
        if self._unconfirmed:
            self._unconfirmed = False
            confirm(self.input, self.layout, 0)
        return stream_capsule(self._decoder, requested_schema)

    def __next__(self) -> Batch:
        # One native call steps over records, decodes, counts and makes the
        # batch, holding the decoder throughout: no Python code runs between
        # consuming records and handing them out, and a second thread meets
        # RuntimeError. An error met after some events is raised next time.
        if self._unconfirmed:
            return self._first()
        batch: Batch = self._decoder.next_batch()
        return batch

    def _first(self) -> Batch:
        """The first batch, once the records are found not to refute the layout given."""
        self._unconfirmed = False
        try:
            batch: Batch = self._decoder.next_batch()
        except StopIteration:
            confirm(self.input, self.layout, 0)
            raise
        confirm(self.input, self.layout, batch.first + len(batch))
        return batch

    def close(self) -> None:
        """Closes what vorn opened for the iterator (the file of a path, a
        decompressor over it), never a file object it was given; batches
        already handed out stay valid. Closing again does nothing; next()
        then raises ValueError."""
        decoder, self._decoder = self._decoder, _CLOSED
        self._unconfirmed = False
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
    # An iterator of a known layout, for type checkers only (see WD1Batch).
    class WD1BatchIterator(BatchIterator):
        def __iter__(self) -> WD1BatchIterator: ...
        def __next__(self) -> WD1Batch: ...
        def __enter__(self) -> WD1BatchIterator: ...

    class WD2BatchIterator(BatchIterator):
        def __iter__(self) -> WD2BatchIterator: ...
        def __next__(self) -> WD2Batch: ...
        def __enter__(self) -> WD2BatchIterator: ...


@overload
def iter_batches(path: Source, layout: Optional[Layout] = ..., *,
                 max_events: Optional[int] = ..., max_bytes: int = ..., start: int = ...,
                 stop: Optional[int] = ..., storage_options: Optional[Dict[str, Any]] = ...,
                 compression: Optional[str] = ..., features: Features,
                 samples: Optional[bool] = ..., index: IndexArg = ...) -> BatchIterator: ...
@overload
def iter_batches(path: Source, layout: Literal["WD1"], *, max_events: Optional[int] = ...,
                 max_bytes: int = ..., start: int = ..., stop: Optional[int] = ...,
                 storage_options: Optional[Dict[str, Any]] = ...,
                 compression: Optional[str] = ..., index: IndexArg = ...) -> WD1BatchIterator: ...
@overload
def iter_batches(path: Source, layout: Literal["WD2"], *, max_events: Optional[int] = ...,
                 max_bytes: int = ..., start: int = ..., stop: Optional[int] = ...,
                 storage_options: Optional[Dict[str, Any]] = ...,
                 compression: Optional[str] = ..., index: IndexArg = ...) -> WD2BatchIterator: ...
@overload
def iter_batches(path: Source, layout: Optional[Layout] = ..., *,
                 max_events: Optional[int] = ..., max_bytes: int = ..., start: int = ...,
                 stop: Optional[int] = ..., storage_options: Optional[Dict[str, Any]] = ...,
                 compression: Optional[str] = ..., index: IndexArg = ...) -> BatchIterator: ...


def iter_batches(path: Source, layout: Optional[Layout] = None, *,
                 max_events: Optional[int] = None, max_bytes: int = 4 << 20, start: int = 0,
                 stop: Optional[int] = None, storage_options: Optional[Dict[str, Any]] = None,
                 compression: Optional[str] = "auto", features: Optional[Features] = None,
                 samples: Optional[bool] = None, index: IndexArg = "auto") -> BatchIterator:
    """Batches of events ``[start, stop)`` that never split an event: each
    ends at ``max_events`` events or before the event that would take its
    file bytes past ``max_bytes``, and holds at least one event. Without a
    layout, the one the first records fit. With ``features``, as ``read``
    says: the batches end where they would without. With an index
    (``"auto"``: the file's sidecar where one matches), a ``start`` is
    sought, not walked to."""
    return BatchIterator(path, layout, max_events=max_events, max_bytes=max_bytes, start=start,
                         stop=stop, storage_options=storage_options, compression=compression,
                         features=features, samples=samples, index=index)


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


