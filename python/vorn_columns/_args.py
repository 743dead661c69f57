"""What the public functions take: the types of their arguments, and the checks each
makes where it is given (TypeError for the wrong kind, ValueError for the wrong value)."""
from __future__ import annotations

import io
import operator
import os
from typing import IO, Any, Literal, Optional, Tuple, Union, cast

import numpy as np

from ._layouts import FIELDS

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# A layout's name: exactly "WD1" or "WD2".
Layout = Literal["WD1", "WD2"]
# A path, or a binary file object (anything with readinto1, read1, readinto or read).
Source = Union[PathLike, IO[bytes], io.RawIOBase, io.BufferedIOBase]

UNLIMITED = 2**64 - 1  # no file holds 2**64 records: past that, a count means "all"
MOST = 2**63 - 1  # the largest max_events and max_bytes

_LAYOUT_NAMES = " or ".join(", ".join(repr(n) for n in FIELDS).rsplit(", ", 1))


def layout(value: Any) -> Layout:
    if type(value) is not str or value not in FIELDS:
        raise ValueError(f"layout must be {_LAYOUT_NAMES}, not {value!r}")
    return cast(Layout, value)


def count(value: Any, name: str, *, least: int = 0, most: Optional[int] = None,
          none: Optional[int] = None) -> int:
    """An integer argument, checked where it is given: TypeError for anything
    else (bools too), ValueError outside [least, most]."""
    if value is None and none is not None:
        return none
    try:
        if isinstance(value, (bool, np.bool_)):
            raise TypeError
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < least:
        raise ValueError(f"{name} must be at least {least}, not {number}")
    if most is not None and number > most:
        raise ValueError(f"{name} must be at most {most}, not {number}")
    return number


def limits(max_events: Any, max_bytes: Any) -> Tuple[int, int]:
    return (count(max_events, "max_events", least=1, most=MOST, none=UNLIMITED),
            count(max_bytes, "max_bytes", least=1, most=MOST))


def features(spec: Any, samples: Any) -> Tuple[Optional[Tuple[Any, ...]], bool]:
    """The native parameters of `features` (a Features, or None) and whether
    the batches keep their samples: always without features, else only with
    samples=True."""
    if samples is not None and not isinstance(samples, bool):
        raise TypeError(f"samples must be True, False or None, not {type(samples).__name__}")
    if spec is None:
        if samples is False:
            raise ValueError("samples=False keeps nothing but the headers: give features=, or "
                             "use scan() for the headers alone")
        return None, True
    params = getattr(type(spec), "_params", None)
    if params is None:
        raise TypeError(f"features must be a vorn_columns.Features, not {type(spec).__name__}")
    return params(spec), bool(samples)
