"""The pulse feature definitions in float64 NumPy, record by record, as the README states
them: what the native features are compared with. Each value comes with the magnitude of the
terms summed to make it, which bounds the rounding two honest summations may differ by."""
import math

import numpy as np

NAMES = ("baseline", "baseline_rms", "amplitude", "peak_index", "integral", "cfd_time",
         "rise_time", "trapezoid_max", "saturated")


def _crossing(y, b1, peak, amp, f):
    """The crossing of f*amp walking back from the peak, in samples; NaN if none."""
    if peak < 0 or not amp > 0:
        return math.nan
    level = f * amp
    i = np.arange(b1 + 1, peak + 1)
    hit = np.flatnonzero((y[i - 1] < level) & (level <= y[i]))
    if not len(hit):
        return math.nan
    i = int(i[hit[-1]])
    return (i - 1) + (level - y[i - 1]) / (y[i] - y[i - 1])


def record(x, params):
    """The features of one record (or one channel) `x` of float64 samples, and their
    scales: two dicts by name. peak_index and saturated are exact."""
    with np.errstate(invalid="ignore", over="ignore", divide="ignore"):
        return _record(x, params)


def _record(x, params):
    s, (b0, b1), integral, around, f, trapezoid, decay, (lo, hi), _ = params
    x = np.asarray(x, np.float64)
    n = len(x)
    finite = np.abs(x[np.isfinite(x)])
    mag = float(finite.sum())
    v = dict.fromkeys(NAMES, math.nan)
    scale = dict.fromkeys(NAMES, mag)
    b = math.nan
    if n >= b1:
        b = float(np.sum(x[b0:b1])) / (b1 - b0)
        v["baseline"] = b
        v["baseline_rms"] = math.sqrt(float(np.sum((x[b0:b1] - b) ** 2)) / (b1 - b0))
    y = s * (x - b)
    peak, amp = -1, math.nan
    tail = y[b1:]
    if len(tail) and not np.isnan(tail).any():
        peak = b1 + int(np.argmax(tail))
        amp = float(y[peak])
    v["amplitude"], v["peak_index"] = amp, peak

    if around is not None:
        window = (max(0, peak - around[0]), min(n, peak + around[1])) if peak >= 0 else None
    elif integral is not None:
        window = tuple(integral) if n >= integral[1] else None
    else:
        window = (b1, n) if n > b1 else None
    scale["integral"] = 0.0
    if window is not None:
        v["integral"] = float(np.sum(y[window[0]:window[1]]))
        part = x[window[0]:window[1]]
        scale["integral"] = float(np.abs(part[np.isfinite(part)]).sum()) + len(part) * abs(b)

    v["cfd_time"] = _crossing(y, b1, peak, amp, f)
    v["rise_time"] = _crossing(y, b1, peak, amp, 0.9) - _crossing(y, b1, peak, amp, 0.1)
    for name in ("cfd_time", "rise_time"):
        scale[name] = 0.0

    if trapezoid is not None and n >= 2 * trapezoid[0] + trapezoid[1]:
        v["trapezoid_max"], k = trapezoid_max(y, trapezoid, decay)
        scale["trapezoid_max"] = (mag + n * abs(b)) * (1 + k * n)
    v["saturated"] = bool(n) and bool(np.any((x <= lo) | (x >= hi)))
    return v, scale


def trapezoid_max(y, trapezoid, decay):
    """max T over the outputs, each window summed term by term (so infinities and NaN
    count as they would), and the pole-zero coefficient used."""
    rise, flat = trapezoid
    k = 1 - math.exp(-1 / decay) if decay is not None else 0.0
    w = y + k * np.concatenate(([0.0], np.cumsum(y)[:-1])) if k else y
    sums = np.lib.stride_tricks.sliding_window_view(w, rise).sum(axis=1)  # [j, j + rise)
    late = sums[rise + flat:]  # ends at i, i from 2 rise + flat - 1
    early = sums[:len(late)]
    t = (late - early) / rise
    return float(np.max(t)), k


def event(samples, channels, params):
    """Per channel, the features of one event's samples (channel-major, as WD2 stores
    them)."""
    per = np.asarray(samples, np.float64).reshape(max(channels, 1), -1)
    return [record(row, params) for row in per]
