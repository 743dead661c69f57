"""Pulse features against what users write today: the same features in vectorised NumPy,
whole-array passes over batches of 2,000 events of `vc.read` columns (mean, max, argmax, sum
along the samples; cumulative sums for the trapezoid), and a plain `vc.read`.

Kernel: `spec.compute` over a batch in memory, the process pinned to one CPU, GB/s of samples.
Loop: the wall time of reading every file of a set in turn (WD1 records of 1,024 samples, in
the page cache, default threads), each reader once a round in a rotating order, median over the
rounds of the ratio within each.
"""
import os
import statistics
import time

import numpy as np

import vorn_columns as vc
from workloads import BY_NAME, MB, generate, warm

WORKLOAD = "wd1_1024"
SETS = (8, 25 * MB)  # files, bytes each
QUICK_SETS = (2, 2 * MB)
BATCH = 2000  # events per NumPy pass
BASELINE = (0, 32)
TRAPEZOID, DECAY = (32, 16), 500.0
SIMPLE = vc.Features("positive", baseline=BASELINE,
                     select=["baseline", "amplitude", "peak_index", "integral"])
CHAIN = vc.Features("positive", baseline=BASELINE, trapezoid=TRAPEZOID, decay=DECAY,
                    select=["baseline", "baseline_rms", "amplitude", "peak_index", "integral",
                            "cfd_time", "rise_time", "trapezoid_max"])
SPECS = {"simple": SIMPLE, "chain": CHAIN}


def numpy_simple(wf):
    """baseline, amplitude, peak_index and integral of a batch of waveforms."""
    b0, b1 = BASELINE
    base = wf[:, b0:b1].mean(axis=1)
    tail = wf[:, b1:]
    at = tail.argmax(axis=1)
    top = np.take_along_axis(tail, at[:, None], axis=1)[:, 0]
    integral = tail.sum(axis=1, dtype=np.int64) - base * tail.shape[1]
    return {"baseline": base, "amplitude": top - base, "peak_index": b1 + at,
            "integral": integral}


def _crossing(y, peak, amp, f):
    """The crossing of f*amp walking back from the peak, row by row."""
    n = y.shape[1]
    level = (f * amp)[:, None]
    i = np.arange(1, n)
    hit = (y[:, :-1] < level) & (level <= y[:, 1:]) & (i > BASELINE[1]) & (i <= peak[:, None])
    last = n - 1 - hit[:, ::-1].argmax(axis=1)
    rows = np.arange(len(y))
    lo, hi = y[rows, last - 1], y[rows, last]
    with np.errstate(invalid="ignore", divide="ignore"):
        t = (last - 1) + (level[:, 0] - lo) / (hi - lo)
    return np.where(hit.any(axis=1) & (amp > 0), t, np.nan)


def numpy_chain(wf):
    """Every feature of CHAIN, the trapezoid from cumulative sums."""
    b0, b1 = BASELINE
    r, f = TRAPEZOID
    x = wf.astype(np.float64)
    seg = x[:, b0:b1]
    base = seg.mean(axis=1)
    rms = np.sqrt(((seg - base[:, None]) ** 2).mean(axis=1))
    y = x - base[:, None]
    tail = y[:, b1:]
    peak = b1 + tail.argmax(axis=1)
    amp = y[np.arange(len(y)), peak]
    out = {"baseline": base, "baseline_rms": rms, "amplitude": amp, "peak_index": peak,
           "integral": tail.sum(axis=1), "cfd_time": _crossing(y, peak, amp, 0.5),
           "rise_time": _crossing(y, peak, amp, 0.9) - _crossing(y, peak, amp, 0.1)}
    w = y.copy()
    w[:, 1:] += -np.expm1(-1 / DECAY) * np.cumsum(y, axis=1)[:, :-1]
    n = y.shape[1]
    s = np.zeros((len(y), n + 1))
    np.cumsum(w, axis=1, out=s[:, 1:])
    late = s[:, 2 * r + f:] - s[:, r + f:n + 1 - r]
    early = s[:, r:n + 1 - r - f] - s[:, :n + 1 - 2 * r - f]
    out["trapezoid_max"] = ((late - early) / r).max(axis=1)
    return out


NUMPY = {"simple": numpy_simple, "chain": numpy_chain}


def numpy_loop(kind, path, layout):
    b = vc.read(path, layout)
    wf = b.waveforms()
    return [NUMPY[kind](wf[s:s + BATCH]) for s in range(0, len(b), BATCH)]


READERS = {
    "vc.read": lambda p, layout: vc.read(p, layout),
    "features simple": lambda p, layout: vc.read(p, layout, features=SIMPLE),
    "features chain": lambda p, layout: vc.read(p, layout, features=CHAIN),
    "numpy simple": lambda p, layout: numpy_loop("simple", p, layout),
    "numpy chain": lambda p, layout: numpy_loop("chain", p, layout),
}


def check(path, layout):
    """The NumPy versions compute what the features do (float32 results), or the run
    stops: a fast wrong answer is no figure."""
    head = vc.read(path, layout, stop=BATCH)
    for kind, spec in SPECS.items():
        want = NUMPY[kind](head.waveforms())
        got = spec.compute(head)
        for name, value in want.items():
            if not np.allclose(got[name], value, rtol=1e-5, atol=1e-3, equal_nan=True):
                raise SystemExit(f"features {kind}: {name} differs from the NumPy version")


def _pinned(call):
    """`call()` with the process on one CPU, its affinity given back after."""
    allowed = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(allowed)})
    try:
        return call()
    finally:
        os.sched_setaffinity(0, allowed)


def measure(tmp, quick, reps):
    w = BY_NAME[WORKLOAD]
    count, size = QUICK_SETS if quick else SETS
    paths = [str(tmp / f"features_{k}.wd1") for k in range(count)]
    events = 0
    for k, p in enumerate(paths):
        events += generate(w, p, size, seed=20261207 + k)
        warm(p)
    check(paths[0], w.layout)
    batch = vc.read(paths[0], w.layout)
    sample_bytes = batch.samples.nbytes

    def kernel(spec):
        t0 = time.perf_counter()
        spec.compute(batch)
        return time.perf_counter() - t0

    kernels = {kind: [] for kind in SPECS}
    loops = {n: [] for n in READERS}
    names = list(READERS)
    for rep in range(reps):
        for kind, spec in SPECS.items():
            kernels[kind].append(sample_bytes / _pinned(lambda: kernel(spec)) / 1e9)
        k = rep % len(names)
        for name in names[k:] + names[:k]:
            t0 = time.perf_counter()
            for p in paths:
                READERS[name](p, w.layout)
            loops[name].append(time.perf_counter() - t0)
    for p in paths:
        os.unlink(p)
    file_bytes = count * size
    print("features: kernel " + ", ".join(f"{k} {statistics.median(v):.2f} GB/s"
                                          for k, v in kernels.items()) + "; loop " +
          ", ".join(f"{n} {file_bytes / statistics.median(t) / MB:,.0f} MB/s"
                    for n, t in loops.items()), flush=True)
    return {"workload": WORKLOAD, "files": count, "file_bytes": size, "events": events,
            "batch_sample_bytes": sample_bytes, "kernel_gb_per_s": kernels, "loop_runs": loops}


def targets(rows, r):
    """Appends the features' figures beside their targets to `rows`."""
    from columns import _row, ratios

    if not r:
        return
    kernel = r["kernel_gb_per_s"]
    batch = f"{r['workload']}, a {r['batch_sample_bytes'] / MB:,.0f} MB batch"
    _row(rows, "features kernel, one CPU: baseline, amplitude, peak, integral", batch,
         kernel["simple"], ">=", 4, unit=" GB/s")
    _row(rows, "features kernel, one CPU: the whole chain, trapezoid with decay", batch,
         kernel["chain"], ">=", 1.5, unit=" GB/s")
    loops = r["loop_runs"]
    workload = f"{r['workload']}, {r['files']} x {r['file_bytes'] / MB:,.0f} MB"
    mbs = {n: f"{r['files'] * r['file_bytes'] / statistics.median(t) / MB:,.0f}"
           for n, t in loops.items()}
    for kind, over_read, over_numpy in (("simple", 0.4, 10), ("chain", 0.2, 20)):
        mine = loops[f"features {kind}"]
        what = "four simple features" if kind == "simple" else "the whole chain"
        _row(rows, f"loop over files: {what} over a plain vc.read (wall time)", workload,
             ratios(loops["vc.read"], mine), ">=", over_read,
             detail=f"{mbs[f'features {kind}']} vs {mbs['vc.read']} MB/s")
        _row(rows, f"loop over files: {what} over NumPy on vc.read batches (wall time)",
             workload, ratios(loops[f"numpy {kind}"], mine), ">=", over_numpy,
             detail=f"{mbs[f'features {kind}']} vs {mbs[f'numpy {kind}']} MB/s")
