"""Index sidecars found and believed: the sidecar beside a file looked for where a reading
function is given index="auto", loaded once and kept in the process, and checked against its
file at every use; never believed for a file it does not describe."""
from __future__ import annotations

import collections
import os
import threading
import warnings
from typing import Any, Mapping, Optional, Tuple, Union

from . import _native, _remote, _sources
from ._errors import StaleIndexError, StaleIndexWarning, stale
from ._index import Index, _pyarrow, default_path, fingerprint, load

# Loaded sidecars kept in the process, by the bytes of their arrays; the oldest go first.
CACHE_BYTES = 256 << 20

# What `index=` takes: "auto" (a sidecar beside the file, if one matches), None (no index), a
# sidecar's path or URL, or an Index.
IndexArg = Union[Index, str, "os.PathLike[str]", None]



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
