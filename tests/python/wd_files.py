"""Builders of WD1 and WD2 records, byte for byte, for tests that write files."""
import struct

import numpy as np

WD1_HEADER = struct.Struct("<6I")
WD2_HEADER = struct.Struct("<IQIQ")
U32 = 0xFFFFFFFF


def wd1(samples=(), *, event_size=None, board_id=0, pattern=0, board_channel=0,
        event_counter=0, timestamp=0):
    """One WD1 record. Header values may be given signed or as raw 32-bit words;
    samples are taken modulo 2^16."""
    block = np.asarray(samples, dtype=np.int64).astype("<u2").tobytes()
    if event_size is None:
        event_size = 24 + len(block)
    header = [event_size, board_id, pattern, board_channel, event_counter, timestamp]
    return WD1_HEADER.pack(*(v & U32 for v in header)) + block


def wd2(data=(), *, channels=None, event_counter=0, timestamp=0, sampling_period=200,
        samples=None):
    """One WD2 record, with a channel word when `channels` is given.

    `data` is the flat block, samples x channels long: floats, or raw 32-bit
    patterns when given as ints."""
    values = np.asarray(data)
    block = values.astype("<u4" if values.dtype.kind in "iu" else "<f4").tobytes()
    if samples is None:
        samples = len(values) // (channels if channels and channels > 0 else 1)
    out = WD2_HEADER.pack(event_counter, timestamp, samples, sampling_period)
    if channels is not None:
        out += struct.pack("<i", channels)
    return out + block


def wd1_run(count, samples=4, **fields):
    """`count` WD1 records with event_counter 0.. and samples i, i+1, ... (mod 2^16)."""
    return b"".join(wd1(np.arange(i, i + samples), event_counter=i, **fields)
                    for i in range(count))


def wd2_run(count, samples=3, channels=None, event_counter=0, **fields):
    """`count` consecutive WD2 records that the layout probe reads as `channels`,
    counting on from `event_counter`; record i holds i, i+1, ... as samples."""
    width = samples * (channels or 1)
    return b"".join(
        wd2(np.arange(i, i + width, dtype=np.float32), channels=channels,
            event_counter=(event_counter + i) & U32, **fields)
        for i in range(count))


def run_of(layout, count, samples, first=0):
    """`count` records of one size built at once, for runs of megabytes: WD1
    with board_channel i % 7 and timestamp 3i, or WD2 with two channels (the
    channel word); record i counts i from `first` and holds i, i+1, ..."""
    i = np.arange(first, first + count, dtype=np.uint64)
    if layout == "WD1":
        rec = np.zeros(count, [("h", "<u4", 6), ("d", "<u2", samples)])
        rec["h"][:, 0] = 24 + 2 * samples
        rec["h"][:, 3], rec["h"][:, 4], rec["h"][:, 5] = i % 7, i & U32, (3 * i) & U32
        rec["d"] = (i[:, None] + np.arange(samples, dtype=np.uint64)) & 0xFFFF
    else:
        rec = np.zeros(count, [("c", "<u4"), ("t", "<u8"), ("s", "<u4"), ("p", "<u8"),
                               ("w", "<i4"), ("d", "<f4", 2 * samples)])
        rec["c"], rec["t"], rec["s"], rec["p"], rec["w"] = i & U32, 3 * i, samples, 200, 2
        rec["d"] = i[:, None] + np.arange(2 * samples)
    return rec.tobytes()
