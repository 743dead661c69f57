import errno
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
    """open_fds() counts the files this process has open."""
    if not os.path.isdir("/proc/self/fd"):
        pytest.skip("needs /proc/self/fd")
    return lambda: len(os.listdir("/proc/self/fd"))


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
