"""Hostile files: sizes and counts chosen to overflow, cut at every offset.

Each file's outcome is fixed by the small model of the two layouts in
wd_model.py: the events it yields (header values and sample bytes), where
PanicException "capacity overflow" interrupts, and then the end. A record
whose samples drew on another record's bytes, a block sized with the wrong
arithmetic or a reader that does not stop shows as a difference from the
model. Memory is checked in a subprocess whose address space is capped: no
file reserves more than it holds, touched or not.
"""
import os
import struct
import subprocess
import sys
import textwrap

import pytest

import vorn
from wd_model import MODELS, PANIC, U64, wd2_block


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
# Each run is a subprocess that loads vorn and NumPy, then caps its address
# space a little above what it holds by then, so that a block reserved and
# never touched fails as surely as one filled: vorn answers MemoryError and
# the run ends with it. Sanitizer shadow memory needs the whole address
# space, so the sanitized run caps each allocation instead.

HEADROOM_MB = 64  # a block grown as bytes arrive takes a few MiB of it
SANITIZED = bool(os.environ.get("VORN_SANITIZED"))

CAPPED = textwrap.dedent(f"""
    import os, resource, sys
    import numpy, vorn
    if not os.environ.get("VORN_SANITIZED"):
        with open("/proc/self/status") as f:
            vm_kb = next(int(line.split()[1]) for line in f if line.startswith("VmSize:"))
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, ((vm_kb + {HEADROOM_MB} * 1024) * 1024, hard))
""")

READ_FILES = """
for path, layout in zip(sys.argv[1::2], sys.argv[2::2]):
    try:
        for ev in vorn.EventReader(path, layout):
            pass
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
"""

READ_PIPE = """
print(sum(ev["data"].size for ev in vorn.EventReader("/dev/stdin", sys.argv[1])))
"""

RESERVE_2_GB = """
import ctypes
malloc = ctypes.CDLL(None).malloc
malloc.restype = ctypes.c_void_p
if not malloc(2**31):
    raise MemoryError("2 GiB refused")
"""


def run_capped(body, *args, stdin=None):
    env = dict(os.environ)
    if SANITIZED:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + f":max_allocation_size_mb={HEADROOM_MB}"
    return subprocess.run([sys.executable, "-c", CAPPED + body, *args], input=stdin,
                          capture_output=True, env=env)


def test_the_cap_refuses_a_reservation_never_touched():
    r = run_capped(RESERVE_2_GB)
    assert r.returncode == 1 and b"MemoryError: 2 GiB refused" in r.stderr, r.stderr


def test_no_hostile_file_reserves_more_than_it_holds(tmp_path):
    args = []
    for layout, name in CASES:
        path = tmp_path / f"{len(args)}.bin"
        path.write_bytes(HOSTILE[layout][name])
        args += [str(path), layout]
    r = run_capped(READ_FILES, *args)
    assert r.returncode == 0, r.stderr.decode()


@pytest.mark.parametrize("size", [2**31 - 1, 2**30])
def test_a_huge_size_through_a_pipe_reserves_only_what_arrives(size):
    """From a pipe the length is unknown: the block grows as bytes come."""
    stream = wd1(size, samples=0) + bytes(3 * 2**20)
    r = run_capped(READ_PIPE, "WD1", stdin=stream)
    assert r.returncode == 0, r.stderr.decode()
    assert int(r.stdout) == 0  # the record never completes


def test_wd2_from_a_pipe_cannot_rewind():
    r = subprocess.run(
        [sys.executable, "-c", "import vorn; vorn.EventReader('/dev/stdin', 'WD2')"],
        input=probed_as(2) + wd2(2, 1, 2), capture_output=True)
    assert r.returncode == 1
    assert b"OSError: Illegal seek (os error 29)" in r.stderr
