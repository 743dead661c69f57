"""The vorn command: conversions read back as the source reads; exit codes, messages, leftovers;
special files written into, replaced files kept as they were, FIFOs read once."""
import contextlib
import os
import stat
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import vorn_columns as vc
from vorn_columns import cli

from wd_files import wd1, wd1_run, wd2_run

SOURCES = {  # mixed record sizes, an empty record, a block over 8 KiB, a cut-off tail
    "WD1": wd1_run(30, samples=37) + wd1([]) + wd1_run(3, samples=5000) + wd1_run(1)[:9],
    "WD2": wd2_run(25, samples=19, channels=2) + wd2_run(1)[:30],
}


def vorn(*args, **options):
    """Runs the console script (where installed) as a user does; a hang fails the test."""
    script = Path(sys.executable).with_name("vorn")
    command = [str(script)] if script.exists() else [sys.executable, "-m", "vorn_columns.cli"]
    if "stdout" not in options:
        options["capture_output"] = True
    return subprocess.run([*command, *args], timeout=60, **options)


def read_back(path, fmt):
    """(table, row groups or record batches) of a converted file."""
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    if fmt == "parquet":
        return pq.read_table(path), pq.ParquetFile(path).num_row_groups
    return pa.ipc.open_file(path).read_all(), pa.ipc.open_file(path).num_record_batches


@pytest.mark.parametrize("layout", SOURCES)
@pytest.mark.parametrize("fmt", ["parquet", "arrow"])
@pytest.mark.parametrize("events", [None, 7])
def test_converted_file_reads_back_as_the_source(tmp_path, layout, fmt, events):
    src = tmp_path / f"run.{layout}"  # the suffix counts whatever its case
    out = tmp_path / ("out.feather" if fmt == "arrow" else "out.pq")
    src.write_bytes(SOURCES[layout])
    size = ["--events", str(events)] if events else []
    assert cli.main(["convert", str(src), str(out), "--quiet", *size]) == 0
    (table, parts), expected = read_back(out, fmt), vc.read(src, layout)
    assert parts == (-(-len(expected) // events) if events else 1)  # streamed batch by batch
    assert table.schema.metadata[b"vorn.layout"] == layout.encode()
    data = table.column("data").combine_chunks()
    got = {name: table.column(name).to_numpy() for name in expected.columns}
    got.update(lengths=data.value_lengths().to_numpy(), samples=data.flatten().to_numpy())
    want = {**expected.columns, "lengths": np.diff(expected.offsets), "samples": expected.samples}
    for name, values in want.items():
        assert got[name].dtype == values.dtype and np.array_equal(got[name], values), name


@pytest.mark.parametrize("failure", ["corrupt record", "interrupt"])
def test_failure_leaves_no_partial_output(tmp_path, monkeypatch, capsys, failure):
    pytest.importorskip("pyarrow")
    src, out = tmp_path / "run.wd1", tmp_path / "out.parquet"
    src.write_bytes(wd1_run(3) + wd1([], event_size=0) + wd1_run(5))
    out.write_bytes(b"an older conversion")
    if failure == "interrupt":  # Ctrl-C while the third batch is converted
        src.write_bytes(wd1_run(10))
        calls, to_arrow = iter(range(10)), cli._to_arrow

        def interrupted(batch):
            if next(calls) == 2:
                raise KeyboardInterrupt
            return to_arrow(batch)

        monkeypatch.setattr(cli, "_to_arrow", interrupted)
    status = cli.main(["convert", str(src), str(out), "--events", "1"])
    err = capsys.readouterr().err
    if failure == "interrupt":
        assert status == 130
    else:
        assert status == 1
        assert f"{src}: event 3 at byte offset 96" in err and "out.parquet was not written" in err
    assert sorted(os.listdir(tmp_path)) == ["out.parquet", "run.wd1"]
    assert out.read_bytes() == b"an older conversion"


@pytest.mark.parametrize("command", ["info", "convert"])
def test_missing_file(tmp_path, capsys, command):
    pytest.importorskip("pyarrow")
    missing = tmp_path / "none.wd1"
    out = [str(tmp_path / "o.pq")] if command == "convert" else []
    assert cli.main([command, str(missing), *out]) == 1
    assert f"cannot read {missing}: No such file or directory" in capsys.readouterr().err
    assert os.listdir(tmp_path) == []


def test_unknown_suffix_is_a_usage_error_where_the_records_cannot_tell(tmp_path, capsys):
    (tmp_path / "run.dat").write_bytes(b"")  # no record to tell by
    with pytest.raises(SystemExit) as stop:
        cli.main(["info", str(tmp_path / "run.dat")])
    assert stop.value.code == 2 and "--layout" in capsys.readouterr().err


def test_missing_pyarrow_names_the_extra(write, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    assert cli.main(["convert", write(wd1_run(2), name="a.wd1"), write(name="a.pq")]) == 1
    assert capsys.readouterr().err == "vorn: convert needs pyarrow: pip install 'vorn[arrow]'\n"


@pytest.mark.parametrize("sizes, shown", [((23, 23), "0"), ((25, 24), "0"), ((23, 27), "0 .. 1")])
def test_info_counts_samples_as_the_records_were_read(write, capsys, sizes, shown):
    # An event_size of 23 is a record of 24 bytes and no samples, not of -1 samples; one of 25
    # holds no sample either, its 25th byte being the next record's first.
    data = b"".join(wd1([7] * max((n - 24) // 2, 0), event_size=n, event_counter=i)
                    for i, n in enumerate(sizes))
    assert cli.main(["info", write(data, name="odd.wd1")]) == 0
    assert f"  samples          {shown} per event\n" in capsys.readouterr().out


def test_info_reports_sizes_counters_gaps_and_tail(tmp_path):
    (tmp_path / "a.wd1").write_bytes(
        wd1_run(5) + wd1([1, 2], event_counter=9, timestamp=77) + wd1_run(2)[:10])
    (tmp_path / "b.WD2").write_bytes(wd2_run(3, channels=2, event_counter=2**32 - 2))
    run = vorn("info", "a.wd1", "b.WD2", cwd=tmp_path, text=True)
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout == """\
a.wd1 (WD1)
  events           6
  record size      32 bytes (5 records), 28 bytes (1 record)
  samples          2 .. 4 per event
  event_counter    0 .. 9 (first .. last)
  timestamp        0 .. 77 (first .. last)
  counter gaps     1: 4 -> 9 (event 5)
  incomplete tail  10 bytes
b.WD2 (WD2)
  events           3
  record size      52 bytes
  channels         2
  samples          3 per channel
  sampling_period  200 (as stored)
  event_counter    4294967294 .. 0 (first .. last)
  timestamp        0 .. 0 (first .. last)
  counter gaps     none
  incomplete tail  0 bytes
"""


@contextlib.contextmanager
def feeding(fifo, data):
    """A thread writes `data` into the FIFO and closes it. On leaving, a writer that still waits
    for a reader is let through."""
    def feed():
        with contextlib.suppress(BrokenPipeError), open(fifo, "wb") as f:
            f.write(data)

    thread = threading.Thread(target=feed, daemon=True)
    thread.start()
    try:
        yield
    finally:
        if thread.is_alive():
            fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            thread.join(10)
            os.close(fd)


def table_of(data, fmt):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    buffer = pa.BufferReader(data)  # Arrow IPC into what cannot seek is the stream format
    return pq.read_table(buffer) if fmt == "parquet" else pa.ipc.open_stream(buffer).read_all()


@pytest.mark.parametrize("kind", ["fifo", "-", "link to /proc/self/fd/1", "device",
                                  "link to /dev/null"])
def test_special_outputs_are_written_into_never_replaced(tmp_path, kind):
    pa = pytest.importorskip("pyarrow")
    src = tmp_path / "run.wd1"
    src.write_bytes(SOURCES["WD1"])
    out, fmt = tmp_path / "out.arrow", "arrow"
    if kind == "fifo":
        os.mkfifo(out)
    elif kind == "-":
        out, fmt = "-", "parquet"
    elif kind == "device":  # a null device of its own: never the system's
        if os.geteuid() != 0:
            pytest.skip("mknod needs root")
        os.mknod(out, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        try:
            os.close(os.open(out, os.O_WRONLY))
        except OSError:
            pytest.skip("device files cannot be opened here (nodev)")
    else:
        os.symlink(kind.split(" to ")[1], out)
    def identity():
        st = os.lstat(out)
        return st.st_mode, st.st_ino, st.st_rdev

    before, received = None if out == "-" else identity(), []
    if kind == "fifo":  # a reader that the test ends itself, whether or not the command writes
        hold = os.open(out, os.O_RDWR)
        reader = threading.Thread(target=lambda: received.append(out.read_bytes()), daemon=True)
        reader.start()
    run = vorn("convert", str(src), str(out), "--format", fmt, "--quiet", cwd=tmp_path)
    if kind == "fifo":
        os.close(hold)
        reader.join(10)
    assert (run.returncode, run.stderr) == (0, b"")
    assert sorted(os.listdir(tmp_path)) == ["out.arrow", "run.wd1"][out == "-":]
    assert before == (None if out == "-" else identity())
    if kind in ("fifo", "-", "link to /proc/self/fd/1"):
        data = received[0] if kind == "fifo" else run.stdout
        assert table_of(data, fmt).equals(pa.table(vc.read(src, "WD1")))


@pytest.mark.parametrize("out, args, stream", [
    ("out.arrow", [], False), ("out.arrows", [], True), ("out.bin", ["--format", "arrow-stream"], True),
    ("- > file", ["--format", "arrow"], False), ("- | consumer", ["--format", "arrow"], True)])
def test_arrow_ipc_is_the_stream_format_where_the_output_cannot_seek(tmp_path, out, args, stream):
    pa = pytest.importorskip("pyarrow")
    src = tmp_path / "run.wd1"
    src.write_bytes(SOURCES["WD1"])
    command = [*command_line(), "convert", str(src), out.split()[0], *args]
    if out == "- | consumer":  # the consumer reads the pipe as it comes, never seeking
        with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              cwd=tmp_path) as run:
            table = pa.ipc.open_stream(run.stdout).read_all()
            summary = run.stderr.read().decode()
        assert run.returncode == 0
    else:
        target = tmp_path / ("out.bin" if out == "- > file" else out)
        with open(target, "wb") if out == "- > file" else contextlib.nullcontext() as sink:
            run = subprocess.run(command, stdout=sink, stderr=subprocess.PIPE, text=True,
                                 cwd=tmp_path, timeout=60)
        assert run.returncode == 0
        summary = run.stderr
        table = (pa.ipc.open_stream if stream else pa.ipc.open_file)(
            pa.BufferReader(target.read_bytes())).read_all()
    assert table.equals(pa.table(vc.read(src, "WD1")))
    assert ("(arrow-stream);" if stream else "(arrow);") in summary


def test_replaced_output_keeps_mode_owner_and_symlinks(tmp_path):
    pytest.importorskip("pyarrow")
    src = tmp_path / "run.wd1"
    src.write_bytes(SOURCES["WD1"])
    (tmp_path / "data").mkdir()
    plain, target = tmp_path / "plain.pq", tmp_path / "data" / "target.pq"
    for path, mode in ((plain, 0o751), (target, 0o604)):
        path.write_bytes(b"an older conversion")
        path.chmod(mode)
    if os.geteuid() == 0:
        os.chown(plain, 4321, 4322)
    os.symlink("data/target.pq", tmp_path / "link.pq")
    os.symlink("data/new.pq", tmp_path / "dangling.pq")  # the link makes the file it names
    for out in ("plain.pq", "link.pq", "dangling.pq"):
        assert cli.main(["convert", str(src), str(tmp_path / out), "--quiet"]) == 0
        assert len(read_back(tmp_path / out, "parquet")[0]) == len(vc.read(src, "WD1"))
    assert stat.S_IMODE(plain.stat().st_mode) == 0o751
    assert stat.S_IMODE(target.stat().st_mode) == 0o604
    if os.geteuid() == 0:
        assert (plain.stat().st_uid, plain.stat().st_gid) == (4321, 4322)
    assert os.readlink(tmp_path / "link.pq") == "data/target.pq"
    assert os.readlink(tmp_path / "dangling.pq") == "data/new.pq"
    assert sorted(os.listdir(tmp_path / "data")) == ["new.pq", "target.pq"]


def test_output_is_synced_before_the_command_succeeds(tmp_path, monkeypatch):
    pytest.importorskip("pyarrow")
    src, out = tmp_path / "run.wd1", tmp_path / "out.pq"
    src.write_bytes(SOURCES["WD1"])
    calls = []
    fsync, replace = os.fsync, os.replace

    def recorded_fsync(fd):
        calls.append(("fsync", os.readlink(f"/proc/self/fd/{fd}")))
        fsync(fd)

    def recorded_replace(a, b):
        calls.append(("replace", os.fspath(a), os.fspath(b)))
        replace(a, b)

    monkeypatch.setattr(os, "fsync", recorded_fsync)
    monkeypatch.setattr(os, "replace", recorded_replace)
    assert cli.main(["convert", str(src), str(out), "--quiet"]) == 0
    tmp = calls[0][1]
    assert os.path.dirname(tmp) == str(tmp_path) and os.path.basename(tmp).startswith(".out.pq.")
    assert calls == [("fsync", tmp), ("replace", tmp, str(out)), ("fsync", str(tmp_path))]


@pytest.mark.parametrize("content", [b"abc", wd1_run(4) + b"abc"], ids=["no record", "records"])
def test_fifo_input_is_opened_once_and_its_tail_is_what_was_read(tmp_path, content):
    pytest.importorskip("pyarrow")
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with feeding(fifo, content):
        run = vorn("convert", "fifo", "out.arrow", "--layout", "WD1", cwd=tmp_path, text=True)
    events = len(content) // 32
    assert (run.returncode, run.stderr) == (0, f"vorn: wrote {events} events of fifo to "
                                            "out.arrow (arrow); the last 3 bytes, an incomplete "
                                            "record, were left out\n")
    table, _ = read_back(tmp_path / "out.arrow", "arrow")
    assert table.num_rows == events and table.schema.metadata[b"vorn.layout"] == b"WD1"


@pytest.mark.parametrize("source", ["fifo", "/dev/stdin"])
def test_info_of_a_stream_counts_the_bytes_read(tmp_path, source):
    content = wd1_run(2) + b"0123456789"
    expected = f"""\
{source} (WD1)
  events           2
  record size      32 bytes
  samples          4 per event
  event_counter    0 .. 1 (first .. last)
  timestamp        0 .. 0 (first .. last)
  counter gaps     none
  incomplete tail  10 bytes
"""
    if source == "/dev/stdin":
        run = vorn("info", source, "--layout", "WD1", input=content)
        assert (run.returncode, run.stdout.decode(), run.stderr) == (0, expected, b"")
        return
    for name in ("fifo", "bad"):
        os.mkfifo(tmp_path / name)
    with feeding(tmp_path / "fifo", content), \
            feeding(tmp_path / "bad", wd1_run(1) + wd1([], event_size=0)):
        run = vorn("info", "fifo", "bad", "--layout", "WD1", cwd=tmp_path, text=True)
    assert (run.returncode, run.stdout) == (1, expected)
    assert run.stderr.startswith("vorn: bad: event 1 at byte offset 32 cannot be read")
    assert len(run.stderr.splitlines()) == 1


@pytest.mark.parametrize("command, failure", [
    ("info", "scan"), ("convert", "iter_batches"), ("convert", "_to_arrow"), ("convert", "disk")])
def test_failures_are_one_line_and_status_1(tmp_path, monkeypatch, capsys, command, failure):
    pytest.importorskip("pyarrow")
    src, out = tmp_path / "run.wd1", tmp_path / "out.pq"
    src.write_bytes(SOURCES["WD1"])
    if failure == "disk":
        os.symlink("/dev/full", out)
    else:  # no memory to read (scan, iter_batches) or to convert a batch
        def exhausted(*args, **kwargs):
            raise MemoryError

        monkeypatch.setattr(cli, failure, exhausted)
    assert cli.main([command, str(src)] + ([str(out)] if command == "convert" else [])) == 1
    err = capsys.readouterr().err
    assert err.startswith("vorn: ") and err.count("\n") == 1
    assert ("No space left on device" if failure == "disk" else "out of memory") in err
    kept = ["out.pq"] if failure == "disk" else []
    assert sorted(os.listdir(tmp_path)) == kept + ["run.wd1"]


@pytest.mark.parametrize("command", [["info", "a.wd1", "a.wd1"],
                                     ["convert", "a.wd1", "-", "--format", "arrow", "--quiet"]])
def test_a_closed_pipe_ends_the_command_quietly(tmp_path, command):
    pytest.importorskip("pyarrow")
    (tmp_path / "a.wd1").write_bytes(wd1_run(2000, samples=64))
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        run = vorn(*command, cwd=tmp_path, stdout=write_end, stderr=subprocess.PIPE, text=True)
    finally:
        os.close(write_end)
    assert (run.returncode, run.stderr) == (1, "")


def test_a_full_standard_output_is_one_line_and_status_1(tmp_path):
    (tmp_path / "a.wd1").write_bytes(wd1_run(2))
    with open("/dev/full", "wb") as full:
        run = vorn("info", "a.wd1", cwd=tmp_path, stdout=full, stderr=subprocess.PIPE, text=True)
    assert (run.returncode, run.stderr) == (
        1, "vorn: cannot write standard output: No space left on device\n")


class TestUnixTool:
    def test_version_from_the_installed_distribution(self):
        from importlib.metadata import version
        run = vorn("--version", text=True)
        assert (run.returncode, run.stdout) == (0, f"vorn {version('vorn')}\n")
        assert vc.__version__ == version("vorn")

    @pytest.mark.parametrize("out", ["out.csv", "out"])
    def test_an_output_name_of_no_known_format_is_refused(self, tmp_path, out):
        (tmp_path / "a.wd1").write_bytes(wd1_run(2))
        run = vorn("convert", "a.wd1", out, cwd=tmp_path, text=True)
        assert run.returncode == 2 and "give --format" in run.stderr
        assert "usage: vorn convert" in run.stderr and not (tmp_path / out).exists()

    def test_converting_a_file_onto_itself_shows_the_convert_usage(self, tmp_path):
        (tmp_path / "a.wd1").write_bytes(wd1_run(2))
        run = vorn("convert", "a.wd1", "a.wd1", "--format", "arrow", cwd=tmp_path, text=True)
        assert run.returncode == 2 and "usage: vorn convert" in run.stderr
        assert "a.wd1 is the input file" in run.stderr

    def test_without_tqdm_a_terminal_is_told_of_the_extra(self, write, monkeypatch, capsys):
        pytest.importorskip("pyarrow")
        monkeypatch.setitem(sys.modules, "tqdm", None)
        monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
        assert cli.main(["convert", write(wd1_run(2), name="a.wd1"), write(name="a.pq")]) == 0
        err = capsys.readouterr().err
        assert err.count("the progress bar needs tqdm: pip install 'vorn[progress]'") == 1


def test_events_beyond_a_count_are_a_usage_error(tmp_path, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["convert", str(tmp_path / "a.wd1"), str(tmp_path / "a.pq"),
                  "--events", str(2**64)])
    assert stop.value.code == 2 and "--events" in capsys.readouterr().err


def command_line():
    script = Path(sys.executable).with_name("vorn")  # the console script, where installed
    return [str(script)] if script.exists() else [sys.executable, "-m", "vorn_columns.cli"]


@pytest.mark.parametrize("packed", [False, True])
def test_standard_input_and_compressed_files(tmp_path, packed):
    """`-` reads standard input (plain or compressed), given --layout; a compressed file
    takes its layout from the suffix before the compression suffix."""
    import gzip
    content = SOURCES["WD2"]
    data = gzip.compress(content) if packed else content
    run = subprocess.run([*command_line(), "info", "-", "--layout", "WD2"], input=data,
                         capture_output=True, timeout=60)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.decode().splitlines()
    assert lines[:3] == ["- (WD2)", "  events           25", "  record size      180 bytes"]
    assert lines[-1] == "  incomplete tail  30 bytes"
    if not packed:
        return
    pytest.importorskip("pyarrow")
    src, out = tmp_path / "run042.wd2.gz", tmp_path / "run.arrow"
    src.write_bytes(data)
    assert cli.main(["convert", str(src), str(out), "--quiet"]) == 0
    table, _ = read_back(out, "arrow")
    assert table.column("event_counter").to_pylist() == list(range(25))


def test_standard_input_needs_a_layout(capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["info", "-"])
    assert stop.value.code == 2 and "standard input (-) needs --layout" in capsys.readouterr().err


FEATURE_SOURCES = {  # a second WD1 file of a small negative pulse; WD2 of four channels
    "WD1": [SOURCES["WD1"], b"".join(wd1(np.r_[[900] * 40, [300] * 8, [880] * 40],
                                         event_counter=i) for i in range(6))],
    "WD2": [wd2_run(9, samples=60, channels=4)],
}


def feature_columns(table, names, channels):
    """The feature columns of a table written by `vorn features`, (events, C) for C > 1."""
    out = {}
    for name in names:
        if name in table.column_names:
            column = table.column(name).combine_chunks()
            out[name] = (column.flatten().to_numpy(zero_copy_only=False).reshape(-1, channels)
                         if channels > 1 else column.to_numpy(zero_copy_only=False))
        else:  # CSV: a column per channel
            out[name] = np.stack([table.column(f"{name}_{c}").to_numpy()
                                  for c in range(channels)], axis=1)
    return out


@pytest.mark.parametrize("layout", FEATURE_SOURCES)
@pytest.mark.parametrize("out, args", [
    ("f.parquet", []), ("f.arrow", []), ("f.csv", []), ("f.bin", ["--format", "arrow"]),
    ("- | consumer", ["--format", "arrow"])])
def test_features_are_written_as_a_read_computes_them(tmp_path, layout, out, args):
    """Every format, one file or many (then a column "file"): the rows are the header
    columns and features that vc.read(..., features=) gives, file after file."""
    pa = pytest.importorskip("pyarrow")
    import pyarrow.csv
    import pyarrow.parquet as pq
    paths = []
    for i, content in enumerate(FEATURE_SOURCES[layout]):
        paths.append(tmp_path / f"run{i}.{layout.lower()}")
        paths[-1].write_bytes(content)
    options = ["--polarity", "negative", "--baseline", "2:30", "--trapezoid", "4,3",
               "--decay", "40", "--cfd", "0.4"]
    command = [*command_line(), "features", *map(str, paths), "-o", out.split()[0],
               *options, *args]
    if out.startswith("-"):
        run = subprocess.run(command, capture_output=True, cwd=tmp_path, timeout=60)
        table = pa.ipc.open_stream(pa.BufferReader(run.stdout)).read_all()
    else:
        run = subprocess.run(command, capture_output=True, cwd=tmp_path, timeout=60)
        target = tmp_path / out
        table = (pq.read_table(target) if out.endswith(".parquet") else
                 pyarrow.csv.read_csv(target) if out.endswith(".csv") else
                 pa.ipc.open_file(target).read_all())
    assert run.returncode == 0, run.stderr
    spec = vc.Features("negative", baseline=(2, 30), trapezoid=(4, 3), decay=40,
                       cfd_fraction=0.4)
    batches = [vc.read(p, layout, features=spec) for p in paths]
    channels = max(batches[0].channels, 1)
    assert table.num_rows == sum(len(b) for b in batches)
    got = feature_columns(table, spec.names(layout), channels)
    for name in spec.names(layout):
        want = np.concatenate([b[name] for b in batches])
        np.testing.assert_allclose(got[name].astype(np.float64), want.astype(np.float64),
                                   rtol=1e-6, equal_nan=True, err_msg=name)
    for name in vc.FIELDS[layout]:
        assert np.array_equal(table.column(name).to_numpy(),
                              np.concatenate([b[name] for b in batches])), name
    if len(paths) > 1:
        assert table.column("file").to_pylist() == [
            str(p) for p, b in zip(paths, batches) for _ in range(len(b))]
    else:
        assert "file" not in table.column_names


@pytest.mark.parametrize("args, words", [
    (["--baseline", "10:4"], "--baseline: "),
    (["--baseline", "4"], "argument --baseline"),
    (["--cfd", "1.5"], "--cfd: "),
    (["--decay", "30"], "--decay: needs trapezoid"),
    (["--select", "amplitude,charge"], "--select: "),
    (["--around", "0,0"], "--around: "),
    ([], "cannot tell the format"),
])
def test_features_usage_errors_name_the_option(tmp_path, capsys, args, words):
    src = tmp_path / "run.wd1"
    src.write_bytes(SOURCES["WD1"])
    out = "f.dat" if not args else "f.parquet"
    with pytest.raises(SystemExit) as exit:
        cli.main(["features", str(src), "-o", str(tmp_path / out), "--polarity", "negative",
                  *args])
    assert exit.value.code == 2
    assert words in capsys.readouterr().err
    assert sorted(os.listdir(tmp_path)) == ["run.wd1"]


@pytest.mark.parametrize("second", ["missing", "other layout"])
def test_features_of_many_files_fail_as_one_line_and_write_nothing(tmp_path, capsys, second):
    pytest.importorskip("pyarrow")
    first, other, out = tmp_path / "a.wd1", tmp_path / "b.wd1", tmp_path / "f.parquet"
    first.write_bytes(SOURCES["WD1"])
    if second == "other layout":
        other = tmp_path / "b.wd2"
        other.write_bytes(SOURCES["WD2"])
    status = cli.main(["features", str(first), str(other), "-o", str(out),
                       "--polarity", "positive"])
    err = capsys.readouterr().err
    assert status == 1 and err.startswith("vorn: ") and err.count("\n") == 1, err
    assert str(other) in err and "f.parquet was not written" in err
    assert sorted(os.listdir(tmp_path)) == ["a.wd1"] + (["b.wd2"] if other.exists() else [])
