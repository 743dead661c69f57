"""Writes the fuzzers' seed corpus: small WD1 and WD2 files, valid and broken.

Usage: python fuzz/make_seeds.py DIR
"""
import struct
import sys
from pathlib import Path


def wd1(event_size, samples=None, counter=0):
    n = max(0, (event_size - 24) // 2) if samples is None else samples
    head = struct.pack("<6i", event_size, 3, 0x55, 7, counter, 1000 + counter)
    return head + struct.pack(f"<{n}H", *[(i * 37 + counter) & 0xFFFF for i in range(n)])


def wd2(counter, samples, channels, word=True, period=8):
    head = struct.pack("<IQIQ", counter & 0xFFFFFFFF, 10 * counter, samples, period)
    if word:
        head += struct.pack("<i", channels)
    n = samples * max(channels, 1)
    return head + struct.pack(f"<{n}f", *[float(i % 17) - 8.0 for i in range(n)])


def seeds():
    yield "wd1_empty", b""
    yield "wd1_three", b"".join(wd1(24 + 2 * 8, counter=c) for c in range(3))
    yield "wd1_no_samples", wd1(24) + wd1(24, counter=1)
    yield "wd1_odd_sizes", wd1(23) + wd1(25, samples=0) + b"\x1b" + wd1(27, samples=1)
    yield "wd1_overflow", struct.pack("<6i", 0, 1, 2, 3, 4, 5) + wd1(28)
    yield "wd1_negative", struct.pack("<6i", -1, 0, 0, 0, 0, 0) + wd1(26)
    yield "wd1_huge", struct.pack("<6i", 2**31 - 1, 0, 0, 0, 0, 0) + b"\0" * 64
    yield "wd1_cut", (wd1(40) + wd1(40, counter=1))[:-5]
    yield "wd2_word2", b"".join(wd2(c, 4, 2) for c in range(3))
    yield "wd2_word8", b"".join(wd2(c, 2, 8) for c in range(2))
    yield "wd2_single", b"".join(wd2(c, 6, 1, word=False) for c in range(3))
    yield "wd2_one_record", wd2(0, 4, 2)
    yield "wd2_wrap_counter", wd2(0xFFFFFFFF, 2, 2) + wd2(0, 2, 2)
    yield "wd2_word_changes", wd2(0, 2, 2) + wd2(1, 2, 2) + wd2(2, 2, 3)
    yield "wd2_word0", wd2(0, 0, 0) + wd2(1, 0, 0) + b"\0" * 24
    yield "wd2_negative", wd2(0, 0, -5) + wd2(1, 0, -5) + struct.pack("<IQIQ", 2, 0, 3, 8)
    yield "wd2_big_count", struct.pack("<IQIQi", 0, 0, 0xFFFFFFFF, 8, 0x7FFFFFFF) + b"\0" * 32
    yield "wd2_cut", (wd2(0, 4, 2) + wd2(1, 4, 2) + wd2(2, 4, 2))[:-3]


def main(out):
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    for name, data in seeds():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main(sys.argv[1])
