"""Sources behind URLs, read from servers on 127.0.0.1 that the fixtures start (conftest.py):
moto's S3 through s3fs, and a static HTTP server that counts its requests. Marked `servers`:
the sanitized run leaves them out."""
import gzip

import numpy as np
import pytest

pytest.importorskip("fsspec", reason="the test tools are not installed (make test installs them)")

from vorn_columns import _remote  # noqa: E402

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


def test_errors_name_the_url(s3, http_server):
    for url, options in [("s3://vorn-tests/missing.wd1", s3.options),
                         (f"{http_server.url}/missing.wd1", None)]:
        with pytest.raises(FileNotFoundError) as e:
            _remote.open_sequential(url, options)
        assert e.value.filename == url


def test_gzip_object_reads_as_its_bytes(s3):
    content = np.random.default_rng(3).bytes(100_000)
    url = s3.put("plain.gz", gzip.compress(content))
    f = _remote.open_sequential(url, s3.options).file
    assert gzip.GzipFile(fileobj=f).read() == content


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
