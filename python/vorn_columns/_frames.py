"""The events as the data frames of other libraries, Dask's and Polars': their modules are
imported when first asked for, since each needs its extra."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Iterable, Optional, Union

from ._args import Layout, Source
from ._sidecar import IndexArg

if TYPE_CHECKING:
    import dask.dataframe
    import polars

    from ._features import Features


def to_dask(paths: Union[Source, Iterable[Source]], layout: Optional[Layout] = None, *,
            events_per_partition: int = 100_000,
            storage_options: Optional[Dict[str, Any]] = None,
            compression: Optional[str] = "auto", index: IndexArg = "auto",
            features: Optional["Features"] = None) -> "dask.dataframe.DataFrame":
    """The events of the files as a lazy ``dask.dataframe.DataFrame``, one
    partition per ``events_per_partition`` events of a file, read by the
    worker that computes it; ``"data"`` is an Arrow large_list column. A
    source may be a URL (``s3://...``, ``https://...``) or a glob pattern,
    local or remote. Without a layout, each file's first records tell its
    own, and all must tell the same. With ``index="auto"``, a file whose
    sidecar matches it is not scanned: its partitions come from the sidecar,
    and a worker checks the file before reading it. With ``features`` (a
    ``Features``), the columns are the header fields and the features, which
    the workers compute as they read, and no ``data``. Needs the ``dask``
    extra (``pip install 'vorn[dask]'``)."""
    from . import _dask
    frame: "dask.dataframe.DataFrame" = _dask.to_dask(
        paths, layout, events_per_partition=events_per_partition,
        storage_options=storage_options, compression=compression, index=index,
        features=features)
    return frame


def scan_polars(sources: Union[Source, Iterable[Source]], layout: Optional[Layout] = None, *,
                storage_options: Optional[Dict[str, Any]] = None,
                compression: Optional[str] = "auto", index: IndexArg = "auto",
                features: Optional["Features"] = None) -> "polars.LazyFrame":
    """The events of one file, of a list of files or of a glob (a ``str``
    that names no file but holds ``*``, ``?`` or ``[``, local or remote) as
    a ``polars.LazyFrame`` whose queries read only what they need: without
    ``data``, the headers alone; with a filter on header columns, the
    samples of the events that pass; no further than a limit. Its columns
    are the header fields, ``data`` (each event's samples, a list) and, for
    a list or a glob, ``file`` (the source as given, or the name the glob
    matched). Without a layout, the first file's first records tell it (the
    frame's schema depends on it), and every file is read as it. With
    ``index="auto"``, each collect checks each file against its sidecar and,
    where it matches, answers header columns from the sidecar, reading the
    file only for samples. With ``features`` (a ``Features``), the columns
    are the header fields, the features (for a WD2 file of several channels,
    arrays of one value per channel) and ``file``, without ``data``: a query
    computes only the features it selects or filters on, as the records are
    read, and keeps no samples. Needs the ``polars`` extra
    (``pip install 'vorn[polars]'``)."""
    from . import _polars
    return _polars.scan_polars(sources, layout, storage_options=storage_options,
                               compression=compression, index=index, features=features)
