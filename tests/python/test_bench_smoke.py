"""The benchmark's quick mode end to end, so that its scripts keep working.
It checks what the benchmark produces and that its readers agree with vorn,
never how fast anything is."""
import json
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parents[2] / "bench"


def test_quick_run_writes_a_complete_report(tmp_path):
    # The rows of URLs start servers: test_remote.py runs them.
    proc = subprocess.run([sys.executable, str(BENCH / "run.py"), "--quick", "--reps", "1",
                           "--no-remote", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    # run.py exits non-zero when a reader disagrees with vorn about the events.
    assert proc.returncode == 0, proc.stderr
    report = json.loads((tmp_path / "bench.json").read_text())

    sys.path.insert(0, str(BENCH))
    try:
        from readers import READERS
        from sources import codecs
        from workloads import WORKLOADS
    finally:
        sys.path.remove(str(BENCH))
    assert [r["workload"] for r in report["results"]] == [w.name for w in WORKLOADS]
    for w, r in zip(WORKLOADS, report["results"]):
        assert set(r["readers"]) == {n for n, (_, applies) in READERS.items() if applies(w)}
        assert r["events"] * w.record_bytes == r["file_bytes"]
        assert all(x["ns_per_event"] > 0 for x in r["readers"].values())
    assert {m["workload"] for m in report["memory"]} == {"wd1_64", "wd2_1x100000"}
    assert {m["reader"] for m in report["memory"]} == {"EventReader", "vc.iter_batches", "features"}
    assert "| wd2_1x100000 |" in (tmp_path / "bench.md").read_text()
    rows = [t["what"] for t in report["columns"]["targets"]]
    for codec in codecs():  # other sources' rows (zstd where this interpreter reads it)
        assert f"two threads on two {codec} files over one" in rows
    assert any(r.startswith("iter_batches of a gzip file: peak RSS") for r in rows)
    assert sum("with a sidecar" in r or "sidecar cached" in r for r in rows) == 4
    loops = report["columns"]["loops"]  # the loop over files and the first read
    assert {(x["workload"], n) for x in loops for n in x["loop_ns_per_event"]} == {
        (w, n) for w in ("wd1_0", "wd1_1024")
        for n in ("numpy.fromfile", "vc.read", "vc.iter_batches", "vorn")}
    assert all(x["first_runs"]["vc.read"] for x in loops)
    assert "RSS after release_memory() over RSS before the first read" in rows
    # pulse features against NumPy and a plain read; pulse heights through features too
    assert {"features kernel, one CPU: the whole chain, trapezoid with decay",
            "loop over files: four simple features over NumPy on vc.read batches (wall time)",
            "pulse heights: features (amplitude) over numpy.fromfile"} <= set(rows)
    assert report["columns"]["features"]["loop_runs"]["numpy chain"]
