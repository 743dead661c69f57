"""The `vorn` command: `vorn info` summarises event files, `vorn convert` writes one as Parquet
or Arrow IPC (the file format, or the stream format where the output cannot seek), `vorn index`
writes index sidecars, `vorn features` the pulse features of many as Parquet, Arrow IPC or CSV.
Exit status 0 on success, 1 for an input or output error, 2 for a usage error, 130 for Ctrl-C."""
from __future__ import annotations

import argparse
import contextlib
import errno
import importlib
import os
import stat
import sys
import tempfile
import threading
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, cast

import numpy as np

from . import _index, _remote, _sidecar, _sources
from ._args import Layout
from ._index import Index
from ._errors import CorruptRecordError, StaleIndexError
from ._features import FEATURES, Features
from ._layouts import DESCRIPTIONS
from ._reading import BatchIterator, iter_batches, layout_of, open_source, refuted, scan
from ._sources import CorruptStreamError
from ._version import __version__

# A layout's name as a suffix names it: run042.wd1 is WD1.
LAYOUTS = {f".{name.lower()}": name for name in DESCRIPTIONS}
# Suffixes of compressed files, looked through for the layout's (run042.wd1.gz is WD1).
COMPRESSED = {".gz", ".gzip", ".bz2", ".xz", ".zst", ".zstd"}
STDIN = "-"
FORMATS = {".parquet": "parquet", ".pq": "parquet", ".arrow": "arrow", ".feather": "arrow",
           ".ipc": "arrow", ".arrows": "arrow-stream"}
FEATURE_FORMATS = {**FORMATS, ".csv": "csv"}
EXTRAS = {"pyarrow": "arrow", "tqdm": "progress"}
# File bytes per batch unless --events is given: a Parquet row group of a useful size; Arrow
# record batches small enough that a batch's memory, reused for the next, stays in the caches.
BATCH_BYTES = {"parquet": 32 << 20, "arrow": 4 << 20, "arrow-stream": 4 << 20}
SHOWN = 5  # counter gaps listed by `vorn info`; distinct record sizes listed before a summary
_READ_ERRORS = (OSError, CorruptRecordError, CorruptStreamError, MemoryError)
# The libraries that read for the command, whose failures are input errors: their exception
# classes by module, and the packages whose own code may raise anything else (s3fs raises
# TypeError for a storage option it does not take), with every filesystem fsspec knows.
_LIBRARY_ERRORS = {"botocore.exceptions": ("BotoCoreError", "ClientError"),
                   "aiohttp": ("ClientError",), "zlib": ("error",), "lzma": ("LZMAError",),
                   "zstandard": ("ZstdError",), "compression.zstd": ("ZstdError",)}
_LIBRARIES = {"fsspec", "botocore", "aiobotocore", "aiohttp", "gzip", "bz2", "lzma",
              "_compression", "zstandard", "compression"}


class Failure(Exception):
    """An input or output error, reported as one line on stderr with exit status 1."""


def _need(module: str, command: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise Failure(f"{command} needs {module}: pip install 'vorn[{EXTRAS[module]}]'") from None


class _Quiet(Exception):
    """Ends the command with exit status 1 and no message: standard output was closed by its
    reader (`vorn info ... | head -1`), which is no error worth a line."""


class _Usage(Exception):
    """A usage error found once the input was looked at: exit status 2 with the usage line."""


class _ReadFailure(Failure):
    """An input's failure; `vorn convert` adds what became of its output."""


class _Input:
    """An input, opened once. A regular file is read by vorn_columns by its name; anything else,
    "-" for standard input, a FIFO, a terminal or a device, is opened here as a file object,
    and vorn_columns counts the bytes it reads from it: a FIFO's stat size is not its content,
    and opening it again would wait for a writer that may never come. Compressed input is
    recognised by its first bytes. A URL is read through fsspec, with `options`."""

    def __init__(self, path: str, asked: Optional[str],
                 options: Optional[Dict[str, Any]] = None) -> None:
        self.path = path
        self._owned: Optional[Any] = None
        self._options = options
        try:
            if _remote.is_url(path):
                given: Any = path
                self._options = options = _remote.bounded_waits(path, options)
            elif path == STDIN:
                given = sys.stdin.buffer
            else:
                mode = os.stat(path).st_mode
                if stat.S_ISREG(mode) or stat.S_ISDIR(mode):
                    given = path
                else:  # a FIFO's open waits for its writer
                    given = self._owned = open(path, "rb", buffering=0)
            self.source = open_source(given, storage_options=options)
            self.layout = self._layout(asked)
        except (OSError, ValueError, ImportError) as e:
            self.close()
            raise _ReadFailure(self.reason(e)) from None
        except BaseException:
            self.close()
            raise

    def _layout(self, asked: Optional[str]) -> Layout:
        """The layout asked for (by --layout or the name), unless the records refute it (as
        vorn_columns.read decides, but for input that cannot be read again too: from its first
        bytes, given back to the reading that follows); else the one the first records fit."""
        if os.path.isdir(self.path):
            return cast(Layout, asked or "WD1")  # reading it fails as reading a directory does
        if asked:
            found = refuted(self.source, asked, look=True)
            if found is not None:
                raise _ReadFailure(f"{self.path} does not read as {asked}: its first records do "
                                   f"not chain as {asked} records; they read as {found}. Use "
                                   f"--layout {found}.")
            return cast(Layout, asked)
        try:
            return layout_of(self.source, None, self.path)
        except ValueError as e:
            raise _Usage(f"{e}; name it *.wd1 or *.wd2, or give --layout") from None

    def close(self) -> None:
        if self._owned is not None:
            self._owned.close()
            self._owned = None

    def reason(self, e: BaseException) -> str:
        """The message of a failure to read this input, naming it as the user did."""
        if isinstance(e, MemoryError):
            return f"{self.path}: out of memory"
        if isinstance(e, (CorruptRecordError, CorruptStreamError)):
            return str(e)  # names the input, and the event's index or the stream's offset
        return f"cannot read {self.path}: {getattr(e, 'strerror', None) or e}"

    def open(self, reader: Callable[[Any], Any]) -> Any:
        """`reader(source)`: a function of vorn_columns that reads the input."""
        try:
            return reader(self.source)
        except _READ_ERRORS as e:
            raise _ReadFailure(self.reason(e)) from None

    def each(self, batches: BatchIterator) -> Iterator[Any]:
        """The batches of `batches`, a read error ending them as a _ReadFailure."""
        while True:
            try:
                batch = next(batches, None)
            except _READ_ERRORS as e:
                raise _ReadFailure(self.reason(e)) from None
            if batch is None:
                return
            yield batch

    def tail(self, position: int) -> Optional[int]:
        """The bytes read past `position`, once the reader has met the end of the input; None
        where that cannot be told."""
        try:
            size = self.source.read_so_far()
        except OSError as e:
            raise _ReadFailure(self.reason(e)) from None
        return None if size is None else size - position


def _to_arrow(batch: Any) -> Any:
    """The batch as a pyarrow.RecordBatch over its own memory, through the Arrow PyCapsule
    interface (vorn_columns.arrow): the header columns, then "data", a large_list of the
    samples, and the layout in the schema metadata."""
    import pyarrow as pa

    return pa.record_batch(batch)


def _layout_of(path: str, given: Optional[str], parser: argparse.ArgumentParser) -> Optional[str]:
    """The layout --layout or the name gives (run042.wd1.gz: WD1), or None where neither does
    and the first records must tell."""
    if given:
        return given
    if path == STDIN:
        parser.error("reading standard input (-) needs --layout")
    stem, suffix = os.path.splitext(path)
    if suffix.lower() in COMPRESSED:
        suffix = os.path.splitext(stem)[1]
    return LAYOUTS.get(suffix.lower())


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


def _span(values: np.ndarray) -> str:
    low, high = values.min(), values.max()
    return f"{low}" if low == high else f"{low} .. {high}"


def _samples(index: Index) -> List[str]:
    """Samples per event as the decoder sized each record's block (WD2: per channel, times the
    channels of the file) and, for WD2, the range of sampling_period, as stored: the files give
    no unit."""
    d = DESCRIPTIONS[index.layout]
    if d.channel_field is None:
        per_event = d.record_samples(np.diff(index.positions), index.channels)
        return [f"  samples          {_span(per_event)} per event"]
    return [f"  samples          {_span(index.columns['samples'])} per channel",
            f"  sampling_period  {_span(index.columns['sampling_period'])} (as stored)"]


def _gaps(counters: np.ndarray) -> str:
    """Steps of the event counter other than +1, modulo 2**32 so that a wrap is no gap."""
    c = counters.astype(np.int64)
    at = np.flatnonzero(np.diff(c) % 2**32 != 1)
    if not len(at):
        return "none"
    shown = ", ".join(f"{c[i]} -> {c[i + 1]} (event {i + 1})" for i in at[:SHOWN])
    return f"{len(at)}: {shown}{', ...' if len(at) > SHOWN else ''}"


def info(path: str, asked: Optional[str], options: Optional[Dict[str, Any]] = None) -> List[str]:
    """The lines `vorn info` prints for one file."""
    source = _Input(path, asked, options)
    layout = source.layout
    try:
        index = source.open(lambda given: scan(given, layout))
        tail = source.tail(int(index.positions[-1]))
        n = len(index)
        lines = [f"{path} ({layout})", f"  events           {n}"]
        if n:
            lines.append(f"  record size      {_record_sizes(np.diff(index.positions))}")
        if DESCRIPTIONS[layout].channel_field is not None:
            lines.append(f"  channels         {index.channels}")
        if n:
            lines += _samples(index)
        if n:
            for name in ("event_counter", "timestamp"):
                col = index.columns[name]
                lines.append(f"  {name:16} {col[0]} .. {col[-1]} (first .. last)")
            lines.append(f"  counter gaps     {_gaps(index.columns['event_counter'])}")
    except MemoryError as e:
        raise _ReadFailure(source.reason(e)) from None
    finally:
        source.close()
    if tail is not None:
        lines.append(f"  incomplete tail  {tail} bytes")
    sidecar = _sidecar.status(path, layout, options) if path != STDIN else None
    if sidecar is not None:
        lines.append(f"  index sidecar    {sidecar}")
    return lines


def _progress(source: "_Input", quiet: bool) -> Any:
    """A tqdm bar of the input's bytes on a terminal's stderr, or None."""
    if quiet or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        print(f"vorn: the progress bar needs tqdm: pip install 'vorn[{EXTRAS['tqdm']}]'",
              file=sys.stderr)
        return None
    remote = source.source.remote
    try:
        total = os.path.getsize(source.path) if isinstance(
            source.source.native, (bytes, _sources.Descriptor)) else None
    except OSError:
        total = None
    if remote is not None and source.source.codec is None:
        total = remote.size
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024,
                desc=os.path.basename(source.path), file=sys.stderr)


class _Output:
    """Where `vorn convert` writes. A regular file, or a name not yet taken, is replaced
    atomically: written beside it (beside a symlink's target, which is what gets replaced),
    synced, renamed over it, and the directory synced; it keeps the mode and, where permitted,
    the owner of the file it replaces. Anything else, "-" for standard output, a FIFO, a
    terminal or a device, is written straight into and never replaced."""

    def __init__(self, out: str) -> None:
        self.shown = "standard output" if out == "-" else out
        self.tmp: Optional[str] = None
        self.straight = True
        if out == "-":
            self.file = open(1, "wb", closefd=False)
            return
        try:
            kept: Optional[os.stat_result] = os.stat(out)
        except FileNotFoundError:
            kept = None
        if kept is not None and not stat.S_ISREG(kept.st_mode):
            fd = os.open(out, os.O_WRONLY | os.O_NOCTTY)  # a FIFO's open waits for its reader
            kept = os.fstat(fd)
            if not stat.S_ISREG(kept.st_mode):
                self.file = open(fd, "wb")
                return
            os.close(fd)  # it became a regular file meanwhile: replace that
        self.straight = False
        self.target = os.path.realpath(out)
        fd, self.tmp = tempfile.mkstemp(prefix=f".{os.path.basename(self.target)}.",
                                        suffix=".tmp", dir=os.path.dirname(self.target))
        # Written through mkstemp's own descriptor: opening the file again by
        # name would truncate it, and ext4 then flushes it to disk on close.
        self.file = open(fd, "wb")
        try:
            self._take_mode(fd, kept)
        except BaseException:
            self.discard()
            raise

    @staticmethod
    def _take_mode(fd: int, kept: Optional[os.stat_result]) -> None:
        if kept is None:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(fd, 0o666 & ~umask)  # mkstemp made it private; give it a new file's mode
            return
        mine = os.fstat(fd)
        if (mine.st_uid, mine.st_gid) != (kept.st_uid, kept.st_gid):
            try:
                os.fchown(fd, kept.st_uid, kept.st_gid)
            except PermissionError:  # only root gives a file away; a group may still be given
                with contextlib.suppress(PermissionError):
                    os.fchown(fd, -1, kept.st_gid)
        os.fchmod(fd, stat.S_IMODE(kept.st_mode))  # after fchown, which clears set-id bits

    def commit(self) -> None:
        """Makes what was written durable and, for a replaced file, puts it in place."""
        self.file.flush()
        fd = self.file.fileno()
        if stat.S_ISREG(os.fstat(fd).st_mode):
            os.fsync(fd)
        self.file.close()
        if self.tmp is not None:
            os.replace(self.tmp, self.target)
            self.tmp = None
            directory = os.open(os.path.dirname(self.target), os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(directory)  # the new directory entry
            except OSError as e:
                if e.errno != errno.EINVAL:  # a file system that cannot sync a directory
                    raise
            finally:
                os.close(directory)

    def discard(self) -> None:
        """Closes the output and removes an unfinished replacement; the failure that led here is
        the one to report."""
        with contextlib.suppress(OSError):
            self.file.close()
        if self.tmp is not None:
            with contextlib.suppress(OSError):
                os.unlink(self.tmp)


def _empty(batches: BatchIterator) -> Any:
    """A record batch of no events with the schema of `batches`, which their Arrow stream gives
    without reading (pyarrow 14 has only the import under its own name)."""
    import pyarrow as pa

    stream = getattr(pa.RecordBatchReader, "from_stream", None)
    reader = stream(batches) if stream else \
        pa.RecordBatchReader._import_from_c_capsule(batches.__arrow_c_stream__())
    return pa.RecordBatch.from_pylist([], schema=reader.schema)


def _writer(sink: Any, schema: Any, fmt: str, compression: str) -> Any:
    """A pyarrow writer of record batches of `schema` into `sink` in the format `fmt`."""
    if fmt == "parquet":
        import pyarrow.parquet as pq
        return pq.ParquetWriter(sink, schema, compression=compression)
    if fmt == "csv":
        import pyarrow.csv
        return pyarrow.csv.CSVWriter(sink, schema)
    import pyarrow.ipc
    options = pyarrow.ipc.IpcWriteOptions(
        allow_64bit=True, compression=None if compression == "none" else compression)
    new = pyarrow.ipc.new_stream if fmt == "arrow-stream" else pyarrow.ipc.new_file
    return new(sink, schema, options=options)


def _write(batches: BatchIterator, each: Iterator[Any], first: Any, sink: Any, fmt: str,
           compression: str, bar: Any) -> int:
    """Writes `first` and then the rest of `each`, the batches of `batches`, to `sink`; returns
    the events written."""
    table = _empty(batches) if first is None else _to_arrow(first)
    writer = _writer(sink, table.schema, fmt, compression)
    written = 0
    with writer:
        while table is not None:
            writer.write_batch(table)
            written += table.num_rows
            if bar is not None:
                bar.update(batches.position - bar.n)
            batch = next(each, None)
            table = None if batch is None else _to_arrow(batch)
    return written


def convert(path: str, out: str, asked: Optional[str], fmt: str, events: Optional[int],
            compression: str, quiet: bool, options: Optional[Dict[str, Any]] = None) -> str:
    """Writes the events of `path` to `out` (see _Output); returns a summary. Memory holds one
    batch: `events` events, or BATCH_BYTES[fmt] of the file."""
    _need("pyarrow", "convert")
    source = _Input(path, asked, options)
    layout = source.layout
    output: Optional[_Output] = None
    try:
        batches = source.open(lambda given: iter_batches(
            given, layout, max_events=events,
            max_bytes=BATCH_BYTES[fmt] if events is None else 1 << 62))
        each = source.each(batches)
        first = next(each, None)
        output = _Output(out)
        if fmt == "arrow" and not output.file.seekable():
            fmt = "arrow-stream"  # a reader of a pipe cannot seek to the file format's footer
        bar = _progress(source, quiet)
        try:
            written = _write(batches, each, first, output.file, fmt, compression, bar)
        finally:
            if bar is not None:
                bar.close()
        tail = source.tail(batches.position)
        output.commit()
    except _ReadFailure as e:
        lost = "is incomplete" if output is not None and output.straight else "was not written"
        raise Failure(f"{e}; {output.shown if output else out} {lost}") from None
    except (OSError, MemoryError) as e:
        if isinstance(e, BrokenPipeError) and output is not None and output.straight:
            raise _Quiet() from None  # the reader of a pipe stopped reading
        what = "out of memory" if isinstance(e, MemoryError) else e.strerror or e
        raise Failure(f"cannot write {output.shown if output else out}: {what}") from None
    finally:
        source.close()
        if output is not None:
            output.discard()
    left = f"; the last {tail} bytes, an incomplete record, were left out" if tail else ""
    return f"vorn: wrote {written} events of {path} to {output.shown} ({fmt}){left}"


class _Tables:
    """The feature tables of `vorn features`, one writer for all its inputs: opened on the
    first table, whose schema the others must share. With more than one input each table
    gains a column "file", the input as given; CSV has one column per channel
    ("amplitude_0", ...) where the others have a fixed-size list."""

    def __init__(self, sink: Any, fmt: str, compression: str, labelled: bool) -> None:
        self.sink, self.fmt, self.compression, self.labelled = sink, fmt, compression, labelled
        self.writer: Any = None
        self.schema: Any = None
        self.first = ""
        self.written = 0

    def table(self, table: Any, path: str) -> Any:
        """`table`, a record batch of features, as written."""
        import pyarrow as pa

        if self.fmt == "csv":
            columns, names = [], []
            for name, column in zip(table.schema.names, table.columns):
                if not pa.types.is_fixed_size_list(column.type):
                    columns.append(column)
                    names.append(name)
                    continue
                width = column.type.list_size
                values = column.flatten().to_numpy(zero_copy_only=False).reshape(-1, width)
                columns += [pa.array(values[:, c]) for c in range(width)]
                names += [f"{name}_{c}" for c in range(width)]
            table = pa.RecordBatch.from_arrays(columns, names=names)
        if self.labelled:
            table = table.append_column("file", pa.array([path] * table.num_rows, pa.string()))
        return table

    def write(self, table: Any, path: str) -> None:
        if self.writer is None:
            self.writer = _writer(self.sink, table.schema, self.fmt, self.compression)
            self.schema, self.first = table.schema, path
        elif not table.schema.equals(self.schema, check_metadata=False):
            raise _ReadFailure(f"{path} has other feature columns than {self.first} (another "
                          f"layout or channel count): write them to separate outputs")
        self.writer.write_batch(table)
        self.written += table.num_rows

    def close(self) -> None:
        """Ends the output (a failure's output is discarded, or left incomplete where it
        is written straight into, as convert leaves it)."""
        writer, self.writer = self.writer, None
        if writer is not None:
            writer.close()


def features(paths: Sequence[str], layouts: Sequence[Optional[str]], out: str, fmt: str,
             spec: Features, compression: str, quiet: bool,
             options: Optional[Dict[str, Any]] = None) -> str:
    """Writes the pulse features of the events of each of `paths`, one after another, to `out`
    (see _Output and _Tables); returns a summary. Memory holds one batch."""
    _need("pyarrow", "features")
    output = _Output(out)
    try:
        if fmt == "arrow" and not output.file.seekable():
            fmt = "arrow-stream"
        tables = _Tables(output.file, fmt, compression, len(paths) > 1)
        try:
            for path, asked in zip(paths, layouts):
                with _reading(path, options):
                    _features_of(path, asked, spec, tables, quiet, options)
        finally:
            tables.close()
        output.commit()
    except _ReadFailure as e:
        lost = "is incomplete" if output.straight else "was not written"
        raise Failure(f"{e}; {output.shown} {lost}") from None
    except (OSError, MemoryError) as e:
        if isinstance(e, BrokenPipeError) and output.straight:
            raise _Quiet() from None
        what = "out of memory" if isinstance(e, MemoryError) else e.strerror or e
        raise Failure(f"cannot write {output.shown}: {what}") from None
    finally:
        output.discard()
    files = f"{len(paths)} files" if len(paths) > 1 else paths[0]
    return (f"vorn: wrote the features of {tables.written} events of {files} to {output.shown} "
            f"({fmt})")


def _features_of(path: str, asked: Optional[str], spec: Features, tables: _Tables, quiet: bool,
                 options: Optional[Dict[str, Any]]) -> None:
    source = _Input(path, asked, options)
    layout = source.layout
    try:
        batches = source.open(lambda given: iter_batches(
            given, layout, max_bytes=BATCH_BYTES["parquet"], features=spec))
        bar = _progress(source, quiet)
        try:
            any_batch = False
            for batch in source.each(batches):
                tables.write(tables.table(_to_arrow(batch), path), path)
                any_batch = True
                if bar is not None:
                    bar.update(batches.position - bar.n)
            if not any_batch:
                tables.write(tables.table(_empty(batches), path), path)
        finally:
            if bar is not None:
                bar.close()
    finally:
        source.close()


def _window(text: str, sep: str, what: str) -> Tuple[int, int]:
    """An option's two integers, "A:B" or "A,B" as `sep` says."""
    try:
        a, b = text.split(sep)
        return int(a), int(b)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} as two integers {sep.join(what.split())}, "
                                          f"not {text!r}") from None


# The command's option of each parameter, as its errors name them.
_OPTIONS = {"baseline": "--baseline", "integral": "--integral",
            "integral_around_peak": "--around", "cfd_fraction": "--cfd",
            "trapezoid": "--trapezoid", "decay": "--decay", "saturation": "--saturation",
            "select": "--select", "polarity": "--polarity"}


def _spec(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Features:
    keywords = {"baseline": args.baseline, "integral": args.integral,
                "integral_around_peak": args.around, "cfd_fraction": args.cfd,
                "trapezoid": args.trapezoid, "decay": args.decay,
                "saturation": args.saturation,
                "select": args.select.split(",") if args.select is not None else None}
    try:
        return Features(args.polarity, **{k: v for k, v in keywords.items() if v is not None})
    except ValueError as e:
        name, _, rest = str(e).partition(": ")
        parser.error(f"{_OPTIONS.get(name, name)}: {rest}" if rest else str(e))


def _parser() -> Tuple[argparse.ArgumentParser, Dict[str, argparse.ArgumentParser]]:
    """The command's parser, and each subcommand's, whose usage line its errors show."""
    parser = argparse.ArgumentParser(prog="vorn", description="Inspect and convert WD1 and WD2 "
                                     "event files. The layout comes from the suffix (.wd1, .wd2) "
                                     "unless --layout is given.")
    parser.add_argument("--version", action="version", version=f"vorn {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    layout = argparse.ArgumentParser(add_help=False)
    layout.add_argument("--layout", choices=list(DESCRIPTIONS), help="the record layout")
    layout.add_argument("--storage-option", action="append", default=[], metavar="KEY=VALUE",
                        dest="storage_options",
                        help="an option of the filesystem of a URL (s3://, https://, ...), such "
                        "as endpoint_url or anon=true; may be repeated")
    info_parser = commands.add_parser("info", parents=[layout],
                                      help="events, record sizes, samples, counters, gaps")
    info_parser.add_argument("files", nargs="+", metavar="FILE", help="- for standard input")
    p = commands.add_parser("convert", parents=[layout], help="write as Parquet or Arrow IPC")
    p.add_argument("file", metavar="FILE", help="- for standard input")
    p.add_argument("out", metavar="OUT", help="the file to write, replaced once complete; "
                   "'-' (standard output), a FIFO or a device is written into")
    p.add_argument("--format", choices=["parquet", "arrow", "arrow-stream"],
                   help="default: from OUT's suffix (.parquet, .pq: parquet; .arrow, .feather, "
                   ".ipc: arrow; .arrows: arrow-stream); needed for any other name. arrow is "
                   "Arrow IPC's file format, or its stream format where OUT cannot seek (a pipe)")
    p.add_argument("--events", type=int, metavar="N",
                   help=f"events per batch, i.e. per row group (default: "
                   f"{BATCH_BYTES['parquet'] >> 20} MiB of the file for Parquet, "
                   f"{BATCH_BYTES['arrow'] >> 20} MiB for Arrow IPC)")
    p.add_argument("--compression", choices=["zstd", "none"], default="zstd")
    p.add_argument("--quiet", action="store_true", help="no progress bar and no summary")
    ix = commands.add_parser("index", parents=[layout], help="write index sidecars (FILE.vidx)")
    ix.add_argument("files", nargs="+", metavar="FILE")
    ix.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                    help="files indexed at once (default: the number of CPUs)")
    ix.add_argument("--quiet", action="store_true", help="no progress bar")
    f = commands.add_parser("features", parents=[layout],
                            help="pulse features of each event, as Parquet, Arrow IPC or CSV")
    f.add_argument("files", nargs="+", metavar="FILE", help="- for standard input")
    f.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="the file to write, as for convert; with two or more FILEs a column "
                   "'file' names each row's")
    f.add_argument("--format", choices=["parquet", "arrow", "arrow-stream", "csv"],
                   help="default: from OUT's suffix, as for convert, and .csv: csv")
    f.add_argument("--polarity", required=True, choices=["positive", "negative"],
                   help="negative: pulses that go down from the baseline")
    f.add_argument("--baseline", type=lambda t: _window(t, ":", "start stop"), metavar="B0:B1",
                   help="the baseline window [B0, B1) (default 0:32)")
    f.add_argument("--integral", type=lambda t: _window(t, ":", "start stop"), metavar="A:B",
                   help="integrate over [A, B) (default: from B1 to the end)")
    f.add_argument("--around", type=lambda t: _window(t, ",", "pre post"), metavar="PRE,POST",
                   help="integrate over [peak - PRE, peak + POST)")
    f.add_argument("--cfd", type=float, metavar="F", help="the constant fraction (default 0.5)")
    f.add_argument("--trapezoid", type=lambda t: _window(t, ",", "rise flat"),
                   metavar="RISE,FLAT", help="the trapezoid filter, for trapezoid_max")
    f.add_argument("--decay", type=float, metavar="TAU",
                   help="the pulses' decay time in samples, for the trapezoid's pole-zero "
                   "correction")
    f.add_argument("--saturation", type=lambda t: _window(t, ",", "low high"),
                   metavar="LO,HI", help="WD1 levels that count as saturated (default 0,65535)")
    f.add_argument("--select", metavar="NAME,...",
                   help=f"the features to write (default: all defined): {', '.join(FEATURES)}")
    f.add_argument("--compression", choices=["zstd", "none"], default="zstd")
    f.add_argument("--quiet", action="store_true", help="no progress bar and no summary")
    return parser, {"info": info_parser, "convert": p, "index": ix, "features": f}


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser, commands = _parser()
    args = parser.parse_args(argv)
    parser = commands[args.command]  # usage errors show the subcommand's usage line
    status = 0
    try:
        options = _remote.options_from_pairs(args.storage_options) or None
    except ValueError as e:
        parser.error(str(e))
    try:
        if args.command == "info":
            layouts = [_layout_of(f, args.layout, parser) for f in args.files]
            for path, layout in zip(args.files, layouts):
                try:
                    with _reading(path, options):
                        lines = info(path, layout, options)
                except Failure as e:
                    print(f"vorn: {e}", file=sys.stderr)
                    status = 1
                    continue
                _show(lines)
            return status
        if args.command == "index":
            if args.jobs < 1:
                parser.error(f"--jobs must be at least 1, not {args.jobs}")
            layouts = [_layout_of(f, args.layout, parser) for f in args.files]
            return index_files(args.files, layouts, options, args.jobs, args.quiet)
        if args.command == "features":
            layouts = [_layout_of(f, args.layout, parser) for f in args.files]
            spec = _spec(args, parser)
            if any(_same_file(f, args.output) for f in args.files):
                parser.error(f"{args.output} is an input file")
            fmt = args.format or FEATURE_FORMATS.get(os.path.splitext(args.output)[1].lower())
            if fmt is None:
                parser.error(f"cannot tell the format of {args.output} from its name: name it "
                             "*.parquet, *.arrow or *.csv, or give --format")
            summary = features(args.files, layouts, args.output, fmt, spec, args.compression,
                               args.quiet, options)
            if not args.quiet:
                print(summary, file=sys.stderr)
            return 0
        if args.events is not None and not 1 <= args.events < 2**63:
            parser.error(f"--events must be from 1 to 2**63 - 1, not {args.events}")
        layout = _layout_of(args.file, args.layout, parser)
        if _same_file(args.file, args.out):
            parser.error(f"{args.out} is the input file")
        fmt = args.format or FORMATS.get(os.path.splitext(args.out)[1].lower())
        if fmt is None:
            parser.error(f"cannot tell the format of {args.out} from its name: name it *.parquet "
                         "or *.arrow, or give --format")
        with _reading(args.file, options):
            summary = convert(args.file, args.out, layout, fmt, args.events, args.compression,
                              args.quiet, options)
        if not args.quiet:
            print(summary, file=sys.stderr)
        return 0
    except Failure as e:
        print(f"vorn: {e}", file=sys.stderr)
        return 1
    except _Quiet:
        return 1
    except _Usage as e:
        parser.error(str(e))
    except KeyboardInterrupt:
        print("vorn: interrupted", file=sys.stderr)
        return 130


@contextlib.contextmanager
def _reading(path: str, options: Optional[Dict[str, Any]]) -> Iterator[None]:
    """The command's boundary for the failures of the libraries that read `path`: each is one
    line naming it, or a usage error where a storage option was not taken."""
    try:
        yield
    except Exception as e:
        if not _of_libraries(e):
            raise
        if isinstance(e, TypeError) and options:
            raise _Usage(f"a --storage-option that the filesystem of {path} does not take: "
                         f"{e}") from None
        raise Failure(f"cannot read {path}: {str(e) or type(e).__name__}") from None


def _of_libraries(e: Exception) -> bool:
    """Whether `e` is a failure of a library that reads for the command: by its class (looked up
    in the modules imported: one never imported raised nothing) or by the code that raised it."""
    classes = tuple(getattr(sys.modules[module], name) for module, names in _LIBRARY_ERRORS.items()
                    if module in sys.modules for name in names)
    if isinstance(e, classes):
        return True
    tb = e.__traceback__
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    raiser = str(tb.tb_frame.f_globals.get("__name__", "")) if tb is not None else ""
    libraries = set(_LIBRARIES)
    registry = sys.modules.get("fsspec.registry")
    if registry is not None:
        libraries.update(str(known.get("class", "")).split(".")[0]
                         for known in registry.known_implementations.values())
    return raiser.split(".")[0] in libraries


def _show(lines: List[str]) -> None:
    """Prints `lines` on standard output; a failure to is a Failure. The descriptor then writes
    into /dev/null, so that Python's own flush at exit has nothing left to fail on."""
    try:
        print("\n".join(lines), flush=True)
    except OSError as e:
        try:
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, sys.stdout.fileno())
            os.close(null)
        except (OSError, ValueError):
            pass  # standard output has no descriptor of its own (captured, replaced)
        if e.errno == errno.EPIPE:
            raise _Quiet() from None
        raise Failure(f"cannot write standard output: {e.strerror or e}") from None


def index_file(path: str, layout: Optional[str], options: Optional[Dict[str, Any]]) -> str:
    """Scans `path` and writes its sidecar beside it; returns the sidecar's name."""
    if path == STDIN:
        raise Failure("standard input has no sidecar: index a file by its name")
    if _remote.is_url(path):
        options = _remote.bounded_waits(path, options)
    with _reading(path, options):
        try:
            found = scan(path, cast(Optional[Layout], layout), storage_options=options,
                         index=None)
        except (*_READ_ERRORS, ValueError) as e:
            raise Failure(f"cannot index {path}: {getattr(e, 'strerror', None) or e}") from None
    target = _index.default_path(path)
    try:
        return found.save(storage_options=options)
    except ImportError as e:
        raise Failure(str(e)) from None
    except OSError as e:
        if _remote.is_url(path):
            raise Failure(f"cannot write {target}: {e.strerror or e}; keep the sidecar locally "
                          f"with vc.scan(url).save(local_path) and read with "
                          f"index=local_path") from None
        raise Failure(f"cannot write {target}: {e.strerror or e}") from None
    except StaleIndexError as e:
        raise Failure(str(e)) from None


def index_files(paths: List[str], layouts: List[Optional[str]],
                options: Optional[Dict[str, Any]], jobs: int, quiet: bool) -> int:
    """`vorn index`: each file's sidecar written, `jobs` at a time; a failure is one line and
    the others go on. A sidecar appears whole or not at all, Ctrl-C or a full disk included."""
    from concurrent.futures import ThreadPoolExecutor, as_completed

    bar = None
    if not quiet and sys.stderr.isatty() and len(paths) > 1:
        try:
            from tqdm import tqdm
            bar = tqdm(total=len(paths), unit="file", file=sys.stderr)
        except ImportError:
            pass
    status = 0
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        try:
            work = {pool.submit(index_file, p, lay, options): p for p, lay in zip(paths, layouts)}
            for done in as_completed(work):
                try:
                    done.result()
                except Failure as e:
                    print(f"vorn: {e}", file=sys.stderr)
                    status = 1
                if bar is not None:
                    bar.update()
        except BaseException:
            pool.shutdown(wait=False, cancel_futures=True)
            raise
        finally:
            if bar is not None:
                bar.close()
    return status


def _same_file(path: str, out: str) -> bool:
    """Whether `out` ("-": standard output) is the file `path` ("-": standard input)."""
    try:
        a = os.fstat(0) if path == STDIN else os.stat(path)
        b = os.fstat(1) if out == "-" else os.stat(out)
    except OSError:
        return False
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


if __name__ == "__main__":
    sys.exit(main())
