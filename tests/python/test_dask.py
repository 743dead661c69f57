"""vorn_columns.to_dask on a local cluster of two worker processes: the same as one process."""
import numpy as np
import pytest

import vorn_columns as vc

from wd_files import wd1, wd2_run

pd = pytest.importorskip("pandas", reason="the dask extra is not installed (make test installs it)")
distributed = pytest.importorskip("distributed", reason="the dask extra is not installed")
EDGES = np.linspace(0, 1000, 41)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def heights(events):
    """Per event: the median of its first 16 samples, the baseline, minus its minimum."""
    return np.array([np.median(e[:16].astype(np.float64)) - e.min() for e in events])


def partition_histogram(frame):
    lengths = frame["data"].list.len().to_numpy()
    flat = frame["data"].list.flatten().to_numpy()
    events = np.split(flat, np.cumsum(lengths)[:-1]) if len(frame) else []
    return pd.DataFrame([np.histogram(heights(events), EDGES)[0]])


def test_histogram_on_the_cluster_equals_one_process(tmp_path, client):
    rng = np.random.default_rng(3)
    paths = []
    for f, count in enumerate([40, 75, 1, 120]):
        waves = [np.full(rng.integers(20, 90), 2000) for _ in range(count)]
        for w in waves:
            w[rng.integers(16, len(w))] -= rng.integers(0, 1000)
        paths.append(tmp_path / f"run{f}.wd1")
        paths[-1].write_bytes(b"".join(wd1(w, event_counter=i) for i, w in enumerate(waves)))
    frame = vc.to_dask(paths, "WD1", events_per_partition=30)
    meta = pd.DataFrame(columns=range(len(EDGES) - 1), dtype=np.int64)
    counts = frame.map_partitions(partition_histogram, meta=meta).sum()
    on_cluster = client.compute(counts).result().to_numpy()
    batches = [vc.read(p, "WD1") for p in paths]
    here = np.histogram(np.concatenate(
        [heights(np.split(b.samples, b.offsets[1:-1])) for b in batches]), EDGES)[0]
    assert on_cluster.sum() == 236 and np.array_equal(on_cluster, here)


@pytest.mark.parametrize("layout", ["WD1", "WD2"])
def test_large_file_is_split_without_losing_or_repeating_events(tmp_path, client, layout):
    counters = np.random.default_rng(5).permutation(2**20)[:100]
    path = tmp_path / "big"
    if layout == "WD1":
        path.write_bytes(b"".join(wd1(np.arange(i % 7), event_counter=c)
                                  for i, c in enumerate(counters)))
    else:
        path.write_bytes(wd2_run(100, samples=5, channels=2))
        counters = np.arange(100)
    frame = vc.to_dask(path, layout, events_per_partition=9)
    assert frame.npartitions == 12
    got = client.compute(frame[["event_counter"]]).result()
    assert got.index.tolist() == list(range(100))
    assert got["event_counter"].tolist() == counters.tolist()


def test_file_objects_and_compressed_files_in_threads(tmp_path):
    """A file object that seeks is read again by each partition from where it stood; a
    compressed file is read forward to each partition's first event."""
    import gzip
    import io
    content = wd2_run(40, samples=5, channels=2)
    packed = tmp_path / "run.wd2.gz"
    packed.write_bytes(gzip.compress(content))
    f = io.BytesIO(b"skip" + content)
    f.seek(4)
    frame = vc.to_dask([f, packed], "WD2", events_per_partition=7)
    assert frame.npartitions == 12
    got = frame[["event_counter"]].compute(scheduler="threads")
    assert got["event_counter"].tolist() == list(range(40)) * 2
    assert not f.closed


def test_a_file_object_that_cannot_seek_is_refused():
    class Pipe:
        def read(self, n=-1):
            return b""

        def seekable(self):
            return False

    with pytest.raises(ValueError, match="cannot seek"):
        vc.to_dask(Pipe(), "WD1")
