"""Measures vorn and vorn_columns against a plain-Python reader,
numpy.fromfile and the raw-read ceiling, on generated files of several record
sizes; vorn_columns' figures are set beside their targets (columns.py), its
Arrow export and `vorn convert` among them (convert.py), and reads of part of
a file against reads of all of it (partial.py), and queries through index
sidecars against the same without them (sidecars.py).

    python bench/run.py [--quick] [--reps N] [--only NAME,...] [--out DIR]

Readers run interleaved, in a rotating order, several times over each file;
the median CPU time is reported. Writes bench.json, bench.md and bench.png to --out
(default bench/results). BENCH_QUICK=1 is --quick: small files, a smoke test
of the scripts whose figures mean little, written to bench/results/quick. Exits non-zero only when a reader
disagrees with vorn about the events (or the pulse-height histograms differ, or a conversion's
output), never because of a time.
"""
import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timezone
from itertools import islice
from pathlib import Path

# Before NumPy loads: no BLAS worker threads beside the measured one.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import columns  # noqa: E402
import convert  # noqa: E402
import features  # noqa: E402
import loop  # noqa: E402
import partial  # noqa: E402
import sidecars  # noqa: E402
import remote  # noqa: E402
import sources  # noqa: E402
import vorn  # noqa: E402
from readers import READERS, python_events  # noqa: E402
from workloads import BY_NAME, MB, WORKLOADS, file_name, generate, warm  # noqa: E402

HERE = Path(__file__).resolve().parent
CHECKED_EVENTS = 1000  # events compared field by field with the plain-Python reader


def file_bytes(w, quick):
    if quick:
        return 2 * MB if w.group != "large" else 8 * MB
    return 100 * MB if w.group == "small" else 256 * MB


def check(path, w, expected_events):
    """vorn's events agree with the plain-Python reader's, and none is lost."""
    for i, (a, b) in enumerate(zip(islice(vorn.EventReader(str(path), w.layout), CHECKED_EVENTS),
                                   python_events(path, w))):
        if list(a) != list(b) or any(a[k] != b[k] for k in a if k != "data"):
            raise SystemExit(f"{w.name}: event {i} differs: {a} != {b}")
        if a["data"].dtype != b["data"].dtype or not np.array_equal(a["data"], b["data"]):
            raise SystemExit(f"{w.name}: event {i} samples differ")
    count = sum(1 for _ in vorn.EventReader(str(path), w.layout))
    if count != expected_events:
        raise SystemExit(f"{w.name}: vorn read {count} events, the file holds {expected_events}")
    if len(READERS["numpy.fromfile"][0](path, w)) != expected_events:
        raise SystemExit(f"{w.name}: numpy.fromfile disagrees about the event count")


def measure(path, w, reps):
    """Seconds of CPU time per reader and rep, each rep running every reader
    once. CPU time (user + system) of the process, all its threads (a reader
    may start threads of its own; no BLAS threads run beside it), not wall
    time: on a busy machine the time spent waiting for a core is not the
    reader's."""
    names = [n for n, (_, applies) in READERS.items() if applies(w)]
    times = {n: [] for n in names}
    for rep in range(reps):
        order = names[rep % len(names):] + names[:rep % len(names)]
        for n in order:
            fn = READERS[n][0]
            t0 = time.process_time_ns()
            fn(str(path), w)
            times[n].append((time.process_time_ns() - t0) / 1e9)
    return times


def summarise(w, events, size, times):
    readers = {}
    for n, ts in times.items():
        med = statistics.median(ts)
        readers[n] = {"seconds": med, "ns_per_event": med / events * 1e9,
                      "events_per_s": events / med, "mb_per_s": size / med / MB,
                      "runs": ts}
    # Ratios within each rep, whose runs lie close together in time, then
    # their median: steadier than a ratio of medians when the load drifts.
    runs = range(len(times["vorn"]))
    python = [min(times[n][i] for n in ("python", "python-chunked") if n in times) for i in runs]
    ceiling = [min(times[n][i] for n in ("raw-read", "raw-records")) for i in runs]
    vs_python = statistics.median(p / v for p, v in zip(python, times["vorn"]))
    vs_ceiling = statistics.median(c / v for c, v in zip(ceiling, times["vorn"]))
    vs_records = statistics.median(c / v for c, v in zip(times["raw-records"], times["vorn"]))
    if w.group == "small":
        targets = {"vs_python": 1.9}
    elif w.group == "medium":
        targets = {"vs_python": 1.6}
    else:
        targets = {"vs_python": 1.0, "vs_ceiling": 0.9}
    ratios = {"vs_python": vs_python, "vs_ceiling": vs_ceiling, "vs_raw_records": vs_records}
    met = all(ratios[k] >= v for k, v in targets.items())
    return {"workload": w.name, "layout": w.layout, "samples": w.samples,
            "channels": w.channels, "channel_word": w.channel_word,
            "record_bytes": w.record_bytes, "events": events, "file_bytes": size,
            "readers": readers, "ratios": ratios, "targets": targets, "met": met}


def memory_check(tmp, quick):
    """Peak RSS while streaming a large file, in a fresh interpreter each
    time: EventReader may hold one record more than the baseline,
    iter_batches two batches (within 4 MiB), with features the columns of
    two batches (within 8 MiB)."""
    out = []
    for name in ("wd1_64", "wd2_1x100000"):
        w = BY_NAME[name]
        path = tmp / ("mem_" + str(file_name(w)))
        events = generate(w, path, (24 if quick else 1000) * MB)
        size = path.stat().st_size
        for reader in ("EventReader", "vc.iter_batches", "features"):
            proc = subprocess.run([sys.executable, str(HERE / "memory.py"), str(path), w.layout, reader],
                                  capture_output=True, text=True, check=True)
            m = json.loads(proc.stdout)
            if m["events"] != events:
                raise SystemExit(f"memory check {name}, {reader}: {m['events']} events of {events}")
            growth = (m["peak_kb"] - m["baseline_kb"]) * 1024
            allowance = w.record_bytes if reader == "EventReader" else 2 * m["batch_bytes"]
            slack = (8 if reader == "features" else 4) * 1024 * 1024
            m.update(workload=name, reader=reader, file_bytes=size, largest_record_bytes=w.record_bytes,
                     growth_bytes=growth, allowance_bytes=allowance,
                     over_allowance_bytes=growth - allowance, met=growth - allowance <= slack)
            out.append(m)
        path.unlink()
    return out


def git_commit():
    """The checkout's commit, "+dirty" when its sources differ from it."""
    try:
        head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=HERE, capture_output=True,
                              text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--", "src"], cwd=HERE.parent,
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    return head + ("+dirty" if dirty else "")


def fmt_table(results):
    names = list(READERS)
    lines = ["| workload | record B | events | " + " | ".join(names) + " | vorn/python | vorn/ceiling | vorn/raw-records | target |",
             "|---|---:|---:|" + "---:|" * len(names) + "---:|---:|---:|---|"]
    for r in results:
        cells = []
        for n in names:
            x = r["readers"].get(n)
            cells.append(f"{x['ns_per_event']:,.0f}" if x else "")
        t = ", ".join(f"{k.replace('vs_', '')} ≥ {v}" for k, v in r["targets"].items())
        lines.append(f"| {r['workload']} | {r['record_bytes']:,} | {r['events']:,} | " + " | ".join(cells)
                     + f" | {r['ratios']['vs_python']:.2f}x | {r['ratios']['vs_ceiling']:.0%}"
                     + f" | {r['ratios']['vs_raw_records']:.0%} | "
                     + f"{t}: {'met' if r['met'] else 'MISSED'} |")
    lines.append("")
    lines.append("ns of CPU time per event, median of the runs. Ratios, median over the runs: "
                 "vorn's events/s over the faster plain-Python reader's; vorn's MB/s over the "
                 "faster raw read's (ceiling) and over raw-records'.")
    lines.append("")
    lines.append("| workload | " + " | ".join(names) + " |")
    lines.append("|---|" + "---:|" * len(names))
    for r in results:
        cells = []
        for n in names:
            x = r["readers"].get(n)
            cells.append(f"{x['events_per_s'] / 1e6:.2f} M/s, {x['mb_per_s']:,.0f} MB/s" if x else "")
        lines.append(f"| {r['workload']} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def fmt_memory(mem):
    lines = ["| file | reader | size | events | baseline RSS | peak RSS | growth | allowance | verdict |",
             "|---|---|---:|---:|---:|---:|---:|---:|---|"]
    for m in mem:
        what = {"EventReader": "record", "features": "two batches' columns"}.get(m["reader"],
                                                                               "two batches")
        slack = 8 if m["reader"] == "features" else 4
        lines.append(f"| {m['workload']} | {m['reader']} | {m['file_bytes'] / MB:,.0f} MB | {m['events']:,} | "
                     f"{m['baseline_kb'] / 1024:.1f} MiB | {m['peak_kb'] / 1024:.1f} MiB | "
                     f"{m['growth_bytes'] / 1024:,.0f} KiB | {m['allowance_bytes']:,} B ({what}) | "
                     f"{f'within {slack} MiB of baseline + {what}' if m['met'] else 'MISSED'} |")
    return "\n".join(lines)


def plot(results, path):
    try:
        import matplotlib
    except ImportError:
        print("matplotlib not installed: no plot (make bench installs it)", file=sys.stderr)
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rs = sorted(results, key=lambda r: r["record_bytes"])
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5))
    for n in (n for n in READERS if n != "vc.scan"):  # a scan reads no samples
        pts = [(r["record_bytes"], r["readers"][n]) for r in rs if n in r["readers"]]
        x = [p[0] for p in pts]
        style = {"linewidth": 2.5, "zorder": 3} if n in ("vorn", "vc.read", "vc.iter_batches") else {"linewidth": 1.2}
        left.plot(x, [p[1]["ns_per_event"] for p in pts], marker="o", label=n, **style)
        right.plot(x, [p[1]["mb_per_s"] for p in pts], marker="o", label=n, **style)
    for ax in (left, right):
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("record size (bytes)")
        ax.grid(True, which="major", alpha=0.3)
        ax.minorticks_off()
        ax.set_xticks([r["record_bytes"] for r in rs])
        ax.set_xticklabels([r["workload"].replace("_", "\n", 1) for r in rs], fontsize=7)
    left.set_ylabel("ns per event (median)")
    right.set_ylabel("MB/s (median)")
    left.set_title("time per event")
    right.set_title("throughput")
    left.legend(fontsize=8)
    fig.suptitle("vorn and vorn_columns against plain Python, numpy.fromfile and raw reads")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", default=os.environ.get("BENCH_QUICK") == "1")
    ap.add_argument("--reps", type=int, default=None)
    ap.add_argument("--only", default="", help="comma-separated workload names")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--no-loop", action="store_true",
                    help="leave out the loops over files and the first reads in fresh processes")
    ap.add_argument("--no-features", action="store_true",
                    help="leave out the rows of pulse features against NumPy and plain reads")
    ap.add_argument("--no-remote", action="store_true",
                    help="leave out the rows of URLs read from servers on 127.0.0.1")
    ap.add_argument("--out", type=Path, default=None,
                    help="default bench/results, or bench/results/quick with --quick")
    ap.add_argument("--replot", action="store_true", help="redraw bench.png from bench.json in --out")
    args = ap.parse_args()
    args.out = args.out or HERE / "results" / ("quick" if args.quick else "")
    if args.replot:
        plot(json.loads((args.out / "bench.json").read_text())["results"], args.out / "bench.png")
        return
    reps = args.reps or (3 if args.quick else 7)
    chosen = [BY_NAME[n] for n in args.only.split(",")] if args.only else WORKLOADS

    args.out.mkdir(parents=True, exist_ok=True)
    tmp = Path(tempfile.mkdtemp(prefix="vorn-bench-"))
    results, parallel, analysis, export, conversions, other_sources = [], [], None, None, [], []
    parts = []  # reads of part of a file
    indexed = []  # queries through index sidecars
    loops, loop_memory = [], None  # loops over files, first reads
    feature_runs = None
    load_before = os.getloadavg()  # other work on the machine skews the wall-time rows
    try:
        for w in chosen:
            path = tmp / file_name(w)
            events = generate(w, path, file_bytes(w, args.quick))
            size = path.stat().st_size
            warm(path)
            check(path, w, events)
            columns.check(path, w, events)
            r = summarise(w, events, size, measure(path, w, reps))
            results.append(r)
            if w.name == columns.ANALYSIS_WORKLOAD:
                analysis = columns.measure_analysis(path, w, events, reps)
            if w.name == convert.EXPORT_WORKLOAD:
                export = convert.measure_export(tmp, w, args.quick, reps)
            if w.name in convert.CONVERT_WORKLOADS:
                conversions.append(convert.measure_convert(path, w, events, reps))
            if w.name in partial.WORKLOADS:
                parts.append(partial.measure_partial(path, w, reps))
            if w.name in sidecars.WORKLOADS:
                indexed.append(sidecars.measure(path, w, reps))
            copy = tmp / ("copy_" + str(file_name(w)))
            shutil.copyfile(path, copy)
            warm(copy)
            parallel.append(columns.measure_parallel([path, copy], w, reps))
            copy.unlink()
            other_sources.append(sources.measure(path, w, tmp, reps))
            path.unlink()
            print(f"{w.name}: vorn {r['readers']['vorn']['ns_per_event']:,.0f} ns/event, "
                  f"{r['ratios']['vs_python']:.2f}x python, {r['ratios']['vs_ceiling']:.0%} of ceiling; "
                  f"vc.read {r['readers']['vc.read']['mb_per_s']:,.0f} MB/s",
                  flush=True)
        if not args.no_loop:
            for name in loop.QUICK_WORKLOADS if args.quick else loop.WORKLOADS:
                if not args.only or name in args.only.split(","):
                    loops += loop.measure(tmp, BY_NAME[name], args.quick, reps)
            loop_memory = None if args.no_memory else loop.measure_memory(tmp, args.quick)
        if not args.no_features and (not args.only or features.WORKLOAD in args.only.split(",")):
            feature_runs = features.measure(tmp, args.quick, reps)
        memory = [] if args.no_memory else memory_check(tmp, args.quick)
        missing = None if args.no_remote else remote.available()
        if missing:
            print(f"{missing} not installed: no remote rows (make test installs it)", file=sys.stderr)
        remote_results = None if args.no_remote or missing else remote.measure(args.quick, reps)
        gzip_memory = None if args.no_memory else sources.memory_check(tmp, args.quick)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    targets = columns.targets(results, parallel, analysis, memory, export, conversions)
    targets += sources.targets(other_sources, gzip_memory)
    if remote_results:
        targets += remote.targets(remote_results)
    targets = partial.targets(targets, parts)
    targets = sidecars.targets(targets, indexed, None if args.no_remote or missing
                               else sidecars.measure_s3())
    loop.targets(targets, loops, loop_memory)
    features.targets(targets, feature_runs)
    load = {"before": load_before, "after": os.getloadavg()}
    md = (fmt_table(results) + ("\n\n" + fmt_memory(memory) if memory else "")
          + "\n\n" + columns.fmt_targets(targets) + "\n\nLoad average (1, 5, 15 min) before: "
          + ", ".join(f"{x:.2f}" for x in load["before"]) + "; after: "
          + ", ".join(f"{x:.2f}" for x in load["after"]) + ".\n")
    print()
    print(md)
    report = {
        "when": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "quick": args.quick, "reps": reps,
        "commit": git_commit(),
        "machine": {"cpus": os.cpu_count(), "processor": platform.processor() or platform.machine(),
                    "python": platform.python_version(), "numpy": np.__version__,
                    "load_average": load},
        "results": results, "memory": memory,
        "columns": {"targets": targets, "parallel": parallel, "analysis": analysis,
                    "export": export, "conversions": conversions, "partial": parts, "sidecars": indexed,
                    "remote": remote_results, "loops": loops, "loop_memory": loop_memory,
                    "features": feature_runs},
        "sources": {"runs": other_sources, "gzip_memory": gzip_memory},
    }
    (args.out / "bench.json").write_text(json.dumps(report, indent=1) + "\n")
    (args.out / "bench.md").write_text(md)
    plotted = plot(results, args.out / "bench.png")
    print(f"wrote {args.out / 'bench.json'}, {args.out / 'bench.md'}"
          + (f", {args.out / 'bench.png'}" if plotted else ""))


if __name__ == "__main__":
    main()
