"""Index sidecars: what `index="auto"` finds beside a file is used only while it describes the
file, so that every answer through one equals the answer without it."""
import os
import pickle
import resource
import shutil
import signal
import subprocess
import sys
import warnings

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow", reason="the arrow extra is not installed")
pq = pytest.importorskip("pyarrow.parquet")
pl = pytest.importorskip("polars", reason="the polars extra is not installed")
from hypothesis import given, settings, strategies as st  # noqa: E402

import vorn_columns as vc  # noqa: E402
import wd_files  # noqa: E402
from vorn_columns import _sidecar, cli  # noqa: E402

# Records of 1048 bytes: a file of 200 reaches past the fingerprint's 64 KiB, so that its last
# records are vouched for by the headers read again, not by the fingerprint.
COUNT, SAMPLES = 200, 512


@pytest.fixture
def indexed(tmp_path):
    """A WD1 file of COUNT records with its sidecar saved beside it."""
    path = str(tmp_path / "run.wd1")
    with open(path, "wb") as f:
        f.write(wd_files.run_of("WD1", COUNT, SAMPLES))
    vc.scan(path, "WD1", index=None).save()
    _sidecar.cache.clear()
    return path


def answers(path, index):
    """Every reading function's answer for the file (plain values, or the error's type), and
    the stale warnings met."""
    frame = vc.scan_polars(path, "WD1", index=index)
    asks = (lambda: vc.read(path, "WD1", start=150, index=index).samples.tobytes(),
            lambda: vc.take(path, "WD1", [3, 120, 198], index=index).samples.tobytes(),
            lambda: [len(b) for b in vc.iter_batches(path, "WD1", start=7, max_events=50,
                                                     index=index)],
            lambda: vc.scan(path, "WD1", index=index).positions.tolist(),
            lambda: frame.select("event_counter", "timestamp").collect().rows(),
            lambda: frame.filter(pl.col("board_channel") == 3).collect()["data"].to_list())
    out = []
    with warnings.catch_warnings(record=True) as met:
        warnings.simplefilter("always")
        for ask in asks:
            try:
                out.append(ask())
            except (ValueError, IndexError, OSError) as e:
                out.append(type(e).__name__)
    return out, [w for w in met if issubclass(w.category, vc.StaleIndexWarning)]


def rewrite(path, offset, data, keep_mtime=True):
    """`data` written over the file at `offset`, its size and (by default) mtime kept."""
    st = os.stat(path)
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)
    if keep_mtime:
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def other_run(count, first):
    return wd_files.run_of("WD1", count, SAMPLES, first=first)


RECORD = 24 + 2 * SAMPLES
MUTATIONS = {
    "append": lambda p, k: open(p, "ab").write(other_run(k % 5 + 1, COUNT)),
    "rewrite_head": lambda p, k: rewrite(p, (k % 60) * RECORD, other_run(1, 1000 + k)),
    "rewrite_last": lambda p, k: rewrite(p, (COUNT - 1) * RECORD, other_run(1, 1000 + k)),
    "rewrite_middle": lambda p, k: rewrite(p, COUNT // 2 * RECORD, other_run(1, 1000 + k)),
    "touch": lambda p, k: os.utime(p, ns=(k, k)),
    "rename_over": lambda p, k: _renamed_over(p, k),
    "truncate": lambda p, k: os.truncate(p, os.path.getsize(p) - 1 - k % RECORD),
    "other_files_sidecar": lambda p, k: _other_sidecar(p, k),
    "sidecar_rows_edited": lambda p, k: _edited(p, rows=True, k=k),
    "sidecar_metadata_edited": lambda p, k: _edited(p, rows=False, k=k),
}


def _renamed_over(path, k):
    st = os.stat(path)
    with open(path + ".new", "wb") as f:
        f.write(other_run(COUNT, k + 1))
    os.utime(path + ".new", ns=(st.st_atime_ns, st.st_mtime_ns))
    os.replace(path + ".new", path)


def _other_sidecar(path, k):
    other = path + f".other{k}.wd1"
    with open(other, "wb") as f:
        f.write(other_run(COUNT - 1 - k % 3, 7))
    vc.scan(other, "WD1", index=None).save()
    shutil.copy(other + ".vidx", path + ".vidx")


def _edited(path, rows, k):
    table = pq.read_table(path + ".vidx")
    meta = dict(table.schema.metadata)
    if rows:
        counter = table["event_counter"].to_numpy().copy()
        counter[k % COUNT] += 1
        table = table.set_column(table.column_names.index("event_counter"), "event_counter",
                                 pa.array(counter))
    else:
        meta[b"vorn.channels" if k % 2 else b"vorn.end"] = b"8"
    pq.write_table(table.replace_schema_metadata(meta), path + ".vidx")


class TestStaleness:
    @settings(max_examples=40, deadline=None)
    @given(mutation=st.sampled_from(sorted(MUTATIONS)), k=st.integers(0, 10_000))
    def test_an_auto_sidecar_answers_as_a_scan_or_warns(self, tmp_path_factory, mutation, k):
        path = str(tmp_path_factory.mktemp("m") / "run.wd1")
        with open(path, "wb") as f:
            f.write(wd_files.run_of("WD1", COUNT, SAMPLES))
        vc.scan(path, "WD1", index=None).save()
        answers(path, "auto")  # the sidecar, loaded into the process's cache
        MUTATIONS[mutation](path, k)
        expected, _ = answers(path, None)
        got, warned = answers(path, "auto")
        assert got == expected  # never a wrong row
        assert len(warned) == 6 and all(os.path.basename(path) in str(w.message) for w in warned)

    def test_a_matching_sidecar_is_used_and_loaded_once(self, indexed, monkeypatch):
        expected, _ = answers(indexed, None)
        monkeypatch.setattr(vc._reading, "index_of", lambda *a, **k: pytest.fail("scanned"))
        got, warned = answers(indexed, "auto")
        assert (got, warned, _sidecar.cache.loads) == (expected, [], 1)

    @pytest.mark.parametrize("channels", [None, 2])
    def test_a_wd2_sidecar_with_a_tail_matches_its_file(self, tmp_path, channels):
        path = str(tmp_path / "run.wd2")
        with open(path, "wb") as f:
            f.write(wd_files.wd2_run(40, 5, channels=channels) + b"\1" * 9)
        vc.scan(path, index=None).save()
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            found = vc.scan(path)
            batch = vc.read(path, start=30)
        assert found.sidecar == path + ".vidx" and found.channels == vc.scan(path, index=None).channels
        assert batch.samples.tobytes() == vc.read(path, start=30, index=None).samples.tobytes()
        assert pq.read_table(path + ".vidx").schema.metadata[b"vorn.tail_bytes"] == b"9"

    def test_none_never_looks_and_an_explicit_sidecar_raises(self, indexed):
        os.utime(indexed, ns=(1, 1))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            vc.read(indexed, "WD1", index=None)
        for index in (indexed + ".vidx", vc.Index.load(indexed + ".vidx")):
            with pytest.raises(vc.StaleIndexError, match="mtime_ns"):
                vc.take(indexed, "WD1", [1], index=index)
        # Polars before 1.37 hands on what an IO source raised as its own ComputeError.
        with pytest.raises((vc.StaleIndexError, pl.exceptions.ComputeError), match="mtime_ns"):
            vc.scan_polars(indexed, "WD1", index=indexed + ".vidx").collect()

    def test_the_check_runs_at_every_collect_and_in_dask_workers(self, indexed):
        frame = vc.scan_polars(indexed, "WD1").select("event_counter")
        try:
            dask_frame = vc.to_dask(indexed, "WD1", events_per_partition=64)
        except ImportError:  # no Dask for this interpreter: the frame's check alone
            dask_frame = None
        assert frame.collect().height == COUNT
        if dask_frame is not None:
            assert dask_frame["event_counter"].count().compute() == COUNT
        MUTATIONS["rewrite_last"](indexed, 0)
        with pytest.warns(vc.StaleIndexWarning, match="event 199's header"):
            assert frame.collect()["event_counter"][-1] == 1000
        if dask_frame is not None:
            with pytest.raises(vc.StaleIndexError, match="event 199's header"):
                dask_frame["event_counter"].sum().compute()


class TestFile:
    def test_schema_metadata_and_pickles(self, indexed):
        table = pq.read_table(indexed + ".vidx")
        assert table.column_names == ["offset", *vc.FIELDS["WD1"]]
        assert table["offset"].type == pa.int64() and table.num_rows == COUNT
        meta = {k.decode(): v.decode() for k, v in table.schema.metadata.items()}
        assert {k: meta[f"vorn.{k}"] for k in ("layout", "size", "file_name", "tail_bytes")} == {
            "layout": "WD1", "size": str(COUNT * RECORD), "file_name": "run.wd1",
            "tail_bytes": "0"}
        loaded = vc.Index.load(indexed + ".vidx")
        again = pickle.loads(pickle.dumps(loaded))
        old = vc.Index.__new__(vc.Index)
        old.__setstate__(loaded.__getstate__()[:9])  # a pickle of an index without sidecars
        for ix in (again, old):
            assert ix.positions.tolist() == loaded.positions.tolist() and ix.source == indexed
        assert (again.sidecar, again.fingerprint, old.sidecar) == (
            indexed + ".vidx", loaded.fingerprint, None)

    @pytest.mark.parametrize("fault", [KeyboardInterrupt(), OSError(28, "No space left")])
    def test_an_interrupted_write_leaves_the_old_sidecar_whole(self, indexed, monkeypatch, fault):
        before = open(indexed + ".vidx", "rb").read()

        def half(table, f, **kw):
            f.write(b"PAR1" + b"\0" * 100)
            raise fault
        monkeypatch.setattr(pq, "write_table", half)
        with pytest.raises(type(fault)):
            vc.scan(indexed, "WD1", index=None).save()
        assert sorted(os.listdir(os.path.dirname(indexed))) == ["run.wd1", "run.wd1.vidx"]
        assert open(indexed + ".vidx", "rb").read() == before

    def test_a_full_disk_under_the_command_writes_no_sidecar(self, indexed):
        os.remove(indexed + ".vidx")

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        run = subprocess.run([sys.executable, "-m", "vorn_columns.cli", "index", indexed],
                             capture_output=True, text=True, preexec_fn=small_files)
        assert run.returncode == 1 and run.stderr.count("\n") == 1, run.stderr
        assert "File too large" in run.stderr
        assert os.listdir(os.path.dirname(indexed)) == ["run.wd1"]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert len(vc.scan(indexed, "WD1")) == COUNT

    def test_without_pyarrow_an_existing_sidecar_is_explained_once(self, indexed, tmp_path):
        script = ("import sys, warnings; sys.modules['pyarrow'] = None\n"
                  "import vorn_columns as vc\nwarnings.simplefilter('always')\n"
                  "for path in sys.argv[1:] * 2:\n    vc.read(path, 'WD1', stop=1)\n")
        plain = str(tmp_path / "plain.wd1")
        shutil.copy(indexed, plain)
        run = subprocess.run([sys.executable, "-c", script, indexed, plain],
                             capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        assert run.stderr.count("UserWarning") == 1 and "need pyarrow" in run.stderr


def test_the_command_indexes_many_files_and_info_says_which_match(indexed, tmp_path, capsys):
    other = str(tmp_path / "other.wd1")
    with open(other, "wb") as f:
        f.write(other_run(9, 0))
    os.remove(indexed + ".vidx")
    missing = str(tmp_path / "missing.wd1")
    assert cli.main(["index", "--jobs", "2", indexed, missing, other]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and missing in err
    assert sorted(os.listdir(tmp_path)) == ["other.wd1", "other.wd1.vidx", "run.wd1",
                                            "run.wd1.vidx"]
    os.utime(other, ns=(1, 1))
    assert cli.main(["info", indexed, other]) == 0
    lines = [ln for ln in capsys.readouterr().out.splitlines() if "index sidecar" in ln]
    assert lines[0].endswith(".vidx, valid") and "stale: its mtime_ns is 1" in lines[1]
