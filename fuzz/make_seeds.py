"""Writes the fuzzers' seed corpus: small WD1 and WD2 files, valid and broken.

Usage: python fuzz/make_seeds.py DIR          (the files as they are)
       python fuzz/make_seeds.py --batch DIR  (each file behind fuzz_batch's 3-byte prefix)
"""
import argparse
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


# fuzz_batch reads its input as (mode, events, bytes) + file: mode bit 0 is the
# layout (WD2), bit 1 reads at most 7 bytes at a time; events % 8 is
# max_events (0: unlimited), bit 3 of it scales bytes by 16, bit 5 reads at
# offsets too; bytes is max_bytes (0: unlimited).
BATCH_LIMITS = {
    "whole": (0, 0, 0),
    "short_reads": (2, 0, 0),
    "one_each": (2, 1, 0),
    "three_within_64": (0, 3, 64),
    "bytes_1024_short_reads": (2, 8, 64),
    "short_reads_at_offsets": (2, 32, 0),
}


def long_runs():
    """Runs of records with blocks of 1 KiB and more, which the batch decoder
    reads in place, each broken once by a record of another size."""
    yield "wd1_long_run", b"".join(wd1(24 + 2 * (600 if c == 3 else 520), counter=c)
                                   for c in range(5))
    yield "wd2_long_run", b"".join(wd2(c, 140 if c == 3 else 130, 2) for c in range(5))


def batch_seeds():
    for name, data in [*seeds(), *long_runs()]:
        wd2_bit = name.startswith("wd2")
        for limits, (mode, events, max_bytes) in BATCH_LIMITS.items():
            yield f"{name}.{limits}", bytes([mode | wd2_bit, events, max_bytes]) + data


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--batch", action="store_true", help="prefix each file for fuzz_batch")
    parser.add_argument("dir", type=Path)
    args = parser.parse_args(argv)
    args.dir.mkdir(parents=True, exist_ok=True)
    for name, data in batch_seeds() if args.batch else seeds():
        (args.dir / name).write_bytes(data)


if __name__ == "__main__":
    main(sys.argv[1:])
