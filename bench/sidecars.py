"""Queries through index sidecars against the same queries without them and against full
reads, in the same rounds: a header-only Polars query, a 1% filter with samples, the header-only
query repeated with the sidecar cached, vc.take given a cached sidecar against an in-memory
Index (the first load's cost beside it), and the GETs of 16 S3 objects' bytes while a Dask
frame over them is built and a header-only sum computed (moto, on 127.0.0.1).

    python bench/sidecars.py [--quick] [--reps N]     # prints the rows

run.py calls measure() per workload and adds the rows to vorn_columns' table.
"""
import argparse
import json
import os
import statistics
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

import numpy as np
import polars as pl

import vorn_columns as vc
from vorn_columns import _index, _sidecar
from columns import _row, fmt_targets, ratios, rotated
from workloads import BY_NAME, MB, file_name, generate

HERE = Path(__file__).resolve().parent
SELECT_WORKLOADS = ("wd2_2x1024", "wd2_1x100000")  # 8 KB and 400 KB records
FILTER_WORKLOAD = "wd1_16384"  # 32 KB records
TAKE_WORKLOAD = "wd2_2x1024"
WORKLOADS = {*SELECT_WORKLOADS, FILTER_WORKLOAD}
CHANNEL = 42  # the generated WD1 files cycle through 100 board channels
OBJECTS = 16


def _timed(jobs, reps):
    runs = {n: [] for n in jobs}
    for rep in range(reps):
        for n in rotated(list(jobs), rep):
            t0 = time.perf_counter_ns()
            jobs[n]()
            runs[n].append((time.perf_counter_ns() - t0) / 1e9)
    return runs


def measure(path, w, reps):
    """Wall seconds per round of each query with and without the file's sidecar, which is
    written first and removed after."""
    path = str(path)
    index = vc.scan(path, w.layout, index=None)
    index.save()
    try:
        full = lambda: pl.DataFrame(vc.read(path, w.layout, index=None))  # noqa: E731
        jobs = {"full read": full}
        select = lambda ix: lambda: vc.scan_polars(path, w.layout, index=ix).select(  # noqa: E731
            "event_counter", "timestamp").collect()
        where = pl.col("board_channel") == CHANNEL
        if w.name in SELECT_WORKLOADS:
            jobs["select, sidecar"], jobs["select, scan"] = select("auto"), select(None)
        if w.name == FILTER_WORKLOAD:
            jobs["filter, sidecar"] = lambda: vc.scan_polars(path, w.layout).filter(where).collect()
        first_load = None
        if w.name == TAKE_WORKLOAD:
            chosen = np.sort(np.random.default_rng(7).choice(len(index), len(index) // 100,
                                                             replace=False))
            jobs["take, sidecar"] = lambda: vc.take(path, w.layout, chosen)
            jobs["take, Index"] = lambda: vc.take(path, w.layout, chosen, index=index)
            _sidecar.cache.clear()
            t0 = time.perf_counter_ns()
            vc.scan(path, w.layout)
            first_load = (time.perf_counter_ns() - t0) / 1e9
        whole = full()
        for name, job in jobs.items():
            if name.startswith(("select", "filter")):
                expected = (whole.filter(where) if name.startswith("filter") else
                            whole.select("event_counter", "timestamp"))
                if not job().equals(expected):
                    raise SystemExit(f"{w.name}: {name} gives other events than the full read")
        _sidecar.cache.clear()
        runs = _timed(jobs, reps)
    finally:
        os.remove(path + _index.SUFFIX)
    return {"workload": w.name, "events": len(index), "runs": runs, "first_load": first_load}


def measure_s3():
    """GETs of the objects' bytes (sidecars left out) while a Dask frame over 16 objects with
    sidecars is built and a header-only sum computed."""
    sys.path.insert(0, str(HERE.parent / "tests" / "python"))
    import s3fs
    import servers

    saved = dict(os.environ)
    os.environ.update(servers.s3_environment(saved))
    server = servers.S3Server()
    try:
        fs = s3fs.S3FileSystem(**server.options)
        fs.mkdir("vorn-bench")
        w = BY_NAME["wd1_1024"]
        urls = []
        with tempfile.TemporaryDirectory() as tmp:
            for i in range(OBJECTS):
                path = Path(tmp) / f"{i:02}{file_name(w).suffix}"
                generate(w, path, 4 * MB)
                fs.put_file(str(path), f"vorn-bench/{path.name}")
                urls.append(f"s3://vorn-bench/{path.name}")
        for url in urls:
            vc.scan(url, w.layout, storage_options=server.options, index=None).save(
                storage_options=server.options)
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({})).open
        base = server.options["endpoint_url"] + "/moto-api/recorder/"
        for step in ("reset-recording", "start-recording"):
            opener(urllib.request.Request(base + step, method="POST"), timeout=10).read()
        frame = vc.to_dask(urls, w.layout, events_per_partition=2000,
                           storage_options=server.options)
        total = int(frame["event_counter"].sum().compute())
        lines = opener(base + "download-recording", timeout=10).read().splitlines()
        gets = [r for r in map(json.loads, lines)
                if r["method"] == "GET" and not r["url"].endswith(_index.SUFFIX)]
        return {"objects": OBJECTS, "partitions": frame.npartitions, "data_gets": len(gets),
                "sum": total}
    finally:
        server.stop()
        os.environ.clear()
        os.environ.update(saved)


def targets(rows, measured, s3=None):
    """The rows of the sidecar queries beside their targets."""
    for m in measured:
        runs, name = m["runs"], m["workload"]
        ms = {n: f"{statistics.median(ts) * 1e3:,.1f} ms" for n, ts in runs.items()}
        full = runs["full read"]
        if "select, sidecar" in runs:
            repeated = name == "wd2_1x100000"
            what = ("select(event_counter, timestamp), sidecar cached, repeated" if repeated
                    else "select(event_counter, timestamp) with a sidecar")
            _row(rows, f"scan_polars {what}, over a full read (wall time)", name,
                 ratios(runs["select, sidecar"], full), "<=", 0.02 if repeated else 0.10,
                 unit="%", detail=f"{ms['select, sidecar']} vs {ms['full read']}")
            if not repeated:
                _row(rows, "scan_polars select with a sidecar over without one (wall time)", name,
                     ratios(runs["select, sidecar"], runs["select, scan"]), "<=", 1 / 3,
                     detail=f"{ms['select, sidecar']} vs {ms['select, scan']}")
        if "filter, sidecar" in runs:
            _row(rows, "scan_polars 1% filter on board_channel, with data, with a sidecar, over "
                 "a full read (wall time)", name, ratios(runs["filter, sidecar"], full), "<=",
                 0.08, unit="%", detail=f"{ms['filter, sidecar']} vs {ms['full read']}")
        if "take, sidecar" in runs:
            _row(rows, "vc.take of 1%, cached sidecar, over given an in-memory Index "
                 "(wall time)", name, ratios(runs["take, sidecar"], runs["take, Index"]), "<=",
                 1.0, detail=f"{ms['take, sidecar']} vs {ms['take, Index']}; first load "
                 f"{m['first_load'] * 1e3:.1f} ms")
    if s3:
        _row(rows, f"to_dask over {s3['objects']} S3 objects with sidecars, built and a "
             "header-only sum computed: GETs of objects' bytes", "wd1_1024, moto",
             [s3["data_gets"]], "<=", 0, unit="", detail=f"{s3['partitions']} partitions")
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--reps", type=int, default=5)
    args = ap.parse_args()
    size = (16 if args.quick else 256) * MB
    measured = []
    with tempfile.TemporaryDirectory(prefix="vorn-sidecars-") as tmp:
        for name in sorted(WORKLOADS):
            w = BY_NAME[name]
            path = Path(tmp) / file_name(w)
            generate(w, path, size)
            measured.append(measure(path, w, args.reps))
            path.unlink()
    print(fmt_targets(targets([], measured, measure_s3())))
    print("Load average (1, 5, 15 min):", ", ".join(f"{x:.2f}" for x in os.getloadavg()))


if __name__ == "__main__":
    main()
