"""WD1 and WD2 event files as NumPy columns, many events at a time.

Each batch holds one array per header field, every event's samples one after
another in one array, and the offsets that split them. The events are exactly
those that ``vorn.EventReader`` yields for the same file.

This module only gathers the public names; each subject has a module of its
own (see the README's architecture notes).
"""
from __future__ import annotations

from typing import TYPE_CHECKING

from ._args import Layout as Layout, PathLike as PathLike, Source as Source
from ._batch import Batch
from ._index import Index
from ._errors import CorruptRecordError, StaleIndexError, StaleIndexWarning
from ._features import Features
from ._frames import scan_polars, to_dask
from ._layouts import FIELDS as FIELDS  # each layout's header fields, in key order
from ._reading import (BatchIterator, detect_layout, follow, iter_batches, read,
                       release_memory, scan)
from ._sources import CorruptStreamError
from ._take import take
from ._version import __version__ as __version__

if TYPE_CHECKING:
    from ._batch import (WD1Batch as WD1Batch, WD1Columns as WD1Columns, WD2Batch as WD2Batch,
                         WD2Columns as WD2Columns)
    from ._reading import (WD1BatchIterator as WD1BatchIterator,
                           WD2BatchIterator as WD2BatchIterator)

__all__ = ["Batch", "BatchIterator", "CorruptRecordError", "CorruptStreamError", "Features",
           "Index", "StaleIndexError", "StaleIndexWarning", "detect_layout", "follow",
           "iter_batches", "read",
           "release_memory", "scan", "scan_polars", "take", "to_dask"]
