"""Event files as a lazy Polars frame whose queries read only what they need.

The frame is a Polars IO source: Polars hands it the columns a query uses,
the part of its filter that can be evaluated row by row, and a limit on
the rows read (which applies before the filter, as for Polars' own scans).
Without ``data`` among the columns only the headers are read (blocks are
stepped over). With a filter, it is evaluated on the headers first, and
only the events that pass have their samples read; a filter on ``data``
itself is evaluated on whole frames instead.
"""
from __future__ import annotations

import errno
import functools
import io
import os
import threading
from typing import Any, Dict, Iterable, Iterator, List, Optional, Tuple, Union

import numpy as np

try:
    import polars as pl
    from polars.io.plugins import register_io_source
except ImportError as e:
    raise ImportError(f"vorn_columns.scan_polars needs polars ({e}): "
                      "pip install 'vorn[polars]'") from e

from . import _args, _remote, _sidecar, _sources
from ._args import Layout, Source
from ._layouts import FIELD_DTYPES, FIELDS, SAMPLE_DTYPES
from ._index import Index
from ._reading import (check_file, confirm, decoder_of, detect_layout, iter_batches, layout_of,
                       open_source)
from ._take import _changed, pick


@functools.lru_cache(maxsize=None)
def _polars_type(dtype: np.dtype) -> Any:
    """The Polars type that a NumPy array of `dtype` becomes."""
    return pl.Series(np.empty(0, dtype)).dtype

# File bytes of samples in one frame, so that a large batch_size of large
# records stays within memory; a frame holds at least one event.
_FRAME_BYTES = 32 << 20
_HOW = "the scan stops before it"


def _expand(sources: Union[Source, Iterable[Source]], storage_options: Any
            ) -> Tuple[List[Tuple[Any, str]], bool]:
    """(source, label) of each input, and whether there may be more than one: a list of
    sources, or a pattern (each of which gives the names it matches). The source of a file
    object is a callable that gives what one scan reads of it."""
    single = isinstance(sources, (str, bytes, os.PathLike)) or _sources.is_file_object(sources)
    given: List[Any] = [sources] if single else list(sources)  # type: ignore[arg-type]
    files: List[Tuple[Any, str]] = []
    shared: Dict[int, Any] = {}  # of each file object given: its lock, or its _Once
    globbed = False
    for source in given:
        if _sources.is_file_object(source):
            name = getattr(source, "name", None)
            label = (os.fsdecode(name) if isinstance(name, (str, bytes))
                     else f"<{type(source).__name__}>")
            if _sources.can_seek(source):
                lock = shared.setdefault(id(source), threading.Lock())
                files.append((functools.partial(_Cursor, source, label, lock,
                                                int(source.tell())), label))
            else:
                files.append((shared.setdefault(id(source), _Once(source)), label))
            continue
        path = os.fspath(source)
        names = _remote.expand(path, storage_options) if isinstance(source, str) else [path]
        globbed = globbed or names != [path]
        files += [(n, os.fsdecode(n)) for n in names]
    return files, not single or globbed


class _Cursor(io.RawIOBase):
    """A file object that can seek, read at a position of its own: each read seeks it there
    and reads under `lock`, the object's, so that scans of one frame that Polars runs at once
    (a self-join) never move each other's position. The lock is held only within a read."""

    def __init__(self, f: Any, name: str, lock: threading.Lock, origin: int) -> None:
        super().__init__()
        self.name, self._f, self._lock, self._pos = name, f, lock, origin
        self._method = next(m for m in ("readinto", "readinto1", "read", "read1")
                            if hasattr(f, m))

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_END:
            with self._lock:
                offset += int(self._f.seek(0, io.SEEK_END))
        elif whence == io.SEEK_CUR:
            offset += self._pos
        if offset < 0:
            raise OSError(errno.EINVAL, os.strerror(errno.EINVAL), self.name)
        self._pos = offset
        return offset

    def readinto(self, b: Any) -> Optional[int]:
        with memoryview(b) as view, self._lock:
            self._f.seek(self._pos)
            if self._method.startswith("readinto"):
                n: Optional[int] = getattr(self._f, self._method)(view)
            else:
                data = getattr(self._f, self._method)(len(view))
                if data is None:
                    return None
                n = len(data)
                view[:n] = data
        if n:
            self._pos += n
        return n


class _Once:
    """A file object that cannot seek: the first scan of the frame reads it, a later one is
    refused rather than given what the first left."""

    def __init__(self, f: Any) -> None:
        self.file, self._taken = f, threading.Lock()

    def __call__(self) -> Any:
        if not self._taken.acquire(blocking=False):
            raise ValueError(f"scan_polars reads {self.file!r} once, since it cannot seek, and "
                             "an earlier scan of this frame read it; give a path or a file "
                             "object that can seek")
        return self.file


_FEATURE_TYPES = {"integral": pl.Float64, "peak_index": pl.Int32, "saturated": pl.Boolean}


def _schema(layout: str, with_file: bool, features: Any, channels: int) -> Dict[str, Any]:
    """The header fields, then the features (one value per channel, a fixed-size array, for
    a WD2 file of several), or else the samples as "data"; then the input's name."""
    schema: Dict[str, Any] = {name: _polars_type(dtype)
                              for name, dtype in FIELD_DTYPES[layout].items()}
    if features is None:
        schema["data"] = pl.List(_polars_type(SAMPLE_DTYPES[layout]))
    for name in () if features is None else features.names(layout):
        kind = _FEATURE_TYPES.get(name, pl.Float32)
        schema[name] = kind if layout == "WD1" or channels < 2 else pl.Array(kind, channels)
    if with_file:
        schema["file"] = pl.String
    return schema


def _needed(features: Any, layout: str, names: List[str], predicate: Any) -> Any:
    """The Features of a query: only those it asks for or filters on; None for none."""
    if features is None:
        return None
    used = set(names) | set(predicate.meta.root_names() if predicate is not None else ())
    wanted = [name for name in features.names(layout) if name in used]
    if not wanted:
        return None
    return type(features)(features.polarity, **{**features._keywords(), "select": wanted})


def _by_bytes(sizes: np.ndarray, limit: int) -> Iterator[slice]:
    """Consecutive slices of `sizes` of at most `limit` in all, or of one."""
    ends = np.cumsum(sizes)
    start = 0
    while start < len(sizes):
        base = ends[start - 1] if start else 0
        stop = max(int(np.searchsorted(ends, base + limit, side="right")), start + 1)
        yield slice(start, stop)
        start = stop


class _File:
    """One input of the scan and what a query asks of it."""

    def __init__(self, source: Any, label: Optional[str], layout: Layout, given: bool,
                 predicate: Any, names: List[str], size: int, options: Tuple[Any, Any],
                 known: Optional[Index] = None, features: Any = None,
                 channels: Optional[int] = None) -> None:
        self.source, self.label, self.layout, self.given = source, label, layout, given
        self.known = known  # the file's index, checked against it already
        self.predicate, self.with_data, self.size = predicate, "data" in names, size
        self.options = options  # compression, storage_options
        # The features the query needs, computed as the records are read;
        # with them, records are read even without "data".
        self.features = _needed(features, layout, names, predicate)
        self.params = None if self.features is None else self.features._params()
        self.reads = self.with_data or self.features is not None
        self.channels = channels  # the frame's, which every file must have
        # The header columns a frame is built of: those asked for and those
        # the filter reads (Polars selects the asked ones after), and at least
        # one, which gives the frame its height.
        used = set(names) | set(predicate.meta.root_names() if predicate is not None else ())
        self.fields = [name for name in FIELDS[layout] if name in used] or list(FIELDS[layout][:1])

    def _labelled(self, frame: Any) -> Any:
        if self.label is None:
            return frame
        return frame.with_columns(file=pl.lit(self.label, pl.String))

    def frames(self, left: Optional[int]) -> Iterator[Tuple[Any, int]]:
        """(frame, events read for it): the first `left` events of the input
        (None: all), those the filter passes; None where none passed. Input
        that cannot seek (compressed, a pipe) is read whole and filtered."""
        on_data = self.predicate is not None and not set(
            self.predicate.meta.root_names()) <= set(FIELDS[self.layout]) | {"file"}
        if self.known is not None and not on_data and (not self.reads or
                                                       self.known.codec is None):
            return self._from_index(self.known, left)
        opened = open_source(self.source, *self.options)
        if not self.given:
            found = layout_of(opened, None)
            if found != self.layout:
                raise ValueError(f"{os.fsdecode(opened.filename)} reads as {found} where the "
                                 f"frame's first file reads as {self.layout}: one frame holds "
                                 "one layout; scan the files of each layout apart")
        if not opened.seekable or on_data:
            return self._filtered_whole(opened, left)
        if self.predicate is None and self.reads and left is None:
            return self._filtered_whole(opened, None)  # every record: one walk through it
        return self._headers_first(opened, left)

    def _passing(self, columns: Any, n: int) -> Tuple[Any, np.ndarray]:
        """The frame of the header columns of the first `n` events in `columns`, and the rows
        of those the filter passes."""
        headers = self._labelled(pl.DataFrame({name: columns[name][:n] for name in self.fields}))
        if self.predicate is None:
            return headers, np.arange(n)
        passed = headers.select(self.predicate.fill_null(False)).to_series()
        return headers, np.flatnonzero(passed.to_numpy())

    def _from_index(self, index: Index, left: Optional[int]) -> Iterator[Tuple[Any, int]]:
        """The filter evaluated on the index's header columns, in memory; the file is read
        only for the samples of the events that pass, checked against the index as take's."""
        n = len(index) if left is None else min(len(index), left)
        headers, keep = self._passing(index.columns, n)
        if not self.reads:
            yield (headers if len(keep) == n else headers[keep]), n
            return
        if not len(keep):
            yield None, n
            return
        # Opened as take() opens it, with the index's channel count: no probe of an object.
        found = _remote.resolve(self.source, self.options[1])
        opened = _sources.open_input(found.file, self.options[0], found.identity, index.channels)
        decoder = decoder_of(opened, self.layout)
        check_file(decoder, opened.filename, self.layout, index)
        self._check_channels(decoder.channels, opened.filename)
        starts, ends = index.positions[keep], index.positions[keep + 1]
        parts = list(_by_bytes(ends - starts, _FRAME_BYTES))
        for k, part in enumerate(parts):
            batch = pick(decoder, opened.filename, self.layout, keep[part], starts[part],
                         (ends - starts)[part], self.params, self.with_data)
            for name in FIELDS[self.layout]:
                differ = np.flatnonzero(batch.columns[name] != index.columns[name][keep[part]])
                if len(differ):
                    row = keep[part][differ[0]]
                    raise _changed(opened.filename, int(row), int(index.positions[row]))
            yield self._labelled(pl.DataFrame(batch)), n if k == len(parts) - 1 else 0

    def _check_channels(self, channels: int, filename: Any) -> None:
        """Features of a WD2 file have a value per channel: every file of the frame the same."""
        if self.features is not None and self.layout == "WD2" and self.channels is not None and \
                max(channels, 1) != max(self.channels, 1):
            raise ValueError(f"{os.fsdecode(filename)} has {channels} channels where the "
                             f"frame's first file has {self.channels}: its features would not "
                             "fit the frame's columns; scan the files of each channel count apart")

    def _filtered_whole(self, opened: Any, left: Optional[int]) -> Iterator[Tuple[Any, int]]:
        batches = iter_batches(opened, self.layout, max_events=self.size, max_bytes=_FRAME_BYTES,
                               stop=left, index=None, features=self.features,
                               samples=self.with_data if self.features is not None else None)
        self._check_channels(batches.channels, opened.filename)
        for batch in batches:
            frame = self._labelled(pl.DataFrame(batch))
            if self.predicate is not None:
                frame = frame.filter(self.predicate)
            yield frame, len(batch)

    def _headers_first(self, opened: Any, left: Optional[int]) -> Iterator[Tuple[Any, int]]:
        """Headers a chunk at a time (the scan steps over blocks), the filter
        evaluated on them, then the samples of the events that pass."""
        filename = opened.filename
        decoder = decoder_of(opened, self.layout)
        self._check_channels(decoder.channels, filename)
        first = 0
        while left is None or left > 0:
            want = self.size if left is None else min(self.size, left)
            scanned = decoder.scan(first, want, True)
            positions, by_name = scanned.positions, scanned.columns
            n = len(positions) - 1
            if left is not None:
                left -= n
            if self.given and not first:
                confirm(opened, self.layout, n)
            headers, keep = self._passing(by_name, n)
            if not self.reads:
                yield (headers if len(keep) == n else headers[keep]), n
            elif len(keep):
                starts, ends = positions[keep], positions[keep + 1]
                parts = list(_by_bytes(ends - starts, _FRAME_BYTES))
                for k, part in enumerate(parts):
                    batch = pick(decoder, filename, self.layout, first + keep[part],
                                 starts[part], (ends - starts)[part], self.params,
                                 self.with_data)
                    yield self._labelled(pl.DataFrame(batch)), n if k == len(parts) - 1 else 0
                decoder.seek(int(positions[-1]))  # where the scan goes on
            else:
                yield None, n
            scanned.raise_outcome(_HOW)
            if n < want:
                return
            first += n


def _first_layout(files: List[Tuple[Any, str]], options: Tuple[Any, Any]) -> Layout:
    """The layout the first input's first records fit, which gives the frame its schema; the
    input is left for the scans as it was."""
    if not files:
        raise ValueError("scan_polars of no file needs the layout of its schema")
    source = files[0][0]
    target = source.file if isinstance(source, _Once) else source() if callable(source) else source
    return detect_layout(target, compression=options[0], storage_options=options[1])


def _first_channels(files: List[Tuple[Any, str]], layout: Layout, options: Tuple[Any, Any],
                    first: Optional[Index]) -> int:
    """The channel count of the first input, which gives WD2 features their shape."""
    if first is not None:
        return first.channels
    source = files[0][0]
    if isinstance(source, _Once):
        raise ValueError("the features of a WD2 file object that cannot seek have one value per "
                         "channel, which the frame's schema needs before the scan reads it: "
                         "give a path or a file object that can seek")
    batches = iter_batches(source() if callable(source) else source, layout, max_events=1,
                           index=None, compression=options[0], storage_options=options[1])
    return batches.channels


def scan_polars(sources: Union[Source, Iterable[Source]], layout: Optional[Layout] = None, *,
                storage_options: Optional[Dict[str, Any]] = None,
                compression: Optional[str] = "auto", index: Any = "auto",
                features: Any = None) -> pl.LazyFrame:
    given = None if layout is None else _args.layout(layout)
    _args.features(features, None)  # a Features, or None
    _sources._check_compression(compression)
    files, with_file = _expand(sources, storage_options)
    if index not in ("auto", None) and len(files) != 1:
        raise ValueError(f"an index describes one file, and {len(files)} are scanned: give "
                         "index='auto' (each file's sidecar) or None")

    def known(source: Any, layout: Optional[str]) -> Optional[Index]:
        """The file's index, checked against it now: at every collect."""
        if callable(source) or isinstance(source, _Once):
            return None
        return _sidecar.resolve(source, index, storage_options, layout)

    first = known(files[0][0], given) if files and not given else None
    found = given or (first.layout if first is not None else
                      _first_layout(files, (compression, storage_options)))
    channels = (_first_channels(files, found, (compression, storage_options), first)
                if features is not None and found == "WD2" else None)
    schema = _schema(found, with_file, features, channels or 0)

    def source(with_columns: Optional[List[str]], predicate: Any, n_rows: Optional[int],
               batch_size: Optional[int]) -> Iterator[Any]:
        names = list(schema) if with_columns is None else list(with_columns)
        size = max(batch_size or 100_000, 1)
        left = n_rows  # events still to be read, before the filter: Polars' limit
        for given, label in files:
            if left == 0:
                return
            part = _File(given() if callable(given) else given, label if with_file else None,
                         found, layout is not None, predicate, names, size,
                         (compression, storage_options), known(given, found), features,
                         channels)
            for frame, read in part.frames(left):
                if left is not None:
                    left -= read
                if frame is not None:
                    yield frame if frame.columns == names else frame.select(names)

    return register_io_source(source, schema=schema)
