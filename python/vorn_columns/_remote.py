"""Sources behind a URL (s3://, https://, any fsspec filesystem): read forward in large blocks,
or as one byte range fetched with one request, and the object's identity for stale indexes."""
from __future__ import annotations

import errno
import glob
import io
import os
import re
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Tuple
from urllib.parse import unquote, urlsplit

from ._errors import stale

# Bytes a sequential read asks for at a time: one request per block, never one per record.
BLOCK_SIZE = 4 << 20
_URL = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*::)*([A-Za-z][A-Za-z0-9+.-]*)://")
_GLOB = re.compile(r"[*?[]")
# The package to install where fsspec's own error names none.
_PACKAGES = {"http": "aiohttp", "https": "aiohttp"}


def is_url(source: Any) -> bool:
    """A str naming a URL of a scheme other than file:// (fsspec's chained URLs included)."""
    if not isinstance(source, str):
        return False
    m = _URL.match(source)
    return m is not None and (m.group(1) is not None or m.group(2).lower() != "file")


def local_path(source: Any) -> Any:
    """The path a file:// URL names; any other source unchanged."""
    if isinstance(source, str) and source[:7].lower() == "file://":
        return unquote(urlsplit(source).path)
    return source


def filesystem(url: str, storage_options: Optional[Mapping[str, Any]]) -> Tuple[Any, str]:
    """The fsspec filesystem of `url` and the object's path in it."""
    try:
        from fsspec.core import url_to_fs
    except ImportError:
        raise ImportError(f"reading {url} needs fsspec: pip install 'vorn[remote]'") from None
    try:
        fs, path = url_to_fs(url, **dict(storage_options or {}))
    except ImportError as e:
        package = _package(url)
        raise ImportError(f"reading {url} needs the package of its filesystem ({e}): "
                          f"pip install 'vorn[remote]' {package}".rstrip()) from None
    return fs, str(path)


def _package(url: str) -> str:
    from fsspec.registry import known_implementations

    protocol = url.split("::")[-1].split("://")[0].lower()
    root = known_implementations.get(protocol, {}).get("class", "").split(".")[0]
    return _PACKAGES.get(protocol, "") if root in ("", "fsspec") else root


class Identity(NamedTuple):
    """What tells one version of an object from another: its size and, where the filesystem
    reports one, its ETag or else its modification time ("" where it reports neither)."""

    size: int
    tag: str


_CODES = ((FileNotFoundError, errno.ENOENT), (PermissionError, errno.EACCES))
_TAGS = ("etag", "md5hash")
_TIMES = ("lastmodified", "last-modified", "last_modified", "mtime", "updated", "modified")


def identity(fs: Any, path: str, url: str) -> Identity:
    """The object's identity now, asked of the filesystem afresh (a HEAD or metadata request)."""
    fs.invalidate_cache(path)
    try:
        info = fs.info(path)
    except OSError as e:
        if e.filename is not None and not isinstance(e, FileNotFoundError):
            raise
        raise _named(e, url) from e
    if info.get("type", "file") != "file":
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), url)
    keys = {k.lower(): v for k, v in info.items() if v is not None}
    tag = next((f"etag {keys[k]}" for k in _TAGS if k in keys), None)
    if tag is None:
        tag = next((f"modified {keys[k]}" for k in _TIMES if k in keys), "")
    size = info.get("size")
    if size is None:
        raise OSError(errno.EINVAL, "the server does not tell the object's size", url)
    return Identity(int(size), tag)


def changed(then: Identity, now: Identity) -> Optional[str]:
    """What makes an index of the object as it was `then` unfit for it `now`, or None. An
    object that grew keeps the index of its first bytes where nothing tells it was replaced."""
    if now.size < then.size:
        return f"the object shrank from {then.size} to {now.size} bytes"
    if then.tag and now.tag and then.tag != now.tag:
        return f"the object was replaced ({then.tag} became {now.tag})"
    return None


class RemoteFile(io.RawIOBase):
    """The object as a seekable file that holds one run of its bytes, [start, start + len(held)):
    reads inside it make no request, a read outside it fetches the next run with one ranged
    request of `block_size` bytes or the size of the read, whichever is larger. A seek makes
    none. The run fetched replaces the one held, so that one block at a time is in memory."""

    def __init__(self, fs: Any, path: str, url: str, size: int, block_size: int,
                 held: bytes = b"", start: int = 0) -> None:
        super().__init__()
        self.name = url
        self._fs, self._path, self._size, self._block = fs, path, size, block_size
        self._held, self._held_start = memoryview(held), start
        self._pos = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._pos, io.SEEK_END: self._size}[whence]
        if base + offset < 0:
            raise OSError(errno.EINVAL, os.strerror(errno.EINVAL), self.name)
        self._pos = base + offset
        return self._pos

    def readinto(self, buffer: Any) -> int:
        out = memoryview(buffer).cast("B")
        at = self._pos - self._held_start
        if not 0 <= at < len(self._held):
            if self._pos >= self._size or not len(out):
                return 0
            self._held = memoryview(b"")  # let go of the last run before the next arrives
            end = min(self._pos + max(len(out), self._block), self._size)
            self._held = memoryview(fetch(self._fs, self._path, self.name, self._pos, end,
                                          self._size))
            self._held_start, at = self._pos, 0
        n = min(len(out), len(self._held) - at)
        out[:n] = self._held[at:at + n]
        self._pos += n
        return n

    readinto1 = readinto


def fetch(fs: Any, path: str, url: str, start: int, end: int, size: int) -> bytes:
    """Bytes [start, end) of the object, with one ranged request; `end` within `size`, the size
    the filesystem reported. A fetch that ends at that size asks for one byte more: a byte there
    means the object is larger than reported (a server whose HEAD under-reports it), which
    reads that stop at the reported size would never notice."""
    past = int(end == size)
    try:
        data: bytes = fs.cat_file(path, start=start, end=end + past)
    except OSError as e:
        if e.filename is not None:
            raise
        raise _named(e, url) from e
    if past and len(data) == end + 1 - start:
        raise OSError(errno.ESTALE, f"the object is larger than the {size} bytes its filesystem "
                      "reported", url)
    if len(data) != end - start:
        # Fewer: the object shrank since its size was asked. More: a server that ignored the
        # range and sent the whole object.
        raise OSError(errno.ESTALE if len(data) < end - start else errno.EIO,
                      f"asked for bytes {start}..{end} of the object, the server sent "
                      f"{len(data)} bytes", url)
    return data


def _named(e: OSError, url: str) -> OSError:
    """The filesystem's error naming the URL, as errors of local files name theirs. A missing
    object caused by a failure of the system (fsspec's HTTP filesystem reports a refused
    connection so) is that failure."""
    cause = e.__cause__
    if isinstance(e, FileNotFoundError) and isinstance(cause, OSError) \
            and cause.errno not in (None, errno.ENOENT):
        code = cause.errno  # aiohttp's errors keep it, with a text of their own
        return OSError(code, os.strerror(code) if code > 0 else cause.strerror or str(cause), url)
    code = e.errno
    if code is None:
        code = next((c for t, c in _CODES if isinstance(e, t)), None)
    text = e.strerror or (os.strerror(code) if code is not None else str(e) or type(e).__name__)
    if code is not None:
        return OSError(code, text, url)
    named = OSError(f"{url}: {text}")
    named.filename = url
    return named


class Opened(NamedTuple):
    """An object opened for reading: the file object, its identity when opened. resolve()
    gives any other source as `file`, with no identity."""

    file: Any
    identity: Optional[Identity]


def open_sequential(url: str, storage_options: Optional[Mapping[str, Any]],
                    block_size: int = BLOCK_SIZE) -> Opened:
    """The object read forward, a block per request; a seek inside the block makes none."""
    fs, path = filesystem(url, storage_options)
    ident = identity(fs, path, url)
    return Opened(RemoteFile(fs, path, url, ident.size, block_size), ident)


def open_range(url: str, start: int, end: Optional[int],
               storage_options: Optional[Mapping[str, Any]],
               known: Optional[Identity] = None) -> Opened:
    """The object, of which bytes [start, end) (`end` None: to its end) are fetched now with
    one request and read without another; it stands at offset 0, in the object's own
    positions. A read elsewhere (none for a read that keeps to the range) makes a request of
    its own size. With `known`, the identity an index holds, nothing is fetched from an object
    that changed since (StaleIndexError)."""
    fs, path = filesystem(url, storage_options)
    ident = identity(fs, path, url)
    reason = None if known is None else changed(known, ident)
    if reason is not None:
        raise stale(url, reason)
    return Opened(range_file(fs, path, url, ident, start, end), ident)


def resolve(source: Any, storage_options: Optional[Mapping[str, Any]],
            span: Optional[Tuple[int, Optional[int]]] = None,
            known: Optional[Tuple[int, str]] = None) -> Opened:
    """What a reader opens for `source`, with the identity of an object behind a URL: such an
    object read forward (open_sequential) or, with `span`, as open_range, checked against the
    size and tag `known`; the path a file:// URL names; any other source as given (identity
    None)."""
    if not is_url(source):
        return Opened(local_path(source), None)
    if span is None:
        return open_sequential(source, storage_options)
    return open_range(source, *span, storage_options,
                      known=None if known is None else Identity(*known))


def range_file(fs: Any, path: str, url: str, ident: Identity, start: int,
               end: Optional[int]) -> RemoteFile:
    """open_range's file, for an object whose filesystem and identity are known already."""
    end = ident.size if end is None else min(end, ident.size)
    held = fetch(fs, path, url, start, end, ident.size) if start < end else b""
    return RemoteFile(fs, path, url, ident.size, 0, held, start)


def expand(name: str, storage_options: Optional[Mapping[str, Any]]) -> List[str]:
    """The names that `name` stands for, the one rule of every function that takes patterns:
    a name that exists, asked of the filesystem its URL names or of the local disk, is itself;
    only one that does not is a glob pattern (*, ? and [...]), matched on its own filesystem
    and replaced by its matches, sorted, as URLs of its own scheme (as paths for a local one).
    In a URL, ? begins the query string, so a URL with one is always itself."""
    if not is_url(name):
        path = local_path(name)
        if not _GLOB.search(path) or os.path.lexists(path):
            return [name]
        names = sorted(glob.glob(path))
    else:
        if "?" in name or not _GLOB.search(name):
            return [name]
        fs, path = filesystem(name, storage_options)
        if fs.exists(path):
            return [name]
        names = sorted(fs.unstrip_protocol(p) for p in fs.glob(path))
    if not names:
        raise FileNotFoundError(errno.ENOENT, "no file matches the pattern", name)
    return names


# What the command asks of botocore where neither the storage options nor the AWS configuration
# say otherwise: its "legacy" retries make 5 attempts where nothing answers, with pauses that
# add up to some 15 s, and it waits 60 s for a connection. The "standard" mode makes 3.
_S3_WAITS = {"connect_timeout": 10, "retries": {"mode": "standard", "total_max_attempts": 3}}


def bounded_waits(url: str, options: Optional[Mapping[str, Any]]) -> Optional[Dict[str, Any]]:
    """`options` for a read of `url` by the command, which a user waits for: for S3, with
    botocore's retries and connection timeout bounded where nothing sets them."""
    given = dict(options or {})
    if url.split("://")[0].lower() not in ("s3", "s3a"):
        return given or None
    config = dict(given.get("config_kwargs") or {})
    waits = {k: v for k, v in _S3_WAITS.items() if k not in config}
    if "retries" in waits and _aws_retries_configured(given.get("profile")):
        del waits["retries"]
    return {**given, "config_kwargs": {**waits, **config}}


def _aws_retries_configured(profile: Optional[str]) -> bool:
    if os.environ.get("AWS_MAX_ATTEMPTS") or os.environ.get("AWS_RETRY_MODE"):
        return True
    try:
        from botocore.exceptions import BotoCoreError
        from botocore.session import Session
    except ImportError:
        return False  # reading the URL says what to install
    try:
        scoped = Session(profile=profile).get_scoped_config()
    except BotoCoreError:
        return False  # a profile that does not exist: botocore says so when it reads
    return "max_attempts" in scoped or "retry_mode" in scoped


def refuse_url(source: Any, what: str) -> None:
    """Raises ValueError for a URL given to a function that cannot read one."""
    if is_url(source):
        raise ValueError(f"{what} cannot read a URL ({source}): an object behind a URL is "
                         "read as it was when opened; follow a local file instead")


def options_from_pairs(pairs: List[str]) -> Dict[str, Any]:
    """Storage options from KEY=VALUE strings; values that read as JSON (true, 3, null, ...)
    are taken as such, others as text."""
    import json

    options: Dict[str, Any] = {}
    for pair in pairs:
        key, sep, value = pair.partition("=")
        if not sep or not key:
            raise ValueError(f"a storage option is KEY=VALUE, not {pair!r}")
        try:
            options[key] = json.loads(value)
        except ValueError:
            options[key] = value
    return options
