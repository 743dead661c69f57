"""Sources behind URLs, read from servers on 127.0.0.1 that the fixtures start (conftest.py):
moto's S3 through s3fs, and a static HTTP server that counts its requests. Marked `servers`:
the sanitized run leaves them out."""
import errno
import gzip
import importlib.util
import json
import os
import pathlib
import socket
import subprocess
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas", reason="the dask extra is not installed (make test installs it)")

pytest.importorskip("fsspec", reason="the test tools are not installed (make test installs them)")

import vorn_columns as vc  # noqa: E402
import wd_files  # noqa: E402
from vorn_columns import _remote, cli  # noqa: E402

pytestmark = pytest.mark.servers
MIB = 1 << 20


def gets(requests):
    return [r for r in requests if r[0] == "GET"]


def test_sequential_read_is_one_request_per_block(http_server):
    content = np.random.default_rng(1).bytes(64 * MIB + 12345)
    url = http_server.put("big.bin", content)
    http_server.take_requests()
    f = _remote.open_sequential(url, None).file
    got, chunk = bytearray(), bytearray(MIB)
    while n := f.readinto(chunk):
        got += chunk[:n]
        f.seek(0, 1)  # a seek that stays inside the block makes no request
    assert bytes(got) == content
    requests = gets(http_server.take_requests())
    assert len(requests) == len(content) // _remote.BLOCK_SIZE + 1
    assert all(r[2].startswith("bytes=") for r in requests)


def test_range_is_fetched_with_one_request_and_read_in_object_positions(http_server):
    content = np.random.default_rng(2).bytes(3 * MIB)
    url = http_server.put("range.bin", content)
    http_server.take_requests()
    f = _remote.open_range(url, MIB + 7, 2 * MIB, None).file
    assert gets(http_server.take_requests()) == [["GET", "/range.bin", f"bytes={MIB + 7}-{2 * MIB - 1}"]]
    assert f.tell() == 0
    f.seek(MIB + 7)
    assert f.read(MIB - 7) == content[MIB + 7:2 * MIB]
    assert gets(http_server.take_requests()) == []
    assert f.read(5) == content[2 * MIB:2 * MIB + 5]  # past the range: correct, at a request's cost
    assert len(gets(http_server.take_requests())) == 1


def test_identity_tells_a_replaced_object_from_a_grown_one(s3):
    url = s3.put("ident.bin", b"x" * 1000)
    fs, path = _remote.filesystem(url, s3.options)
    first = _remote.identity(fs, path, url)
    assert first.size == 1000 and first.tag
    s3.put("ident.bin", b"y" * 1000)
    replaced = _remote.identity(fs, path, url)
    assert "replaced" in _remote.changed(first, replaced)
    s3.put("ident.bin", b"y" * 10)
    assert "shrank from 1000 to 10 bytes" in _remote.changed(replaced, _remote.identity(fs, path, url))
    assert _remote.changed(first, first._replace(size=2000, tag="")) is None


def test_glob_patterns_expand_sorted_locally_and_on_s3(s3, tmp_path):
    for name in ("b.wd1", "a.wd1", "c.wd2"):
        s3.put(f"glob/{name}", b"")
        (tmp_path / name).write_bytes(b"")
    assert _remote.expand("s3://vorn-tests/glob/*.wd1", s3.options) == [
        "s3://vorn-tests/glob/a.wd1", "s3://vorn-tests/glob/b.wd1"]
    assert _remote.expand(str(tmp_path / "[ab].wd1"), None) == [
        str(tmp_path / "a.wd1"), str(tmp_path / "b.wd1")]
    with pytest.raises(FileNotFoundError):
        _remote.expand("s3://vorn-tests/glob/*.none", s3.options)


# (where, names stored, name given, names it stands for, None: itself): a name that exists
# is itself, whatever it holds; only one that does not is a pattern, matched where it points;
# a URL's query string is never one.
NAMES = [
    ("local", ["run1.wd1", "run[1].wd1"], "run[1].wd1", None),
    ("local", ["run1.wd1", "run?.wd1"], "run?.wd1", None),
    ("local", ["run1.wd1", "run2.wd1", "run3.wd2"], "run[12].wd1", ["run1.wd1", "run2.wd1"]),
    ("memory", ["run1.wd1", "run[1].wd1"], "run[1].wd1", None),
    ("memory", ["run.wd1", "run.wd1?x=1"], "run.wd1?x=1", None),
    ("memory", ["2024-01/run1.wd1", "2024-02/run2.wd1", "2023-12/run3.wd1"], "2024-*/run*.wd1",
     ["2024-01/run1.wd1", "2024-02/run2.wd1"]),
    pytest.param("http", ["run.wd1"], "run.wd1?X-Signature=a%2Fb&X-Expires=9", None,
                 id="http-presigned"),
]


@pytest.fixture
def place(request, tmp_path):
    """place(where, names) stores a distinct WD1 file under each name and returns the root a
    name is given under and the root the names a pattern matches come back under."""
    import fsspec

    memory = fsspec.filesystem("memory")
    bucket = f"/names-{tmp_path.name}"

    def place(where, names):
        for i, name in enumerate(names):
            content = wd_files.wd1_run(i + 2, samples=i + 1, board_id=i)
            if where == "local":
                (tmp_path / name).parent.mkdir(exist_ok=True)
                (tmp_path / name).write_bytes(content)
            elif where == "memory":
                memory.pipe(f"{bucket}/{name}", content)
            else:
                url = request.getfixturevalue("http_server").put(name, content)
        if where == "local":
            return f"{tmp_path}/", f"{tmp_path}/"
        if where == "memory":
            return f"memory:/{bucket}/", f"memory://{bucket}/"
        return (url[:-len(names[-1])],) * 2

    yield place
    if memory.exists(bucket):
        memory.rm(bucket, recursive=True)


@pytest.mark.parametrize("where, stored, given, meant", NAMES)
def test_every_function_expands_a_name_by_one_rule(place, where, stored, given, meant):
    pl = pytest.importorskip("polars", reason="polars is not installed (make test installs it)")
    pytest.importorskip("dask.dataframe", reason="dask is not installed (make test installs it)")
    root, found = place(where, stored)
    given = root + given
    meant = [given] if meant is None else [found + m for m in meant]
    assert _remote.expand(given, None) == meant
    want = pl.concat([pl.DataFrame(vc.read(m, "WD1")) for m in meant])
    got = vc.scan_polars(given, "WD1").collect()
    assert ("file" in got.columns) == (meant != [given])
    assert got.drop("file", strict=False).equals(want)
    dask = vc.to_dask(given, "WD1").compute()
    assert dask["board_id"].tolist() == want["board_id"].to_list()
    assert [len(d) for d in dask["data"]] == want["data"].list.len().to_list()


def unused_port():
    """A port of 127.0.0.1 where nothing listens (one that was free a moment ago)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("where, error", [("s3", FileNotFoundError), ("http", FileNotFoundError),
                                          ("refused", ConnectionRefusedError)])
def test_errors_name_the_url(s3, http_server, where, error):
    url, options = {"s3": ("s3://vorn-tests/missing.wd1", s3.options),
                    "http": (f"{http_server.url}/missing.wd1", None),
                    "refused": (f"http://127.0.0.1:{unused_port()}/run.wd1", None)}[where]
    with pytest.raises(error) as e:
        _remote.open_sequential(url, options)
    assert e.value.filename == url
    assert e.value.strerror == os.strerror(e.value.errno)


def test_a_gzip_object_streams_as_the_local_file(s3, write):
    content = many("WD2", 3000, 400)
    path, url = write(content), s3.put("run.wd2.gz", gzip.compress(content, compresslevel=1))
    opts = {"storage_options": s3.options}
    same_batch(vc.read(url, "WD2", **opts), vc.read(path, "WD2"))
    ix = vc.scan(url, "WD2", **opts)
    same_index(ix, vc.scan(path, "WD2"))
    assert ix.codec == "gzip"
    # Positions count in the decompressed bytes: an indexed read streams to its first event.
    same_batch(vc.read(url, "WD2", start=2000, stop=2100, index=ix, **opts),
               vc.read(path, "WD2", start=2000, stop=2100))


def test_urls_and_storage_options():
    assert [_remote.is_url(s) for s in ("s3://b/k", "https://h/p", "simplecache::s3://b/k",
                                        "file:///tmp/x", "/tmp/x", "run:1.wd1", b"s3://b/k")] == [
        True, True, True, False, False, False, False]
    assert _remote.local_path("file:///tmp/a%20b.wd1") == "/tmp/a b.wd1"
    assert _remote.options_from_pairs(["anon=true", "endpoint_url=http://127.0.0.1:9",
                                       "retries=3"]) == {
        "anon": True, "endpoint_url": "http://127.0.0.1:9", "retries": 3}
    with pytest.raises(ValueError, match="KEY=VALUE"):
        _remote.options_from_pairs(["anon"])


def test_a_missing_package_names_what_to_install(monkeypatch):
    if importlib.util.find_spec("gcsfs") is not None:
        pytest.skip("gcsfs is installed here")
    with pytest.raises(ImportError, match=r"pip install 'vorn\[remote\]' gcsfs"):
        vc.read("gs://bucket/run.wd1", "WD1")
    monkeypatch.setitem(sys.modules, "fsspec.core", None)
    with pytest.raises(ImportError, match=r"s3://b/run.wd1 needs fsspec: pip install 'vorn\[remote\]'"):
        vc.scan("s3://b/run.wd1", "WD1")


# ---- Every function through a URL, against the same bytes read locally -------------------------


def same_batch(a, b):
    assert (a.layout, a.first, a.channels, len(a)) == (b.layout, b.first, b.channels, len(b))
    for name in a.columns:
        assert a[name].dtype == b[name].dtype and a[name].tobytes() == b[name].tobytes()
    assert a.samples.dtype == b.samples.dtype and a.samples.tobytes() == b.samples.tobytes()
    assert a.offsets.tobytes() == b.offsets.tobytes()


def same_index(a, b):
    assert (a.layout, a.channels, a.positions.tolist()) == (b.layout, b.channels, b.positions.tolist())
    assert all(a[n].tobytes() == b[n].tobytes() for n in a.columns)


def many(layout, count, samples):
    return wd_files.wd1_run(count, samples) if layout == "WD1" else wd_files.wd2_run(
        count, samples, channels=2)


# Records across the edge of a block (4 MiB) and of the decoder's buffer, blocks larger than a
# block, a file cut inside a record, and one that is not a file of the layout.
FILES = {
    "WD1 across blocks": ("WD1", many("WD1", 9000, 600)[:-5]),
    "WD2 across blocks": ("WD2", many("WD2", 1500, 3000)),
    "WD1 blocks past a block": ("WD1", many("WD1", 2, 5_000_000) + many("WD1", 3, 7)),
    "WD2 one channel": ("WD2", wd_files.wd2_run(40, 100)),
    "WD1 corrupt": ("WD1", many("WD1", 10, 3) + wd_files.wd1(event_size=22) + many("WD1", 3, 3)),
}


@pytest.mark.parametrize("name", FILES)
def test_every_function_reads_s3_as_the_local_file(s3, write, name):
    layout, content = FILES[name]
    path, url = write(content), s3.put(name.replace(" ", "_"), content)
    opts = {"storage_options": s3.options}
    if name.endswith("corrupt"):
        for call in (lambda p, **kw: vc.read(p, layout, **kw), lambda p, **kw: vc.scan(p, layout, **kw)):
            with pytest.raises(vc.CorruptRecordError) as local:
                call(path)
            with pytest.raises(vc.CorruptRecordError) as remote:
                call(url, **opts)
            assert (remote.value.index, remote.value.offset) == (local.value.index, local.value.offset)
            assert remote.value.filename == url
        return
    same_batch(vc.read(url, layout, **opts), vc.read(path, layout))
    ix, local_ix = vc.scan(url, layout, **opts), vc.scan(path, layout)
    same_index(ix, local_ix)
    n = len(ix)
    for start, stop in [(0, 1), (n // 3, 2 * n // 3), (n - 1, n), (n // 2, None), (n, n + 5)]:
        want = vc.read(path, layout, start=start, stop=stop, index=local_ix)
        same_batch(vc.read(url, layout, start=start, stop=stop, index=ix, **opts), want)
        same_batch(vc.read(url, layout, start=start, stop=stop, **opts), want)
    for limits in [{}, {"max_bytes": 100_000, "start": 3}, {"max_events": 7, "stop": n // 2}]:
        remote = list(vc.iter_batches(url, layout, **limits, **opts))
        local = list(vc.iter_batches(path, layout, **limits))
        assert len(remote) == len(local)
        for a, b in zip(remote, local):
            same_batch(a, b)


def test_to_dask_on_two_worker_processes_reads_s3(s3, tmp_path):
    distributed = pytest.importorskip("distributed", reason="the dask extra is not installed")
    contents = [many("WD1", 300, 40), many("WD1", 1, 3), many("WD1", 250, 60)]
    for i, content in enumerate(contents):
        s3.put(f"dask/run{i}.wd1", content)
        (tmp_path / f"run{i}.wd1").write_bytes(content)
    s3.put("dask/run3.wd1.gz", gzip.compress(contents[0]))
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        frame = vc.to_dask("s3://vorn-tests/dask/run*", "WD1", events_per_partition=100,
                           storage_options=s3.options)
        assert frame.npartitions == 3 + 1 + 3 + 1  # a compressed object is one partition
        got = frame.compute()
    local = [vc.read(tmp_path / f"run{i}.wd1", "WD1") for i in (0, 1, 2, 0)]
    assert got.index.tolist() == [i for b in local for i in range(len(b))]
    for name in vc.FIELDS["WD1"]:
        assert got[name].to_numpy().tobytes() == b"".join(b[name].tobytes() for b in local)
    assert got["data"].list.len().tolist() == [n for b in local for n in np.diff(b.offsets)]
    assert got["data"].list.flatten().to_numpy().tobytes() == b"".join(
        b.samples.tobytes() for b in local)


@pytest.mark.parametrize("layout", ["WD1", "WD2"])
def test_a_read_with_an_index_is_one_ranged_get(http_server, layout):
    content = many(layout, 5000, 500)
    url = http_server.put(f"part.{layout}", content)
    ix = vc.scan(url, layout)
    http_server.take_requests()
    batch = vc.read(url, layout, start=1234, stop=2345, index=ix)
    a, b = int(ix.positions[1234]), int(ix.positions[2345])
    assert gets(http_server.take_requests()) == [["GET", f"/part.{layout}", f"bytes={a}-{b - 1}"]]
    assert batch.samples.tobytes() == vc.read(url, layout, start=1234, stop=2345).samples.tobytes()


def test_iter_batches_reads_64_mib_in_blocks(http_server):
    content = many("WD1", 64 * MIB // 1048, 512)
    url = http_server.put("seq.wd1", content)
    http_server.take_requests()
    assert sum(len(b) for b in vc.iter_batches(url, "WD1")) == 64 * MIB // 1048
    assert len(gets(http_server.take_requests())) <= len(content) // _remote.BLOCK_SIZE + 3


def test_an_index_of_a_replaced_object_is_stale(s3):
    url = s3.put("stale.wd1", many("WD1", 100, 8))
    ix = vc.scan(url, "WD1", storage_options=s3.options)
    s3.put("stale.wd1", many("WD1", 50, 28))  # the same size, other records
    with pytest.raises(vc.StaleIndexError) as e:
        vc.read(url, "WD1", start=60, stop=70, index=ix, storage_options=s3.options)
    assert e.value.filename == url and "replaced" in e.value.reason
    s3.put("stale.wd1", many("WD1", 100, 8) + many("WD1", 5, 8))  # grown, but replaced too
    with pytest.raises(vc.StaleIndexError):
        vc.read(url, "WD1", start=60, stop=70, index=ix, storage_options=s3.options)


@pytest.fixture(scope="module")
def short_head_server(tmp_path_factory):
    """An HTTP server whose HEAD tells each file's size 10 bytes short; put(name, content)."""
    import servers

    root = tmp_path_factory.mktemp("short-head")
    server = servers.HTTPServer(root, under_report=10)

    def put(name, content):
        (root / name).write_bytes(content)
        return f"{server.url}/{name}"

    server.put = put
    try:
        yield server
    finally:
        server.stop()


@pytest.mark.parametrize("read", [
    lambda url: vc.read(url, "WD1"),
    lambda url: vc.scan(url, "WD1"),
    lambda url: list(vc.iter_batches(url, "WD1", max_events=7)),
    lambda url: _remote.open_sequential(url, None, block_size=1000).file.read(),
    lambda url: _remote.open_range(url, 100, None, None),  # a partition that ends the object
], ids=["read", "scan", "iter_batches", "blocks", "range"])
def test_an_object_larger_than_its_reported_size_is_stale(short_head_server, read):
    url = short_head_server.put("short.wd1", many("WD1", 100, 4))  # the last record unseen
    with pytest.raises(OSError) as e:
        read(url)
    assert (e.value.errno, e.value.filename) == (errno.ESTALE, url)
    assert "larger than" in e.value.strerror


def test_follow_refuses_a_url(s3):
    with pytest.raises(ValueError, match="follow cannot read a URL"):
        next(vc.follow("s3://vorn-tests/any.wd1", "WD1"))


def test_the_command_reads_urls(s3, tmp_path, capsys):
    pytest.importorskip("pyarrow", reason="the arrow extra is not installed")
    import pyarrow.parquet as pq

    content = many("WD1", 20, 5) + b"\0" * 7
    url = s3.put("cmd.wd1", content)
    options = [f"--storage-option={k}={v}" for k, v in s3.options.items()]
    assert cli.main(["info", url, *options]) == 0
    out = capsys.readouterr().out
    assert "events           20" in out and "incomplete tail  7 bytes" in out
    assert cli.main(["convert", url, str(tmp_path / "out.parquet"), "--quiet", *options]) == 0
    assert pq.read_table(tmp_path / "out.parquet").num_rows == 20
    assert cli.main(["info", "s3://vorn-tests/none.wd1", *options]) == 1
    assert "cannot read s3://vorn-tests/none.wd1" in capsys.readouterr().err


def test_the_commands_s3_waits_yield_to_the_users_own(monkeypatch):
    monkeypatch.delenv("AWS_MAX_ATTEMPTS", raising=False)
    monkeypatch.delenv("AWS_RETRY_MODE", raising=False)
    standard = {"mode": "standard", "total_max_attempts": 3}
    assert _remote.bounded_waits("s3://b/k", {"anon": True}) == {
        "anon": True, "config_kwargs": {"connect_timeout": 10, "retries": standard}}
    assert _remote.bounded_waits("s3://b/k", {"config_kwargs": {"retries": {"max_attempts": 9}}}) \
        == {"config_kwargs": {"connect_timeout": 10, "retries": {"max_attempts": 9}}}
    assert _remote.bounded_waits("https://h/run.wd1", None) is None
    monkeypatch.setenv("AWS_MAX_ATTEMPTS", "9")
    assert _remote.bounded_waits("s3://b/k", None) == {"config_kwargs": {"connect_timeout": 10}}


def raising(error):
    def read(*args, **kwargs):
        raise error
    return read


@pytest.mark.parametrize("case", ["option not taken", "nothing at the endpoint", "http refused",
                                  "codec", "aiohttp", "botocore"])
def test_the_commands_failures_of_libraries_are_one_line(s3, write, monkeypatch, capsys, case):
    import time

    import aiohttp
    import botocore.exceptions
    import zlib

    path, port = write(many("WD1", 3, 4), name="run.wd1"), unused_port()
    options = {**s3.options, "endpoint_url": f"http://127.0.0.1:{port}"} \
        if case == "nothing at the endpoint" else {**s3.options, "foo": "bar"}
    url, message = {
        "option not taken": ("s3://vorn-tests/run.wd1", "does not take: "),
        "nothing at the endpoint": ("s3://vorn-tests/run.wd1", "Could not connect to the endpoint"),
        "http refused": (f"http://127.0.0.1:{port}/run.wd1", "Connection refused"),
    }.get(case, (path, "the failure"))
    failure = {"codec": zlib.error("the failure"),
               "aiohttp": aiohttp.ClientPayloadError("the failure"),
               "botocore": botocore.exceptions.ClientError(
                   {"Error": {"Code": "SlowDown", "Message": "the failure"}}, "GetObject")}
    if case in failure:
        monkeypatch.setattr(cli, "scan", raising(failure[case]))
    args = ["info", url] + [f"--storage-option={k}={v}" for k, v in options.items()
                            if url.startswith("s3:")]
    started = time.monotonic()
    if case == "option not taken":  # a usage error
        with pytest.raises(SystemExit) as stop:
            cli.main(args)
        status = stop.value.code
    else:
        status = cli.main(args)
    err = capsys.readouterr().err
    assert time.monotonic() - started < 10  # botocore's own retries took 12 s and more
    if case == "option not taken":
        assert status == 2 and err.startswith("usage: vorn info")
        assert err.splitlines()[-1].startswith(f"vorn info: error: a --storage-option that the "
                                               f"filesystem of {url} does not take: ")
    else:
        assert status == 1 and err.count("\n") == 1
        assert err.startswith(f"vorn: cannot read {url}: ") and message in err


def test_bench_rows_of_urls_run(tmp_path):
    """bench/remote.py's quick mode end to end: its servers start and stop, its reads agree on
    the events (it exits non-zero otherwise), and a partition is one GET."""
    bench = pathlib.Path(__file__).resolve().parents[2] / "bench"
    proc = subprocess.run([sys.executable, str(bench / "remote.py"), "--quick", "--reps", "1"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    rows = {r["what"]: r for r in json.loads(proc.stdout)["targets"]}
    assert rows["vc.to_dask partition over a URL: GET requests"]["figure"] == 1
    assert len(rows) == 3


# ---- Index sidecars beside objects: GETs of the objects' bytes counted ------------------------


class S3Recorder:
    """moto's request recorder: the GETs of objects (sidecars left out) since `start`."""

    def __init__(self, s3):
        import urllib.request
        self._url = s3.options["endpoint_url"] + "/moto-api/recorder/"
        self._open = urllib.request.build_opener(urllib.request.ProxyHandler({})).open
        self._request = urllib.request.Request

    def start(self):
        for step in ("reset-recording", "start-recording"):
            self._open(self._request(self._url + step, method="POST"), timeout=10).read()

    def data_gets(self):
        lines = self._open(self._url + "download-recording", timeout=10).read().splitlines()
        self._open(self._request(self._url + "stop-recording", method="POST"), timeout=10).read()
        return [r["url"] for r in map(json.loads, lines)
                if r["method"] == "GET" and not r["url"].split("?")[0].endswith(".vidx")]


def test_a_frame_of_16_objects_with_sidecars_sums_headers_with_no_get(s3):
    pytest.importorskip("dask.dataframe")
    urls = [s3.put(f"side/{i:02}.wd1", wd_files.run_of("WD1", 300, 64, first=300 * i))
            for i in range(16)]
    for url in urls:
        vc.scan(url, "WD1", storage_options=s3.options, index=None).save(
            storage_options=s3.options)
    recorder = S3Recorder(s3)
    recorder.start()
    frame = vc.to_dask(urls, events_per_partition=100, storage_options=s3.options)
    total = frame["event_counter"].sum().compute()
    assert recorder.data_gets() == []
    assert total == sum(range(300 * 16)) and frame.npartitions == 48
    recorder.start()
    picked = frame[frame["event_counter"] % 100 == 0].compute()
    assert len(recorder.data_gets()) == 48  # the partitions read: one ranged GET each
    assert picked["data"].list.len().tolist() == [64] * 48


def test_a_1_percent_pick_through_a_sidecar_is_one_get_per_run(http_server, tmp_path):
    pl = pytest.importorskip("polars")
    content = wd_files.run_of("WD1", 3000, 16_000)
    url = http_server.put("pick.wd1", content)
    local = vc.scan(url, "WD1", index=None).save(str(tmp_path / "pick.vidx"))
    http_server.put("pick.wd1.vidx", pathlib.Path(local).read_bytes())
    wanted = pl.col("event_counter") % 100 < 1
    http_server.take_requests()
    got = vc.scan_polars(url, "WD1").filter(wanted).collect()
    runs = sorted({r[2] for r in gets(http_server.take_requests()) if r[1] == "/pick.wd1"})
    assert got["event_counter"].to_list() == list(range(0, 3000, 100))
    assert 0 < len(runs) <= 30 and all(r.startswith("bytes=") for r in runs)
    assert got.equals(vc.scan_polars(url, "WD1", index=None).filter(wanted).collect())


def test_a_store_that_refuses_the_sidecar_is_one_line(http_server, capsys):
    url = http_server.put("ro.wd1", many("WD1", 5, 4))
    assert cli.main(["index", url]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "vc.scan(url).save(local_path)" in err
