"""Pulse features: the parameters of a reduction of each event's samples to a few numbers,
checked and normalised once here, then handed to the native kernel as a plain tuple."""
from __future__ import annotations

import functools
import numbers
from typing import (Any, Dict, Iterable, Literal, Optional, Sequence, Tuple, Union)

import numpy as np

from . import _args, _native
from ._batch import Batch

# The feature columns, in the order a read yields them.
FEATURES: Tuple[str, ...] = _native.FEATURES

Pair = Tuple[int, int]
# The tuple the native side takes: polarity (+1, -1), baseline, integral, integral_around_peak,
# cfd_fraction, trapezoid, decay, saturation, select (None: every feature defined).
Params = Tuple[int, Pair, Optional[Pair], Optional[Pair], float, Optional[Pair],
               Optional[float], Pair, Optional[Tuple[str, ...]]]

_POLARITIES = {"positive": 1, "negative": -1}
_INT64 = (-(2**63), 2**63 - 1)


def _pair(value: Any, name: str, what: str) -> Pair:
    """Two integers, refusing bools and anything that is not a pair of them."""
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"{name} must be a pair of integers ({what}), not "
                        f"{type(value).__name__}")
    items = tuple(value)
    if len(items) != 2:
        raise TypeError(f"{name} must be a pair of integers ({what}), not {len(items)} values")
    low, high = _INT64
    first, second = (_args.count(v, name, least=low, most=high) for v in items)
    return first, second


def _optional_pair(value: Any, name: str, what: str) -> Optional[Pair]:
    return None if value is None else _pair(value, name, what)


def _real(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def _select(value: Any) -> Optional[Tuple[str, ...]]:
    """The names in column order, each once (a single name is a list of one)."""
    if value is None:
        return None
    names = (value,) if isinstance(value, str) else value
    if not isinstance(names, Iterable) or isinstance(names, bytes):
        raise TypeError(f"select must be feature names, not {type(value).__name__}")
    names = tuple(names)
    for n in names:
        if not isinstance(n, str):
            raise TypeError(f"select must be feature names (str), not {type(n).__name__}")
    if not names:
        raise ValueError("select: name at least one feature, or pass None for all of them")
    order = {n: i for i, n in enumerate(FEATURES)}
    return tuple(sorted(set(names), key=lambda n: (order.get(n, len(order)), n)))


class Features:
    """Which pulse features to compute from each event's samples, and how.

    ``polarity`` is ``"positive"`` or ``"negative"`` (pulses that go down
    from the baseline); the keywords are the windows and constants of the
    definitions (see the README's "Pulse features"). The parameters are
    checked here (TypeError, or ValueError naming the parameter); a Features
    is immutable, compares and hashes by its parameters, and pickles."""

    __module__ = "vorn_columns"
    __slots__ = ("polarity", "baseline", "integral", "integral_around_peak", "cfd_fraction",
                 "trapezoid", "decay", "saturation", "select")

    polarity: Literal["positive", "negative"]
    baseline: Pair
    integral: Optional[Pair]
    integral_around_peak: Optional[Pair]
    cfd_fraction: float
    trapezoid: Optional[Pair]
    decay: Optional[float]
    saturation: Pair
    select: Optional[Tuple[str, ...]]

    def __init__(self, polarity: Literal["positive", "negative"], *,
                 baseline: Sequence[int] = (0, 32),
                 integral: Optional[Sequence[int]] = None,
                 integral_around_peak: Optional[Sequence[int]] = None,
                 cfd_fraction: float = 0.5,
                 trapezoid: Optional[Sequence[int]] = None,
                 decay: Optional[float] = None,
                 saturation: Sequence[int] = (0, 65535),
                 select: Union[str, Iterable[str], None] = None) -> None:
        if not isinstance(polarity, str):
            raise TypeError(f"polarity must be 'positive' or 'negative', not "
                            f"{type(polarity).__name__}")
        if polarity not in _POLARITIES:
            raise ValueError(f"polarity: must be 'positive' or 'negative', not {polarity!r}")
        values = {
            "polarity": polarity,
            "baseline": _pair(baseline, "baseline", "start, stop"),
            "integral": _optional_pair(integral, "integral", "start, stop"),
            "integral_around_peak": _optional_pair(integral_around_peak, "integral_around_peak",
                                                   "pre, post"),
            "cfd_fraction": _real(cfd_fraction, "cfd_fraction"),
            "trapezoid": _optional_pair(trapezoid, "trapezoid", "rise, flat"),
            "decay": None if decay is None else _real(decay, "decay"),
            "saturation": _pair(saturation, "saturation", "low, high"),
            "select": _select(select),
        }
        for name, value in values.items():
            object.__setattr__(self, name, value)
        error = _native.check_features(self._params())
        if error is not None:
            raise ValueError(error)

    def _params(self) -> Params:
        """The parameters as the native kernel takes them."""
        return (_POLARITIES[self.polarity], self.baseline, self.integral,
                self.integral_around_peak, self.cfd_fraction, self.trapezoid, self.decay,
                self.saturation, self.select)

    def _keywords(self) -> Dict[str, Any]:
        return {name: getattr(self, name) for name in self.__slots__[1:]}

    def names(self, layout: _args.Layout) -> Tuple[str, ...]:
        """The feature columns a read of `layout` yields, in order: those
        selected, else every one the parameters define (``trapezoid_max``
        with ``trapezoid``, ``saturated`` for WD1 only)."""
        layout = _args.layout(layout)
        wanted = FEATURES if self.select is None else self.select
        return tuple(n for n in wanted
                     if (n != "trapezoid_max" or self.trapezoid is not None)
                     and (n != "saturated" or layout == "WD1"))

    def compute(self, batch: Batch) -> Batch:
        """A new Batch of the events of `batch` with their features computed
        from its samples (which it keeps, and shares): its header columns,
        then the feature columns, as a read with ``features=`` gives them."""
        if not isinstance(batch, Batch):
            raise TypeError(f"compute() takes a vorn_columns.Batch, not {type(batch).__name__}")
        batch._samples_kept("compute()")
        found = _native.compute_features(batch.layout, batch.channels, batch.samples,
                                         batch.offsets, self._params())
        columns = {name: column for name, column in batch.columns.items()
                   if name not in FEATURES}
        columns.update(found)
        return Batch(batch.layout, batch.first, batch.channels, columns, batch.samples,
                     batch.offsets, getattr(batch, "_events", None))

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"a Features is immutable: make a new one to change {name}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"a Features is immutable: {name} cannot be deleted")

    def __repr__(self) -> str:
        keywords = ", ".join(f"{k}={v!r}" for k, v in self._keywords().items())
        return f"Features({self.polarity!r}, {keywords})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Features):
            return NotImplemented
        return self._params() == other._params()

    def __hash__(self) -> int:
        return hash(self._params())

    def __reduce__(self) -> Tuple[Any, ...]:
        return functools.partial(Features, **self._keywords()), (self.polarity,)
