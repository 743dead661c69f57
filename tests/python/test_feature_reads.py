"""Reads with pulse features when things go wrong around them (Ctrl-C, two
threads sharing an iterator, the file cut and restored underneath), and the
Polars and Dask frames of features. No event may be lost, repeated, or given
another event's features."""
import threading

import numpy as np
import pytest

import vorn_columns as vc
import wd_files
from test_columns_hardening import cut_and_restored
from test_hardening import run

SPEC = vc.Features("negative", trapezoid=(8, 4), decay=50.0)
EVENTS = 8000
RECORD = 24 + 2 * 1024


@pytest.fixture(scope="module")
def pulses(tmp_path_factory):
    """EVENTS WD1 records of 1,024 noisy samples with a pulse somewhere
    (16 MB: read in stages on threads), event_counter 0, 1, ..."""
    rng = np.random.default_rng(5)
    rec = np.zeros(EVENTS, [("h", "<u4", 6), ("d", "<u2", 1024)])
    rec["h"][:, 0] = RECORD
    rec["h"][:, 4] = np.arange(EVENTS)
    t = np.arange(1024)
    onset = rng.integers(40, 900, EVENTS)[:, None]
    pulse = 900 * np.exp(-np.clip(t - onset, 0, None) / 50.0) * (t >= onset)
    rec["d"] = 3000 - pulse + rng.integers(0, 30, (EVENTS, 1024))
    path = tmp_path_factory.mktemp("features") / "pulses.wd1"
    rec.tofile(path)
    return str(path)


def rows_agree(batch, whole, upto=None):
    """Whether each event of `batch` has the features `whole` (a read with
    samples, its features computed) gives its event_counter; only events
    before `upto` are compared."""
    numbers = batch["event_counter"].astype(np.int64)
    keep = slice(None) if upto is None else numbers < upto
    return all(np.array_equal(batch[name][keep], whole[name][numbers[keep]], equal_nan=True)
               for name in SPEC.names("WD1"))


def test_ctrl_c_during_a_feature_iteration_loses_and_mislabels_nothing(pulses):
    # SIGINT every 2 ms while next() is at work: each batch is whole and
    # its features are its events'.
    out = run("""
        import sys
        import vorn_columns as vc
        from test_columns_hardening import check_labels, pestered
        from test_feature_reads import SPEC, EVENTS, rows_agree
        whole = SPEC.compute(vc.read(sys.argv[1], "WD1"))
        got, interrupts = pestered(vc.iter_batches(sys.argv[1], "WD1", features=SPEC,
                                                   max_bytes=1 << 20))
        check_labels(got, 0, EVENTS)
        print(interrupts > 0, all(rows_agree(b, whole) for b in got))
    """, pulses)
    assert out.split() == ["True", "True"]


def test_two_threads_sharing_a_feature_iterator_share_its_events(pulses):
    whole = SPEC.compute(vc.read(pulses, "WD1"))
    batches = vc.iter_batches(pulses, "WD1", features=SPEC, max_events=300)
    got, wrong = [], []

    def pull():
        while True:
            try:
                b = next(batches)
            except RuntimeError:  # the other thread is inside next()
                continue
            except StopIteration:
                return
            except Exception as e:  # noqa: BLE001 - any other failure is the test's
                wrong.append(e)
                return
            got.append(b)

    threads = [threading.Thread(target=pull) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []
    numbers = np.sort(np.concatenate([b["event_counter"] for b in got]))
    assert np.array_equal(numbers, np.arange(EVENTS))
    assert all(rows_agree(b, whole) for b in got)


@pytest.mark.parametrize("how", ["read", "take"])
def test_features_of_a_file_cut_and_restored_underneath(pulses, how, tmp_path):
    # Each read finds a prefix of the records as written, gone, or (from the
    # system, racing the truncation) zero; the records wholly before the page
    # the file is cut in keep their features.
    path = str(tmp_path / "cut.wd1")
    with open(pulses, "rb") as f:
        content = f.read()
    with open(path, "wb") as f:
        f.write(content)
    whole = SPEC.compute(vc.read(pulses, "WD1"))
    cut = len(content) // 2 + 1000 + 7
    intact = (cut // 4096 * 4096) // RECORD  # records before it are never touched
    stop, wrong = threading.Event(), []

    def reading():
        while not stop.is_set():
            try:
                if how == "read":
                    b = vc.read(path, "WD1", features=SPEC)
                else:
                    b = vc.take(path, "WD1", np.arange(0, EVENTS, 7), features=SPEC)
            except (vc.CorruptRecordError, vc.StaleIndexError, IndexError, ValueError):
                continue  # a record read as zeros, or a take of events the cut file lacks
            except Exception as e:  # noqa: BLE001 - any other failure is the test's
                wrong.append(e)
                return
            if not rows_agree(b, whole, upto=intact):
                wrong.append(len(b))

    cut_and_restored(path, content, cut, reading, stop, 40)
    assert wrong == []
    assert rows_agree(vc.read(path, "WD1", features=SPEC), whole)


def frame_of(batch):
    """A read's header and feature columns as Polars sees them."""
    pl = pytest.importorskip("polars")
    return pl.from_arrow(pa_record(batch))


def pa_record(batch):
    pa = pytest.importorskip("pyarrow")
    return pa.record_batch(batch)


def pa_table(stream):
    pa = pytest.importorskip("pyarrow")
    return pa.table(stream)


@pytest.mark.parametrize("layout", ["WD1", "WD2"])
@pytest.mark.parametrize("index", [None, "sidecar"])
def test_polars_frames_of_features_are_the_reads(tmp_path, layout, index):
    # A projection computes what it selects, a filter on features is Polars'
    # own on each frame, a filter on headers picks records first: every way
    # gives the rows of a read with the same features.
    pl = pytest.importorskip("polars")
    rng = np.random.default_rng(3)
    if layout == "WD1":
        content = b"".join(wd_files.wd1(3000 - rng.integers(0, 900, 300), board_channel=i % 4,
                                        event_counter=i) for i in range(2000))
    else:
        content = b"".join(wd_files.wd2(rng.normal(0, 1, 2 * 200).astype(np.float32),
                                        channels=2, event_counter=i) for i in range(2000))
    path = tmp_path / f"f.{layout}"
    path.write_bytes(content)
    if index:
        vc.scan(path, layout).save()
    spec = SPEC if layout == "WD1" else vc.Features("positive", integral=(10, 150))
    whole = vc.read(path, layout, features=spec)
    key = "board_channel" if layout == "WD1" else "event_counter"
    threshold = float(np.nanmedian(whole["amplitude"]))
    cut = whole["amplitude"] > threshold if layout == "WD1" else whole["amplitude"][:, 0] > threshold
    heads = whole[key] % 4 == 1
    frame = vc.scan_polars(path, layout, features=spec, index="auto" if index else None)
    assert frame.collect_schema().names() == list(whole.columns)
    amplitude = pl.col("amplitude") if layout == "WD1" else pl.col("amplitude").arr.get(0)
    for query, rows in [(frame, slice(None)),
                        (frame.select("event_counter", "integral"), slice(None)),
                        (frame.filter(amplitude > threshold), cut),
                        (frame.filter(pl.col(key) % 4 == 1), heads),
                        (frame.head(7), slice(0, 7))]:
        got = query.collect()
        want = frame_of(whole[rows]).select(got.columns)
        assert got.equals(want, null_equal=True), query
    # The iterator's Arrow stream, made on the reading thread, holds the same.
    streamed = pl.from_arrow(pa_table(vc.iter_batches(path, layout, features=spec, index=None,
                                                      max_bytes=100_000)))
    assert streamed.equals(frame_of(whole), null_equal=True)


@pytest.mark.servers
def test_dask_features_of_s3_objects_on_worker_processes_are_the_local_ones(s3, tmp_path):
    distributed = pytest.importorskip("distributed", reason="the dask extra is not installed")
    rng = np.random.default_rng(4)
    contents = [b"".join(wd_files.wd1(3000 - rng.integers(0, 900, 200), event_counter=i)
                         for i in range(n)) for n in (300, 1, 250)]
    for i, content in enumerate(contents):
        s3.put(f"features/run{i}.wd1", content)
        (tmp_path / f"run{i}.wd1").write_bytes(content)
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        frame = vc.to_dask("s3://vorn-tests/features/run*", "WD1", events_per_partition=100,
                           storage_options=s3.options, features=SPEC)
        got = frame.compute()
    local = [vc.read(tmp_path / f"run{i}.wd1", "WD1", features=SPEC) for i in range(3)]
    assert "data" not in got.columns
    for name in local[0].columns:
        assert np.array_equal(got[name].to_numpy(), np.concatenate([b[name] for b in local]),
                              equal_nan=True), name
