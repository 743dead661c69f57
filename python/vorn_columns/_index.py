"""Indexes of files: an Index holds where each record starts and its header values; saved as
a Parquet sidecar beside its file (`<name>.vidx`) and loaded again, its rows checked."""
from __future__ import annotations

import hashlib
import operator
import os
import tempfile
import urllib.parse
from typing import Any, Dict, Mapping, Optional, Tuple, Union

import numpy as np

from . import _args, _remote
from ._batch import _column, _HeaderColumns
from ._errors import StaleIndexError, stale
from ._layouts import FIELD_DTYPES, FIELDS

class Index(_HeaderColumns):
    """Where each record of a file starts, and its header values, without
    its samples. ``positions`` has ``len(index) + 1`` entries: the last is the
    end of the last complete record. ``inode`` and ``size`` are the file's at
    the scan (None: not known); for an object behind a URL, ``tag`` is its
    ETag or modification time ("" where the filesystem gives neither).
    ``codec`` is the compression the scan found (None: plain), whose
    decompressed bytes the positions count. ``source`` names the file or URL
    scanned (None for a file object). A read that seeks with the index
    first checks that the file is the same one, no shorter, and that the
    record found at the position has the index's header values; else it
    raises ``StaleIndexError``."""

    __module__ = "vorn_columns"
    __slots__ = ("layout", "channels", "columns", "positions", "inode", "size", "tag", "codec",
                 "source", "mtime_ns", "fingerprint", "sidecar")

    def __init__(self, layout: str, channels: int, columns: Dict[str, np.ndarray],
                 positions: np.ndarray, *, inode: Optional[int] = None,
                 size: Optional[int] = None, tag: str = "", codec: Optional[str] = None,
                 source: Optional[str] = None) -> None:
        self._set(layout, channels, columns, positions, inode, size, tag, codec, source,
                  owned=False)

    def _set(self, layout: str, channels: int, columns: Dict[str, np.ndarray], positions: Any,
             inode: Optional[int], size: Optional[int], tag: str = "",
             codec: Optional[str] = None, source: Optional[str] = None, *, owned: bool) -> None:
        """Checks what is cheap to check. Positions become read-only: an array
        the index does not own (`owned` False) is copied first if writeable."""
        self.layout = _args.layout(layout)
        p = np.asarray(positions)
        if p.dtype.kind not in "iu" or p.ndim != 1:
            raise TypeError(f"positions must be a one-dimensional integer array, not {p.dtype} "
                            f"of {p.ndim} dimensions")
        if p.dtype != np.int64 or (p.flags.writeable and not owned):
            p = p.astype(np.int64)
        p.flags.writeable = False
        if not len(p) or p[0] != 0 or bool(np.any(p[1:] < p[:-1])):
            raise ValueError("positions must start at 0 and never decrease")
        if set(columns) != set(FIELDS[layout]) or any(
                len(c) != len(p) - 1 for c in columns.values()):
            raise ValueError(f"columns must be the {layout} fields {', '.join(FIELDS[layout])}, "
                             f"each of len(positions) - 1 = {len(p) - 1} values")
        self.channels = operator.index(channels)
        self.columns = columns
        self.positions = p
        self.inode = inode
        self.size = size
        self.tag = tag
        self.codec = codec
        self.source = source
        self.mtime_ns: Optional[int] = None  # of a local file, at the scan
        self.fingerprint: Optional[str] = None  # of a local file's first 64 KiB, once saved
        self.sidecar: Optional[str] = None  # the sidecar it was saved to or loaded from

    def __len__(self) -> int:
        return len(self.positions) - 1

    def __getitem__(self, name: str) -> np.ndarray:
        return _column(self.columns, name, "ix")

    def __repr__(self) -> str:
        return f"<vorn_columns.Index {self.layout} events {len(self)}>"

    def __getstate__(self) -> Tuple[Any, ...]:
        return (self.layout, self.channels, self.columns, self.positions, self.inode, self.size,
                self.tag, self.codec, self.source, self.mtime_ns, self.fingerprint, self.sidecar)

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        # Unpickled arrays are writeable: the positions, the index's own,
        # become read-only again in place. The pickles of earlier versions
        # end before `mtime_ns` (and may end before `source`, `tag` and `codec`).
        self._set(*state[:9], owned=True)
        self.mtime_ns, self.fingerprint, self.sidecar = (tuple(state[9:]) + (None,) * 3)[:3]

    def save(self, path: Union[str, "os.PathLike[str]", None] = None, *,
             storage_options: Optional[Dict[str, Any]] = None) -> str:
        """Writes the index as a Parquet sidecar, beside its file (``<name>.vidx``) unless
        ``path`` (a path or URL) says where, replacing it whole, and returns where. The
        file must be the one scanned; the reading functions' ``index="auto"`` then find it."""
        return save(self, path, storage_options)

    @classmethod
    def load(cls, path_or_url: Union[str, "os.PathLike[str]"], *,
             storage_options: Optional[Dict[str, Any]] = None) -> "Index":
        """The index a sidecar holds. It is checked against its file where it is used; a
        sidecar edited or damaged since it was written raises ``StaleIndexError`` here."""
        return load(path_or_url, storage_options)

    def _header(self, event: int) -> Tuple[int, ...]:
        """The header values of `event` as the scan found them."""
        return tuple(int(self.columns[name][event]) for name in FIELDS[self.layout])


class FileMark:
    """What an index knows of its file besides the header values: enough to
    check a file before seeking to one of its positions."""

    def __init__(self, index: Index) -> None:
        self.layout = index.layout
        self.channels = index.channels
        self.inode = index.inode
        self.size = index.size
        self.tag = index.tag
        self.codec = index.codec
        self.positions = index.positions


SUFFIX = ".vidx"
FORMAT_VERSION = "1"
FINGERPRINT_BYTES = 64 << 10
_KEY = "vorn."

def default_path(source: Any) -> Optional[str]:
    """Where the sidecar of `source` is looked for: its name with ".vidx" appended; None for a
    file object, and for a URL with a query (a presigned URL signs its own object alone)."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        return None
    name = os.fsdecode(_remote.local_path(source))
    if name == "-" or (_remote.is_url(name) and urllib.parse.urlsplit(name).query):
        return None
    return name + SUFFIX


def _data_name(sidecar: str, file_name: str) -> str:
    """The data file a sidecar at `sidecar` describes: its own name less ".vidx", else the
    file named in it, in its directory."""
    if sidecar.endswith(SUFFIX):
        return sidecar[:-len(SUFFIX)]
    head = sidecar.rsplit("/", 1)[0] if _remote.is_url(sidecar) else os.path.dirname(sidecar)
    return f"{head}/{file_name}" if _remote.is_url(sidecar) else os.path.join(head, file_name)


def fingerprint(path: Any) -> str:
    """A hash of the file's first 64 KiB."""
    with open(path, "rb") as f:
        return hashlib.blake2b(f.read(FINGERPRINT_BYTES), digest_size=16).hexdigest()


def rows_hash(positions: np.ndarray, columns: Mapping[str, np.ndarray], layout: str) -> str:
    """A hash of an index's rows: its positions, then each header column in key order."""
    h = hashlib.blake2b(digest_size=16)
    h.update(np.ascontiguousarray(positions, "<i8").tobytes())
    for name in FIELDS[layout]:
        h.update(np.ascontiguousarray(columns[name], FIELD_DTYPES[layout][name]).tobytes())
    return h.hexdigest()


def _pyarrow(what: str) -> Any:
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError as e:
        raise ImportError(f"{what} needs pyarrow ({e}): pip install 'vorn[arrow]'") from None
    return pyarrow


def _table(index: Index, mark: str) -> Any:
    pa = _pyarrow("saving an index")
    arrays = {"offset": pa.array(index.positions[:-1])}
    arrays.update((name, pa.array(index.columns[name])) for name in FIELDS[index.layout])
    end = int(index.positions[-1])
    meta = {"format_version": FORMAT_VERSION, "layout": index.layout,
            "channels": str(index.channels), "file_name": _base(index.source or ""),
            "size": str(index.size if index.size is not None else ""),
            "mtime_ns": "" if index.mtime_ns is None else str(index.mtime_ns),
            "etag": index.tag, "version_id": "", "codec": index.codec or "",
            "end": str(end), "tail_bytes": "" if index.codec or index.size is None
            else str(index.size - end), "fingerprint": mark,
            "rows_hash": rows_hash(index.positions, index.columns, index.layout)}
    return pa.table(arrays).replace_schema_metadata(
        {(_KEY + k).encode(): v.encode() for k, v in meta.items()})


def _base(name: str) -> str:
    return name.rstrip("/").rsplit("/", 1)[-1] if _remote.is_url(name) else os.path.basename(name)


def save(index: Index, path: Optional[Any] = None,
         storage_options: Optional[Mapping[str, Any]] = None) -> str:
    """Writes `index` as the sidecar of its source at `path` (None: beside it), and returns
    where. A local sidecar is written to a temporary file in the same directory, synced and
    renamed over `path`: a sidecar found is always whole. The source must still be the file
    scanned (StaleIndexError)."""
    if index.source is None:
        raise ValueError("this index has no file name (it was scanned from a file object): "
                         "scan the file by its path to save its index")
    target = os.fsdecode(path) if path is not None else default_path(index.source)
    assert target is not None
    source = index.source
    if _remote.is_url(source):
        if not index.tag:
            raise ValueError(f"{source}: its filesystem reports no ETag or modification time, "
                             "so a sidecar could not tell another version of it")
        fs, at = _remote.filesystem(source, storage_options)
        now = _remote.identity(fs, at, source)
        if (now.size, now.tag) != (index.size, index.tag):
            raise stale(source, f"the object changed since the scan ({index.tag} became "
                                f"{now.tag})")
        mark = ""
    else:
        st = os.stat(source)
        if index.mtime_ns is None or (st.st_size, st.st_mtime_ns) != (index.size, index.mtime_ns):
            raise stale(source, "the file changed since the scan (its size or mtime)")
        mark = fingerprint(source)
    table = _table(index, mark)
    if _remote.is_url(target):
        _write_remote(table, target, storage_options)
    else:
        _write_local(table, target)
    index.fingerprint, index.sidecar = mark or None, target
    return target


def _write_local(table: Any, target: str) -> None:
    import pyarrow.parquet as pq

    directory = os.path.dirname(os.path.abspath(target))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(target)}.",
                               suffix=".tmp")
    try:
        with open(fd, "wb") as f:
            pq.write_table(table, f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, target)
    except BaseException:  # Ctrl-C and a full disk leave no half sidecar behind
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    try:
        dfd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dfd)
    except OSError:
        pass  # a directory that cannot be synced (some filesystems) keeps the file anyway
    finally:
        os.close(dfd)


def _write_remote(table: Any, target: str, storage_options: Optional[Mapping[str, Any]]) -> None:
    """An object store makes an object visible only once its upload completes."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    sink = pa.BufferOutputStream()
    pq.write_table(table, sink)
    fs, at = _remote.filesystem(target, storage_options)
    try:
        fs.pipe_file(at, sink.getvalue().to_pybytes())
    except OSError as e:
        raise _remote._named(e, target) from e
    except Exception as e:  # an HTTP filesystem's refusal is its client's error
        refused = OSError(f"{target}: the store refused the write ({e})")
        refused.filename = target
        raise refused from e


def _from_table(table: Any, sidecar: str) -> Index:
    """The Index a sidecar's table holds; StaleIndexError where it is not a whole, unedited one."""
    meta = {k.decode()[len(_KEY):]: v.decode() for k, v in (table.schema.metadata or {}).items()
            if k.startswith(_KEY.encode())}

    def refuse(reason: str) -> StaleIndexError:
        return StaleIndexError(f"{sidecar}: not an index sidecar vorn can use: {reason}",
                               filename=sidecar, reason=reason)

    if meta.get("format_version") != FORMAT_VERSION:
        raise refuse(f"format version {meta.get('format_version')!r}, where "
                     f"{FORMAT_VERSION!r} is read")
    try:
        layout = meta["layout"]
        names = ["offset", *FIELDS[layout]]
        if table.column_names != names:
            raise refuse(f"its columns are {table.column_names}, not {names}")
        columns = {n: table.column(n).to_numpy().astype(FIELD_DTYPES[layout][n], copy=False)
                   for n in FIELDS[layout]}
        positions = np.append(table.column("offset").to_numpy().astype(np.int64),
                              np.int64(int(meta["end"])))
        if rows_hash(positions, columns, layout) != meta["rows_hash"]:
            raise refuse("its rows do not match the hash of the rows it was written with")
        index = Index(layout, int(meta["channels"]), columns, positions,
                      size=int(meta["size"]) if meta["size"] else None, tag=meta["etag"],
                      codec=meta["codec"] or None,
                      source=_data_name(sidecar, meta["file_name"]))
        index.mtime_ns = int(meta["mtime_ns"]) if meta["mtime_ns"] else None
    except (KeyError, ValueError, TypeError) as e:
        if isinstance(e, StaleIndexError):
            raise
        raise refuse(f"its metadata or columns do not read ({e!r})") from None
    index.fingerprint, index.sidecar = meta["fingerprint"] or None, sidecar
    return index


def load(path_or_url: Any, storage_options: Optional[Mapping[str, Any]] = None) -> Index:
    """The index a sidecar holds (not yet checked against its file)."""
    _pyarrow("loading an index sidecar")
    import pyarrow as pa
    import pyarrow.parquet as pq

    name = os.fsdecode(_remote.local_path(path_or_url))
    try:
        if _remote.is_url(name):
            fs, at = _remote.filesystem(name, storage_options)
            try:
                data = fs.cat_file(at)
            except OSError as e:
                raise _remote._named(e, name) from e
            table = pq.read_table(pa.BufferReader(data))
        else:
            table = pq.read_table(name)
    except pa.ArrowException as e:
        raise StaleIndexError(f"{name}: the index sidecar cannot be read: {e}",
                              filename=name, reason=f"it cannot be read ({e})") from None
    return _from_table(table, name)


