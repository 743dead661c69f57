"""vorn_columns' part of the benchmark: its events checked against
EventReader's, two files read on two threads, a pulse-height histogram
written three ways, and each figure set beside its target, those of
convert.py (the Arrow export, `vorn convert`) among them.

Ratios are taken within each round, whose runs lie close together in time,
and their median reported, as for the other rows.
"""
import operator
import statistics
import time
from concurrent.futures import ThreadPoolExecutor
from itertools import islice

import numpy as np

import vorn
import vorn_columns as vc
from readers import READERS
from workloads import MB

MIB = 1 << 20
LARGE_RECORD = 1024  # bytes: from here on a record counts as large
PARQUET_TARGET_WORKLOAD = "wd1_64"  # the Parquet rows of other workloads have no target
SCAN_WORKLOAD = "wd2_1x100000"
ANALYSIS_WORKLOAD = "wd1_1024"
PARALLEL_READERS = ("vc.read", "vc.iter_batches")
PARALLEL_CONTROL = "raw-read"  # how far two threads of plain reads scale on this machine now
EDGES = np.arange(0.0, 402.0, 2.0)  # the generated noise lies 0 to 400 counts below the mean


def rotated(names, rep):
    k = rep % len(names)
    return names[k:] + names[:k]


def ratios(num, den):
    """num[i] / den[i] for each round i."""
    return [a / b for a, b in zip(num, den)]


def _same_bytes(a, b):
    return a.dtype == b.dtype and a.tobytes() == b.tobytes()


def check(path, w, events):
    """vc.read and iter_batches give EventReader's events: as many, each with
    the same sample bytes."""
    path = str(path)
    whole = vc.read(path, w.layout)
    if len(whole) != events:
        raise SystemExit(f"{w.name}: vc.read read {len(whole)} events, the file holds {events}")
    reader = vorn.EventReader(path, w.layout)
    seen = 0
    for b in vc.iter_batches(path, w.layout):
        end = seen + len(b)
        data = [ev["data"] for ev in islice(reader, len(b))]
        if (b.first != seen or end > events or len(data) != len(b)
                or not np.array_equal(np.diff(b.offsets), [len(d) for d in data])
                or not _same_bytes(b.samples, np.concatenate(data))
                or not _same_bytes(b.samples, whole.samples[whole.offsets[seen]:whole.offsets[end]])):
            raise SystemExit(f"{w.name}: vorn_columns and EventReader differ in events {seen}..{end}")
        seen = end
    if seen != events or next(reader, None) is not None:
        raise SystemExit(f"{w.name}: iter_batches read {seen} events, the file holds {events}")


def measure_parallel(paths, w, reps):
    """One thread reading one file against two threads each reading its own
    copy. Wall time, not CPU time: the point is parallelism, so time spent
    waiting for a core counts against the reader."""
    names = PARALLEL_READERS + (PARALLEL_CONTROL,)
    combos = [(n, k) for n in names for k in (1, 2)]
    runs = {c: [] for c in combos}
    files = [str(p) for p in paths]
    with ThreadPoolExecutor(2) as pool:
        for rep in range(reps):
            for n, k in rotated(combos, rep):
                t0 = time.perf_counter_ns()
                list(pool.map(READERS[n][0], files[:k], [w] * k))
                runs[n, k].append((time.perf_counter_ns() - t0) / 1e9)
    size = paths[0].stat().st_size
    readers = {}
    for n in names:
        one, two = runs[n, 1], runs[n, 2]
        speedups = ratios([2 * t for t in one], two)
        readers[n] = {"one_thread_mb_per_s": size / statistics.median(one) / MB,
                      "two_threads_mb_per_s": 2 * size / statistics.median(two) / MB,
                      "speedup": statistics.median(speedups), "speedups": speedups,
                      "runs": {"one_thread": one, "two_threads": two}}
    return {"workload": w.name, "record_bytes": w.record_bytes, "file_bytes": size,
            "readers": readers}


# The pulse height: the baseline as the mean of the first 16 samples, the height the
# largest excursion below it over the samples after them (the generated pulses go down).
HEIGHT_BASELINE = 16
HEIGHTS = vc.Features("negative", baseline=(0, HEIGHT_BASELINE), select=["amplitude"])


def heights_events(path, w):
    """(a) EventReader, and NumPy on each event."""
    heights = []
    add = heights.append
    k = HEIGHT_BASELINE
    for ev in vorn.EventReader(path, w.layout):
        d = ev["data"]
        add(d[:k].mean() - d[k:].min())
    return np.histogram(heights, EDGES)[0]


def _heights(wf):
    k = HEIGHT_BASELINE
    return wf[:, :k].mean(axis=1) - wf[:, k:].min(axis=1)


def heights_fromfile(path, w):
    """(b) numpy.fromfile, and NumPy on all events at once."""
    return np.histogram(_heights(np.fromfile(path, w.record_dtype())["data"]), EDGES)[0]


def heights_batches(path, w):
    """(c) vc.iter_batches, and NumPy on each batch."""
    counts = np.zeros(len(EDGES) - 1, np.int64)
    for b in vc.iter_batches(path, w.layout):
        counts += np.histogram(_heights(b.waveforms()), EDGES)[0]
    return counts


def heights_features(path, w):
    """(d) vc.iter_batches computing the amplitude as it reads, without the samples."""
    counts = np.zeros(len(EDGES) - 1, np.int64)
    for b in vc.iter_batches(path, w.layout, features=HEIGHTS):
        counts += np.histogram(b["amplitude"], EDGES)[0]
    return counts


ANALYSES = {"EventReader": heights_events, "numpy.fromfile": heights_fromfile,
            "vc.iter_batches": heights_batches, "features": heights_features}


def measure_analysis(path, w, events, reps):
    """CPU time of the whole pulse-height task, reading included, each way
    once per round. Exits non-zero unless every run gives the same histogram
    and it counts every event."""
    names = list(ANALYSES)
    runs = {n: [] for n in names}
    first = None
    for rep in range(reps):
        for n in rotated(names, rep):
            t0 = time.process_time_ns()
            counts = ANALYSES[n](str(path), w)
            runs[n].append((time.process_time_ns() - t0) / 1e9)
            first = counts if first is None else first
            if not np.array_equal(counts, first):
                raise SystemExit(f"pulse heights: {n} gives another histogram than {names[0]}")
    if first.sum() != events:
        raise SystemExit(f"pulse heights: {events - first.sum()} of {events} events fall outside the bins")
    return {"workload": w.name, "events": events,
            "seconds": {n: statistics.median(ts) for n, ts in runs.items()}, "runs": runs}


OPS = {">=": operator.ge, "<": operator.lt, "<=": operator.le, "==": operator.eq}
SHOWN_OPS = {">=": "≥", "<": "<", "<=": "≤", "==": "="}


def _row(rows, what, workload, per_round, op, bound, unit="x", detail=""):
    """The figure is the median of the rounds' values; their range shows the noise.
    A row with no bound has no target."""
    figure = statistics.median(per_round)
    rows.append({"what": what, "workload": workload, "figure": figure, "op": op, "target": bound,
                 "unit": unit, "rounds": [min(per_round), max(per_round)] if len(per_round) > 1 else None,
                 "detail": detail,
                 "met": None if bound is None else OPS[op](figure, bound)})


def targets(results, parallel, analysis, memory, export=None, conversions=()):
    """Each of vorn_columns' figures beside its target, as table rows."""
    rows = []
    for r in results:
        name, runs = r["workload"], {n: x["runs"] for n, x in r["readers"].items()}
        read, batches = runs["vc.read"], runs["vc.iter_batches"]
        mbs = {n: f"{x['mb_per_s']:,.0f}" for n, x in r["readers"].items()}
        if r["record_bytes"] < LARGE_RECORD:
            eps = {n: f"{r['readers'][n]['events_per_s'] / 1e6:.1f}" for n in ("vc.read", "vorn")}
            _row(rows, "vc.read events/s over EventReader's", name, ratios(runs["vorn"], read),
                 ">=", 30, detail=f"{eps['vc.read']} vs {eps['vorn']} M events/s")
            _row(rows, "vc.read over numpy.fromfile", name, ratios(runs["numpy.fromfile"], read),
                 ">=", 1.0 if r["samples"] >= 64 else 0.4,
                 detail=f"{mbs['vc.read']} vs {mbs['numpy.fromfile']} MB/s")
            _row(rows, "vc.iter_batches over vc.read", name, ratios(read, batches), ">=", 1.0,
                 detail=f"{mbs['vc.iter_batches']} vs {mbs['vc.read']} MB/s")
        else:
            _row(rows, "vc.read over numpy.fromfile", name, ratios(runs["numpy.fromfile"], read),
                 ">=", 1.1, detail=f"{mbs['vc.read']} vs {mbs['numpy.fromfile']} MB/s")
            _row(rows, "vc.iter_batches MB/s over raw-read's", name,
                 ratios(runs["raw-read"], batches), ">=", 0.8,
                 detail=f"{mbs['vc.iter_batches']} vs {mbs['raw-read']} MB/s")
        if name == SCAN_WORKLOAD:
            faster = [min(a, b) for a, b in zip(read, batches)]
            _row(rows, "vc.scan time over the faster read's", name, ratios(runs["vc.scan"], faster),
                 "<", 0.02, unit="%", detail=f"{statistics.median(runs['vc.scan']) * 1e3:.2f} ms")
    for p in parallel:
        control = p["readers"][PARALLEL_CONTROL]["speedup"]
        for n in PARALLEL_READERS:
            x = p["readers"][n]
            _row(rows, f"two threads over one, {n} (wall time)", p["workload"], x["speedups"], ">=", 1.7,
                 detail=f"{x['one_thread_mb_per_s']:,.0f} -> {x['two_threads_mb_per_s']:,.0f} MB/s; "
                        f"{PARALLEL_CONTROL} {control:.2f}x")
    if analysis:
        s = analysis["runs"]
        secs = ", ".join(f"{n} {t:.3f} s" for n, t in analysis["seconds"].items())
        _row(rows, "pulse heights: vc.iter_batches over EventReader", analysis["workload"],
             ratios(s["EventReader"], s["vc.iter_batches"]), ">=", 20, detail=secs)
        _row(rows, "pulse heights: vc.iter_batches over numpy.fromfile", analysis["workload"],
             ratios(s["numpy.fromfile"], s["vc.iter_batches"]), ">=", 1.0)
        _row(rows, "pulse heights: features (amplitude) over numpy.fromfile", analysis["workload"],
             ratios(s["numpy.fromfile"], s["features"]), ">=", 2.0)
    for m in memory:
        if m["reader"] == "vc.iter_batches":
            _row(rows, "vc.iter_batches peak RSS above baseline + two batches",
                 f"{m['workload']}, {m['file_bytes'] / MB:,.0f} MB", [m["over_allowance_bytes"] / MIB],
                 "<=", 4, unit=" MiB", detail=f"batch {m['batch_bytes'] / MIB:.2f} MiB")
        elif m["reader"] == "features":
            _row(rows, "features through vc.iter_batches: peak RSS above baseline + two batches' "
                 "columns", f"{m['workload']}, {m['file_bytes'] / MB:,.0f} MB",
                 [m["over_allowance_bytes"] / MIB], "<=", 8, unit=" MiB",
                 detail=f"columns {m['batch_bytes'] / MIB:.2f} MiB")
    if export:
        large, small = export["runs"]["large"], export["runs"]["small"]
        mbs = {n: f"{b / MB:,.1f}" for n, b in export["batch_bytes"].items()}
        _row(rows, f"pyarrow.table(batch), {mbs['large']} MB batch's time over {mbs['small']} MB's",
             export["workload"], ratios(large, small), "<=", 2,
             detail=f"{statistics.median(large) * 1e6:.1f} vs {statistics.median(small) * 1e6:.1f} µs "
                    f"a call, {export['calls']} calls a round")
    for c in conversions:
        runs, mbs = c["runs"], {n: f"{x:,.0f}" for n, x in c["mb_per_s"].items()}
        workload = f"{c['workload']}, {c['file_bytes'] / MB:,.0f} MB"
        _row(rows, "vorn convert --format arrow MB/s over a copy's (wall time)", workload,
             ratios(runs["copy"], runs["arrow"]), ">=", 0.7, unit="%",
             detail=f"{mbs['arrow']} vs {mbs['copy']} MB/s")
        _row(rows, "vorn convert to Parquet, zstd, over EventReader + pyarrow (wall time)", workload,
             ratios(runs["events"], runs["parquet"]), ">=",
             5 if c["workload"] == PARQUET_TARGET_WORKLOAD else None,
             detail=f"{mbs['parquet']} vs {mbs['events']} MB/s; row groups of {c['row_group_rows']:,}")
    return rows


def _shown(value, unit, digits=2):
    return f"{value * 100:.{digits}f}%" if unit == "%" else f"{value:.{digits}f}{unit}"


def fmt_targets(rows):
    lines = ["| vorn_columns | workload | figure | target | verdict | rounds | measured |",
             "|---|---|---:|---|---|---:|---|"]
    for r in rows:
        spread = " to ".join(_shown(x, r["unit"]) for x in r["rounds"]) if r["rounds"] else ""
        target = "" if r["target"] is None else f"{SHOWN_OPS[r['op']]} {_shown(r['target'], r['unit'], 1)}"
        verdict = "" if r["met"] is None else "met" if r["met"] else "MISSED"
        lines.append(f"| {r['what']} | {r['workload']} | {_shown(r['figure'], r['unit'])} | "
                     f"{target} | {verdict} | {spread} | {r['detail']} |")
    lines.append("")
    lines.append("Ratios of throughput (time over time on the same file), median over the rounds "
                 "of the ratio within each round (rounds: the lowest and highest); CPU time of the "
                 "process (every thread a reader starts counted), except the two-thread rows, "
                 "which are wall time; beside them, "
                 f"{PARALLEL_CONTROL}'s figure from the same rounds shows how far two threads of "
                 "plain reads scaled on the machine then. Measured: medians of each side. Pulse "
                 "heights: the whole task, reading included. pyarrow.table: CPU time a call. "
                 "vorn convert: wall time of vorn_columns.cli.main in the benchmark's process "
                 "(a new process takes longer to import NumPy and pyarrow than a 256 MB copy "
                 "takes), against a copy in 1 MiB reads and writes, each writing a new file in the "
                 "input's directory, removed after the run, and against the same Parquet file "
                 "written by pyarrow from EventReader's events, in row groups of as many events. "
                 "Other sources (a file object, gzip and zstd files): wall time of "
                 "iter_batches against the path, or against the same library decompressing the "
                 "file alone into one reused 1 MiB buffer in one thread. "
                 "URLs: servers on 127.0.0.1 started by the benchmark (bench/remote.py); the "
                 "plain GET is one fsspec cat_file of the whole object, the partition's requests "
                 "are those the server saw while one partition was computed.")
    return "\n".join(lines)
