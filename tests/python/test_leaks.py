"""Leaks: many events read while arrays are held and dropped in different orders.

The normal suite reads a few thousand events per case; `make leaks` sets
VORN_LEAK_EVENTS to a million and VORN_VALGRIND to run memcheck as well.
Resident memory must stay flat, and once every array is gone the
interpreter's count of allocated blocks returns to where it was.
"""
import collections
import gc
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import vorn
import wd_files

EVENTS = int(os.environ.get("VORN_LEAK_EVENTS", "20000"))
RECORDS_PER_FILE = 5000
SANITIZED = bool(os.environ.get("VORN_SANITIZED"))


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def events(path, layout, total):
    """`total` events, the file read again by a new reader as often as needed."""
    while total > 0:
        for ev in vorn.EventReader(path, layout):
            yield ev
            total -= 1
            if total == 0:
                return


# Each pattern consumes an event stream and keeps what it says it keeps.
def drop_at_once(stream):
    for ev in stream:
        pass


def window_of_arrays(stream):
    """The last 64 arrays held, the oldest dropped first; dicts dropped at once."""
    held = collections.deque(maxlen=64)
    for ev in stream:
        held.append(ev["data"])


def batches_dropped_newest_first(stream):
    held = []
    for ev in stream:
        held.append(ev["data"])
        if len(held) == 1000:
            while held:
                held.pop()


def views_outlive_arrays(stream):
    """Only strided views kept: each holds its container through the array."""
    held = collections.deque(maxlen=64)
    for ev in stream:
        held.append(ev["data"][::2])


def dicts_outlive_readers(stream):
    """Whole dicts kept while the readers that made them come and go."""
    held = collections.deque(maxlen=3 * RECORDS_PER_FILE // 2)
    for ev in stream:
        held.append(ev)


PATTERNS = [drop_at_once, window_of_arrays, batches_dropped_newest_first,
            views_outlive_arrays, dicts_outlive_readers]

FILES = {
    "WD1": lambda: wd_files.wd1_run(RECORDS_PER_FILE, samples=8),
    "WD2": lambda: wd_files.wd2_run(RECORDS_PER_FILE, channels=2),
}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("leaks")
    out = {}
    for layout, make in FILES.items():
        out[layout] = str(root / f"events.{layout.lower()}")
        with open(out[layout], "wb") as f:
            f.write(make())
    return out


@pytest.mark.parametrize("layout", ["WD1", "WD2"])
@pytest.mark.parametrize("pattern", PATTERNS, ids=lambda p: p.__name__)
def test_memory_returns_to_baseline(files, layout, pattern):
    path = files[layout]
    pattern(events(path, layout, min(EVENTS, 2 * RECORDS_PER_FILE)))  # warm-up
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), rss_kb()
    pattern(events(path, layout, EVENTS))
    gc.collect()
    grown_kb = rss_kb() - rss
    extra_blocks = sys.getallocatedblocks() - blocks
    print(f"\n{layout} {pattern.__name__}: {EVENTS} events, RSS {rss} -> {rss + grown_kb} kB, "
          f"allocated blocks {extra_blocks:+d}", end="")
    assert extra_blocks < 50
    if not SANITIZED:
        assert grown_kb < 2048, f"RSS grew by {grown_kb} kB over {EVENTS} events"


def test_files_are_closed(files, open_fds):
    before = open_fds()
    window_of_arrays(events(files["WD1"], "WD1", 3 * RECORDS_PER_FILE))
    assert open_fds() == before


# ---- valgrind -----------------------------------------------------------------

SMALL_RUN = textwrap.dedent("""
    import sys, vorn
    held = []
    for path, layout in ((sys.argv[1], "WD1"), (sys.argv[2], "WD2")):
        for i, ev in enumerate(vorn.EventReader(path, layout)):
            if i % 3 == 0:
                held.append(ev["data"])
            elif i % 3 == 1:
                held.append(ev["data"][1:])
        reader = vorn.EventReader(path, layout)
        first = next(reader)
        del reader
        held.reverse()
        del held[::2]
    try:
        next(vorn.EventReader(sys.argv[3], "WD1"))
    except BaseException as e:
        assert str(e) == "capacity overflow"
""")


def made_by_vorn(report):
    """A leak or error whose stack reaches vorn before any Python code runs
    (Python code that vorn calls, such as NumPy's import, is not ours)."""
    if "definitely lost" not in report and not re.search(r"Invalid|uninitialised|Mismatched", report):
        return False
    for frame in re.findall(r"(?:at|by) 0x[0-9A-F]+: (.*)", report):
        if "vorn" in frame:
            return True
        if re.match(r"_PyEval_EvalFrameDefault|PyImport_|PyEval_EvalCode", frame):
            return False
    return False


@pytest.mark.skipif(not os.environ.get("VORN_VALGRIND"), reason="set VORN_VALGRIND=1 (make leaks)")
def test_valgrind_finds_no_leak_or_error_in_vorn(tmp_path):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        pytest.skip("valgrind is not installed")
    paths = []
    for name, content in [("a.wd1", wd_files.wd1_run(300, samples=8)),
                          ("b.wd2", wd_files.wd2_run(300, channels=2)),
                          ("c.wd1", wd_files.wd1([], event_size=0))]:
        (tmp_path / name).write_bytes(content)
        paths.append(str(tmp_path / name))
    env = dict(os.environ, PYTHONMALLOC="malloc")
    r = subprocess.run(
        [valgrind, "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
         "--num-callers=40", sys.executable, "-c", SMALL_RUN, *paths],
        capture_output=True, text=True, env=env)
    assert r.returncode == 0, r.stderr[-3000:]
    ours = [rep for rep in re.split(r"\n==\d+== \n", r.stderr) if made_by_vorn(rep)]
    assert not ours, "\n\n".join(ours)
    summary = re.search(r"definitely lost: [\d,]+ bytes in [\d,]+ blocks", r.stderr)
    print(summary.group(0) if summary else "no leak summary")
