"""The vorn command: conversions read back as the source reads; exit codes, messages, leftovers."""
import os
import subprocess
import sys
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


def test_unknown_suffix_is_a_usage_error(tmp_path, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["info", str(tmp_path / "run.dat")])
    assert stop.value.code == 2 and "--layout" in capsys.readouterr().err


def test_missing_pyarrow_names_the_extra(write, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    assert cli.main(["convert", write(wd1_run(2), name="a.wd1"), write(name="a.pq")]) == 1
    assert "vorn convert needs pyarrow: pip install 'vorn[arrow]'" in capsys.readouterr().err


def test_info_reports_sizes_counters_gaps_and_tail(tmp_path):
    (tmp_path / "a.wd1").write_bytes(
        wd1_run(5) + wd1([1, 2], event_counter=9, timestamp=77) + wd1_run(2)[:10])
    (tmp_path / "b.WD2").write_bytes(wd2_run(3, channels=2, event_counter=2**32 - 2))
    script = Path(sys.executable).with_name("vorn")  # the console script, where installed
    command = [str(script)] if script.exists() else [sys.executable, "-m", "vorn_columns.cli"]
    run = subprocess.run([*command, "info", "a.wd1", "b.WD2"], cwd=tmp_path,
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout == """\
a.wd1 (WD1)
  events           6
  record size      32 bytes (5 records), 28 bytes (1 record)
  event_counter    0 .. 9 (first .. last)
  timestamp        0 .. 77 (first .. last)
  counter gaps     1: 4 -> 9 (event 5)
  incomplete tail  10 bytes
b.WD2 (WD2)
  events           3
  record size      52 bytes
  channels         2
  event_counter    4294967294 .. 0 (first .. last)
  timestamp        0 .. 0 (first .. last)
  counter gaps     none
  incomplete tail  0 bytes
"""


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
