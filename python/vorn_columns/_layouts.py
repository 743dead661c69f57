"""The layouts the native decoder reads, as it describes them: each one's
header fields in key order with their dtypes, and the dtype of its samples.
The rest of the package takes names and types from here."""
from __future__ import annotations

from typing import Dict, Tuple

import numpy as np

from . import _native

# Field names per layout, in key order.
FIELDS: Dict[str, Tuple[str, ...]] = {
    name: tuple(field for field, _ in fields) for name, (fields, _) in _native.LAYOUTS.items()}
# The dtype of each header column, per layout.
FIELD_DTYPES: Dict[str, Dict[str, np.dtype]] = {
    name: {field: np.dtype(typestr) for field, typestr in fields}
    for name, (fields, _) in _native.LAYOUTS.items()}
# The dtype of the samples column, per layout.
SAMPLE_DTYPES: Dict[str, np.dtype] = {
    name: np.dtype(typestr) for name, (_, typestr) in _native.LAYOUTS.items()}
# Sample offsets, and a scan's record positions.
OFFSET_DTYPE = np.dtype(_native.OFFSET_TYPE)
