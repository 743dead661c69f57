"""A histogram of pulse heights over a directory of event files, reduced in parallel: file by
file with concurrent.futures on one machine (no dependency beyond vorn), or with Dask, whose
partitions are ranges of events of each file, on local processes or a dask.distributed cluster.

    python examples/many_files.py DIR [--engine pool|dask|both] [--workers N] [--json]
                                      [--scheduler ADDRESS]

Files named *.wd1 are read as "WD1" and *.wd2 as "WD2"; each layout gets its own histogram.
The Dask engine needs `pip install 'vorn[dask]'`; with --scheduler it runs on the cluster of that
dask.distributed scheduler, otherwise on local processes.
"""
import argparse
import json
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

# Functions shipped to other processes are pickled with the names they use. Use the class as
# vorn.EventReader: the class itself cannot be pickled (it reports its module as "builtins"),
# the module can.
import vorn

# Bin edges of the pulse height: ADC counts for WD1, volts for WD2.
EDGES = {"WD1": np.linspace(0, 4096, 33), "WD2": np.linspace(0, 0.8, 33)}
BASELINE = 64  # leading samples, before any pulse, whose median is the baseline


def layout_of(path):
    return Path(path).suffix[1:].upper()


def pulse_heights(ev):
    """Height of the negative-going pulse in each channel of the event: baseline minus minimum.
    A WD2 block holds its channels one after another, `samples` values each."""
    data = ev["data"]
    waves = data.reshape(-1, ev.get("samples") or len(data)).astype(np.float64)
    return np.median(waves[:, :BASELINE], axis=1) - waves.min(axis=1)


def histogram_file(path):
    """The per-file reduction: (layout, counts of pulse heights in EDGES[layout])."""
    layout = layout_of(path)
    counts = np.zeros(len(EDGES[layout]) - 1, dtype=np.int64)
    for ev in vorn.EventReader(str(path), layout):
        if len(ev["data"]):
            counts += np.histogram(pulse_heights(ev), EDGES[layout])[0]
    return layout, counts


def with_process_pool(paths, workers=None):
    totals = {}
    with ProcessPoolExecutor(workers) as pool:
        for layout, counts in pool.map(histogram_file, paths):
            totals[layout] = totals.get(layout, 0) + counts
    return totals


def partition_counts(frame, layout):
    """The per-partition reduction on Dask: one row, the counts of the partition's pulse heights
    in EDGES[layout]. `frame` holds the header columns and "data", an Arrow list column."""
    import pandas as pd

    counts = np.zeros(len(EDGES[layout]) - 1, dtype=np.int64)
    lengths = frame["data"].list.len().to_numpy()
    flat = frame["data"].list.flatten().to_numpy()
    samples = frame["samples"].to_numpy() if layout == "WD2" else lengths
    for end, length, per_channel in zip(np.cumsum(lengths), lengths, samples):
        if length:
            ev = {"data": flat[end - length:end], "samples": int(per_channel)}
            counts += np.histogram(pulse_heights(ev), EDGES[layout])[0]
    return pd.DataFrame([counts])


def with_dask(paths, scheduler="processes"):
    import dask
    import pandas as pd
    import vorn_columns

    sums = {}
    for layout in sorted({layout_of(p) for p in paths}):
        frame = vorn_columns.to_dask([p for p in paths if layout_of(p) == layout], layout)
        meta = pd.DataFrame(columns=range(len(EDGES[layout]) - 1), dtype=np.int64)
        # Each partition becomes one row of counts; the sum over rows happens on the workers too.
        sums[layout] = frame.map_partitions(partition_counts, layout, meta=meta).sum()
    (computed,) = dask.compute(sums, scheduler=scheduler)
    return {layout: counts.to_numpy() for layout, counts in computed.items()}


def show(totals):
    for layout, counts in sorted(totals.items()):
        edges, unit = EDGES[layout], "ADC counts" if layout == "WD1" else "V"
        print(f"{layout}: {counts.sum()} pulses")
        used = np.flatnonzero(counts)
        for i in range(used.min(), used.max() + 1) if len(used) else ():
            bar = "#" * int(np.ceil(40 * counts[i] / counts.max()))
            print(f"  {edges[i]:7.4g} .. {edges[i + 1]:<7.4g} {unit:10} {counts[i]:6} {bar}")


def same(a, b):
    return a.keys() == b.keys() and all(np.array_equal(a[k], b[k]) for k in a)


def dask_missing():
    """Why the Dask engine cannot run here, or None when it can."""
    try:
        import dask.dataframe  # noqa: F401
        import distributed  # noqa: F401
        import pyarrow  # noqa: F401
    except ImportError as e:
        return f"the Dask engine needs pip install 'vorn[dask]' ({e})"
    return None


def main(argv=None):
    first_paragraph = __doc__.split("\n\n")[0]
    parser = argparse.ArgumentParser(
        description=" ".join(first_paragraph.split()),
        epilog="Files named *.wd1 are read as WD1 and *.wd2 as WD2. The Dask engine needs "
               "pip install 'vorn[dask]'.")
    parser.add_argument("directory")
    parser.add_argument("--engine", choices=["pool", "dask", "both"], default="both")
    parser.add_argument("--workers", type=int, help="processes of the pool (default: CPUs)")
    parser.add_argument("--json", action="store_true", help="print the counts as JSON")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a dask.distributed scheduler to run the Dask engine on")
    args = parser.parse_args(argv)
    paths = sorted(str(p) for p in Path(args.directory).iterdir() if layout_of(p) in EDGES)
    if not paths:
        parser.error(f"no *.wd1 or *.wd2 files in {args.directory}")
    missing = dask_missing() if args.engine in ("dask", "both") else None
    if missing and args.engine == "dask":
        parser.exit(1, f"{parser.prog}: {missing}\n")
    if missing:
        print(f"{parser.prog}: {missing}; using the process pool only", file=sys.stderr)
        args.engine = "pool"
    results = {}
    if args.engine in ("pool", "both"):
        results["process pool"] = with_process_pool(paths, args.workers)
    if args.engine in ("dask", "both"):
        if args.scheduler:
            from dask.distributed import Client

            with Client(args.scheduler) as client:
                results["dask"] = with_dask(paths, scheduler=client)
        else:
            results["dask"] = with_dask(paths)
    if args.json:
        out = {name: {k: v.tolist() for k, v in totals.items()} for name, totals in results.items()}
        print(json.dumps({"files": len(paths), "results": out,
                          "edges": {k: v.tolist() for k, v in EDGES.items()}}))
        return
    (first, totals), *others = results.items()
    print(f"{len(paths)} files in {args.directory}, reduced with the {first}")
    show(totals)
    for name, other in others:
        print(f"{name}: {'the same counts' if same(totals, other) else 'DIFFERENT counts'}")


if __name__ == "__main__":
    main()
