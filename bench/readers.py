"""The readers the benchmark compares. Each takes (path, workload), reads the
whole file; what it returns is only there to be dropped inside the timing.
Results are checked apart from the timing.

The plain-Python readers are written as a competent user would write them
without vorn, made as fast as plain Python allows: precompiled struct.Struct,
bound methods in locals, a dict display per event, numpy.frombuffer over the
bytes the read returned (no further copy).
"""
import struct

import numpy as np

import vorn_columns as vc
from vorn import EventReader

_CHUNK = 1 << 20
_U2 = np.dtype("<u2")
_F4 = np.dtype("<f4")


def vorn_loop(path, w):
    for ev in EventReader(path, w.layout):
        pass


def vorn_touch(path, w):
    """Reads one sample of every event, so nothing can be skipped lazily."""
    last = None
    if w.values:
        for ev in EventReader(path, w.layout):
            last = ev["data"][0]
    else:
        for ev in EventReader(path, w.layout):
            last = len(ev["data"])
    return last


def _python_wd1(path):
    unpack = struct.Struct("<6i").unpack
    frombuffer = np.frombuffer
    with open(path, "rb") as f:  # 8 KiB buffer
        read = f.read
        while True:
            h = read(24)
            if len(h) < 24:
                return
            size, board, pattern, channel, counter, ts = unpack(h)
            nbytes = (size - 24) // 2 * 2
            if nbytes < 0:
                raise ValueError(f"bad event_size {size}")
            d = read(nbytes)
            if len(d) < nbytes:
                return
            yield {"event_size": size, "board_id": board, "pattern": pattern,
                   "board_channel": channel, "event_counter": counter, "timestamp": ts,
                   "data": frombuffer(d, _U2)}


def _python_wd2(path, channels, channel_word):
    frombuffer = np.frombuffer
    if channel_word:
        unpack = struct.Struct("<IQIQi").unpack
        hsize = 28
    else:
        unpack = struct.Struct("<IQIQ").unpack
        hsize = 24
    with open(path, "rb") as f:
        read = f.read
        while True:
            h = read(hsize)
            if len(h) < hsize:
                return
            if channel_word:
                counter, ts, samples, period, chans = unpack(h)
            else:
                counter, ts, samples, period = unpack(h)
                chans = channels
            nbytes = samples * channels * 4
            d = read(nbytes)
            if len(d) < nbytes:
                return
            yield {"event_counter": counter, "timestamp": ts, "samples": samples,
                   "sampling_period": period, "channels": chans, "data": frombuffer(d, _F4)}


def _python_chunked_wd1(path):
    """Headers parsed out of 1 MiB reads with unpack_from; each event's array
    is a view into the chunk that holds it."""
    unpack_from = struct.Struct("<6i").unpack_from
    frombuffer = np.frombuffer
    with open(path, "rb", buffering=0) as f:
        read = f.read
        buf, pos, end = b"", 0, 0
        while True:
            if end - pos < 24:
                more = read(_CHUNK)
                if not more:
                    return
                buf, pos = buf[pos:] + more, 0
                end = len(buf)
                continue
            size, board, pattern, channel, counter, ts = unpack_from(buf, pos)
            n = (size - 24) // 2
            if n < 0:
                raise ValueError(f"bad event_size {size}")
            stop = pos + 24 + 2 * n
            if stop > end:
                more = read(max(stop - end, _CHUNK))
                if len(more) < stop - end:
                    return
                buf, pos = buf[pos:] + more, 0
                end = len(buf)
                continue
            yield {"event_size": size, "board_id": board, "pattern": pattern,
                   "board_channel": channel, "event_counter": counter, "timestamp": ts,
                   "data": frombuffer(buf, _U2, n, pos + 24)}
            pos = stop


def python_read(path, w):
    """Two reads per event through an 8 KiB BufferedReader."""
    events = _python_wd1(path) if w.layout == "WD1" else _python_wd2(path, w.channels, w.channel_word)
    for ev in events:
        pass


def python_chunked(path, w):
    for ev in _python_chunked_wd1(path):
        pass


def python_events(path, w):
    """The plain-Python reader's events, for checking vorn against them."""
    return _python_wd1(path) if w.layout == "WD1" else _python_wd2(path, w.channels, w.channel_word)


def numpy_fromfile(path, w):
    """Columns, not dicts: the whole file as one structured array."""
    return np.fromfile(path, dtype=w.record_dtype())


def raw_read(path, w):
    """The ceiling: 1 MiB reads into one reused buffer, data discarded."""
    buf = bytearray(_CHUNK)
    with open(path, "rb", buffering=0) as f:
        readinto = f.readinto
        while readinto(buf):
            pass


def raw_records(path, w):
    """vorn's access pattern without the objects: each header through an
    8 KiB buffer, each block read into one reused buffer (straight from the
    file once it is longer than the buffer), data discarded."""
    hsize = w.header_bytes
    header = bytearray(hsize)
    block = memoryview(bytearray(w.record_bytes - hsize))
    if w.layout == "WD1":
        first = struct.Struct("<i").unpack_from
        def block_bytes(h):
            return (first(h)[0] - 24) // 2 * 2
    else:
        samples_at = struct.Struct("<12xI").unpack_from
        per_sample = 4 * w.channels
        def block_bytes(h):
            return samples_at(h)[0] * per_sample
    with open(path, "rb", buffering=8192) as f:
        readinto = f.readinto
        while readinto(header) == hsize:
            n = block_bytes(header)
            if readinto(block[:n]) < n:
                return


def columns_read(path, w):
    """The whole file as one batch of columns (freed inside the timing, as
    numpy.fromfile's array is)."""
    return vc.read(path, w.layout)


def columns_iter(path, w):
    """Batches with the default limits in the loop users write: each batch
    touched lightly and dropped when the next arrives."""
    last = None
    for b in vc.iter_batches(path, w.layout):
        last = b.samples[-1] if len(b.samples) else b.offsets[-1]
    return last


def columns_scan(path, w):
    """Positions and header columns, no samples."""
    return vc.scan(path, w.layout)


# Name -> (function, which workloads it applies to). Order is the table's.
READERS = {
    "vorn": (vorn_loop, lambda w: True),
    "vorn+data": (vorn_touch, lambda w: True),
    "python": (python_read, lambda w: True),
    "python-chunked": (python_chunked, lambda w: w.layout == "WD1"),
    "numpy.fromfile": (numpy_fromfile, lambda w: True),
    "raw-records": (raw_records, lambda w: True),
    "raw-read": (raw_read, lambda w: True),
    "vc.read": (columns_read, lambda w: True),
    "vc.iter_batches": (columns_iter, lambda w: True),
    "vc.scan": (columns_scan, lambda w: True),
}
