"""vorn_columns as Arrow: batches and streams reach pyarrow, Polars and DuckDB
over the columns' own memory, and each reference an export takes is given back once."""
import gc
import os
import subprocess
import sys
import textwrap
import threading
import weakref

import numpy as np
import pytest

import vorn_columns as vc
import wd_files
from arrow_consumer import (bytes_read, keep_lock_until, moved_out, release_on_foreign_thread,
                            resident_bytes, start_release, unlocked)

pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed (make test installs it)")
SANITIZED = bool(os.environ.get("VORN_SANITIZED"))

CONTENTS = {  # name -> (WD1 file, WD2 file)
    "events": (wd_files.wd1_run(5), wd_files.wd2_run(4, channels=2)),
    "empty events": (wd_files.wd1_run(2) + wd_files.wd1([]) + wd_files.wd1_run(1),
                     wd_files.wd2_run(2, channels=2) + wd_files.wd2((), channels=2, samples=0)),
    "no events": (b"", b""),
}
SAMPLES = {"WD1": pa.uint16(), "WD2": pa.float32()}


@pytest.fixture(params=["WD1", "WD2"])
def layout(request):
    return request.param


def path_of(write, layout, content="events"):
    return write(CONTENTS[content][layout == "WD2"])


def events(batch):
    return [batch.samples[a:b].tolist() for a, b in zip(batch.offsets[:-1], batch.offsets[1:])]


def address(array):
    return array.__array_interface__["data"][0]


class TestRecordBatch:
    @pytest.mark.parametrize("content", CONTENTS)
    @pytest.mark.parametrize("convert", [pa.record_batch, pa.table])
    def test_values_and_types_are_the_batch(self, write, layout, content, convert):
        b = vc.read(path_of(write, layout, content), layout)
        t = convert(b)
        assert t.column_names == [*b.columns, "data"]
        for name, column in b.columns.items():
            assert t.schema.field(name).type == pa.from_numpy_dtype(column.dtype)
            assert np.array_equal(t.column(name).to_numpy(), column)
        item = pa.field("item", SAMPLES[layout], nullable=False)
        assert t.schema.field("data").type == pa.large_list(item)
        assert t.column("data").to_pylist() == events(b)

    def test_metadata_names_layout_and_channels(self, write, layout):
        b = vc.read(path_of(write, layout), layout)
        expected = {b"vorn.layout": layout.encode()}
        if layout == "WD2":
            expected[b"vorn.channels"] = b"2"
        assert pa.schema(b).metadata == expected
        assert pa.record_batch(b).schema == pa.schema(b)

    def test_buffers_are_the_arrays_memory(self, write, layout):
        b = vc.read(path_of(write, layout), layout)
        rb = pa.record_batch(b)
        for i, column in enumerate(b.columns.values()):
            assert rb.column(i).buffers()[1].address == address(column)
        _, offsets, _, samples = rb.column("data").buffers()
        assert (offsets.address, samples.address) == (address(b.offsets), address(b.samples))

    def test_references_are_given_back_once(self, write, layout):
        b = vc.read(path_of(write, layout), layout)
        arrays = [*b.columns.values(), b.offsets, b.samples]
        before = [sys.getrefcount(a) for a in arrays]
        rb = pa.record_batch(b)
        assert all(sys.getrefcount(a) > n for a, n in zip(arrays, before))
        del rb
        b.__arrow_c_array__()  # capsules dropped without a consumer
        gc.collect()
        assert [sys.getrefcount(a) for a in arrays] == before

    def test_export_outlives_pooled_batch(self, write, layout):
        # A pooled batch's memory is reused by the next one unless the export holds it.
        it = vc.iter_batches(path_of(write, layout), layout, max_events=1)
        first = next(it)
        rb, expected = pa.record_batch(first), events(first)
        del first
        rest = list(it)
        assert rest and rb.column("data").to_pylist() == expected

    def test_arrays_put_into_a_batch_are_exported_as_they_are(self, write, layout):
        b = vc.read(path_of(write, layout, "empty events"), layout)
        name = next(iter(b.columns))
        b.columns[name] = b.columns[name][::-1].copy()
        b.samples = b.samples * 3
        b.offsets = b.offsets.copy()  # writeable: read element by element
        values = {**{n: c.tolist() for n, c in b.columns.items()}, "data": events(b)}
        rb = pa.record_batch(b)
        buffers = [rb.column(name).buffers()[1], *rb.column("data").buffers()[1:4:2]]
        arrays = (b.columns[name], b.offsets, b.samples)
        assert [x.address for x in buffers] == [address(a) for a in arrays]
        del b
        gc.collect()
        assert rb.to_pydict() == values

    @pytest.mark.parametrize("forge", ["falling", "over the samples"])
    def test_offsets_that_do_not_rise_are_refused(self, write, forge):
        b = vc.read(path_of(write, "WD2"), "WD2")
        if forge == "falling":
            b.offsets = b.offsets[::-1].copy()
        else:
            # Read-only and over the batch's memory, as the decoder's offsets
            # are, but written by the user.
            b.offsets = b.samples.view(np.int64)[:len(b) + 1]
            b.offsets[:] = [0, 1 << 40, 1, 2, 0]
            b.offsets.flags.writeable = False
        with pytest.raises(ValueError, match="offsets must rise"):
            b.__arrow_c_array__()

    def test_foreign_array_is_refused_not_copied(self, write, layout):
        b = vc.read(path_of(write, layout), layout)
        name = next(iter(b.columns))
        b.columns[name] = b.columns[name].astype(np.float64)
        with pytest.raises(TypeError, match=name):
            b.__arrow_c_array__()


class TestStream:
    def test_reader_yields_every_event(self, write, layout):
        path = path_of(write, layout)
        reader = pa.RecordBatchReader.from_stream(vc.iter_batches(path, layout, max_events=2))
        assert reader.schema == pa.schema(vc.read(path, layout))
        table = reader.read_all()
        assert table.num_rows == len(vc.read(path, layout))
        assert table.column("data").to_pylist() == events(vc.read(path, layout))

    def test_arrow_threads_read_the_stream(self, write, layout):
        # The scanner reads on threads of its own, which Python does not know.
        dataset = pytest.importorskip("pyarrow.dataset")
        path = path_of(write, layout)
        reader = pa.RecordBatchReader.from_stream(vc.iter_batches(path, layout, max_events=1))
        table = dataset.Scanner.from_batches(reader).to_table()
        assert table.column("data").to_pylist() == events(vc.read(path, layout))

    def test_iterator_error_is_the_stream_error(self, write):
        path = write(wd_files.wd1_run(3) + wd_files.wd1(event_size=5))
        reader = pa.RecordBatchReader.from_stream(vc.iter_batches(path, "WD1", max_events=2))
        with pytest.raises(OSError, match="CorruptRecordError: .*event 3"):
            reader.read_all()

    def test_a_path_streams_on_a_foreign_thread_without_the_interpreter(self, write):
        # The scanner's thread decodes every batch while this one keeps the
        # interpreter lock: no batch waits for it, nor starts a thread to take it.
        dataset = pytest.importorskip("pyarrow.dataset")
        path = write(wd_files.wd1_run(400, samples=8192))  # 6.5 MB: many reads of the file
        reader = pa.RecordBatchReader.from_stream(vc.iter_batches(path, "WD1", max_events=10))
        scanning, out = threading.Event(), []
        scanner = threading.Thread(target=lambda: scanning.set() or out.append(
            dataset.Scanner.from_batches(reader).to_table()))
        size, before = os.path.getsize(path), bytes_read()
        scanner.start()
        scanning.wait()
        read_all = keep_lock_until(lambda: bytes_read() - before >= size, 30)
        scanner.join()
        assert read_all and out[0].column("data").to_pylist() == events(vc.read(path, "WD1"))

    def test_a_batch_is_a_stream_of_itself_each_time_it_is_opened(self, write, layout):
        b = vc.read(path_of(write, layout), layout)
        tables = [pa.RecordBatchReader.from_stream(b).read_all() for _ in range(3)]
        assert all(t.equals(pa.Table.from_batches([pa.record_batch(b)])) for t in tables)

    def test_dropped_stream_lets_the_iterator_go(self, write, layout):
        it = vc.iter_batches(path_of(write, layout), layout, max_events=1)
        gone = weakref.ref(it)
        reader = pa.RecordBatchReader.from_stream(it)
        reader.read_next_batch()
        del it, reader
        gc.collect()
        assert gone() is None


class TestOwnership:
    """An export shares the memory of the batch's arrays, or of the arrays
    they view: the last of them to go frees it or gives it back to the
    iterator's pool, from any thread, without waiting for the interpreter."""

    @pytest.mark.parametrize("last", ["arrow", "numpy"])
    @pytest.mark.parametrize("arrays", ["as read", "views"])
    def test_memory_goes_with_the_last_owner(self, write, last, arrays):
        path = write(wd_files.wd1_run(1000, samples=4096))
        gc.collect()
        vc.release_memory()
        before = resident_bytes()
        b = vc.read(path, "WD1")
        if arrays == "views":
            b.columns = {name: column[:] for name, column in b.columns.items()}
            b.samples, b.offsets = b.samples[:], b.offsets[:]
        array, samples, size = moved_out(b.__arrow_c_array__()[1]), b.samples, b.samples.nbytes

        def samples_held():
            # The sanitizers' allocator moves the count by more than the samples.
            return SANITIZED or resident_bytes() - before > size * 3 // 4

        watched = weakref.ref(samples)
        del b
        gc.collect()
        first, then = ("samples", array) if last == "arrow" else (array, "samples")
        for owner in (first, then):
            assert samples_held() and vc.release_memory() == 0
            if owner == "samples":
                del samples
                assert watched() is None  # the export holds the memory, not the array
            else:
                assert not release_on_foreign_thread(array)
        # Handed to the memory kept for later reads, which frees it on request.
        assert vc.release_memory() >= size
        assert SANITIZED or resident_bytes() - before < size // 4

    def test_released_export_gives_memory_back_to_the_pool(self, write, layout):
        it = vc.iter_batches(path_of(write, layout), layout, max_events=1)
        first = next(it)
        kept, array = address(first.samples), moved_out(first.__arrow_c_array__()[1])
        del first
        second = next(it)
        assert address(second.samples) != kept  # the export holds the first batch's memory
        del second
        assert not release_on_foreign_thread(array)
        assert address(next(it).samples) == kept  # the pool hands out the last memory given back

    def test_arrays_numpy_owns_are_let_go_from_a_foreign_thread(self, write):
        b = vc.read(path_of(write, "WD1"), "WD1")
        b.samples = b.samples.copy()
        gone = threading.Event()
        weakref.finalize(b.samples, gone.set)
        array = moved_out(b.__arrow_c_array__()[1])
        del b
        gc.collect()
        assert not gone.is_set()
        unlocked.pthread_join(start_release(array), None)
        assert gone.wait(60)


def test_polars_reads_the_batch(write, layout):
    pl = pytest.importorskip("polars", reason="polars is not installed (make test installs it)")
    b = vc.read(path_of(write, layout, "empty events"), layout)
    df = pl.from_arrow(pa.table(b))
    assert df["event_counter"].to_list() == b.columns["event_counter"].tolist()
    assert df["data"].to_list() == events(b)
    assert pl.DataFrame(b).equals(df)  # Polars' own import of the capsules


def test_duckdb_queries_the_stream(write, layout):
    duckdb = pytest.importorskip("duckdb", reason="duckdb is not installed (make test installs it)")
    path = path_of(write, layout)
    con = duckdb.connect()
    batches = vc.iter_batches(path, layout, max_events=2)
    con.register("ev", pa.RecordBatchReader.from_stream(batches))
    b = vc.read(path, layout)
    rows = con.sql("select count(*), sum(event_counter), max(list_max(data)) from ev").fetchall()
    assert rows == [(len(b), int(b["event_counter"].sum()), b.samples.max())]


def test_duckdb_queries_a_batch_again_and_again(write, layout):
    # DuckDB opens a stream source up to three times a query: each opening
    # of a batch gives its rows again.
    duckdb = pytest.importorskip("duckdb", reason="duckdb is not installed (make test installs it)")
    b = vc.read(path_of(write, layout), layout)
    want = [(len(b), int(b["event_counter"].sum()), b.samples.max())]
    for _ in range(3):
        assert duckdb.sql("select count(*), sum(event_counter), max(list_max(data)) "
                          "from b").fetchall() == want


def test_exports_alive_at_exit_end_cleanly(wd2_path):
    code = textwrap.dedent(f"""
        import threading, pyarrow as pa, vorn_columns as vc
        path = {wd2_path!r}
        kept = [pa.record_batch(vc.read(path, "WD2")), vc.read(path, "WD2").__arrow_c_array__()]
        reader = pa.RecordBatchReader.from_stream(vc.iter_batches(path, "WD2", max_events=1))
        reader.read_next_batch()
        rb = pa.record_batch(vc.read(path, "WD2"))
        threading.Thread(target=lambda: kept.append(rb.column(0).sum())).start()
        copied = vc.read(path, "WD2")
        copied.samples = copied.samples.copy()  # memory NumPy owns, held by a Python reference
        kept.append(pa.record_batch(copied))
    """)
    # An export that holds a Python reference leaves it at exit, on purpose: the leak checker of
    # the sanitized run would report it.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env=env)
    assert (done.returncode, done.stderr) == (0, "")


def test_release_racing_the_interpreter_exit(wd2_path):
    # Threads Python does not know release an export over the batch's memory
    # and one over memory NumPy owns while the interpreter finalizes: a
    # thread that takes the lock then is ended by a forced unwind, which
    # aborts the process where it meets a noexcept frame.
    code = textwrap.dedent(f"""
        import sys, time
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import vorn_columns as vc
        from arrow_consumer import ended, moved_out, start_release, thread_states
        native = vc.read({wd2_path!r}, "WD2")
        foreign = vc.read({wd2_path!r}, "WD2")
        foreign.samples = foreign.samples.copy()
        arrays = [moved_out(b.__arrow_c_array__()[1]) for b in (native, foreign)]
        del native, foreign
        sys.setswitchinterval(1000)  # this thread keeps the lock until it finalizes
        states = thread_states()
        running = [start_release(array) for array in arrays]
        # Until each release has ended or waits for the lock.
        while running and thread_states() - states < len(running):
            running = [t for t in running if not ended(t)]

        class GivesTheLockAwayAtExit:
            def __del__(self, sleep=time.sleep):
                sleep(0.1)
        keep = GivesTheLockAwayAtExit()
    """)
    # What the thread that the interpreter ends was to drop is left, by design.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env=env)
    assert (done.returncode, done.stderr) == (0, "")
