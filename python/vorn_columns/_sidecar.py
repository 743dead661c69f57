"""Index sidecars: an Index saved beside its file as Parquet (`<name>.vidx`), found again by the
reading functions, and believed only for the file it describes, checked at every use."""
from __future__ import annotations

import collections
import hashlib
import os
import tempfile
import threading
import warnings
from typing import Any, Mapping, Optional, Tuple, Union

import numpy as np

from . import _native, _remote, _sources
from ._batch import Index
from ._errors import StaleIndexError, StaleIndexWarning, stale
from ._layouts import FIELD_DTYPES, FIELDS

SUFFIX = ".vidx"
FORMAT_VERSION = "1"
FINGERPRINT_BYTES = 64 << 10
# Loaded sidecars kept in the process, by the bytes of their arrays; the oldest go first.
CACHE_BYTES = 256 << 20
_KEY = "vorn."

# What `index=` takes: "auto" (a sidecar beside the file, if one matches), None (no index), a
# sidecar's path or URL, or an Index.
IndexArg = Union[Index, str, "os.PathLike[str]", None]


def default_path(source: Any) -> Optional[str]:
    """Where the sidecar of `source` is looked for: its name with ".vidx" appended; None for a
    file object."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        return None
    name = os.fsdecode(_remote.local_path(source))
    return None if name == "-" else name + SUFFIX


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


class _Cache:
    """Loaded sidecars by their path and version, most recent last, CACHE_BYTES in all."""

    def __init__(self) -> None:
        self._held: "collections.OrderedDict[Tuple[Any, ...], Tuple[Index, int]]" = \
            collections.OrderedDict()
        self._lock = threading.Lock()
        self.loads = 0  # sidecars read from storage, for tests and benchmarks

    def get(self, key: Tuple[Any, ...]) -> Optional[Index]:
        with self._lock:
            found = self._held.get(key)
            if found is None:
                return None
            self._held.move_to_end(key)
            return found[0]

    def put(self, key: Tuple[Any, ...], index: Index) -> None:
        size = index.positions.nbytes + sum(c.nbytes for c in index.columns.values())
        with self._lock:
            self._held[key] = (index, size)
            while sum(s for _, s in self._held.values()) > CACHE_BYTES and len(self._held) > 1:
                self._held.popitem(last=False)

    def clear(self) -> None:
        with self._lock:
            self._held.clear()
            self.loads = 0


cache = _Cache()


def _version(sidecar: str, storage_options: Optional[Mapping[str, Any]]
             ) -> Optional[Tuple[Any, ...]]:
    """The sidecar's version as the cache keys it (a stat, or one request for an object);
    None where there is none."""
    if _remote.is_url(sidecar):
        fs, at = _remote.filesystem(sidecar, storage_options)
        try:
            found = _remote.identity(fs, at, sidecar)
        except FileNotFoundError:
            return None
        return (sidecar, found.size, found.tag)
    try:
        st = os.stat(sidecar)
    except (FileNotFoundError, NotADirectoryError):
        return None
    return (os.path.realpath(sidecar), st.st_size, st.st_mtime_ns, st.st_ino)


def loaded(sidecar: str, storage_options: Optional[Mapping[str, Any]] = None,
           version: Optional[Tuple[Any, ...]] = None) -> Index:
    """load(), through the process's cache."""
    key = version or _version(sidecar, storage_options)
    if key is None:
        raise FileNotFoundError(2, os.strerror(2), sidecar)
    found = cache.get(key)
    if found is None:
        found = load(sidecar, storage_options)
        cache.loads += 1
        cache.put(key, found)
    return found


def mismatch(index: Index, source: Any, storage_options: Optional[Mapping[str, Any]] = None
             ) -> Optional[str]:
    """Why a sidecar's index does not describe `source` now, or None. Locally: size, mtime_ns,
    the fingerprint of the first 64 KiB, and (for plain files) the headers of the first, a
    middle and the last record read again; behind a URL: size and ETag, nothing read of the
    object."""
    name = os.fsdecode(_remote.local_path(source))
    if _remote.is_url(name):
        fs, at = _remote.filesystem(name, storage_options)
        now = _remote.identity(fs, at, name)
        if now.size != index.size:
            return f"its size is {now.size} bytes, the sidecar's {index.size}"
        if not index.tag or now.tag != index.tag:
            return f"it was replaced ({index.tag or 'no tag'} became {now.tag or 'no tag'})"
        return None
    st = os.stat(name)
    if st.st_size != index.size:
        return f"its size is {st.st_size} bytes, the sidecar's {index.size}"
    if st.st_mtime_ns != index.mtime_ns:
        return f"its mtime_ns is {st.st_mtime_ns}, the sidecar's {index.mtime_ns}"
    if fingerprint(name) != index.fingerprint:
        return "its first 64 KiB differ from those the sidecar was written for"
    if index.codec is None:
        return _headers_differ(index, name)
    return None


def _headers_differ(index: Index, name: str) -> Optional[str]:
    n = len(index)
    if not n:
        return None
    opened = _sources.open_input(name, None)
    decoder = _native.Decoder(opened.native, index.layout, opened.filename)
    if decoder.channels != index.channels:
        return f"it has {decoder.channels} channels, the sidecar {index.channels}"
    for event in sorted({0, n // 2, n - 1}):
        decoder.seek(int(index.positions[event]))
        found = decoder.scan(event, 1, True)
        got = tuple(int(c[0]) for c in found.columns.values()) if len(found) else None
        if got != index._header(event):
            return f"event {event}'s header differs from the sidecar's"
    return None


_said_no_pyarrow = False


def _no_pyarrow(sidecar: str) -> None:
    global _said_no_pyarrow
    if not _said_no_pyarrow:
        _said_no_pyarrow = True
        warnings.warn(f"{sidecar} is not used: index sidecars need pyarrow "
                      "(pip install 'vorn[arrow]'); the file is scanned instead", stacklevel=4)


def resolve(source: Any, index: Any, storage_options: Optional[Mapping[str, Any]] = None,
            layout: Optional[str] = None) -> Optional[Index]:
    """The index a reading function uses for `source` given `index=`: None and an Index as
    given (an Index from a sidecar checked first); a sidecar's path loaded and checked
    (StaleIndexError where it does not match); "auto": the sidecar beside the source where it
    exists and matches, else None, with one StaleIndexWarning where it does not match."""
    if index is None:
        return None
    if isinstance(index, Index):
        if index.sidecar is not None:
            _check(index, source, storage_options)
        return index
    if not isinstance(index, (str, os.PathLike)):
        raise TypeError("index must be 'auto', None, a sidecar's path or a vorn_columns.Index, "
                        f"not {type(index).__name__}")
    if index != "auto":
        found = loaded(os.fsdecode(index), storage_options)
        _check(found, source, storage_options)
        return found
    sidecar = default_path(source)
    if sidecar is None:
        return None
    try:
        version = _version(sidecar, storage_options)
    except (OSError, ValueError, ImportError):
        return None  # a source that cannot be read: the read says why, in its own words
    if version is None:
        return None  # no sidecar: nothing to say
    try:
        _pyarrow("")
    except ImportError:
        _no_pyarrow(sidecar)
        return None
    try:
        found = loaded(sidecar, storage_options, version)
        reason = (mismatch(found, source, storage_options) if layout in (None, found.layout)
                  else f"it is of a {found.layout} file, read as {layout}")
    except StaleIndexError as e:
        reason = e.reason
    except FileNotFoundError:
        return None  # removed since it was looked for
    if reason is None:
        return found
    warnings.warn(StaleIndexWarning(f"{os.fsdecode(_remote.local_path(source))}: its index "
                                    f"sidecar {sidecar} is not used: {reason}; the file is "
                                    "scanned instead"), stacklevel=3)
    return None


def _check(index: Index, source: Any, storage_options: Optional[Mapping[str, Any]]) -> None:
    reason = mismatch(index, source, storage_options)
    if reason is not None:
        raise stale(os.fsdecode(_remote.local_path(source)), f"the index sidecar "
                    f"{index.sidecar} describes another version of the file: {reason}")


def checked(index: Index, source: Any, storage_options: Optional[Mapping[str, Any]]) -> Index:
    """`index`, once found to describe `source` still where it came from a sidecar: the check
    a frame's every collect and a Dask worker make."""
    if index.sidecar is not None:
        _check(index, source, storage_options)
    return index


def status(source: Any, layout: Optional[str],
           storage_options: Optional[Mapping[str, Any]] = None) -> Optional[str]:
    """Whether the sidecar of `source` matches it, in words (`vorn info`); None: it has none."""
    sidecar = default_path(source)
    if sidecar is None or _version(sidecar, storage_options) is None:
        return None
    try:
        _pyarrow("")
    except ImportError:
        return f"{sidecar}, not read: sidecars need pyarrow"
    try:
        found = loaded(sidecar, storage_options)
        reason = (mismatch(found, source, storage_options) if layout in (None, found.layout)
                  else f"it is of a {found.layout} file")
    except StaleIndexError as e:
        reason = e.reason
    return f"{sidecar}, valid" if reason is None else f"{sidecar}, stale: {reason}"


def scanned_stat(source: Any) -> Optional[os.stat_result]:
    """The stat of a local file about to be scanned, whose mtime_ns its index keeps."""
    if not isinstance(source, (str, bytes, os.PathLike)) or _remote.is_url(source):
        return None
    try:
        return os.stat(_remote.local_path(source))
    except (OSError, ValueError):
        return None
