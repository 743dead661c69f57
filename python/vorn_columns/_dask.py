"""Event files as a lazy Dask DataFrame whose partitions are ranges of events of one file."""
from __future__ import annotations

import os
from typing import Any, Iterable, List, Optional, Tuple, Union

try:
    import dask.dataframe as dd
    from dask.delayed import delayed
    import pandas as pd
    import pyarrow as pa
except ImportError as e:
    raise ImportError(f"vorn_columns.to_dask needs dask.dataframe ({e}): "
                      "pip install 'vorn[dask]'") from e

from . import Batch, PathLike, _count, _FileMark, _layout, _read, read, scan


def _frame(batch: Batch) -> Any:
    """The batch as a pandas DataFrame indexed by event number in its file: the header columns
    as NumPy, "data" as an Arrow large_list over the batch's samples."""
    data = pd.arrays.ArrowExtensionArray(pa.record_batch(batch).column("data"))
    columns = {**batch.columns, "data": data}
    index = pd.RangeIndex(batch.first, batch.first + len(batch), name="event")
    return pd.DataFrame(columns, index=index, copy=False)


def _partition(path: str, layout: str, start: int, stop: int, mark: _FileMark,
               first: Optional[Tuple[int, ...]]) -> Any:
    return _frame(_read(path, layout, start, stop, mark, first))


def to_dask(paths: Union[PathLike, Iterable[PathLike]], layout: str, *,
            events_per_partition: int) -> Any:
    """The events of the files as a lazy dask.dataframe.DataFrame, one partition per
    `events_per_partition` events of a file (a partition never spans two files), in file order.

    Each file is scanned here, reading its headers only, since the partitions must be known
    before the graph is; the scan also makes a missing or corrupt file fail now rather than
    in a worker. The samples are read by the worker that computes a partition, which seeks
    straight to its first event with the file's record positions: these go into the graph once
    per file, and every partition of the file depends on that one key. A partition carries the
    header values of its first event, so that a file changed since the scan raises
    StaleIndexError instead of giving other events."""
    layout = _layout(layout)
    size = _count(events_per_partition, "events_per_partition", least=1)
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    names = [os.fspath(p) for p in paths]
    if not names:
        raise ValueError("to_dask needs at least one file")
    parts: List[Any] = []
    for name in names:
        index = scan(name, layout)
        n = len(index)
        mark = delayed(_FileMark(index), pure=True)
        for start in range(0, max(n, 1), size):
            first = index._header(start) if n else None
            parts.append(delayed(_partition, pure=True)(
                name, layout, start, min(start + size, n), mark, first))
    meta = _frame(read(names[0], layout, stop=0))
    return dd.from_delayed(parts, meta=meta)
