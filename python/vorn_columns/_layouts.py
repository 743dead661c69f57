"""The layouts the native decoder reads, as it describes them: each one's header fields in key
order with their dtypes, the dtype of its samples, and the roles its fields play. The rest of
the package takes names, types and every per-layout rule from here."""
from __future__ import annotations

from typing import Dict, NamedTuple, Optional, Tuple

import numpy as np

from . import _native


class Description(NamedTuple):
    name: str
    fields: Tuple[str, ...]  # in key order
    dtypes: Dict[str, np.dtype]
    sample_dtype: np.dtype
    header: int  # bytes before the samples, without a channel word
    channel_header: int  # with one (header where the layout has none)
    counter: str  # the field that counts events
    block_field: str  # the field that sizes the sample block
    block_rule: str  # "record_size" (bytes, header included) or "sample_count" (per channel)
    plausible_from: int  # a block field below this is no recording's (detection)
    constant: Tuple[str, ...]  # fields that keep one value within a file
    channel_field: Optional[str]  # the channel word, in files of two or more channels
    refusal: str  # what makes a record unreadable, as errors say it

    def record_samples(self, record_bytes: np.ndarray, channels: int) -> np.ndarray:
        """Samples per record (all channels) of records of these sizes, as the decoder
        sized their blocks: the bytes after the header, in whole samples."""
        header = self.channel_header if self.channel_field and channels >= 2 else self.header
        return (np.asarray(record_bytes, np.int64) - header) // self.sample_dtype.itemsize


def _describe(name: str, d: _native._Description) -> Description:
    return Description(
        name, tuple(f for f, _ in d["fields"]), {f: np.dtype(t) for f, t in d["fields"]},
        np.dtype(d["samples"]), d["header"], d["channel_header"], d["counter"],
        d["block_field"], d["block_rule"], d["plausible_from"], d["constant"],
        d["channel_field"], d["refusal"])


DESCRIPTIONS: Dict[str, Description] = {
    name: _describe(name, d) for name, d in _native.LAYOUTS.items()}
# Field names per layout, in key order.
FIELDS: Dict[str, Tuple[str, ...]] = {name: d.fields for name, d in DESCRIPTIONS.items()}
# The dtype of each header column, per layout.
FIELD_DTYPES: Dict[str, Dict[str, np.dtype]] = {
    name: d.dtypes for name, d in DESCRIPTIONS.items()}
# The dtype of the samples column, per layout.
SAMPLE_DTYPES: Dict[str, np.dtype] = {name: d.sample_dtype for name, d in DESCRIPTIONS.items()}
# The longest header of any layout: what detection reads past its span.
LONGEST_HEADER = max(d.channel_header for d in DESCRIPTIONS.values())
# Sample offsets, and a scan's record positions.
OFFSET_DTYPE = np.dtype(_native.OFFSET_TYPE)
