"""Batches as Arrow data without copying: the Arrow PyCapsule interface of
``Batch`` and ``BatchIterator``.

A batch is a record batch: the header columns, its pulse features if it was
read with them (a fixed-size list of one value per channel for a WD2 file of
several), then ``data``, a large list of each event's samples whose offsets
buffer is ``Batch.offsets`` and whose values buffer is ``Batch.samples`` (no
``data`` for a batch read with features alone). Every Arrow buffer is an array's own
memory. An export of the arrays a batch was read into shares that memory with
them, so it stays valid until its consumer releases it, from any thread; an
array put into a batch by its user is kept alive by the export instead. No
field is nullable. The schema metadata holds ``vorn.layout`` and, for WD2,
``vorn.channels``. A ``requested_schema`` is not followed (the interface makes
it a request): the data keeps its own types.
"""
from __future__ import annotations

import struct
from typing import Any, Optional, Tuple

from ._native import export_batch, export_batch_stream, export_schema


def metadata(pairs: Tuple[Tuple[str, str], ...]) -> bytes:
    """The ArrowSchema metadata encoding: an int32 pair count, then each key
    and value as an int32 byte length and UTF-8 bytes, in native byte order."""
    out = [struct.pack("=i", len(pairs))]
    for key, value in pairs:
        for text in (key.encode(), value.encode()):
            out += [struct.pack("=i", len(text)), text]
    return b"".join(out)


def schema_capsule(layout: str, channels: int, columns: Tuple[str, ...] = (),
                   samples: bool = True) -> Any:
    """The "arrow_schema" PyCapsule of batches of `layout` holding the
    features among `columns`, and the samples unless `samples` is False."""
    return export_schema(layout, channels, columns, samples)


def array_capsules(batch: Any, requested_schema: Optional[Any] = None) -> Tuple[Any, Any]:
    """The ("arrow_schema", "arrow_array") PyCapsules of one batch."""
    return batch.__arrow_c_schema__(), export_batch(batch)


def batch_stream_capsule(batch: Any, requested_schema: Optional[Any] = None) -> Any:
    """The "arrow_array_stream" PyCapsule of one batch, made anew each call,
    so that a consumer that opens its source again reads the same rows."""
    return export_batch_stream(batch)


def stream_capsule(decoder: Any, requested_schema: Optional[Any] = None) -> Any:
    """The "arrow_array_stream" PyCapsule over a BatchIterator's decoder: each
    read of the stream steps the iteration, on whichever thread reads, with
    the interpreter only where a file object is read or an error described."""
    return decoder.stream()
