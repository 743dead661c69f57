"""Hostile files: sizes and counts chosen to overflow, cut at every offset.

Each file's outcome is fixed by a small model of the two layouts written
here: the events it yields (header values and sample bytes), where
PanicException "capacity overflow" interrupts, and then the end. A record
whose samples drew on another record's bytes, a block sized with the wrong
arithmetic or a reader that does not stop shows as a difference from the
model. Memory is checked in a subprocess: no file reserves more than it holds.
"""
import os
import struct
import subprocess
import sys
import textwrap

import pytest

import vorn

PANIC = "panic"
U64 = 2**64
MAX_OBJECT = 2**63 - 1

# ---- The model ---------------------------------------------------------------


def wd1_model(b):
    out, pos = [], 0
    while len(b) - pos >= 24:
        head = struct.unpack_from("<6i", b, pos)
        n = int((head[0] - 24) / 2)  # truncates toward zero
        if n < 0:
            out.append(PANIC)
            pos += 24
            continue
        if 2 * n > len(b) - pos - 24:
            break
        out.append(head + (b[pos + 24:pos + 24 + 2 * n],))
        pos += 24 + 2 * n
    return out


def wd2_block(samples, channels):
    return samples * channels * 4 % U64


def wd2_probe(b):
    if len(b) < 28:
        return 1
    e1, _, s1, p1, n = struct.unpack_from("<IQIQi", b)
    block = wd2_block(s1, n)
    if block > MAX_OBJECT or block > len(b) - 28:
        return 1
    if len(b) - 28 - block < 28:
        return n if n >= 2 else 1
    e2, _, s2, p2, n2 = struct.unpack_from("<IQIQi", b, 28 + block)
    return n if (n2, p2, s2, e2) == (n, p1, s1, (e1 + 1) % 2**32) else 1


def wd2_model(b):
    probed = wd2_probe(b)
    header = 28 if probed >= 2 else 24
    out, pos = [], 0
    while len(b) - pos >= header:
        counter, timestamp, samples, period = struct.unpack_from("<IQIQ", b, pos)
        channels = struct.unpack_from("<i", b, pos + 24)[0] if probed >= 2 else probed
        block = wd2_block(samples, probed)
        if block > MAX_OBJECT:
            out.append(PANIC)
            pos += header
            continue
        if block > len(b) - pos - header:
            break
        start = pos + header
        out.append((counter, timestamp, samples, period, channels, b[start:start + block]))
        pos = start + block
    return out


MODELS = {"WD1": wd1_model, "WD2": wd2_model}


def read_all(path, layout):
    """What vorn makes of a file, in the model's terms."""
    reader = vorn.EventReader(path, layout)
    out = []
    while len(out) <= os.path.getsize(path) // 24 + 1:
        try:
            ev = next(reader)
        except StopIteration:
            return out
        except BaseException as e:
            assert type(e).__name__ == "PanicException", repr(e)
            assert str(e) == "capacity overflow"
            out.append(PANIC)
            continue
        data = ev.pop("data")
        assert data.dtype == ("uint16" if layout == "WD1" else "float32")
        out.append(tuple(ev.values()) + (data.tobytes(),))
    raise AssertionError("the reader does not stop")


# ---- The hostile files ------------------------------------------------------


def wd1(event_size, samples=None, counter=0):
    n = max(0, int((event_size - 24) / 2)) if samples is None else samples
    head = struct.pack("<6i", event_size, -1, 0x7FFFFFFF, -(2**31), counter, 99)
    return head + bytes((counter + i) % 251 for i in range(2 * n))


def wd2(counter, samples, word=None, floats=None):
    head = struct.pack("<IQIQ", counter % 2**32, 2**63 + counter, samples, 8)
    if word is not None:
        head += struct.pack("<i", word)
    n = samples * max(word or 1, 1) if floats is None else floats
    return head + bytes((counter * 7 + i) % 253 for i in range(4 * n))


def good1(counter):
    return wd1(24 + 2 * 5, counter=counter)


# (S, N) pairs whose block S * N * 4 lands, modulo 2^64, on chosen values.
WRAPS_TO_4 = (3340214413, 1380655685)
JUST_BELOW_2_63 = (4293613275, 537040218)  # 2^63 - 8: possible size, never in a file
JUST_ABOVE_2_63 = (3649452082, 631832658)  # 2^63 + 16: no object that large
JUST_BELOW_2_64 = (2147483649, 2147483647)  # 2^64 - 4


def probed_as(channels):
    """Two empty records that make the probe settle on `channels`."""
    return wd2(0, 0, channels, floats=0) + wd2(1, 0, channels, floats=0)


HOSTILE = {
    "WD1": {
        "size 0": wd1(0) + good1(1),
        "size 22": wd1(22) + good1(1),
        "size 23": wd1(23) + good1(1),
        "size 24": wd1(24) + good1(1),
        "size 25": wd1(25, samples=0) + b"\x22" + good1(1)[1:],
        "size -1": wd1(-1) + good1(1),
        "size -2^31": wd1(-(2**31)) + good1(1),
        "size 2^31-1": good1(0) + wd1(2**31 - 1, samples=8) + good1(2),
        "sizes mixed": good1(0) + wd1(0) + wd1(27, samples=1) + wd1(22) + good1(4),
    },
    "WD2": {
        "counts near 2^32, large channel words":
            probed_as(0x7FFFFFFF) + wd2(2, 0xFFFFFFFF, 0x7FFFFFFF, floats=3) + wd2(3, 1, 2),
        "block wraps to 4 bytes":
            probed_as(WRAPS_TO_4[1]) + wd2(2, WRAPS_TO_4[0], 5, floats=1) + wd2(3, 0, 5, floats=0),
        "probe block wraps to 4 bytes":
            wd2(0, WRAPS_TO_4[0], WRAPS_TO_4[1], floats=1)
            + wd2(1, WRAPS_TO_4[0], WRAPS_TO_4[1], floats=1),
        "block just below 2^63":
            probed_as(JUST_BELOW_2_63[1]) + wd2(2, JUST_BELOW_2_63[0], 3, floats=4),
        "block just above 2^63":
            probed_as(JUST_ABOVE_2_63[1]) + wd2(2, JUST_ABOVE_2_63[0], 3, floats=4),
        "block just below 2^64":
            probed_as(JUST_BELOW_2_64[1]) + wd2(2, JUST_BELOW_2_64[0], 3, floats=4),
        "probe block just above 2^63":
            wd2(0, JUST_ABOVE_2_63[0], JUST_ABOVE_2_63[1], floats=2) + wd2(1, 3, None, floats=3),
        "negative probed channels": probed_as(-1) + wd2(2, 1, -1, floats=1) + wd2(3, 0, -1, floats=0),
        "channels -2^31, block wraps to 0": probed_as(-(2**31)) + wd2(2, 2**31, 7, floats=0),
        "first sample -1.0":
            struct.pack("<IQIQf", 0, 0, 64, 8, -1.0) + bytes(4 * 63) + bytes(100),
        "first sample 1.0": struct.pack("<IQIQf", 0, 0, 4, 8, 1.0) + bytes(12 + 24 + 16),
        "channel word 0": probed_as(0) + wd2(2, 5, 0, floats=0) + bytes(30),
        "channel word 1": wd2(0, 2, 1) + wd2(1, 2, 1) + wd2(2, 2, 1),
    },
}

CASES = [(layout, name) for layout, files in HOSTILE.items() for name in files]


def test_the_pairs_overflow_as_named():
    assert wd2_block(*WRAPS_TO_4) == 4
    assert wd2_block(*JUST_BELOW_2_63) == 2**63 - 8
    assert wd2_block(*JUST_ABOVE_2_63) == 2**63 + 16
    assert wd2_block(*JUST_BELOW_2_64) == U64 - 4


@pytest.mark.parametrize("layout,name", CASES)
def test_every_truncation_matches_the_model(tmp_path, layout, name):
    content = HOSTILE[layout][name]
    path = str(tmp_path / "hostile.bin")
    for cut in range(len(content) + 1):
        with open(path, "wb") as f:
            f.write(content[:cut])
        assert read_all(path, layout) == MODELS[layout](content[:cut]), f"cut at {cut}"


@pytest.mark.parametrize("layout,name,expected", [
    ("WD1", "size 0", [PANIC, "event"]),
    ("WD1", "size 2^31-1", ["event"]),
    ("WD1", "sizes mixed", ["event", PANIC, "event", PANIC, "event"]),
    ("WD2", "block wraps to 4 bytes", ["event", "event", "event", "event"]),
    ("WD2", "block just below 2^63", ["event", "event"]),
    ("WD2", "block just above 2^63", ["event", "event", PANIC]),
    ("WD2", "block just below 2^64", ["event", "event", PANIC]),
])
def test_outcomes_of_the_whole_files(tmp_path, layout, name, expected):
    """The model itself, pinned on the cases that matter most."""
    path = tmp_path / "hostile.bin"
    path.write_bytes(HOSTILE[layout][name])
    got = read_all(str(path), layout)
    assert [PANIC if e == PANIC else "event" for e in got] == expected


def test_a_block_that_wraps_holds_only_its_own_bytes(tmp_path):
    path = tmp_path / "wrap.wd2"
    path.write_bytes(HOSTILE["WD2"]["block wraps to 4 bytes"])
    events = list(vorn.EventReader(str(path), "WD2"))
    assert events[2]["samples"] == WRAPS_TO_4[0]
    assert events[2]["data"].shape == (1,)
    assert events[3]["event_counter"] == 3 and events[3]["data"].shape == (0,)


# ---- Memory -----------------------------------------------------------------

MEASURE = textwrap.dedent("""
    import resource, sys, vorn
    def peak():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    list(vorn.EventReader(sys.argv[1], "WD1"))  # NumPy loaded before the baseline
    base = peak()
    for path, layout in zip(sys.argv[2::2], sys.argv[3::2]):
        try:
            for ev in vorn.EventReader(path, layout):
                pass
        except BaseException as e:
            if type(e).__name__ != "PanicException" and not isinstance(e, OSError):
                raise
    print(peak() - base)
""")

MEASURE_PIPE = textwrap.dedent("""
    import resource, sys, vorn
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    n = sum(ev["data"].size for ev in vorn.EventReader("/dev/stdin", sys.argv[1]))
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base, n)
""")

SANITIZED = bool(os.environ.get("VORN_SANITIZED"))
BOUND_KB = 16 * 1024


@pytest.mark.skipif(SANITIZED, reason="sanitizer shadow memory swamps the figure")
def test_peak_memory_of_every_hostile_file_stays_small(tmp_path):
    small = tmp_path / "small"
    small.write_bytes(good1(0))
    args = [str(small)]
    for layout, name in CASES:
        path = tmp_path / f"{len(args)}.bin"
        path.write_bytes(HOSTILE[layout][name])
        args += [str(path), layout]
    r = subprocess.run([sys.executable, "-c", MEASURE, *args], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert int(r.stdout) < BOUND_KB


@pytest.mark.parametrize("size", [2**31 - 1, 2**30])
def test_a_huge_size_through_a_pipe_reserves_only_what_arrives(size):
    """From a pipe the length is unknown: the block grows as bytes come."""
    arriving = 3 * 2**20
    stream = wd1(size, samples=0) + bytes(arriving)
    r = subprocess.run([sys.executable, "-c", MEASURE_PIPE, "WD1"], input=stream,
                       capture_output=True)
    assert r.returncode == 0, r.stderr
    grown, samples = map(int, r.stdout.split())
    assert samples == 0  # the record never completes
    if not SANITIZED:
        assert grown < BOUND_KB


def test_wd2_from_a_pipe_cannot_rewind():
    r = subprocess.run(
        [sys.executable, "-c", "import vorn; vorn.EventReader('/dev/stdin', 'WD2')"],
        input=probed_as(2) + wd2(2, 1, 2), capture_output=True)
    assert r.returncode == 1
    assert b"OSError: Illegal seek (os error 29)" in r.stderr
