"""vorn_columns over sources other than a local path: a file object against the path, gzip
and zstd files against decompressing them alone with the same library, two threads on two
compressed files against one, and the memory of streaming a large gzip file. All wall time,
runs interleaved in a rotating order; each row beside its target."""
import gzip
import json
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import vorn_columns as vc
from columns import _row, ratios, rotated
from workloads import BY_NAME, MB, generate

HERE = Path(__file__).resolve().parent
MIB = 1 << 20
FILE_OBJECT_WORKLOADS = ("wd1_1024", "wd2_2x1024")
COMPRESSED_WORKLOADS = ("wd1_1024", "wd2_2x1024")
MEMORY_WORKLOAD = "wd1_1024"


def _zstd():
    try:
        from compression import zstd  # CPython 3.14 on
        return lambda path: zstd.open(path, "rb")
    except ImportError:
        import zstandard
        return lambda path: zstandard.ZstdDecompressor().stream_reader(open(path, "rb"),
                                                                      read_across_frames=True)


def compress(path, codec, out):
    """`path` compressed as `out`, the way these files are usually made (gzip -6, zstd -3)."""
    if codec == "gzip":
        with open(path, "rb") as src, gzip.open(out, "wb", compresslevel=6) as dst:
            while chunk := src.read(MIB):
                dst.write(chunk)
    else:
        try:
            from compression import zstd  # CPython 3.14 on
            with open(path, "rb") as src, zstd.open(out, "wb", level=3) as dst:
                while chunk := src.read(MIB):
                    dst.write(chunk)
        except ImportError:
            import zstandard
            with open(path, "rb") as src, open(out, "wb") as dst:
                zstandard.ZstdCompressor(level=3).copy_stream(src, dst)
    return out


def codecs():
    """gzip, and zstd where this interpreter can read it (the standard library from CPython
    3.14, else the zstandard package)."""
    try:
        _zstd()
    except ImportError:
        return ("gzip",)
    return ("gzip", "zstd")


def decompress_alone(path, codec):
    """The codec's file object read to its end into one reused 1 MiB buffer: the bound."""
    buf = bytearray(MIB)
    opener = gzip.open if codec == "gzip" else _zstd()
    with opener(path) as f:
        while f.readinto(buf):
            pass


def batches(source, w):
    for b in vc.iter_batches(source, w.layout):
        b.offsets[-1]


def unbuffered(path, w):
    with open(path, "rb", buffering=0) as f:
        batches(f, w)


def _interleaved(runs, reps):
    """{name: fn} -> {name: [wall seconds per round]}."""
    times = {n: [] for n in runs}
    for rep in range(reps):
        for n in rotated(list(runs), rep):
            t0 = time.perf_counter_ns()
            runs[n]()
            times[n].append((time.perf_counter_ns() - t0) / 1e9)
    return times


def measure(path, w, tmp, reps):
    """The rows' runs for one workload's file."""
    path = str(path)
    out = {"workload": w.name, "file_bytes": Path(path).stat().st_size, "codecs": {}}
    if w.name in FILE_OBJECT_WORKLOADS:
        out["file_object"] = _interleaved({"path": lambda: batches(path, w),
                                           "file object": lambda: unbuffered(path, w)}, reps)
    if w.name not in COMPRESSED_WORKLOADS:
        return out
    for codec in codecs():
        packed = [compress(path, codec, tmp / f"{w.name}.{i}.{codec}") for i in (0, 1)]
        files = [str(p) for p in packed]
        with ThreadPoolExecutor(2) as pool:
            times = _interleaved({
                "alone": lambda: decompress_alone(files[0], codec),
                "iter_batches": lambda: batches(files[0], w),
                "one thread": lambda: list(pool.map(batches, files[:1], [w])),
                "two threads": lambda: list(pool.map(batches, files, [w] * 2)),
            }, reps)
        out["codecs"][codec] = {"compressed_bytes": packed[0].stat().st_size, "runs": times}
        for p in packed:
            p.unlink()
    return out


def memory_check(tmp, quick):
    """Peak RSS while iter_batches streams a large gzip file, in a fresh interpreter."""
    w = BY_NAME[MEMORY_WORKLOAD]
    plain, packed = tmp / "mem_plain.wd1", tmp / "mem.wd1.gz"
    events = generate(w, plain, (24 if quick else 1000) * MB)
    compress(plain, "gzip", packed)
    plain.unlink()
    proc = subprocess.run([sys.executable, str(HERE / "memory.py"), str(packed), w.layout,
                           "vc.iter_batches"], capture_output=True, text=True, check=True)
    m = json.loads(proc.stdout)
    if m["events"] != events:
        raise SystemExit(f"gzip memory check: {m['events']} events of {events}")
    packed.unlink()
    # Two batches, the decoder's 1 MiB buffer, and the codec's own: gzip's 32 KiB window,
    # the file object's read buffer of 128 KiB and the 1 MiB it hands out at a time.
    allowance = 2 * m["batch_bytes"] + MIB + 2 * MIB
    growth = (m["peak_kb"] - m["baseline_kb"]) * 1024
    return {**m, "workload": w.name, "file_bytes": events * w.record_bytes, "growth_bytes": growth,
            "allowance_bytes": allowance, "over_allowance_bytes": growth - allowance}


def targets(measured, memory):
    rows = []
    for r in measured:
        name = r["workload"]
        if "file_object" in r:
            t = r["file_object"]
            mbs = {n: r["file_bytes"] / statistics.median(x) / MB for n, x in t.items()}
            _row(rows, "iter_batches of a file object (buffering=0) over the path's", name,
                 ratios(t["path"], t["file object"]), ">=", 0.8,
                 detail=f"{mbs['file object']:,.0f} vs {mbs['path']:,.0f} MB/s")
        for codec, c in r["codecs"].items():
            t = c["runs"]
            mbs = {n: r["file_bytes"] / statistics.median(x) / MB for n, x in t.items()}
            ratio = r["file_bytes"] / c["compressed_bytes"]
            _row(rows, f"iter_batches of a {codec} file over decompressing it alone", name,
                 ratios(t["alone"], t["iter_batches"]), ">=", 0.9,
                 detail=f"{mbs['iter_batches']:,.0f} vs {mbs['alone']:,.0f} MB/s of records; "
                        f"ratio {ratio:.2f}")
            _row(rows, f"two threads on two {codec} files over one", name,
                 ratios([2 * x for x in t["one thread"]], t["two threads"]), ">=", 1.6,
                 detail=f"{mbs['one thread']:,.0f} -> {2 * mbs['two threads']:,.0f} MB/s")
    if memory:
        _row(rows, "iter_batches of a gzip file: peak RSS above baseline + two batches, the "
             "buffers and the codec's", f"{memory['workload']}, {memory['file_bytes'] / MB:,.0f} MB",
             [memory["over_allowance_bytes"] / MIB], "<=", 4, unit=" MiB",
             detail=f"grew {memory['growth_bytes'] / MIB:.1f} MiB; batch "
                    f"{memory['batch_bytes'] / MIB:.2f} MiB")
    return rows
