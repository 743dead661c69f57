"""The benchmark's workloads and the deterministic generator of their files.

Every record of a workload has the same size, so the vectorised reader
(numpy.fromfile with a structured dtype) can read the same file.
"""
from dataclasses import dataclass
from pathlib import Path

import numpy as np

MB = 1_000_000
_CHUNK_BYTES = 32 * MB  # records are generated and written this many bytes at a time


@dataclass(frozen=True)
class Workload:
    name: str
    layout: str      # "WD1" or "WD2"
    samples: int     # WD1: samples per record; WD2: samples per channel
    channels: int    # WD2 only; 1 for WD1
    channel_word: bool
    group: str       # "small", "medium" or "large": which target applies

    @property
    def header_bytes(self):
        if self.layout == "WD1":
            return 24
        return 28 if self.channel_word else 24

    @property
    def sample_dtype(self):
        return np.dtype("<u2") if self.layout == "WD1" else np.dtype("<f4")

    @property
    def values(self):
        return self.samples * self.channels

    @property
    def record_bytes(self):
        return self.header_bytes + self.values * self.sample_dtype.itemsize

    def record_dtype(self):
        """The structured dtype of one record, packed, as numpy.fromfile reads it."""
        if self.layout == "WD1":
            fields = [("event_size", "<i4"), ("board_id", "<i4"), ("pattern", "<i4"),
                      ("board_channel", "<i4"), ("event_counter", "<i4"), ("timestamp", "<i4")]
        else:
            fields = [("event_counter", "<u4"), ("timestamp", "<u8"), ("samples", "<u4"),
                      ("sampling_period", "<u8")]
            if self.channel_word:
                fields.append(("channels", "<i4"))
        fields.append(("data", self.sample_dtype, (self.values,)))
        dt = np.dtype(fields)
        assert dt.itemsize == self.record_bytes
        return dt


WORKLOADS = [
    Workload("wd1_0", "WD1", 0, 1, False, "small"),
    Workload("wd1_8", "WD1", 8, 1, False, "small"),
    Workload("wd1_64", "WD1", 64, 1, False, "small"),
    Workload("wd1_1024", "WD1", 1024, 1, False, "medium"),
    Workload("wd1_16384", "WD1", 16384, 1, False, "large"),
    Workload("wd2_2x1024", "WD2", 1024, 2, True, "large"),
    Workload("wd2_1x100000", "WD2", 100000, 1, False, "large"),
]
BY_NAME = {w.name: w for w in WORKLOADS}


def _records(w, first, count, rng):
    rec = np.zeros(count, dtype=w.record_dtype())
    counter = np.arange(first, first + count, dtype=np.int64)
    if w.layout == "WD1":
        rec["event_size"] = w.record_bytes
        rec["board_id"] = 3
        rec["board_channel"] = counter % 100  # one channel is 1% of the events
        rec["event_counter"] = counter & 0x7FFFFFFF
        rec["timestamp"] = (counter * 8000) & 0x7FFFFFFF
        if w.values:
            rec["data"] = rng.integers(3700, 4096, size=(count, w.values), dtype=np.uint16)
    else:
        rec["event_counter"] = counter & 0xFFFFFFFF
        rec["timestamp"] = counter * 1_000_000 + 17
        rec["samples"] = w.samples
        rec["sampling_period"] = 200
        if w.channel_word:
            rec["channels"] = w.channels
        # Pulses below a zero baseline, as a digitiser in volts records them.
        rec["data"] = -rng.random(size=(count, w.values), dtype=np.float32) - 0.001
    return rec


def generate(w, path, target_bytes, seed=20261207):
    """Writes whole records of `w` to `path`, about `target_bytes` in all
    (at least two records); the same arguments give the same bytes.
    Returns the number of records."""
    total = max(2, target_bytes // w.record_bytes)
    per_chunk = max(1, _CHUNK_BYTES // w.record_bytes)
    rng = np.random.default_rng(seed)
    with open(path, "wb") as f:
        for first in range(0, total, per_chunk):
            _records(w, first, min(per_chunk, total - first), rng).tofile(f)
    return total


def warm(path, block=1 << 20):
    """Reads the file once so that timed runs find it in the page cache."""
    buf = bytearray(block)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buf):
            pass


def file_name(w):
    return Path(f"{w.name}.{w.layout.lower()}")
