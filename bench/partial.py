"""Reading part of a file against reading it whole: a header-only Polars
query, a Polars filter that keeps one channel of a hundred with its samples,
and vc.take of 1% of the events at random, each beside the full read of the
same file in the same round. Wall time: what is saved is mostly reading.
"""
import statistics
import time

import numpy as np
import polars as pl

import vorn_columns as vc
from columns import _row, ratios, rotated

SELECT_WORKLOAD = "wd2_1x100000"
FILTER_WORKLOAD = "wd1_16384"
TAKE_WORKLOADS = ("wd2_2x1024", "wd1_16384")
WORKLOADS = {SELECT_WORKLOAD, FILTER_WORKLOAD, *TAKE_WORKLOADS}
CHANNEL = 42  # the generated WD1 files cycle through 100 board channels
TAKE_SHARE = 0.01


def _queries(path, w, chosen, index):
    """name -> the call, the full read first; each checked once against it."""
    full = lambda: pl.DataFrame(vc.read(path, w.layout))  # noqa: E731
    jobs = {"pl.DataFrame(vc.read)": full}
    if w.name == SELECT_WORKLOAD:
        jobs["scan_polars select"] = lambda: vc.scan_polars(path, w.layout).select(
            "event_counter", "timestamp").collect()
    if w.name == FILTER_WORKLOAD:
        jobs["scan_polars filter"] = lambda: vc.scan_polars(path, w.layout).filter(
            pl.col("board_channel") == CHANNEL).collect()
    if w.name in TAKE_WORKLOADS:
        jobs["vc.read"] = lambda: vc.read(path, w.layout)
        jobs["vc.take"] = lambda: vc.take(path, w.layout, chosen, index=index)
        jobs["vc.take, no index"] = lambda: vc.take(path, w.layout, chosen)
    whole = full()
    expected = {
        "scan_polars select": lambda: whole.select("event_counter", "timestamp"),
        "scan_polars filter": lambda: whole.filter(pl.col("board_channel") == CHANNEL),
        "vc.take": lambda: pl.DataFrame(vc.read(path, w.layout)[chosen]),
        "vc.take, no index": lambda: pl.DataFrame(vc.read(path, w.layout)[chosen]),
    }
    for name, job in jobs.items():
        if name in expected and not pl.DataFrame(job()).equals(expected[name]()):
            raise SystemExit(f"{w.name}: {name} gives other events than the full read")
    return jobs


def measure_partial(path, w, reps):
    """Wall seconds of each call per round, in a rotating order."""
    path = str(path)
    index = vc.scan(path, w.layout)
    rng = np.random.default_rng(7)
    chosen = np.sort(rng.choice(len(index), max(1, int(len(index) * TAKE_SHARE)), replace=False))
    jobs = _queries(path, w, chosen, index)
    runs = {n: [] for n in jobs}
    for rep in range(reps):
        for n in rotated(list(jobs), rep):
            t0 = time.perf_counter_ns()
            jobs[n]()
            runs[n].append((time.perf_counter_ns() - t0) / 1e9)
    return {"workload": w.name, "events": len(index), "chosen": len(chosen), "runs": runs}


def targets(rows, measured):
    """The rows of the partial reads beside their targets."""
    for m in measured:
        runs, name = m["runs"], m["workload"]
        ms = {n: f"{statistics.median(ts) * 1e3:,.1f} ms" for n, ts in runs.items()}
        full = runs["pl.DataFrame(vc.read)"]
        if "scan_polars select" in runs:
            _row(rows, "scan_polars select(event_counter, timestamp) over pl.DataFrame(vc.read) "
                 "(wall time)", name, ratios(runs["scan_polars select"], full), "<=", 0.05,
                 unit="%", detail=f"{ms['scan_polars select']} vs {ms['pl.DataFrame(vc.read)']}")
        if "scan_polars filter" in runs:
            _row(rows, "scan_polars filter(one board_channel of 100), with data, over "
                 "pl.DataFrame(vc.read) (wall time)", name,
                 ratios(runs["scan_polars filter"], full), "<=", 0.15, unit="%",
                 detail=f"{ms['scan_polars filter']} vs {ms['pl.DataFrame(vc.read)']}")
        if "vc.take" in runs:
            share = f"{m['chosen']:,} of {m['events']:,} events"
            _row(rows, "vc.take of 1% at random, given an index, over vc.read (wall time)", name,
                 ratios(runs["vc.take"], runs["vc.read"]), "<=", 0.05, unit="%",
                 detail=f"{ms['vc.take']} vs {ms['vc.read']}; {share}")
            _row(rows, "vc.take of 1% at random, scanning first, over vc.read (wall time)", name,
                 ratios(runs["vc.take, no index"], runs["vc.read"]), "<=", None, unit="%",
                 detail=f"{ms['vc.take, no index']} vs {ms['vc.read']}")
    return rows
