"""Where the bytes come from: a local path, a binary file object or a compressed stream of
either, turned into what the native decoder reads (a path as bytes, or a file object)."""
from __future__ import annotations

import bz2
import errno
import gzip
import io
import lzma
import os
import stat
import weakref
import zlib
from typing import Any, Callable, Dict, Optional, Tuple

CODECS = ("gzip", "bz2", "xz", "zstd")
MAGIC = {"gzip": b"\x1f\x8b\x08", "bz2": b"BZh", "xz": b"\xfd7zXZ\x00", "zstd": b"\x28\xb5\x2f\xfd"}
# A zstd skippable frame: a little-endian magic number in this range, its length, then that many
# bytes of metadata. A zstd stream may begin with some.
SKIPPABLE = range(0x184D2A50, 0x184D2A60)
# Bytes of a stream's start that must decode for "auto" to take it as compressed.
HEAD = 32
# How far into input that cannot seek "auto" looks past skippable frames for a zstd frame.
REACH = 1 << 20
READ_METHODS = ("readinto1", "read1", "readinto", "read")


class CorruptStreamError(ValueError):
    """Compressed input that cannot be decompressed. ``offset`` is the byte offset in the
    decompressed stream where decoding failed; the events before it were delivered."""

    def __init__(self, message: str, filename: Any, codec: str, offset: int) -> None:
        super().__init__(message, filename, codec, offset)
        self.filename = filename
        self.codec = codec
        self.offset = offset

    def __str__(self) -> str:
        return str(self.args[0])


def _non_blocking(method: str) -> ValueError:
    return ValueError(f"non-blocking file objects are not supported: {method}() returned None, "
                      "having no bytes ready")


def _text_mode(method: str) -> TypeError:
    return TypeError(f"{method}() returned str: the file object was opened in text mode; "
                     "open it in binary mode ('rb')")


def _reader(f: Any) -> Callable[[int], bytes]:
    """A read of at most n bytes that returns what one call gives, through the first of read1,
    readinto1, read and readinto that `f` has."""
    method = next(m for m in ("read1", "readinto1", "read", "readinto") if hasattr(f, m))
    if method.startswith("readinto"):
        into = Replayed(f, b"")  # checks the counts

        def read_into(n: int) -> bytes:
            buffer = bytearray(n)
            got = into.readinto(buffer)
            if got is None:
                raise _non_blocking(method)
            del buffer[got:]
            return bytes(buffer)

        return read_into
    read = getattr(f, method)

    def call(n: int) -> bytes:
        data = read(n)
        if data is None:
            raise _non_blocking(method)
        if isinstance(data, str):
            raise _text_mode(method)
        return bytes(data)

    return call


def _may_start_a_codec(head: bytes) -> bool:
    """Whether `head` (perhaps short) may be the start of a codec's magic bytes or of a zstd
    skippable frame's."""
    if any(m[:len(head)] == head[:len(m)] for m in MAGIC.values()):
        return True
    return (head[0] & 0xF0) == 0x50 and head[1:4] == b"\x2a\x4d\x18"[:len(head) - 1]


def _read_head(read: Callable[[int], bytes], seekable: bool, head: bytes = b"") -> bytes:
    """`head` and what follows it, HEAD bytes in all (fewer where the input ends first); from
    input that cannot seek only as many as it takes to rule out every codec's magic bytes."""
    while len(head) < HEAD and (seekable or _may_start_a_codec(head)):
        chunk = read(HEAD - len(head))
        if not chunk:
            break
        head += chunk
    return head


def _skippable(head: bytes) -> Optional[int]:
    """The length of the zstd skippable frame that `head` starts with, else None."""
    if len(head) < 8 or int.from_bytes(head[:4], "little") not in SKIPPABLE:
        return None
    return 8 + int.from_bytes(head[4:8], "little")


def look(f: Any, seekable: bool) -> Tuple[Optional[str], bytes]:
    """(the codec of the stream that starts where `f` stands (None: plain), the bytes read from
    `f` to tell). Skippable frames at the start are stepped over to what follows them, which
    must be a zstd frame or the end of the input: by seeking where `f` can (it is left
    anywhere), else by reading them, within its first REACH bytes."""
    read = _reader(f)
    origin = int(f.tell()) if seekable else 0
    seen, at = bytearray(), 0  # what was read of input that cannot seek; where the frame starts
    while True:
        if seekable:
            if at:
                f.seek(origin + at)
            head = _read_head(read, True)
        else:
            while len(seen) < at:
                chunk = read(min(at - len(seen), 1 << 20))
                if not chunk:
                    break
                seen += chunk
            head = _read_head(read, False, bytes(seen[at:]))
            del seen[at:]
            seen += head
        size = _skippable(head)
        if size is None:
            break
        at += size
        if not seekable and at > REACH:
            return None, bytes(seen)
    if not at:
        codec = sniff(head)
    elif head:
        codec = "zstd" if sniff(head) == "zstd" else None
    else:  # nothing after them: a stream of metadata alone, where they are whole
        end = int(f.seek(0, io.SEEK_END)) - origin if seekable else len(seen)
        codec = "zstd" if end == at else None
    return codec, bytes(seen)


def _decodes(codec: str, head: bytes) -> bool:
    """Whether the start of a stream decodes as `codec` (with at most a little output)."""
    try:
        if codec == "gzip":
            zlib.decompressobj(31).decompress(head, 4096)
        elif codec == "bz2":
            bz2.BZ2Decompressor().decompress(head, 4096)
        elif codec == "xz":
            lzma.LZMADecompressor(lzma.FORMAT_XZ).decompress(head, 4096)
        else:
            _zstd_frame_check(head)
    except (zlib.error, OSError, ValueError, EOFError, lzma.LZMAError):
        return False
    except Exception as e:  # the zstd library's own error
        if type(e).__name__ != "ZstdError":
            raise
        return False
    return True


def sniff(head: bytes) -> Optional[str]:
    """The codec whose magic bytes start `head` and whose stream header decodes, else None."""
    for codec, magic in MAGIC.items():
        if head.startswith(magic) and _decodes(codec, head):
            return codec
    return None


def _zstd_frame_check(head: bytes) -> None:
    """Raises the zstd library's error where `head` starts no zstd frame; without a zstd
    library the magic bytes alone decide (opening the stream then says what to install)."""
    try:
        from compression import zstd  # type: ignore[import-not-found]
        zstd.get_frame_info(head)
        return
    except ImportError:
        pass
    try:
        import zstandard
    except ImportError:
        return
    zstandard.get_frame_parameters(head)


def _zstd_reader(raw: Any) -> Any:
    try:
        from compression import zstd  # CPython 3.14 on
        return zstd.ZstdFile(raw)
    except ImportError:
        pass
    try:
        import zstandard
    except ImportError:
        raise ImportError("reading zstd-compressed input needs the zstandard package: "
                          "pip install 'vorn[zstd]'") from None
    return zstandard.ZstdDecompressor().stream_reader(raw, read_across_frames=True, closefd=False)


OPENERS: Dict[str, Callable[[Any], Any]] = {
    "gzip": lambda raw: gzip.GzipFile(fileobj=raw, mode="rb"),
    "bz2": lambda raw: bz2.BZ2File(raw, "rb"),
    "xz": lambda raw: lzma.LZMAFile(raw, "rb"),
    "zstd": _zstd_reader,
}


class _Raw:
    """The compressed bytes for a codec's file object: `head` (bytes already read) first,
    then `f`. Remembers whether `f` itself failed, so that its own errors are told apart from
    the codec's."""

    def __init__(self, f: Any, head: bytes = b"") -> None:
        self._f = f
        self._head = head
        self._read = _reader(f)
        self.failed = False

    def readable(self) -> bool:
        return True

    def read(self, n: int = -1) -> bytes:
        """What one read of `f` gives, but a read of a few bytes (gzip reads its magic bytes
        so, in one call) is filled."""
        out = self._next(n)
        while 0 < len(out) < n <= HEAD:
            more = self._next(n - len(out))
            if not more:
                break
            out += more
        return out

    def _next(self, n: int) -> bytes:
        if self._head:
            out, self._head = (self._head, b"") if n < 0 else (self._head[:n], self._head[n:])
            return out
        try:
            return self._read(n if n >= 0 else 1 << 20)
        except BaseException:
            self.failed = True
            raise

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        return int(self._f.seek(offset, whence))

    def tell(self) -> int:
        return int(self._f.tell())


class Decompressed(io.RawIOBase):
    """The decompressed bytes of `raw` from its position at open, as a file object: each
    readinto gives what one call of the codec's file object gives. It is read forward only;
    seek() goes back to the start where `raw` can seek, and nowhere else. A stream cut short
    ends there, quietly; a corrupt one raises CorruptStreamError. tell() counts the bytes
    delivered."""

    def __init__(self, codec: str, raw: Any, filename: Any, *, owns: bool,
                 head: bytes = b"") -> None:
        super().__init__()
        self.codec = codec
        self._file = raw
        self._owns = owns
        self._filename = filename
        self._origin = raw.tell() if not head and can_seek(raw) else None
        self._raw = _Raw(raw, head)
        self._stream = OPENERS[codec](self._raw)
        self._pos = 0
        self._ended = False

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return self._origin is not None

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_SET and offset == self._pos:
            return offset
        if whence == io.SEEK_SET and offset == 0 and self._origin is not None:
            self._file.seek(self._origin)
            self._raw = _Raw(self._file)
            self._stream = OPENERS[self.codec](self._raw)
            self._pos, self._ended = 0, False
            return 0
        raise io.UnsupportedOperation("compressed input is read forward only")

    def readinto(self, b: Any) -> int:
        if self._ended:
            return 0
        self._raw.failed = False  # a failure of the object in an earlier call is not this one's
        try:
            n: int = self._stream.readinto1(b)
        except EOFError:  # cut short: what came before it stands
            self._ended = True
            return 0
        except Exception as e:
            if self._raw.failed or isinstance(e, (MemoryError, ImportError)):
                raise
            raise CorruptStreamError(
                f"{os.fsdecode(self._filename)}: corrupt {self.codec} data at byte offset "
                f"{self._pos} of the decompressed stream ({e})",
                self._filename, self.codec, self._pos) from e
        self._pos += n
        return n

    def close(self) -> None:
        if not self.closed and self._owns:
            self._file.close()
        super().close()


class Replayed(io.RawIOBase):
    """A file object that cannot seek, with the bytes already read from it (`head`) put
    back in front; tell() counts the bytes delivered."""

    def __init__(self, f: Any, head: bytes) -> None:
        super().__init__()
        self._f = f
        self._head = head
        self._pos = 0
        self._method = next(m for m in READ_METHODS if hasattr(f, m))

    def readable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def readinto(self, b: Any) -> Any:
        with memoryview(b) as view:
            if self._head:
                n = min(len(self._head), len(view))
                view[:n] = self._head[:n]
                self._head = self._head[n:]
            elif self._method.startswith("readinto"):
                n = getattr(self._f, self._method)(view)
                if n is None:
                    return None
                if not isinstance(n, int) or not 0 <= n <= len(view):
                    raise ValueError(f"{self._method}() returned {n!r}, not a count of bytes "
                                     f"from 0 to the {len(view)} asked for")
            else:
                data = getattr(self._f, self._method)(len(view))
                if data is None:
                    return None
                if isinstance(data, str):
                    raise _text_mode(self._method)
                n = len(data)
                if n > len(view):
                    raise ValueError(f"{self._method}() returned {n} bytes, more than the "
                                     f"{len(view)} asked for")
                view[:n] = data
        self._pos += n
        return n


# Bytes that a look at a file object that cannot seek read from it (detect_layout), given back
# to whatever reads the object next.
_given_back: "weakref.WeakKeyDictionary[Any, bytes]" = weakref.WeakKeyDictionary()


def give_back(f: Any, data: bytes) -> None:
    """Puts `data`, read from `f`, back in front of what `f` gives next to vorn_columns."""
    if data:
        _given_back[f] = data


def can_give_back(f: Any) -> bool:
    """Whether bytes read from `f` can be put back (it can be referred to weakly and hashed)."""
    try:
        _given_back.get(f)
    except TypeError:
        return False
    return True


def take_given_back(f: Any) -> bytes:
    try:
        return _given_back.pop(f, b"")
    except TypeError:  # an object that cannot be referred to weakly was never given any
        return b""


class Recording(io.RawIOBase):
    """Reads through to `f` (a file object that cannot seek) and keeps every byte read."""

    def __init__(self, f: Any) -> None:
        super().__init__()
        self._f = f
        self.recorded = bytearray()

    def readable(self) -> bool:
        return True

    def readinto(self, b: Any) -> Any:
        n = self._f.readinto(b)
        if n:
            with memoryview(b) as view:
                self.recorded += view[:n]
        return n


def can_seek(f: Any) -> bool:
    seekable = getattr(f, "seekable", None)
    return bool(seekable()) if seekable is not None else False


class Input:
    """An input opened for the decoder. `native` is what the decoder reads, `filename` names
    the input in messages and errors, `codec` is the compression in use (None: plain), and
    `seekable` says whether it can be read again from any position."""

    def __init__(self, native: Any, filename: Any, codec: Optional[str], seekable: bool,
                 origin: Optional[int] = None, remote: Any = None,
                 channels: Optional[int] = None) -> None:
        self.native = native
        self.filename = filename
        self.codec = codec
        self.seekable = seekable
        self.origin = origin  # a file object's position at open
        self.remote = remote  # an object behind a URL: its _remote.Identity when opened
        self.channels = channels  # the channel count known without the WD2 probe, or None

    def rewound(self) -> Any:
        """What a second decoder reads the input through from its start, with no second open:
        the descriptor of a file vorn opened (a decoder reads a duplicate), or the file object
        sought back; None where the input cannot be read again (a pipe, a compressed stream
        of one, a path that names no regular file)."""
        if isinstance(self.native, Descriptor):
            return None if self.native.closed else self.native
        if isinstance(self.native, bytes) or not can_seek(self.native):
            return None
        self.native.seek(self.origin or 0)
        return self.native

    def length(self) -> Optional[int]:
        """The bytes of a plain input after its start; None for a compressed one or where the
        length is not known. A file object is left at its end."""
        if isinstance(self.native, Descriptor):
            return None if self.native.closed else os.fstat(self.native).st_size
        if self.codec is not None or isinstance(self.native, bytes) or not self.seekable:
            return None
        return int(self.native.seek(0, io.SEEK_END)) - (self.origin or 0)

    def read_so_far(self) -> Optional[int]:
        """The bytes of the (decompressed) input after its start, once it has been read to
        its end: the length of the input; None where that cannot be told."""
        if isinstance(self.native, bytes):
            return os.stat(self.native).st_size
        if isinstance(self.native, Descriptor):
            return None if self.native.closed else os.fstat(self.native).st_size
        if isinstance(self.native, (Decompressed, Replayed)):
            return self.native.tell()
        try:
            return int(self.native.seek(0, io.SEEK_END)) - (self.origin or 0)
        except (OSError, ValueError):
            return None


def _check_compression(compression: Any) -> None:
    if compression is not None and compression != "auto" and compression not in CODECS:
        raise ValueError("compression must be 'auto', None, 'gzip', 'bz2', 'xz' or 'zstd', "
                         f"not {compression!r}")


def is_file_object(source: Any) -> bool:
    return not isinstance(source, (str, bytes, os.PathLike)) and any(
        hasattr(source, m) for m in READ_METHODS)


def open_input(source: Any, compression: Any = "auto", remote: Any = None,
               channels: Optional[int] = None) -> Input:
    """`source` (a path or a binary file object) as an Input. A path to plain data is read by
    the decoder itself; anything compressed through the codec's file object. Under "auto",
    input whose first bytes are a codec's magic bytes and whose stream header decodes is
    decompressed; a regular file is looked at here, a pipe or device given by path is read
    as plain. `remote` is the identity of the object behind a URL that `source` reads,
    `channels` a channel count known without the probe."""
    if isinstance(source, Input):
        return source
    _check_compression(compression)
    if isinstance(source, bytes):
        _check_bytes_path(source)
    if isinstance(source, (str, bytes, os.PathLike)):
        return _open_path(os.fspath(source), compression)
    if not is_file_object(source):
        raise TypeError("expected a path (str, bytes or os.PathLike) or a binary file object, "
                        f"not {type(source).__name__}")
    if isinstance(source, io.TextIOBase):
        raise TypeError("expected a binary file object, not a text one: open the file with "
                        "'rb', or use sys.stdin.buffer for standard input")
    name = getattr(source, "name", None)
    filename = name if isinstance(name, (str, bytes)) else f"<{type(source).__name__}>"
    back = take_given_back(source)
    if back:
        source = Replayed(source, back)
    seekable = can_seek(source)
    origin = int(source.tell()) if seekable else None
    codec, head = compression, b""
    if compression == "auto":
        codec, head = look(source, seekable)
        if seekable:
            source.seek(origin)
            head = b""
    if codec is not None:
        native: Any = Decompressed(codec, source, filename, owns=False, head=head)
        return Input(native, filename, codec, False, remote=remote)
    if head:
        return Input(Replayed(source, head), filename, None, False, remote=remote)
    if not seekable:
        return Input(Replayed(source, b""), filename, None, False, remote=remote)
    return Input(source, filename, None, True, origin, remote, channels)


def _check_bytes_path(path: bytes) -> None:
    """Bytes are a path; bytes that cannot name a file were more likely meant as the data."""
    hint = "; to read bytes in memory, pass io.BytesIO(data)"
    if b"\0" in path:
        raise ValueError("embedded null byte in a path" + hint)
    try:
        os.stat(path)
    except OSError as e:
        if e.errno == errno.ENAMETOOLONG:
            raise OSError(e.errno, e.strerror + hint, path) from None


class Descriptor(int):
    """The descriptor of a regular file that vorn opened and looked at, closed by close() or
    with the last reference to it. A decoder reads a duplicate: the file looked at, even where
    its name has been given to another file since."""

    closed = False

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            os.close(self)

    def __del__(self) -> None:
        self.close()


def _open_regular(path: bytes) -> Optional[io.FileIO]:
    """`path` opened where it names a regular file, else None. A FIFO put in its place since
    the stat is not waited on."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        raw = io.FileIO(os.open(path, os.O_RDONLY | os.O_NONBLOCK), "rb")
    except (OSError, ValueError):
        return None  # the decoder's open says what is wrong
    if not stat.S_ISREG(os.fstat(raw.fileno()).st_mode):
        raw.close()
        return None
    os.set_blocking(raw.fileno(), True)
    return raw


def _open_path(filename: Any, compression: Any) -> Input:
    """A path is opened once: the file whose first bytes decided the codec is the file read,
    through a duplicate of the descriptor that looked."""
    path = os.fsencode(filename)
    raw = open(path, "rb", buffering=0) if compression not in ("auto", None) else \
        _open_regular(path)
    if raw is None:  # a pipe or a device is read as plain
        return Input(path, filename, None, True)
    try:
        if compression == "auto":
            try:
                compression = look(raw, True)[0]
            except OSError:
                compression = None  # the decoder's read says what is wrong
        if compression is None:
            with raw:
                return Input(Descriptor(os.dup(raw.fileno())), filename, None, True)
        raw.seek(0)
        return Input(Decompressed(compression, raw, filename, owns=True), filename, compression,
                     False)
    except BaseException:
        raw.close()
        raise
