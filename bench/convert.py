"""vorn_columns' Arrow export and the `vorn convert` command against what
they replace: pyarrow.table of a large batch against a small one, Arrow IPC
output against a plain copy of the file, Parquet output against a
pyarrow writer fed by EventReader.

The conversions run vorn_columns.cli.main in this process: a new process
spends longer importing NumPy and pyarrow than a copy of 256 MB takes.
"""
import os
import statistics
import time
from itertools import islice

import numpy as np
import pyarrow as pa
import pyarrow.ipc
import pyarrow.parquet as pq

import vorn
import vorn_columns as vc
from vorn_columns import cli
from columns import MIB, rotated
from workloads import MB, file_name, generate, warm

EXPORT_WORKLOAD = "wd1_64"
CONVERT_WORKLOADS = ("wd1_64", "wd1_1024", "wd2_2x1024")
HEADERS = {
    "WD1": [(n, pa.int32()) for n in ("event_size", "board_id", "pattern", "board_channel",
                                      "event_counter", "timestamp")],
    "WD2": [("event_counter", pa.uint32()), ("timestamp", pa.uint64()), ("samples", pa.uint32()),
            ("sampling_period", pa.uint64()), ("channels", pa.int32())],
}
SAMPLES = {"WD1": pa.uint16(), "WD2": pa.float32()}


def _batch_bytes(b):
    return b.samples.nbytes + b.offsets.nbytes + sum(c.nbytes for c in b.columns.values())


def measure_export(tmp, w, quick, reps):
    """CPU time per pyarrow.table(batch) of a batch of 256 MB of the file
    (8 MB with --quick) and of one of 1 MB, many calls a round."""
    path = tmp / ("export_" + str(file_name(w)))
    generate(w, path, (8 if quick else 256) * MB)
    batches = {"large": vc.read(str(path), w.layout),
               "small": vc.read(str(path), w.layout, stop=MB // w.record_bytes)}
    path.unlink()
    for n, b in batches.items():  # the first call also imports vorn_columns.arrow
        if pa.table(b).num_rows != len(b):
            raise SystemExit(f"pyarrow.table of the {n} batch lost events")
    calls = 200 if quick else 2000
    runs = {n: [] for n in batches}
    for rep in range(reps):
        for n in rotated(list(batches), rep):
            b = batches[n]
            t0 = time.thread_time_ns()
            for _ in range(calls):
                pa.table(b)
            runs[n].append((time.thread_time_ns() - t0) / 1e9 / calls)
    return {"workload": w.name, "calls": calls, "runs": runs,
            "batch_bytes": {n: _batch_bytes(b) for n, b in batches.items()}}


def copy_file(src, dst):
    """A plain copy into a new file: 1 MiB reads and writes."""
    buf = bytearray(MIB)
    view = memoryview(buf)
    with open(src, "rb", buffering=0) as f, open(dst, "xb", buffering=0) as g:
        while n := f.readinto(buf):
            g.write(view[:n])


def vorn_convert(src, dst, w, *options):
    if cli.main(["convert", str(src), str(dst), "--layout", w.layout, "--quiet", *options]) != 0:
        raise SystemExit(f"vorn convert {src} {dst} failed")


def parquet_events(src, dst, w, rows):
    """The Parquet file a user writes without vorn_columns: EventReader's
    dicts, `rows` at a time, made into pyarrow arrays, zstd."""
    header = HEADERS[w.layout]
    data_type = pa.large_list(pa.field("item", SAMPLES[w.layout], nullable=False))
    schema = pa.schema([pa.field(n, t, nullable=False) for n, t in header]
                       + [pa.field("data", data_type, nullable=False)])
    events = iter(vorn.EventReader(str(src), w.layout))
    with pq.ParquetWriter(str(dst), schema, compression="zstd") as writer:
        while chunk := list(islice(events, rows)):
            arrays = [pa.array([ev[n] for ev in chunk], t) for n, t in header]
            data = [ev["data"] for ev in chunk]
            offsets = np.zeros(len(data) + 1, np.int64)
            np.cumsum([len(d) for d in data], out=offsets[1:])
            arrays.append(pa.LargeListArray.from_arrays(offsets, np.concatenate(data), type=data_type))
            writer.write_batch(pa.record_batch(arrays, schema=schema))


def _same_parquet(a, b, events):
    """Whether the two files hold the same table in row groups of the same sizes."""
    fa, fb = pq.ParquetFile(a), pq.ParquetFile(b)
    groups = fa.metadata.num_row_groups
    return (fa.metadata.num_rows == events and groups == fb.metadata.num_row_groups
            and all(fa.read_row_group(i).equals(fb.read_row_group(i)) for i in range(groups)))


def _wall_rounds(jobs, reps):
    """Wall seconds of each job per round, in a rotating order. A job writes
    a new file, which is removed after it, outside the timing."""
    runs = {n: [] for n in jobs}
    for rep in range(reps):
        for n in rotated(list(jobs), rep):
            run, out = jobs[n]
            t0 = time.perf_counter_ns()
            run()
            runs[n].append((time.perf_counter_ns() - t0) / 1e9)
            os.unlink(out)
    return runs


def measure_convert(path, w, events, reps):
    """vorn convert to Arrow IPC against a copy, and to Parquet against
    parquet_events, on the same file; each output checked once before the
    timing. Exits non-zero if an output holds other events."""
    out = {n: path.with_name(f"{path.stem}_{n}{suffix}") for n, suffix in
           (("copy", path.suffix), ("arrow", ".arrow"), ("parquet", ".parquet"), ("events", ".parquet"))}
    vorn_convert(path, out["arrow"], w, "--format", "arrow", "--compression", "none")
    with pa.memory_map(str(out["arrow"])) as f:
        if pa.ipc.open_file(f).read_all().num_rows != events:
            raise SystemExit(f"{w.name}: vorn convert's Arrow file does not hold {events} events")
    vorn_convert(path, out["parquet"], w, "--format", "parquet", "--compression", "zstd")
    rows = pq.ParquetFile(out["parquet"]).metadata.row_group(0).num_rows
    parquet_events(path, out["events"], w, rows)
    if not _same_parquet(out["parquet"], out["events"], events):
        raise SystemExit(f"{w.name}: vorn convert and EventReader with pyarrow write other Parquet")
    for n in ("arrow", "parquet", "events"):
        out[n].unlink()
    warm(path)
    # Two sets of rounds: the Python objects of parquet_events, made and
    # freed, would otherwise disturb the rounds of the file writes.
    runs = _wall_rounds({
        "copy": (lambda: copy_file(path, out["copy"]), out["copy"]),
        "arrow": (lambda: vorn_convert(path, out["arrow"], w, "--format", "arrow",
                                       "--compression", "none"), out["arrow"])}, reps)
    runs.update(_wall_rounds({
        "parquet": (lambda: vorn_convert(path, out["parquet"], w, "--format", "parquet",
                                         "--compression", "zstd"), out["parquet"]),
        "events": (lambda: parquet_events(path, out["events"], w, rows), out["events"])}, reps))
    size = path.stat().st_size
    return {"workload": w.name, "file_bytes": size, "row_group_rows": rows, "runs": runs,
            "mb_per_s": {n: size / statistics.median(ts) / MB for n, ts in runs.items()}}
