# The batch decoder of src/python/columns_module.cpp, as vorn_columns/__init__.py uses it,
# and the Arrow export of src/python/arrow_export.cpp, as vorn_columns/arrow.py uses it.
from typing import Any, Callable, Dict, Iterator, Literal, Optional, Tuple, TypedDict, overload

import numpy as np
import numpy.typing as npt

from . import Batch

# (stop, detail): the reason a walk ended, and the corrupt record's offset or the
# errno of an input error, else None.
_Stop = Tuple[int, Any]
_Columns = Tuple[npt.NDArray[Any], ...]

class Decoder:
    # `input`: a path as bytes, an open file's descriptor (read from its start through a
    # duplicate), or a binary file object (read from where it stands).
    # `channels`: the channel count an earlier probe of the file found, which skips the probe.
    def __new__(cls, input: Any, layout: str, filename: Any, channels: int = ...) -> Decoder: ...
    @property
    def position(self) -> int: ...
    @property
    def channels(self) -> int: ...
    def decode(self, max_events: int, max_bytes: int, pooled: bool, /
               ) -> Tuple[_Columns, npt.NDArray[Any], npt.NDArray[np.int64], _Stop]: ...
    @overload
    def scan(self, max_events: int, store: Literal[True], /
             ) -> Tuple[int, _Columns, npt.NDArray[np.int64], _Stop]: ...
    @overload
    def scan(self, max_events: int, store: Literal[False], /) -> Tuple[int, None, None, _Stop]: ...
    def seek(self, position: int, /) -> None: ...
    # The records at the positions and sizes given as native int64 buffers.
    def pick(self, positions: bytes, sizes: bytes, /
             ) -> Tuple[_Columns, npt.NDArray[Any], npt.NDArray[np.int64], _Stop]: ...
    # (inode, size) of the open file; size is None but for a regular file.
    def identity(self) -> Tuple[Optional[int], Optional[int]]: ...
    def iterate(self, start: int, stop: int, max_events: int, max_bytes: int, /) -> None: ...
    def next_batch(self) -> Batch: ...

def register(batch_type: type,
             failure: Callable[[_Stop, Any, str, int], Optional[BaseException]], /) -> None: ...

# Frees the memory kept from dropped reads; the bytes it held.
def release_memory() -> int: ...
# The threads a read started now would run on (for the tests).
def _read_threads() -> int: ...

class _Description(TypedDict):
    fields: Tuple[Tuple[str, str], ...]  # (field, typestr) in key order
    samples: str  # the samples' typestr
    header: int  # bytes before the samples, without a channel word
    channel_header: int  # with one
    counter: str
    block_field: str
    block_rule: Literal["record_size", "sample_count"]
    plausible_from: int
    constant: Tuple[str, ...]
    channel_field: Optional[str]
    refusal: str

# Per layout, its description and roles.
LAYOUTS: Dict[str, _Description]
# The typestr of sample offsets and record positions.
OFFSET_TYPE: str

# Why a walk stopped, the first of the (stop, detail) pairs.
STOP_LIMIT: int
STOP_END: int
STOP_CORRUPT: int
STOP_ERROR: int
STOP_MISMATCH: int
STOP_TRUNCATED: int

class ColumnMemory:
    """The owner of a batch's memory: the base of its arrays."""

# PyCapsules of the Arrow PyCapsule interface.
def export_schema(layout: str, channels: int, /) -> Any: ...
def export_batch(batch: Any, /) -> Any: ...
def export_stream(layout: str, channels: int, iterator: Iterator[Any], /) -> Any: ...
