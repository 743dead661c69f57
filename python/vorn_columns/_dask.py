"""Event files as a lazy Dask DataFrame whose partitions are ranges of events of one file."""
from __future__ import annotations

import os
import threading
from typing import Any, Dict, Iterable, List, Optional, Tuple, Union, cast

try:
    import dask.dataframe as dd
    from dask.delayed import delayed
    import pandas  # noqa: F401  (what partitions are made of)
    import pyarrow  # noqa: F401
except ImportError as e:
    raise ImportError(f"vorn_columns.to_dask needs dask.dataframe ({e}): "
                      "pip install 'vorn[dask]'") from e

import numpy as np

from . import _args, _remote, _sidecar, _sources
from ._args import Layout, Source
from ._batch import Batch
from ._index import FileMark, Index
from ._layouts import FIELD_DTYPES, FIELDS, SAMPLE_DTYPES
from ._reading import read, read_range, scan

# File objects are shared by the partitions that read them: one reads at a time.
_file_objects = threading.Lock()


def _at(source: Any, origin: Optional[int], work: Any) -> Any:
    """work() on a path, or on a file object from its position when to_dask was called."""
    if origin is None:
        return work()
    with _file_objects:
        source.seek(origin)
        return work()


def _partition(source: Any, origin: Optional[int], layout: Layout, options: Dict[str, Any],
               start: int, stop: int, mark: Optional[FileMark],
               first: Optional[Tuple[int, ...]]) -> Any:
    return _at(source, origin, lambda: _read(source, layout, start, stop, mark, first, options))


def _read(source: Any, layout: str, start: int, stop: int, mark: Optional[FileMark],
          first: Optional[Tuple[int, ...]], options: Dict[str, Any]) -> Any:
    """Events [start, stop) as a pandas frame: with the samples, or with the features of
    options["features"] (native parameters) and without."""
    features = options.get("features")
    return read_range(source, layout, start, stop, mark, first, options["compression"],
                      options["storage_options"], features, features is None).to_pandas()


def _from_sidecar(part: Tuple[Any, Index, int, int], layout: str, options: Dict[str, Any],
                  columns: Optional[List[str]] = None) -> Any:
    """A partition of a file whose sidecar matched it: (source, index, start, stop). The file is
    checked against the index in the worker; where the columns Dask asks for hold no samples,
    the index answers without a read of the file."""
    import pandas as pd

    source, index, start, stop = part
    _sidecar.checked(index, source, options["storage_options"])
    if columns is not None and set(columns) <= set(FIELDS[layout]):
        return pd.DataFrame({n: index.columns[n][start:stop] for n in columns},
                            index=pd.RangeIndex(start, stop, name="event"))
    first = index._header(min(start, len(index) - 1)) if len(index) else None
    frame = _read(source, layout, start, stop, FileMark(index), first, options)
    return frame if columns is None else frame[list(columns)]


def _empty(layout: str, channels: int, features: Any) -> Any:
    """The frame of no event, the meta of a frame made without reading a file."""
    columns = {n: np.empty(0, FIELD_DTYPES[layout][n]) for n in FIELDS[layout]}
    if features is not None:
        empty = Batch(layout, 0, channels, columns, np.empty(0, SAMPLE_DTYPES[layout]),
                      np.zeros(1, np.int64))
        return features.compute(empty).to_pandas(samples=False)
    return Batch(layout, 0, channels, columns, np.empty(0, SAMPLE_DTYPES[layout]),
                 np.zeros(1, np.int64)).to_pandas()


def _label(source: Any) -> str:
    name = source if not _sources.is_file_object(source) else getattr(source, "name", source)
    return os.fsdecode(name) if isinstance(name, (str, bytes, os.PathLike)) else repr(name)


def to_dask(paths: Union[Source, Iterable[Source]], layout: Optional[Layout], *,
            events_per_partition: int, storage_options: Optional[Dict[str, Any]],
            compression: Optional[str], index: Any = "auto", features: Any = None) -> Any:
    """The events of the files as a lazy dask.dataframe.DataFrame, one partition per
    `events_per_partition` events of a file (a partition never spans two files), in file order.

    Each file is scanned here, reading its headers only, since the partitions must be known
    before the graph is; the scan also makes a missing or corrupt file fail now rather than
    in a worker. The samples are read by the worker that computes a partition, which seeks
    straight to its first event with the file's record positions: these go into the graph once
    per file, and every partition of the file depends on that one key. A partition carries the
    header values of its first event, so that a file changed since the scan raises
    StaleIndexError instead of giving other events. A compressed file is read forward to a
    partition's first event; a compressed object behind a URL is one partition, so that it is
    fetched once. A partition of a plain object behind a URL fetches its records' bytes with one
    ranged request. A file object must be able to seek, since each partition reads it again
    from where it stood; its partitions read it one at a time. A str that names no file but
    holds *, ? or [ is a glob pattern, local or remote, replaced by the names it matches in
    sorted order (_remote.expand). Without a layout, each file's scan finds its own, and the
    files must agree, since the frame has one schema. Where every file has a sidecar that
    matches it (`index`, _sidecar.resolve), nothing is scanned or read here (_from_sidecars)."""
    asked = None if layout is None else _args.layout(layout)
    size = _args.count(events_per_partition, "events_per_partition", least=1)
    options: Dict[str, Any] = {"storage_options": storage_options, "compression": compression,
                               "features": _args.features(features, None)[0]}
    single = isinstance(paths, (str, bytes, os.PathLike)) or _sources.is_file_object(paths)
    given: List[Any] = [paths] if single else list(cast(Iterable[Any], paths))
    sources: List[Any] = []
    for p in given:
        if isinstance(p, str):
            sources.extend(_remote.expand(p, storage_options))
        else:
            sources.append(p if _sources.is_file_object(p) else os.fspath(p))
    if not sources:
        raise ValueError("to_dask needs at least one file")
    if index not in ("auto", None) and len(sources) != 1:
        raise ValueError(f"an index describes one file, and {len(sources)} are given: give "
                         "index='auto' (each file's sidecar) or None")
    known = [None if _sources.is_file_object(s) else
             _sidecar.resolve(s, index, storage_options, asked) for s in sources]
    if all(k is not None for k in known):
        return _from_sidecars(sources, cast(List[Index], known), asked, size, options, features)
    parts: List[Any] = []
    origins: List[Optional[int]] = []
    for source in sources:
        origin = None
        if _sources.is_file_object(source):
            if not _sources.can_seek(source):
                raise ValueError(f"to_dask reads each input once per partition: {source!r} "
                                 "cannot seek; give a path or a file object that can seek")
            origin = int(source.tell())
        origins.append(origin)
        index: Index = _at(source, origin, lambda: scan(
            source, asked, storage_options=storage_options, compression=compression))
        if layout is None:
            layout = index.layout
        elif index.layout != layout:
            raise ValueError(f"{_label(source)} reads as {index.layout} where the files "
                             f"before it read as {layout}: one frame holds one layout; give "
                             "the files of each layout apart")
        n = len(index)
        if index.codec is not None and _remote.is_url(source):
            parts.append(delayed(_partition, pure=True)(
                source, origin, layout, options, 0, n, None, None))
            continue
        mark = delayed(FileMark(index), pure=True)
        for start in range(0, max(n, 1), size):
            first = index._header(start) if n else None
            parts.append(delayed(_partition, pure=True)(
                source, origin, layout, options, start, min(start + size, n), mark, first))
    meta = _at(sources[0], origins[0], lambda: read(
        sources[0], layout, stop=0, storage_options=storage_options, compression=compression,
        features=features)).to_pandas()
    return dd.from_delayed(parts, meta=meta)



def _from_sidecars(sources: List[Any], indexes: List[Index], layout: Optional[str], size: int,
                   options: Dict[str, Any], features: Any) -> Any:
    """to_dask of files that all have matching sidecars: no file is read here."""
    found = layout or indexes[0].layout
    parts = []
    for source, index in zip(sources, indexes):
        if index.layout != found:
            raise ValueError(f"{_label(source)} reads as {index.layout} where the files "
                             f"before it read as {found}: one frame holds one layout; give "
                             "the files of each layout apart")
        n = len(index)
        parts += [(source, index, start, min(start + size, n))
                  for start in range(0, max(n, 1), size)]
    return dd.from_map(_from_sidecar, parts, layout=found, options=options,
                       meta=_empty(found, indexes[0].channels, features), enforce_metadata=False)
