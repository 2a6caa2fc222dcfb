"""Where catalogue text comes from: paths, file objects and lists of them, compressed or not.

Compression is recognised by the first bytes of a stream (gzip, bzip2, xz, zip) and undone
chunk by chunk, so memory stays bounded by the chunk size whatever the size of the input.
"""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import os
import zipfile
import zlib
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from threading import Lock
from typing import IO, Any

CHUNK = 1 << 22  # bytes handed to the scanner at a time
FIRST_CHUNK = 1 << 16  # ... the first time: a small file needs no larger buffer, which costs to make

# The errors of a compressed stream that ends early or holds something else.
STREAM_ERRORS = (EOFError, OSError, lzma.LZMAError, zlib.error, zipfile.BadZipFile)

_MAGIC = (
    (b"\x1f\x8b", "gzip"),
    (b"BZh", "bzip2"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"PK\x03\x04", "zip"),
)


@dataclass
class Stream:
    """One readable source: its name for messages and a binary stream of its (decompressed) bytes."""

    name: str
    stream: IO[bytes]
    raw: IO[Any] | None  # the stream the bytes are read from, for progress; None when unknown


class _Rejoined(io.RawIOBase):
    """A binary stream whose first bytes were read to recognise it, served again before the rest."""

    def __init__(self, head: bytes, rest: IO[Any]):
        self._head, self._rest = head, rest

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if self._head:
            size = min(len(buffer), len(self._head))
            buffer[:size] = self._head[:size]
            self._head = self._head[size:]
            return size
        data = self._rest.read(len(buffer))
        buffer[: len(data)] = data
        return len(data)


def utf8(text: str) -> bytes:
    """The UTF-8 bytes of text. Surrogates that a decoding with "surrogateescape" made become
    the bytes they stood for; any other lone surrogate is written as its three bytes, which
    are not UTF-8, so that the reader rejects its line as it rejects any such bytes."""
    try:
        return text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return text.encode("utf-8", "surrogatepass")


class _Encoded(io.RawIOBase):
    """The UTF-8 bytes of a text file object."""

    def __init__(self, text: IO[str]):
        self._text, self._pending = text, b""

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        while not self._pending:
            text = self._text.read(max(1, len(buffer) // 4))
            if not text:
                return 0
            self._pending = utf8(text)
        size = min(len(buffer), len(self._pending))
        buffer[:size] = self._pending[:size]
        self._pending = self._pending[size:]
        return size


# What zipfile raises for a damaged archive besides STREAM_ERRORS (a negative seek, an unknown
# compression method, an encrypted member).
_ZIP_ERRORS = (*STREAM_ERRORS, ValueError, NotImplementedError, RuntimeError)


class _Unreadable(io.RawIOBase):
    """A stream that cannot be opened: its fault, as a stream error, is raised by the first read,
    where the readers record it as they record a stream that fails midway."""

    def __init__(self, error: Exception):
        self._error = error if isinstance(error, STREAM_ERRORS) else zipfile.BadZipFile(f"{error}")

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        raise self._error


class _SpareBuffers:
    """Full-size chunk buffers kept from streams read to the next ones. A fresh buffer costs a
    page fault and zeroing for each of its pages: where the allocator hands large blocks back to
    the system at once (a Dask worker sets MALLOC_TRIM_THRESHOLD_), that made reading many files in
    turn a third slower."""

    def __init__(self, most: int):
        self._most = most
        self._kept: list[bytearray] = []
        self._lock = Lock()

    def take(self, size: int) -> bytearray:
        with self._lock:
            while self._kept:
                buffer = self._kept.pop()
                if len(buffer) == size:  # others were kept while CHUNK was another size
                    return buffer
        return bytearray(size)

    def give(self, buffer: bytearray) -> None:
        with self._lock:
            if len(self._kept) < self._most:
                self._kept.append(buffer)


# Two buffers a stream; a few streams read at once in threads of their own.
_SPARE = _SpareBuffers(most=8)


class pieces:
    """Chunks of a stream, as views of two reused buffers taken in turn (each chunk stays valid
    while the next is read): of up to FIRST_CHUNK bytes until one is filled, then of up to CHUNK. Gathered from what each read gives at once, so that the bytes before a fault of a
    compressed stream are not lost with the read that meets it: after the error, `received` holds
    them. `full` tells whether the last chunk filled its buffer (more may follow)."""

    def __init__(self, stream: IO[bytes]):
        self._readinto = getattr(stream, "readinto1", None) or getattr(stream, "readinto", None)
        self._read = getattr(stream, "read1", None) or stream.read
        self._buffers: list[memoryview] = []
        self._turn = 0
        self._buffer = memoryview(bytearray(0))
        self._filled = 0
        self.full = False

    @property
    def received(self) -> memoryview:
        return self._buffer[: self._filled]

    def __iter__(self) -> "pieces":
        return self

    def _fill(self) -> int:
        free = self._buffer[self._filled :]
        if self._readinto is not None:
            return self._readinto(free) or 0
        data = self._read(len(free))
        free[: len(data)] = data
        return len(data)

    def __next__(self) -> memoryview:
        # The buffers are made as they are first needed, small until the stream fills one.
        size = CHUNK if self.full else min(FIRST_CHUNK, CHUNK)
        if len(self._buffers) == self._turn:
            self._buffers.append(memoryview(self._new_buffer(size)))
        elif len(self._buffers[self._turn]) < size:  # a small one, outgrown
            self._buffers[self._turn] = memoryview(self._new_buffer(size))
        self._buffer = self._buffers[self._turn]
        self._turn = 1 - self._turn
        self._filled = 0
        size = len(self._buffer)
        while self._filled < size:
            count = self._fill()
            if not count:
                break
            self._filled += count
        self.full = self._filled == size
        if not self._filled:
            raise StopIteration
        return self.received

    @staticmethod
    def _new_buffer(size: int) -> bytearray:
        return _SPARE.take(size) if size == CHUNK else bytearray(size)

    def close(self) -> None:
        """Give the full-size buffers back for other streams: no chunk of this one is used after."""
        buffers, self._buffers = self._buffers, []
        self._buffer = memoryview(bytearray(0))
        for view in buffers:
            if len(view) == CHUNK:
                _SPARE.give(view.obj)


class read_ahead:
    """The chunks of a stream, each read (and decompressed) in a second thread while the caller
    works on the one before it: reading and scanning overlap. A context manager: leaving it waits
    for the read in flight, so that neither the stream nor a buffer is used after. The thread
    starts only once a first chunk has filled its buffer: a small stream is read at once.

    take() gives (chunk, position): the next chunk, None at the end, and what `position()` gave
    right after it was read (None without one); a fault of the stream is raised there, with the
    bytes before it in `pieces.received`. With ahead=False every chunk is read in the caller's
    thread (where every core already has a reader of its own)."""

    def __init__(self, stream: IO[bytes], position: Callable[[], int] | None = None, *, ahead: bool = True):
        self.pieces = pieces(stream)
        self._position = position
        self._ahead = ahead
        self._pool: ThreadPoolExecutor | None = None
        self._pending: Future | None = None

    def __enter__(self) -> "read_ahead":
        return self

    def __exit__(self, *exc: Any) -> None:
        if self._pending is not None:
            self._pending.exception()  # waits; a fault not taken is of no use any more
        if self._pool is not None:
            self._pool.shutdown()
        self.pieces.close()

    def _read(self) -> tuple[memoryview | None, int | None]:
        chunk = next(self.pieces, None)
        return chunk, None if self._position is None else self._position()

    def take(self) -> tuple[memoryview | None, int | None]:
        if self._pending is None:
            chunk, position = self._read()
        else:
            pending, self._pending = self._pending, None
            chunk, position = pending.result()
        if chunk is not None and self.pieces.full and self._ahead:  # more may follow: read it meanwhile
            if self._pool is None:
                self._pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="astrokite-read")
            self._pending = self._pool.submit(self._read)
        return chunk, position


def _name_of(source: Any) -> str:
    name = getattr(source, "name", None)
    return os.fsdecode(name) if isinstance(name, (str, bytes, os.PathLike)) else f"<{type(source).__name__}>"


def compression(head: bytes) -> str | None:
    """The compression a file's first bytes (six suffice) show: "gzip", "bzip2", "xz", "zip" or None."""
    return next((kind for magic, kind in _MAGIC if head.startswith(magic)), None)


def _decompressed(name: str, binary: IO[bytes], raw: IO[Any] | None) -> Iterator[Stream]:
    head = binary.read(6)
    kind = compression(head)
    if _seekable(binary):  # read from the start again, without a copy through _Rejoined
        binary.seek(-len(head), io.SEEK_CUR)
        stream = binary
    else:
        stream = io.BufferedReader(_Rejoined(head, binary), CHUNK)
    if kind == "gzip":
        yield Stream(name, gzip.GzipFile(fileobj=stream, mode="rb"), raw)
    elif kind == "bzip2":
        yield Stream(name, bz2.BZ2File(stream, mode="rb"), raw)
    elif kind == "xz":
        yield Stream(name, lzma.LZMAFile(stream, mode="rb"), raw)
    elif kind == "zip":
        # An archive is read from its central directory, at its end: it needs a
        # seekable file, and a stream that is not one is read into memory first.
        # A truncated or damaged archive fails here (its directory lost, offsets beyond its
        # start), and so do members of an unknown method or with a password: each is read as
        # a stream that fails at once, so that the readers record it.
        try:
            archive = zipfile.ZipFile(stream if stream is binary else io.BytesIO(stream.read()))
            members = [member for member in archive.infolist() if not member.is_dir()]
        except _ZIP_ERRORS as error:
            yield Stream(name, _Unreadable(error), raw)
            return
        for member in members:
            try:
                opened = archive.open(member)
            except _ZIP_ERRORS as error:
                opened = _Unreadable(error)
            yield Stream(f"{name}:{member.filename}", opened, raw)
    else:
        yield Stream(name, stream, raw)


def _seekable(stream: IO[Any]) -> bool:
    try:
        return stream.seekable()
    except (AttributeError, ValueError):
        return False


def streams(source: Any) -> Iterator[Stream]:
    """The streams of a source: a path, a binary or text file object, or a list of these."""
    if isinstance(source, (list, tuple)):
        for item in source:
            yield from streams(item)
        return
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        with open(path, "rb") as file:
            yield from _decompressed(os.fsdecode(path), file, file)
        return
    if isinstance(source, io.TextIOBase) or (hasattr(source, "read") and isinstance(getattr(source, "encoding", None), str)):
        yield Stream(_name_of(source), io.BufferedReader(_Encoded(source), CHUNK), None)
        return
    if hasattr(source, "read"):
        yield from _decompressed(_name_of(source), source, source if _seekable(source) else None)
        return
    raise TypeError(f"expected a path, a file object or a list of them, got {type(source).__name__}")


def total_size(source: Any) -> int | None:
    """Bytes the sources hold on disk, when every one is a path; None otherwise."""
    if isinstance(source, (list, tuple)):
        sizes = [total_size(item) for item in source]
        return None if None in sizes else sum(sizes)
    if isinstance(source, (str, os.PathLike)):
        return os.path.getsize(source)
    return None


def write_text(path_or_file: Any, write: Callable[[IO[str]], Any]) -> None:
    """Call write(out) with a text stream onto a path (UTF-8, "\\n" line ends) or a text or binary file."""
    if isinstance(path_or_file, (str, os.PathLike)):
        with open(path_or_file, "w", encoding="utf-8", newline="\n") as out:
            write(out)
    elif isinstance(path_or_file, io.TextIOBase):
        write(path_or_file)
    else:
        out = io.TextIOWrapper(path_or_file, encoding="utf-8", newline="\n", write_through=True)
        try:
            write(out)
            out.flush()
        finally:
            out.detach()  # the caller's file stays open
