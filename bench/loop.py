"""The regimes users live in: a loop over files, each read whole, and the
first read in a fresh process, both against numpy.fromfile measured the same
way; and the memory a process holds once vorn_columns.release_memory() has
run.

Loop: the wall time of reading every file of a set in turn (eight files of
25 MB, two of 200 MB, all in the page cache; one warm-up pass, then the
readers interleaved in a rotating order), median over the rounds. Whatever a
reader's allocator or pool keeps from one file serves the next, as in a
user's loop. First read: the wall time of one read of the first file in a new
interpreter, imports and a read of a small file done before the timing (that
both arrays and readers are ready), median over fresh processes.

    python bench/loop.py first PATH WORKLOAD READER (run by measure())
    python bench/loop.py memory LAYOUT PATH...      (run by measure_memory())
"""
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
MB = 1_000_000
MIB = 1 << 20
WORKLOADS = ("wd1_0", "wd1_8", "wd1_64", "wd1_1024", "wd2_2x1024")
QUICK_WORKLOADS = ("wd1_0", "wd1_1024")  # --quick: a smoke test of the scripts
# (label, bytes per file, files) of each set; --quick makes them small.
SETS = (("25 MB", 25 * MB, 8), ("200 MB", 200 * MB, 2))
QUICK_SETS = (("2 MB", 2 * MB, 2),)
FIRST_READS = 5  # fresh processes per reader and file
READERS = ("numpy.fromfile", "vc.read", "vc.iter_batches", "vorn")


def read_with(name, path, w):
    """One whole read of `path` by reader `name`; what it made is dropped on return."""
    if name == "numpy.fromfile":
        return len(np.fromfile(path, dtype=w.record_dtype()))
    if name == "vc.read":
        import vorn_columns as vc
        return len(vc.read(path, w.layout))
    if name == "vc.iter_batches":
        import vorn_columns as vc
        return sum(len(b) for b in vc.iter_batches(path, w.layout))
    import vorn
    return sum(1 for _ in vorn.EventReader(path, w.layout))


def _loop(name, paths, w):
    t0 = time.perf_counter()
    for p in paths:
        read_with(name, p, w)
    return time.perf_counter() - t0


def _first(path, w, name):
    """Seconds of one read by `name` in a fresh interpreter."""
    proc = subprocess.run([sys.executable, str(Path(__file__)), "first", str(path), w.name, name],
                          capture_output=True, text=True, check=True)
    return float(proc.stdout)


def measure(tmp, w, quick, reps):
    """Loop and first-read figures of workload `w` for every set of files."""
    from workloads import generate, warm
    out = []
    for label, size, count in QUICK_SETS if quick else SETS:
        paths = [tmp / f"loop_{w.name}_{k}" for k in range(count)]
        events = 0
        for k, p in enumerate(paths):
            events += generate(w, p, size, seed=20261207 + k)
            warm(p)
        for name in READERS:  # a warm-up pass, which also checks the counts
            if sum(read_with(name, str(p), w) for p in paths) != events:
                raise SystemExit(f"loop {w.name} {label}: {name} read another number of events")
        loops = {n: [] for n in READERS}
        for rep in range(reps):
            k = rep % len(READERS)
            for name in READERS[k:] + READERS[:k]:
                loops[name].append(_loop(name, [str(p) for p in paths], w))
        firsts = {n: [] for n in READERS if n != "vorn"}
        for rep in range(1 if quick else FIRST_READS):
            for name in firsts:
                firsts[name].append(_first(paths[0], w, name))
        for p in paths:
            p.unlink()
        out.append({"workload": w.name, "record_bytes": w.record_bytes, "set": label,
                    "file_bytes": size, "files": count, "events": events,
                    "loop_runs": loops, "first_runs": firsts,
                    "loop_ns_per_event": {n: statistics.median(t) / events * 1e9
                                          for n, t in loops.items()},
                    "first_ns_per_event": {n: statistics.median(t) / (events / count) * 1e9
                                           for n, t in firsts.items()}})
        print(f"loop {w.name} {label}: " + ", ".join(
            f"{n} {x:,.1f}" for n, x in out[-1]["loop_ns_per_event"].items()) + " ns/event", flush=True)
    return out


def measure_memory(tmp, quick):
    """The resident set of a fresh process before its first read, and after
    reads of four files, their batches dropped and release_memory() run."""
    from workloads import BY_NAME, generate
    w = BY_NAME["wd1_64"]
    paths = [tmp / f"mem_loop_{k}" for k in range(4)]
    for k, p in enumerate(paths):
        generate(w, p, (8 if quick else 100) * MB, seed=k)
    proc = subprocess.run([sys.executable, str(Path(__file__)), "memory", w.layout,
                           *map(str, paths)], capture_output=True, text=True, check=True)
    for p in paths:
        p.unlink()
    m = json.loads(proc.stdout)
    m.update(workload=w.name, file_bytes=(8 if quick else 100) * MB, files=len(paths))
    return m


def targets(rows, runs, memory):
    """Appends each loop and first-read figure beside its target to `rows`."""
    from columns import _row

    def row(*args, **kwargs):
        _row(rows, *args, **kwargs)

    for r in runs:
        loops, firsts = r["loop_runs"], r["first_runs"]
        workload = f"{r['workload']}, {r['files']} x {r['set']}"
        ns = {n: f"{x:,.1f}" for n, x in r["loop_ns_per_event"].items()}
        large = r["record_bytes"] >= 1024
        small = r["record_bytes"] <= 40
        for name, bounds in (("vc.read", (1.0, 0.8, 0.5)), ("vc.iter_batches", (1.0, 0.8, 0.6))):
            bound = bounds[0] if large else bounds[2] if small else bounds[1]
            row(f"loop over files: {name} over numpy.fromfile (wall time)", workload,
                [f / v for f, v in zip(loops["numpy.fromfile"], loops[name])], ">=", bound,
                detail=f"{ns[name]} vs {ns['numpy.fromfile']} ns/event")
        first = {n: f"{statistics.median(t) * 1e3:,.1f}" for n, t in firsts.items()}
        row("first read in a fresh process: vc.read over numpy.fromfile (wall time)", workload,
            [f / v for f, v in zip(firsts["numpy.fromfile"], firsts["vc.read"])], ">=",
            1.0 if large else None, detail=f"{first['vc.read']} vs {first['numpy.fromfile']} ms")
    if memory:
        row("RSS after release_memory() over RSS before the first read",
            f"{memory['workload']}, {memory['files']} x {memory['file_bytes'] / MB:,.0f} MB",
            [(memory["after_kb"] - memory["before_kb"]) / 1024], "<=", 4, unit=" MiB",
            detail=f"{memory['before_kb'] / 1024:.1f} -> {memory['after_kb'] / 1024:.1f} MiB; "
                   f"{memory['kept_bytes'] / MIB:,.1f} MiB kept before it")


def main(argv):
    sys.path.insert(0, str(HERE))
    from workloads import BY_NAME
    if argv[0] == "first":
        path, w, name = argv[1], BY_NAME[argv[2]], argv[3]
        small = Path(path).with_suffix(".small")
        if not small.exists():  # imports and first calls done before the timing
            from workloads import generate
            generate(w, small, 64 * 1024)
        read_with(name, str(small), w)
        if name.startswith("vc."):
            import vorn_columns as vc
            vc.release_memory()  # a first read finds no memory of an earlier one
        t0 = time.perf_counter()
        read_with(name, path, w)
        print(time.perf_counter() - t0)
    elif argv[0] == "memory":
        import vorn_columns as vc
        from memory import status_kb
        layout, paths = argv[1], argv[2:]
        before = status_kb("VmRSS")
        for p in paths:
            b = vc.read(p, layout)
            del b
        kept = vc.release_memory()
        print(json.dumps({"before_kb": before, "after_kb": status_kb("VmRSS"), "kept_bytes": kept}))


if __name__ == "__main__":
    main(sys.argv[1:])
