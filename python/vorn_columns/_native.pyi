# The batch decoder of src/python/columns_module.cpp, as vorn_columns/_reading.py uses it,
# and the Arrow export of src/python/arrow_export.cpp, as vorn_columns/arrow.py uses it.
from typing import Any, Dict, Literal, Optional, Sequence, Tuple, TypedDict

import numpy as np
import numpy.typing as npt


class NativeBatch:
    """A batch as the decoder made it: its memory, layout, counts and how the
    walk ended. Made by Decoder only; vorn_columns.Batch holds one."""
    @property
    def layout(self) -> str: ...
    @property
    def first(self) -> int: ...
    @property
    def channels(self) -> int: ...
    # A new dict of the header columns, by field, in the layout's key order.
    @property
    def columns(self) -> Dict[str, npt.NDArray[Any]]: ...
    # None for a batch of headers alone (a scan's).
    @property
    def samples(self) -> Optional[npt.NDArray[Any]]: ...
    @property
    def offsets(self) -> Optional[npt.NDArray[np.int64]]: ...
    # A scan's record positions, one more than its events; else None.
    @property
    def positions(self) -> Optional[npt.NDArray[np.int64]]: ...
    # "" where the walk ended cleanly (at its limit or the end of the records).
    @property
    def outcome(self) -> Literal["", "corrupt", "error", "mismatch", "truncated"]: ...
    # The byte offset of the record a "corrupt" or "mismatch" outcome names.
    @property
    def offset(self) -> int: ...
    def __len__(self) -> int: ...
    # Raises the outcome's exception, having let go of the batch's arrays;
    # `how` says what the caller does about the events before a corrupt record
    # ("{index}" is replaced by its number).
    def raise_outcome(self, how: str, /) -> None: ...
    # A batch of the class registered (vorn_columns.Batch, which this module,
    # below it, does not import) holding this batch; `events`: the chosen
    # events' numbers.
    def batch(self, events: Optional[npt.NDArray[np.int64]] = ..., /) -> Any: ...

class Decoder:
    # `input`: a path as bytes, an open file's descriptor (read from its start through a
    # duplicate), or a binary file object (read from where it stands).
    # `channels`: the channel count an earlier probe of the file found, which skips the probe.
    def __new__(cls, input: Any, layout: str, filename: Any, channels: int = ...) -> Decoder: ...
    @property
    def position(self) -> int: ...
    @property
    def channels(self) -> int: ...
    # The events from the position, numbered from `first`.
    def decode(self, first: int, max_events: int, max_bytes: int,
               features: Optional[FeatureParams] = ..., samples: bool = ..., /) -> NativeBatch: ...
    # Headers and positions (store) or only the count of records stepped over.
    def scan(self, first: int, max_events: int, store: bool, /) -> NativeBatch: ...
    def seek(self, position: int, /) -> None: ...
    # The records at the positions and sizes given as native int64 buffers.
    def pick(self, positions: bytes, sizes: bytes, features: Optional[FeatureParams] = ...,
             samples: bool = ..., /) -> NativeBatch: ...
    # (inode, size) of the open file; size is None but for a regular file.
    def identity(self) -> Tuple[Optional[int], Optional[int]]: ...
    def iterate(self, start: int, stop: int, max_events: int, max_bytes: int,
                features: Optional[FeatureParams] = ..., samples: bool = ..., at: int = ...,
                /) -> None: ...
    def next_batch(self) -> Any: ...  # a batch of the class registered
    # An "arrow_array_stream" PyCapsule whose reads step the iteration.
    def stream(self) -> Any: ...

# The package's Batch and exception classes, and (filename, layout) -> the
# other layout the file reads as, or None.
def register(batch_type: type, corrupt_error: type, stale_error: type,
             other_layout: Any, /) -> None: ...

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

class ColumnMemory:
    """The owner of a batch's memory: the base of its arrays."""

# PyCapsules of the Arrow PyCapsule interface.
def export_schema(layout: str, channels: int, features: Sequence[str] = ..., samples: bool = ...,
                  /) -> Any: ...

# The parameters of Features, as Features._params() hands them over: polarity,
# baseline, integral, integral_around_peak, cfd_fraction, trapezoid, decay,
# saturation, select.
FeatureParams = Tuple[int, Tuple[int, int], Optional[Tuple[int, int]], Optional[Tuple[int, int]],
                      float, Optional[Tuple[int, int]], Optional[float], Tuple[int, int],
                      Optional[Tuple[str, ...]]]
FEATURES: Tuple[str, ...]
def check_features(params: FeatureParams, /) -> Optional[str]: ...
def compute_features(layout: str, channels: int, samples: Any, offsets: Any,
                     params: FeatureParams, /) -> Dict[str, Any]: ...
def export_batch(batch: Any, /) -> Any: ...
def export_batch_stream(batch: Any, /) -> Any: ...
