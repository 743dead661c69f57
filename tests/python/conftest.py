import errno
import gc
import os

import pytest

import wd_files


@pytest.fixture
def write(tmp_path):
    """write(content, name=...) puts bytes into a fresh file and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(content=b"", name=None):
        path = tmp_path / (name or f"events{next(counter)}.bin")
        path.write_bytes(content)
        return str(path)

    return write


@pytest.fixture
def wd1_path(write):
    """A WD1 file of five records of four samples each."""
    return write(wd_files.wd1_run(5))


@pytest.fixture
def wd2_path(write):
    """A WD2 file of four two-channel records of three samples per channel."""
    return write(wd_files.wd2_run(4, channels=2))


@pytest.fixture
def open_fds():
    """open_fds() counts the files this process has open. Sockets, anonymous pipes and event
    descriptors are left out: the threads of earlier tests' servers and clients (moto, aiohttp,
    Dask) open and close those at any time, and vorn opens none."""
    if not os.path.isdir("/proc/self/fd"):
        pytest.skip("needs /proc/self/fd")

    def count():
        gc.collect()  # files that earlier tests left to the collector close now, not mid-test
        n = 0
        for fd in os.listdir("/proc/self/fd"):
            try:
                target = os.readlink(f"/proc/self/fd/{fd}")
            except OSError:
                continue  # closed since the listing
            n += not target.startswith(("socket:", "pipe:", "anon_inode:"))
        return n
    return count


@pytest.fixture
def eio_path():
    """A file that opens and seeks but whose first read fails with EIO: the
    process's own memory, read at address 0."""
    path = "/proc/self/mem"
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        pytest.skip(f"cannot open {path}")
    try:
        os.pread(fd, 1, 0)
    except OSError as e:
        if e.errno == errno.EIO:
            return path
    finally:
        os.close(fd)
    pytest.skip(f"reading {path} at 0 does not fail with EIO here")


@pytest.fixture(scope="session")
def s3_server():
    """moto's S3 on 127.0.0.1 for the session, with the environment set so that no AWS client
    of this process or its children looks for credentials or proxies elsewhere."""
    pytest.importorskip("s3fs", reason="the test tools are not installed (make test installs them)")
    pytest.importorskip("moto.server", reason="the test tools are not installed")
    import servers

    saved = dict(os.environ)
    os.environ.clear()
    os.environ.update(servers.s3_environment(saved))
    server = servers.S3Server()
    try:
        yield server
    finally:
        server.stop()
        os.environ.clear()
        os.environ.update(saved)


@pytest.fixture(scope="session")
def s3(s3_server):
    """s3.put(name, content) stores an object in the test bucket and returns its s3:// URL;
    s3.options are the storage options that reach the server, s3.fs its filesystem."""
    import s3fs

    class Bucket:
        options = s3_server.options
        fs = s3fs.S3FileSystem(**s3_server.options)
        name = "vorn-tests"

        def put(self, name, content):
            self.fs.pipe(f"{self.name}/{name}", content)
            return f"s3://{self.name}/{name}"

    bucket = Bucket()
    bucket.fs.mkdir(bucket.name)
    return bucket


@pytest.fixture(scope="session")
def http_server(tmp_path_factory):
    """A static HTTP server on 127.0.0.1 with Range support over a directory of its own:
    http_server.put(name, content) writes a file there and returns its URL;
    http_server.take_requests() lists the requests since the last call."""
    pytest.importorskip("aiohttp", reason="the test tools are not installed (make test installs them)")
    import servers

    root = tmp_path_factory.mktemp("http")
    server = servers.HTTPServer(root)

    def put(name, content):
        (root / name).write_bytes(content)
        return f"{server.url}/{name}"

    server.put = put
    try:
        yield server
    finally:
        server.stop()
