"""The `vorn` command: `vorn info` summarises event files, `vorn convert` writes one as Parquet
or Arrow IPC. Exit status 0 on success, 1 for an input or output error, 2 for a usage error."""
from __future__ import annotations

import argparse
import importlib
import os
import sys
import tempfile
from typing import Any, List, Optional, Sequence

import numpy as np

from . import BatchIterator, CorruptRecordError, CorruptStreamError, _sources, iter_batches, read, scan

LAYOUTS = {".wd1": "WD1", ".wd2": "WD2"}
# Suffixes of compressed files, looked through for the layout's (run042.wd1.gz is WD1).
COMPRESSED = {".gz", ".gzip", ".bz2", ".xz", ".zst", ".zstd"}
STDIN = "-"
FORMATS = {".parquet": "parquet", ".pq": "parquet", ".arrow": "arrow", ".feather": "arrow",
           ".ipc": "arrow"}
EXTRAS = {"pyarrow": "arrow", "tqdm": "progress"}
# File bytes per batch unless --events is given: a Parquet row group of a useful size; Arrow
# record batches small enough that a batch's memory, reused for the next, stays in the caches.
BATCH_BYTES = {"parquet": 32 << 20, "arrow": 4 << 20}
SHOWN = 5  # counter gaps listed by `vorn info`; distinct record sizes listed before a summary


class Failure(Exception):
    """An input or output error, reported as one line on stderr with exit status 1."""


def _need(module: str, command: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise Failure(f"{command} needs {module}: pip install 'vorn[{EXTRAS[module]}]'") from None


def _to_arrow(batch: Any) -> Any:
    """The batch as a pyarrow.RecordBatch over its own memory, through the Arrow PyCapsule
    interface (vorn_columns.arrow): the header columns, then "data", a large_list of the
    samples, and the layout in the schema metadata."""
    import pyarrow as pa

    return pa.record_batch(batch)


def _layout_of(path: str, given: Optional[str], parser: argparse.ArgumentParser) -> str:
    if given:
        return given
    if path == STDIN:
        parser.error("reading standard input (-) needs --layout")
    stem, suffix = os.path.splitext(path)
    if suffix.lower() in COMPRESSED:
        suffix = os.path.splitext(stem)[1]
    layout = LAYOUTS.get(suffix.lower())
    if layout is None:
        parser.error(f"cannot tell the layout of {path}: name it *.wd1 or *.wd2 (compressed: "
                     "*.wd1.gz and the like), or give --layout")
    return layout


def _open(path: str) -> Any:
    """The input `path` names, opened once (a _sources.Input, which every reading function
    takes as it is): standard input for "-"; compressed input is recognised."""
    return _sources.open_input(sys.stdin.buffer if path == STDIN else path)


def _record_sizes(sizes: np.ndarray) -> str:
    values, counts = np.unique(sizes, return_counts=True)
    if len(values) == 1:
        return f"{values[0]} bytes"
    if len(values) <= SHOWN:
        order = np.argsort(-counts, kind="stable")
        return ", ".join(f"{values[i]} bytes ({counts[i]} record{'s' if counts[i] > 1 else ''})"
                         for i in order)
    return (f"{len(values)} different, {values[0]} .. {values[-1]} bytes, "
            f"median {np.median(sizes):g}")


def _gaps(counters: np.ndarray) -> str:
    """Steps of the event counter other than +1, modulo 2**32 so that a wrap is no gap."""
    c = counters.astype(np.int64)
    at = np.flatnonzero(np.diff(c) % 2**32 != 1)
    if not len(at):
        return "none"
    shown = ", ".join(f"{c[i]} -> {c[i + 1]} (event {i + 1})" for i in at[:SHOWN])
    return f"{len(at)}: {shown}{', ...' if len(at) > SHOWN else ''}"


def info(path: str, layout: str) -> List[str]:
    """The lines `vorn info` prints for one file."""
    source = _open(path)
    index = scan(source, layout)
    size = source.read_so_far()
    n = len(index)
    lines = [f"{path} ({layout})", f"  events           {n}"]
    if n:
        lines.append(f"  record size      {_record_sizes(np.diff(index.positions))}")
    if layout == "WD2":
        lines.append(f"  channels         {index.channels}")
    if n:
        for name in ("event_counter", "timestamp"):
            col = index.columns[name]
            lines.append(f"  {name:16} {col[0]} .. {col[-1]} (first .. last)")
        lines.append(f"  counter gaps     {_gaps(index.columns['event_counter'])}")
    if size is not None:
        lines.append(f"  incomplete tail  {size - int(index.positions[-1])} bytes")
    return lines


def _progress(path: str, source: Any, quiet: bool) -> Any:
    """A tqdm bar of the input's bytes (decompressed) on a terminal's stderr, or None."""
    if quiet or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    total = os.path.getsize(path) if isinstance(source.native, bytes) else None
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024,
                desc=os.path.basename(path), file=sys.stderr)


def _write(batches: BatchIterator, first: Any, sink: Any, fmt: str, compression: str,
           bar: Any) -> int:
    """Writes `first` and then the rest of `batches` to `sink`; returns the events written."""
    table = _to_arrow(first)
    if fmt == "parquet":
        import pyarrow.parquet as pq
        writer = pq.ParquetWriter(sink, table.schema, compression=compression)
    else:
        import pyarrow.ipc
        options = pyarrow.ipc.IpcWriteOptions(
            allow_64bit=True, compression=None if compression == "none" else compression)
        writer = pyarrow.ipc.new_file(sink, table.schema, options=options)
    written = 0
    with writer:
        while table is not None:
            writer.write_batch(table)
            written += table.num_rows
            if bar is not None:
                bar.update(batches.position - bar.n)
            batch = next(batches, None)
            table = None if batch is None else _to_arrow(batch)
    return written


def convert(path: str, out: str, layout: str, fmt: str, events: Optional[int],
            compression: str, quiet: bool) -> str:
    """Writes the events of `path` to `out`, which appears only once complete; returns a
    summary. Memory holds one batch: `events` events, or BATCH_BYTES[fmt] of the file."""
    _need("pyarrow", "vorn convert")
    source = _open(path)
    batches = iter_batches(source, layout, max_events=events,
                           max_bytes=BATCH_BYTES[fmt] if events is None else 1 << 62)
    first = next(batches, None)
    if first is None:  # an empty file still gets the columns and their types
        first = read(source, layout, stop=0)
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(out)}.", suffix=".tmp",
                               dir=os.path.dirname(os.path.abspath(out)))
    bar = _progress(path, source, quiet)
    try:
        # Written through mkstemp's own descriptor: opening the file again by
        # name would truncate it, and ext4 then flushes it to disk on close.
        with open(fd, "wb") as sink:
            written = _write(batches, first, sink, fmt, compression, bar)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)  # mkstemp made it private; give it a new file's mode
        os.replace(tmp, out)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    finally:
        if bar is not None:
            bar.close()
    size = source.read_so_far()
    tail = 0 if size is None else size - batches.position
    left = f"; the last {tail} bytes, an incomplete record, were left out" if tail > 0 else ""
    return f"vorn: wrote {written} events of {path} to {out} ({fmt}){left}"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vorn", description="Inspect and convert WD1 and WD2 "
                                     "event files. The layout comes from the suffix (.wd1, .wd2) "
                                     "unless --layout is given.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    layout = argparse.ArgumentParser(add_help=False)
    layout.add_argument("--layout", choices=["WD1", "WD2"], help="the record layout")
    p = commands.add_parser("info", parents=[layout], help="events, record sizes, counters, gaps")
    p.add_argument("files", nargs="+", metavar="FILE", help="- for standard input")
    p = commands.add_parser("convert", parents=[layout], help="write as Parquet or Arrow IPC")
    p.add_argument("file", metavar="FILE", help="- for standard input")
    p.add_argument("out", metavar="OUT")
    p.add_argument("--format", choices=["parquet", "arrow"],
                   help="default: from OUT's suffix (.arrow, .feather, .ipc: arrow), else parquet")
    p.add_argument("--events", type=int, metavar="N",
                   help=f"events per batch, i.e. per row group (default: "
                   f"{BATCH_BYTES['parquet'] >> 20} MiB of the file for Parquet, "
                   f"{BATCH_BYTES['arrow'] >> 20} MiB for Arrow IPC)")
    p.add_argument("--compression", choices=["zstd", "none"], default="zstd")
    p.add_argument("--quiet", action="store_true", help="no progress bar and no summary")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    status = 0
    try:
        if args.command == "info":
            layouts = [_layout_of(f, args.layout, parser) for f in args.files]
            for path, layout in zip(args.files, layouts):
                try:
                    print("\n".join(info(path, layout)), flush=True)
                except (OSError, CorruptRecordError, CorruptStreamError) as e:
                    print(f"vorn: {_reason(e, path, None)}", file=sys.stderr)
                    status = 1
            return status
        if args.events is not None and args.events < 1:
            parser.error(f"--events must be at least 1, not {args.events}")
        layout = _layout_of(args.file, args.layout, parser)
        fmt = args.format or FORMATS.get(os.path.splitext(args.out)[1].lower(), "parquet")
        if args.file != STDIN and os.path.exists(args.out) and os.path.exists(args.file) \
                and os.path.samefile(args.file, args.out):
            parser.error(f"{args.out} is the input file")
        try:
            summary = convert(args.file, args.out, layout, fmt, args.events, args.compression,
                              args.quiet)
        except (OSError, CorruptRecordError, CorruptStreamError) as e:
            raise Failure(_reason(e, args.file, args.out)) from None
        if not args.quiet:
            print(summary, file=sys.stderr)
        return 0
    except Failure as e:
        print(f"vorn: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("vorn: interrupted", file=sys.stderr)
        return 130


def _reason(e: BaseException, path: str, out: Optional[str]) -> str:
    """What went wrong, naming the file. With an output `out`, an OSError that names no input
    file is the output's."""
    assert isinstance(e, (OSError, CorruptRecordError, CorruptStreamError))
    name = "<stdin>" if path == STDIN else path
    if isinstance(e, OSError) and out is not None and (
            e.filename is None or os.fsdecode(e.filename) != name):
        return f"cannot write {out}: {e.strerror or e}"
    if isinstance(e, (CorruptRecordError, CorruptStreamError)):
        text = str(e)  # names the file, and the event's index or the stream's byte offset
    else:
        text = f"cannot read {path}: {e.strerror or e}"
    return text if out is None else f"{text}; {out} was not written"


if __name__ == "__main__":
    sys.exit(main())
