"""vorn_columns over URLs, against servers on 127.0.0.1 that this script starts and stops
(tests/python/servers.py): iter_batches over HTTP against one plain GET of the same bytes
through the same client, the requests of one to_dask partition, and the memory of iter_batches
over a large object on the S3 server.

    python bench/remote.py [--quick] [--reps N]     # prints the rows as JSON

run.py calls measure() and adds the rows to vorn_columns' table.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import vorn_columns as vc
from vorn_columns import _remote
from columns import MIB, _row, ratios, rotated
from workloads import BY_NAME, MB, file_name, generate

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))
import servers  # noqa: E402

WORKLOAD = "wd1_1024"
PARTITION_EVENTS = 2000


def available():
    """None where the remote tools are installed, else what is missing."""
    for module in ("fsspec", "aiohttp", "s3fs", "moto"):
        try:
            __import__(module)
        except ImportError:
            return module
    return None


def _batches(url, layout):
    n = 0
    for b in vc.iter_batches(url, layout):
        n += len(b)
    return n


def measure_http(root, server, w, size, reps):
    """Wall time of iter_batches over the URL and of one GET of the whole object through the
    same fsspec client, interleaved."""
    path = root / file_name(w)
    events = generate(w, path, size)
    url = f"{server.url}/{path.name}"
    fs, inside = _remote.filesystem(url, None)
    runs = {"iter_batches": [], "GET": []}
    for rep in range(reps):
        for n in rotated(list(runs), rep):
            t0 = time.perf_counter()
            got = _batches(url, w.layout) if n == "iter_batches" else len(fs.cat_file(inside))
            runs[n].append(time.perf_counter() - t0)
            want = events if n == "iter_batches" else path.stat().st_size
            if got != want:
                raise SystemExit(f"remote {n}: {got} of {want}")
    server.take_requests()

    # One partition of to_dask, in the middle of the file, computed here.
    frame = vc.to_dask(url, w.layout, events_per_partition=PARTITION_EVENTS)
    middle = frame.npartitions // 2
    server.take_requests()
    # One partition's own task (older Dask computes a neighbour too for frame.partitions[i]).
    part = frame.to_delayed()[middle].compute(scheduler="sync")
    requests = server.take_requests()
    if len(part) != min(PARTITION_EVENTS, events - middle * PARTITION_EVENTS):
        raise SystemExit(f"remote partition: {len(part)} events")
    path.unlink()
    return {"workload": w.name, "file_bytes": size, "events": events, "runs": runs,
            "partition_requests": requests}


def measure_s3_memory(tmp, server, w, size):
    """Peak RSS of bench/memory.py streaming an object of `size` bytes from the S3 server."""
    path = tmp / ("s3_" + str(file_name(w)))
    events = generate(w, path, size)
    import s3fs

    fs = s3fs.S3FileSystem(**server.options)
    fs.mkdir("vorn-bench")
    fs.put_file(str(path), f"vorn-bench/{path.name}")
    path.unlink()
    url = f"s3://vorn-bench/{path.name}"
    proc = subprocess.run([sys.executable, str(HERE / "memory.py"), url, w.layout,
                           "vc.iter_batches", json.dumps(server.options)],
                          capture_output=True, text=True, check=True,
                          env=servers.s3_environment(dict(os.environ)))
    m = json.loads(proc.stdout)
    fs.rm(f"vorn-bench/{path.name}")
    if m["events"] != events:
        raise SystemExit(f"remote memory: {m['events']} events of {events}")
    growth = (m["peak_kb"] - m["baseline_kb"]) * 1024
    allowance = 2 * m["batch_bytes"] + _remote.BLOCK_SIZE
    m.update(workload=w.name, file_bytes=size, growth_bytes=growth, allowance_bytes=allowance,
             over_allowance_bytes=growth - allowance)
    return m


def measure(quick, reps):
    w = BY_NAME[WORKLOAD]
    tmp = Path(tempfile.mkdtemp(prefix="vorn-bench-remote-"))
    root = tmp / "http"
    root.mkdir()
    env = dict(os.environ)
    http = servers.HTTPServer(root)
    s3 = servers.S3Server()
    try:
        os.environ.update(servers.s3_environment(env))
        return {"http": measure_http(root, http, w, (8 if quick else 256) * MB, reps),
                "memory": measure_s3_memory(tmp, s3, w, (24 if quick else 1000) * MB)}
    finally:
        http.stop()
        s3.stop()
        os.environ.clear()
        os.environ.update(env)
        shutil.rmtree(tmp, ignore_errors=True)


def targets(r):
    """The rows of the remote figures beside their targets."""
    rows = []
    h = r["http"]
    get, batches = h["runs"]["GET"], h["runs"]["iter_batches"]
    workload = f"{h['workload']}, {h['file_bytes'] / MB:,.0f} MB, HTTP on loopback"
    mbs = {n: h["file_bytes"] / statistics.median(ts) / MB for n, ts in h["runs"].items()}
    _row(rows, "vc.iter_batches over a URL, MB/s over one plain GET's (wall time)", workload,
         ratios(get, batches), ">=", 0.5,
         detail=f"{mbs['iter_batches']:,.0f} vs {mbs['GET']:,.0f} MB/s; "
                f"blocks of {_remote.BLOCK_SIZE / MIB:.0f} MiB")
    gets = [q for q in h["partition_requests"] if q[0] == "GET"]
    shown = ", ".join(q[0] + (f" {q[2]}" if q[2] else "") for q in h["partition_requests"])
    _row(rows, "vc.to_dask partition over a URL: GET requests", workload, [len(gets)], "==", 1,
         unit="", detail=shown)
    m = r["memory"]
    _row(rows, "vc.iter_batches over S3, peak RSS above baseline + two batches + read buffer",
         f"{m['workload']}, {m['file_bytes'] / MB:,.0f} MB", [m["over_allowance_bytes"] / MIB],
         "<=", 4, unit=" MiB",
         detail=f"growth {m['growth_bytes'] / MIB:.1f} MiB; batch {m['batch_bytes'] / MIB:.2f} MiB, "
                f"read buffer {_remote.BLOCK_SIZE / MIB:.0f} MiB")
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--reps", type=int, default=3)
    args = ap.parse_args()
    missing = available()
    if missing:
        raise SystemExit(f"the remote rows need {missing} (make test installs it)")
    r = measure(args.quick, args.reps)
    print(json.dumps({"remote": r, "targets": targets(r)}, indent=1))


if __name__ == "__main__":
    main()
