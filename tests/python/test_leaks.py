"""Leaks: many events read while arrays are held and dropped in different orders,
by vorn.EventReader and by vorn_columns in batches.

The normal suite reads a few thousand events per case; `make leaks` sets
VORN_LEAK_EVENTS to a million and VORN_VALGRIND to run memcheck as well.
Once every array is gone, the interpreter's count of allocated blocks and
the bytes the C allocator holds (where glibc tells them) return to where
they were, and so does the mapped memory that vorn_columns' columns live in.
Under the sanitizers LeakSanitizer checks malloc's blocks at exit instead (it
does not see mappings: the plain run checks those).
"""
import collections
import ctypes
import gc
import os
import re
import shutil
import struct
import subprocess
import sys
import textwrap

import pytest

import vorn
import vorn_columns as vc
import wd_files

EVENTS = int(os.environ.get("VORN_LEAK_EVENTS", "20000"))
RECORDS_PER_FILE = 5000
BATCH_EVENTS = 100  # vorn_columns' small batches; RECORDS_PER_FILE is a multiple
SANITIZED = bool(os.environ.get("VORN_SANITIZED"))
LEAK_CHECKED_BY_LSAN = ("the sanitized run replaces the allocators, which blinds these counts; "
                        "LeakSanitizer carries the leak check there, at exit")


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def malloc_bytes():
    """The bytes malloc has handed out and not had back, small chunks and
    mapped ones alike; None without glibc's mallinfo2() (musl, glibc < 2.33)."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def mapped_bytes():
    """The process's mapped memory (VmSize), where the columns' anonymous
    mappings count and malloc's do not show; None without /proc."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return None


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
    blocks, held = sys.getallocatedblocks(), malloc_bytes()
    pattern(events(path, layout, EVENTS))
    check_baseline(f"{layout} {pattern.__name__}", blocks, held)


def check_baseline(what, blocks, held, mapped=None):
    """Prints how far the counts are from where they were, and checks them."""
    gc.collect()
    extra_blocks = sys.getallocatedblocks() - blocks
    print(f"\n{what}: {EVENTS} events, allocated blocks {extra_blocks:+d}", end="")
    extra_mapped = None if mapped is None else mapped_bytes() - mapped
    if extra_mapped is not None:
        print(f", mapped bytes {extra_mapped:+d}", end="")
    if SANITIZED:
        pytest.skip(LEAK_CHECKED_BY_LSAN)
    assert extra_blocks < 50
    # A batch maps at least a page for each of its 8 columns, 32 kB, so 64
    # leaked batches fail this bound; two 1 MiB arenas of the interpreter pass.
    assert extra_mapped is None or extra_mapped <= 2 << 20, \
        f"{extra_mapped} bytes more mapped after {EVENTS} events"
    if held is None:
        pytest.skip("bytes held by malloc not counted: this C library has no mallinfo2()")
    extra_bytes = malloc_bytes() - held
    print(f", malloc bytes {extra_bytes:+d}", end="")
    # The smallest chunk malloc hands out takes 32 bytes, so a leak on every
    # other event passes this bound; the allocator's caches stay tens of kB.
    assert extra_bytes < 16 * EVENTS, f"malloc holds {extra_bytes} bytes more after {EVENTS} events"


def batches(path, layout, total):
    """`total` events in batches of BATCH_EVENTS, the file read again by a
    new iterator as often as needed."""
    while total > 0:
        for batch in vc.iter_batches(path, layout, max_events=BATCH_EVENTS, stop=total):
            yield batch
            total -= len(batch)


# Each pattern reads `total` events with vorn_columns and keeps what it says it keeps.
def batches_dropped_at_once(path, layout, total):
    for batch in batches(path, layout, total):
        pass


def window_of_batches(path, layout, total):
    """The last 16 batches held, so that the iterator's pool runs dry."""
    held = collections.deque(maxlen=16)
    for batch in batches(path, layout, total):
        held.append(batch)


def columns_outlive_iterators(path, layout, total):
    """Single columns, views and events of the last 1.5 files' batches kept
    while the iterators and batches that made them come and go."""
    held = collections.deque(maxlen=3 * RECORDS_PER_FILE // 2 // BATCH_EVENTS)
    for batch in batches(path, layout, total):
        held.append((batch.samples[::2], batch["event_counter"], batch.event(-1)["data"]))


def ranges_read(path, layout, total):
    """read() of BATCH_EVENTS events at a time, every other one through an
    index; the last few kept."""
    held = collections.deque(maxlen=4)
    index = vc.scan(path, layout)
    for i, start in enumerate(range(0, total, BATCH_EVENTS)):
        start %= RECORDS_PER_FILE
        held.append(vc.read(path, layout, start=start, stop=start + BATCH_EVENTS,
                            index=index if i % 2 else None))


def scans(path, layout, total):
    held = collections.deque(maxlen=2)
    for _ in range(0, total, RECORDS_PER_FILE):
        held.append(vc.scan(path, layout))


COLUMN_PATTERNS = [batches_dropped_at_once, window_of_batches, columns_outlive_iterators,
                   ranges_read, scans]


@pytest.mark.parametrize("layout", ["WD1", "WD2"])
@pytest.mark.parametrize("pattern", COLUMN_PATTERNS, ids=lambda p: p.__name__)
def test_column_memory_returns_to_baseline(files, open_fds, layout, pattern):
    path = files[layout]
    # Warm-up, a whole pass: the interpreter's caches (free lists, method and regular-expression
    # caches) settle over the first few hundred opens of a file (measured: +24, +7, +2, +2, +1
    # blocks over successive 100, 100, 200, 400 and 800 scans), so the second pass is measured;
    # anything a pass leaks it leaks again.
    pattern(path, layout, EVENTS)
    gc.collect()
    blocks, held, mapped, fds = sys.getallocatedblocks(), malloc_bytes(), mapped_bytes(), open_fds()
    pattern(path, layout, EVENTS)
    assert open_fds() == fds
    check_baseline(f"{layout} {pattern.__name__}", blocks, held, mapped)


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

    import ctypes, vorn_columns as vc
    for path, layout in ((sys.argv[1], "WD1"), (sys.argv[2], "WD2")):
        # Pooled batches, every other one kept; ranges read with and without an index.
        held = [b for i, b in enumerate(vc.iter_batches(path, layout, max_events=7)) if i % 2]
        index = vc.scan(path, layout)
        held += [vc.read(path, layout, start=5, stop=50, index=index), vc.read(path, layout, start=250)]
        held += [held[0].__arrow_c_array__(), held[0].__arrow_c_schema__()]  # never consumed
        del held[::2]
        # The Arrow stream read as a C consumer would, without the interpreter lock.
        capsule = vc.iter_batches(path, layout, max_events=40).__arrow_c_stream__()
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
        stream = get_pointer(capsule, b"arrow_array_stream")
        get_next = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p).from_address(stream + 8)
        array = ctypes.create_string_buffer(80)  # struct ArrowArray: length first, release at 64
        events = 0
        while get_next(stream, array) == 0 and ctypes.c_void_p.from_buffer(array, 64).value:
            events += ctypes.c_int64.from_buffer(array).value
            ctypes.CFUNCTYPE(None, ctypes.c_void_p).from_buffer(array, 64)(ctypes.addressof(array))
        assert events == 300, events
        del capsule
    del held
    try:
        vc.read(sys.argv[3], "WD1")
    except vc.CorruptRecordError as e:
        assert e.index == 0
""")


def function_of(frame):
    """The qualified name in a valgrind frame, without return type, template
    or call arguments, and without the file: "vorn::read_samples" for
    "vorn::Result<...> vorn::read_samples<unsigned short>(...) (in .../vorn.abi3.so)"."""
    text, stripped = frame.replace("(anonymous namespace)", ""), 1
    while stripped:
        text, stripped = re.subn(r"<[^<>]*>", "", text)
    words = text.split("(", 1)[0].split()
    return words[-1] if words else ""


def made_by_vorn(report):
    """A leak or error whose stack reaches a function of vorn's before any
    Python code runs (Python code that vorn calls, such as NumPy's import, is
    not ours). Files do not count: a checkout may well live under .../vorn/."""
    if "definitely lost" not in report and not re.search(r"Invalid|uninitialised|Mismatched", report):
        return False
    for frame in re.findall(r"(?:at|by) 0x[0-9A-F]+: (.*)", report):
        name = function_of(frame)
        if name.startswith("vorn::") or name in ("PyInit_vorn", "PyInit__native"):
            return True
        if re.match(r"_PyEval_EvalFrameDefault|PyImport_|PyEval_EvalCode", name):
            return False
    return False


def frames(*names):
    return "16 bytes in 1 blocks are definitely lost in loss record 9 of 99\n" + "".join(
        f"   by 0x{i:X}: {name}\n" for i, name in enumerate(names))


NUMPY_SO = "(in /home/me/vorn/.venv/lib/python3.11/site-packages/numpy/_core/_multiarray_umath.so)"


@pytest.mark.parametrize("report,ours", [
    (frames("malloc (in /usr/libexec/valgrind/vgpreload_memcheck-amd64-linux.so)",
            "vorn::Result<std::monostate> vorn::read_samples<unsigned short>(vorn::BufReader&, "
            "unsigned long, vorn::SampleBuffer<unsigned short>&) (sample_buffer.hpp:101)"), True),
    (frames("malloc", "vorn::(anonymous namespace)::event_reader_iternext(_object*) (lib.cpp:288)"),
     True),
    (frames("malloc", "PyInit_vorn (lib.cpp:390)", "_PyImport_LoadDynamicModuleWithSpec"), True),
    (frames("malloc", "PyInit__native (columns_module.cpp:381)", "_PyImport_LoadDynamicModuleWithSpec"),
     True),
    (frames("malloc", f"PyCapsule_New {NUMPY_SO}", f"_multiarray_umath_exec {NUMPY_SO}",
            "PyImport_ImportModule", "vorn::(anonymous namespace)::numpy_api() (sample_array.cpp:40)"),
     False),
    (frames("malloc", "std::unique_ptr<vorn::Source, std::default_delete<vorn::Source> >::reset()",
            "_PyEval_EvalFrameDefault (ceval.c:5050)", "vorn::x()"), False),
    (frames("malloc", "??? (in /srv/vorn/build/vorn.abi3.so)", "_PyEval_EvalFrameDefault"), False),
])
def test_valgrind_reports_are_blamed_on_vorn_by_function(report, ours):
    assert made_by_vorn(report) is ours


def has_symbol_table(path):
    """Whether an ELF file keeps its .symtab, from which valgrind names the
    functions that are not exported (all of vorn's but the PyInit_ ones)."""
    with open(path, "rb") as f:
        elf = f.read()
    (table,) = struct.unpack_from("<Q", elf, 0x28)
    entry, count = struct.unpack_from("<HH", elf, 0x3A)
    return any(struct.unpack_from("<I", elf, table + i * entry + 4) == (2,) for i in range(count))


@pytest.mark.skipif(not os.environ.get("VORN_VALGRIND"), reason="set VORN_VALGRIND=1 (make leaks)")
def test_valgrind_finds_no_leak_or_error_in_vorn(tmp_path):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        pytest.skip("valgrind is not installed")
    from vorn_columns import _native
    for module in (vorn, _native):
        if not has_symbol_table(module.__file__):
            pytest.fail(f"{module.__file__} is stripped, so valgrind cannot tell vorn's functions; "
                        "`make leaks` builds one that is not")
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
