"""The package's own exceptions for records and indexes (compressed input's is
_sources.CorruptStreamError): raised natively by the decoder and by the reading functions."""
from __future__ import annotations

import functools
import os
from typing import Any, Tuple


class CorruptRecordError(ValueError):
    """A record that cannot be read: a WD1 ``event_size`` of 22 or less, or a
    WD2 sample block larger than any object can be. ``index`` is the event's
    index in the file, ``offset`` the byte offset of its first byte."""

    __module__ = "vorn_columns"  # its public name, which pickles refer to

    def __init__(self, message: str, *, index: int, offset: int, filename: Any) -> None:
        super().__init__(message)
        self.index = index
        self.offset = offset
        self.filename = filename

    def __reduce__(self) -> Tuple[Any, ...]:
        # The keyword-only fields go along, so that the error survives pickle
        # (raised in a worker process) and copy.
        rebuild = functools.partial(type(self), index=self.index, offset=self.offset,
                                    filename=self.filename)
        return rebuild, self.args, self.__dict__


class StaleIndexError(ValueError):
    """The file no longer holds what an index or a reader knew of it: it was
    replaced, truncated or rewritten. ``reason`` says what changed."""

    __module__ = "vorn_columns"

    def __init__(self, message: str, *, filename: Any, reason: str) -> None:
        super().__init__(message)
        self.filename = filename
        self.reason = reason

    def __reduce__(self) -> Tuple[Any, ...]:
        rebuild = functools.partial(type(self), filename=self.filename, reason=self.reason)
        return rebuild, self.args, self.__dict__


class StaleIndexWarning(UserWarning):
    """An index sidecar found beside a file was not used, since it does not describe the file
    as it is now; the file was scanned instead."""

    __module__ = "vorn_columns"


def stale(filename: Any, reason: str) -> StaleIndexError:
    return StaleIndexError(f"{os.fsdecode(filename)}: the index no longer describes this file: "
                           f"{reason}; scan it again", filename=filename, reason=reason)
