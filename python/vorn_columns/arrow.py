"""Batches as Arrow data without copying: the Arrow PyCapsule interface of
``Batch`` and ``BatchIterator``.

A batch is a record batch: the header columns, then ``data``, a large list of
each event's samples whose offsets buffer is ``Batch.offsets`` and whose
values buffer is ``Batch.samples``. Every Arrow buffer is a NumPy array's own
memory, and each exported array keeps the arrays it points into alive until
its consumer releases it. No field is nullable. The schema metadata holds
``vorn.layout`` and, for WD2, ``vorn.channels``. A ``requested_schema`` is
not followed (the interface makes it a request): the data keeps its own types.
"""
from __future__ import annotations

import struct
from typing import Any, Dict, Iterator, List, Optional, Tuple

import numpy as np

from . import FIELDS
from ._arrow import export_array, export_schema, export_stream
from ._native import ColumnMemory

COLUMN_TYPES: Dict[str, Tuple[np.dtype, ...]] = {
    "WD1": (np.dtype(np.int32),) * 6,
    "WD2": tuple(np.dtype(t) for t in (np.uint32, np.uint64, np.uint32, np.uint64, np.int32)),
}
SAMPLE_TYPES: Dict[str, np.dtype] = {"WD1": np.dtype(np.uint16), "WD2": np.dtype(np.float32)}
_FORMATS = {np.dtype(np.int32): "i", np.dtype(np.uint32): "I", np.dtype(np.uint64): "L",
            np.dtype(np.uint16): "S", np.dtype(np.float32): "f"}


def metadata(pairs: Tuple[Tuple[str, str], ...]) -> bytes:
    """The ArrowSchema metadata encoding: an int32 pair count, then each key
    and value as an int32 byte length and UTF-8 bytes, in native byte order."""
    out = [struct.pack("=i", len(pairs))]
    for key, value in pairs:
        for text in (key.encode(), value.encode()):
            out += [struct.pack("=i", len(text)), text]
    return b"".join(out)


def _schema(layout: str, channels: int) -> tuple:
    """(format, name, metadata, flags, children), as _arrow reads a schema."""
    pairs: Tuple[Tuple[str, str], ...] = (("vorn.layout", layout),)
    if layout == "WD2":
        pairs += (("vorn.channels", str(channels)),)
    fields = tuple((_FORMATS[t], name, b"", 0, ())
                   for name, t in zip(FIELDS[layout], COLUMN_TYPES[layout]))
    item = (_FORMATS[SAMPLE_TYPES[layout]], "item", b"", 0, ())
    return ("+s", "", metadata(pairs), 0, fields + (("+L", "data", b"", 0, (item,)),))


def _buffer(array: Any, dtype: np.dtype, what: str) -> Tuple[int, int]:
    """(address, length) of a 1-D contiguous array of exactly `dtype`."""
    if not isinstance(array, np.ndarray) or array.dtype != dtype or array.ndim != 1 \
            or not array.flags.c_contiguous:
        raise TypeError(f"{what} must be a contiguous 1-D {dtype} array to be shared with Arrow")
    return array.__array_interface__["data"][0], len(array)


def _decoded(offsets: np.ndarray) -> bool:
    """Whether `offsets` is (a slice of) offsets that the decoder made: they
    rise by construction and, read-only over memory nothing else can reach,
    stay so. Only other arrays are checked element by element, so that the
    export of a batch costs the same whatever its size."""
    return isinstance(offsets.base, ColumnMemory) and not offsets.flags.writeable


def _array(batch: Any, layout: str) -> tuple:
    """(length, owner, buffer addresses, children), as _arrow reads an array:
    each node is owned by the array its buffer lies in."""
    samples, offsets = batch.samples, batch.offsets
    values, count = _buffer(samples, SAMPLE_TYPES[layout], "samples")
    starts, n = _buffer(offsets, np.dtype(np.int64), "offsets")
    n -= 1
    if n < 0 or offsets[0] < 0 or offsets[-1] > count or not (_decoded(offsets) or np.all(
            offsets[1:] >= offsets[:-1])):
        raise ValueError("offsets must rise from 0 or more to at most len(samples)")
    children: List[tuple] = []
    for name, dtype in zip(FIELDS[layout], COLUMN_TYPES[layout]):
        column = batch.columns[name]
        address, length = _buffer(column, dtype, f"column {name!r}")
        if length != n:
            raise ValueError(f"column {name!r} has {length} values for {n} events")
        children.append((n, column, (0, address), ()))
    item = (count, samples, (0, values), ())
    children.append((n, offsets, (0, starts), (item,)))
    return (n, None, (0,), tuple(children))


def schema_capsule(layout: str, channels: int) -> Any:
    """The "arrow_schema" PyCapsule of batches of `layout`."""
    return export_schema(_schema(layout, channels))


def array_capsules(batch: Any, requested_schema: Optional[Any] = None) -> Tuple[Any, Any]:
    """The ("arrow_schema", "arrow_array") PyCapsules of one batch."""
    return (schema_capsule(batch.layout, batch.channels),
            export_array(_array(batch, batch.layout)))


def stream_capsule(batches: Any, requested_schema: Optional[Any] = None) -> Any:
    """The "arrow_array_stream" PyCapsule over a BatchIterator: each read of
    the stream takes the iterator's next batch, from whichever thread reads."""
    layout = batches.layout
    iterator: Iterator[Any] = iter(batches)

    def next_array() -> Optional[tuple]:
        batch = next(iterator, None)
        return None if batch is None else _array(batch, layout)

    return export_stream(_schema(layout, batches.channels), next_array)
