"""Element-set files as lazy Dask DataFrames: one partition per file, or per block of a large one,
each read by the package's own reader, with the columns of ``Catalogue.to_pandas()``."""

from __future__ import annotations

import glob
import io
import os
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

from astrokite.catalogue import sources
from astrokite.catalogue.catalogue import Catalogue, Rejection, column_names
from astrokite.catalogue.tle_text import Reading, _message, _read_stream

__all__ = ["read_tle", "read_omm", "rejected", "to_catalogue"]

# Bytes looked at, at a time, around a block's nominal start to find where its first set starts.
_LOOK = 1 << 16

_REJECTION_META = pd.DataFrame({
    "source": pd.Series([], dtype="str"), "line": pd.Series([], dtype=np.int64),
    "text": pd.Series([], dtype="str"), "reason": pd.Series([], dtype="str"),
})


@dataclass(frozen=True)
class Part:
    """What one partition reads: a whole file, or the element sets that start in the bytes
    [first, stop) of one (moved forward to the start of a set)."""

    path: str
    first: int = 0
    stop: int | None = None  # None: to the end


def _paths(paths: Any) -> list[str]:
    """The files of a path, a glob pattern or a list of these, in the order given (a pattern's
    matches sorted); fsspec URLs ("s3://...") go through fsspec."""
    items = [paths] if isinstance(paths, str | os.PathLike) else list(paths)
    found: list[str] = []
    for item in items:
        if not isinstance(item, str | os.PathLike):
            raise TypeError(f"paths must be a path, a glob pattern or a list of these, not {type(item).__name__}")
        path = os.fsdecode(item)
        if "://" in path:
            import fsspec

            found.extend(of.full_name for of in fsspec.open_files(path, "rb"))
        elif glob.has_magic(path):
            matches = sorted(glob.glob(path))
            if not matches:
                raise FileNotFoundError(f"no file matches {path!r}")
            found.extend(matches)
        else:
            found.append(path)
    if not found:
        raise ValueError("no files to read")
    return found


def _open(path: str):
    if "://" in path:
        import fsspec

        return fsspec.open(path, "rb").open()
    return open(path, "rb")


def _size_and_head(path: str) -> tuple[int, bytes]:
    with _open(path) as file:
        head = file.read(6)
        file.seek(0, os.SEEK_END)
        return file.tell(), head


def _parts(paths: list[str], blocksize: int | None) -> list[Part]:
    if blocksize is None:
        return [Part(path) for path in paths]
    parts = []
    for path in paths:
        size, head = _size_and_head(path)
        if size <= blocksize or sources.compression(head) is not None:  # a compressed file is one partition
            parts.append(Part(path))
        else:
            # Blocks of one size, none larger than blocksize: no small remnant partition at the end.
            step = -(-size // -(-size // blocksize))
            parts.extend(Part(path, first, min(first + step, size)) for first in range(0, size, step))
    return parts


def _lines_from(file, base: int):
    """(start, line) of each line of `file` from byte `base` on, the line ends dropped; when base
    is not 0 the first is the tail of a line (start None: not a line's start)."""
    file.seek(base)
    start, rest, first = base, b"", base != 0
    while chunk := file.read(_LOOK):
        pieces = (rest + chunk).split(b"\n")
        rest = pieces.pop()
        for line in pieces:
            yield (None if first else start), line
            first = False
            start += len(line) + 1
    if rest:
        yield (None if first else start), rest


def set_start(file, offset: int, size: int) -> int:
    """The byte where the first element set that starts at or after `offset` starts: its name
    line when it has one, else its line 1; `size` (the end) when none does. Neighbouring blocks
    find the same boundary, so that every set is read by exactly one of them."""
    if offset <= 0:
        return 0
    # From a little before the offset, to see the line before the first one that starts there.
    window: list[tuple[int | None, bytes]] = []
    for start, line in _lines_from(file, max(0, offset - 512)):
        window = [*window[-2:], (start, line)]
        if len(window) < 2:
            continue
        (before, previous), (start1, line1), (_, line2) = ([(None, b"")] + window)[-3:]
        if start1 is None or start1 < offset or not (line1.startswith(b"1 ") and line2.startswith(b"2 ")):
            continue
        named = before is not None and previous.strip() and not previous.startswith((b"1 ", b"2 "))
        return before if named else start1
    return size


class _Span(io.RawIOBase):
    """The next `length` bytes of a file, as a stream of their own."""

    def __init__(self, file, length: int):
        self._file, self._left = file, length

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        count = self._file.readinto(memoryview(buffer)[:self._left]) if self._left else 0
        self._left -= count
        return count


def _lines_before(path: str, offset: int) -> int:
    """Lines that end before byte `offset` of a file."""
    count = 0
    with _open(path) as file:
        while offset > 0 and (chunk := file.read(min(offset, 1 << 24))):
            count += chunk.count(b"\n")
            offset -= len(chunk)
    return count


def _only_rejections(catalogue: Catalogue) -> pd.DataFrame:
    rows = catalogue.rejected
    if not rows:
        return _REJECTION_META.copy()
    return pd.DataFrame(rows, columns=list(_REJECTION_META.columns)).astype(_REJECTION_META.dtypes.to_dict())


@dataclass(frozen=True)
class _TLEReader:
    """Reads one partition of TLE text into a frame, or a Catalogue."""

    strict: bool
    errors: str
    satnos: tuple[int, ...] | None
    window: tuple[Any, Any] | None

    def __call__(self, part: Part, columns: list[str] | None = None) -> pd.DataFrame:
        # Dask passes the columns a computation uses: the others are never made. The frame comes
        # straight from the scanner's rows, with no ELSET per satellite.
        reading, _ = self._read(part)
        return pd.DataFrame(reading.columns(column_names(columns)))

    def rejections(self, part: Part) -> pd.DataFrame:
        return _only_rejections(self.catalogue(part))

    def catalogue(self, part: Part) -> Catalogue:
        reading, rejected = self._read(part)
        catalogue = reading.catalogue()
        return catalogue if rejected is None else Catalogue(catalogue.values(), rejected)

    def _read(self, part: Part) -> tuple[Reading, list[Rejection] | None]:
        """The reading of a partition; for a block, with its rejections numbered from the file's
        first line (None for a whole file, whose reading numbers its own). Raises the first
        rejection when errors="raise"."""
        # One thread, the native scanner's and the file's reads alike: the workers are the
        # parallelism, and a second thread in each would only compete with them for the cores.
        if part.stop is None:
            reading = Reading(strict=self.strict, errors=self.errors, satnos=self.satnos, window=self.window,
                              threads=1)
            with _open(part.path) as file:
                for stream in sources.streams(file):
                    _read_stream(reading, stream, None, ahead=False)
            return reading, None
        # Rejections are collected, then numbered from the file's first line.
        reading = Reading(strict=self.strict, errors="skip", satnos=self.satnos, window=self.window, threads=1)
        with _open(part.path) as file:
            size = file.seek(0, os.SEEK_END)
            first = set_start(file, part.first, size)
            stop = set_start(file, part.stop, size) if part.stop < size else size
            file.seek(first)
            # Streamed as a whole file is, each piece read from the file straight into the
            # scanner's buffer.
            span = _Span(file, max(0, stop - first))
            _read_stream(reading, sources.Stream(part.path, span, None), None, ahead=False)
        rejected = reading.rejected()
        if rejected:
            before = _lines_before(part.path, first)
            rejected = [rejection._replace(line=rejection.line + before) for rejection in rejected]
            if self.errors == "raise":
                raise ValueError(_message(rejected[0]))
        return reading, rejected


@dataclass(frozen=True)
class _OMMReader:
    """Reads one OMM file into a Catalogue, keeping the sets the filters ask for."""

    format: str | None
    errors: str
    satnos: tuple[int, ...] | None
    window: tuple[int | None, int | None] | None

    def __call__(self, part: Part, columns: list[str] | None = None) -> pd.DataFrame:
        filtered = [name for name in ("satno", "epoch") if columns is not None and name not in columns]
        frame = self.catalogue(part).to_pandas(None if columns is None else [*columns, *filtered])
        keep = np.ones(len(frame), bool)
        if self.satnos is not None:
            keep &= frame["satno"].isin(self.satnos).to_numpy()
        if self.window is not None:
            epochs = frame["epoch"].to_numpy().view(np.int64)
            start, stop = self.window
            keep &= (epochs >= start if start is not None else True) & (epochs < stop if stop is not None else True)
        frame = frame if keep.all() else frame[keep].reset_index(drop=True)
        return frame.drop(columns=filtered) if filtered else frame

    def rejections(self, part: Part) -> pd.DataFrame:
        return _only_rejections(self.catalogue(part))

    def catalogue(self, part: Part) -> Catalogue:
        from astrokite.catalogue.omm import read_omm as _read_omm

        return _read_omm(part.path, self.format, errors=self.errors)


# The partitions behind each frame these functions made, for `rejected`: frame name -> (reader, parts).
_MADE: dict[str, tuple[Any, list[Part]]] = {}


def _from_map(reader, parts: list[Part], meta: pd.DataFrame, label: str) -> dd.DataFrame:
    # The columns keep the types to_pandas() gives (pandas' own strings, Arrow-backed since pandas
    # 3): Dask's conversion to its string type would change them, in one more task per partition.
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_map(reader, parts, meta=meta, label=label, enforce_metadata=False)


def _frame(reader, parts: list[Part], label: str) -> dd.DataFrame:
    frame = _from_map(reader, parts, Catalogue().to_pandas(), label)
    _MADE[frame._name] = (reader, parts)
    return frame


def _satnos(satnos: Iterable[int] | None) -> tuple[int, ...] | None:
    return None if satnos is None else tuple(int(satno) for satno in satnos)


def read_tle(paths: Any, *, blocksize: int | str | None = None, satnos: Iterable[int] | None = None,
             window: tuple[Any, Any] | None = None, errors: str = "raise", strict: bool = False) -> dd.DataFrame:
    """A lazy DataFrame of the element sets of TLE/3LE files, one row per set.

    The columns are those of ``Catalogue.to_pandas()`` (satno, satname, epoch, the elements in SI
    units, drag terms, designator, ...). Each partition is one file, or one block of a file larger
    than ``blocksize``, read by ``astrokite.read_tle``; a block holds the sets that start in it.

    Args:
        paths: a path, a glob pattern ("history/*.tle") or a list of these; fsspec URLs too.
            Compressed files (gzip, bzip2, xz, zip) are one partition each.
        blocksize: bytes per partition of a large uncompressed file ("256 MiB" or a number); None
            for one partition per file.
        satnos, window, errors, strict: as for ``astrokite.read_tle``, applied inside each
            partition. With errors="skip" what is not read is kept: ``rejected(frame)``.

    Computed and sorted by satno and epoch, the frame equals ``read_tle(paths).to_pandas()``, with
    one difference by design: a row's satname is the last name its satellite is given in that
    partition (``read_tle`` names a satellite by the last name in all the files), so that no
    partition waits for the others. Files that name each satellite alike read the same.

    >>> import astrokite.dask as akd
    >>> frame = akd.read_tle("data/*.tle")
    >>> frame.npartitions, len(frame)
    (15, 3099)
    """
    Reading(strict=strict, errors=errors, satnos=satnos, window=window)  # the arguments checked here, not in a worker
    if blocksize is not None:
        from dask.utils import parse_bytes

        blocksize = parse_bytes(blocksize)
        if blocksize <= 0:
            raise ValueError(f"blocksize must be positive, not {blocksize}")
    reader = _TLEReader(bool(strict), errors, _satnos(satnos), window)
    return _frame(reader, _parts(_paths(paths), blocksize), "read-tle")


def read_omm(paths: Any, format: str | None = None, *, satnos: Iterable[int] | None = None,
             window: tuple[Any, Any] | None = None, errors: str = "raise") -> dd.DataFrame:
    """A lazy DataFrame of the element sets of OMM files (XML, KVN, JSON or CSV), one partition per
    file read by ``astrokite.read_omm``, with the columns of ``Catalogue.to_pandas()``.

    satnos: keep only these catalogue numbers. window: (start, stop) instants (anything ``Time``
    takes, None for an open end); keeps the epochs in [start, stop). format, errors: as for
    ``astrokite.read_omm``; with errors="skip" what is not read is kept: ``rejected(frame)``.
    """
    from astrokite.time.time import Time

    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    bounds = None
    if window is not None:
        first, last = window
        bounds = tuple(None if value is None else int(Time(value).int64) for value in (first, last))
    reader = _OMMReader(format, errors, _satnos(satnos), bounds)
    return _frame(reader, _parts(_paths(paths), None), "read-omm")


def rejected(frame: dd.DataFrame) -> dd.DataFrame:
    """What the partitions of a frame of ``read_tle`` or ``read_omm`` did not read, as a lazy
    DataFrame (source, line, text, reason), in the order of the partitions. Computing it reads the
    files again."""
    made = _MADE.get(getattr(frame, "_name", None))
    if made is None:
        raise ValueError("rejected() takes a frame as astrokite.dask.read_tle or read_omm returned it")
    reader, parts = made
    return _from_map(reader.rejections, parts, _REJECTION_META, "rejected")


def to_catalogue(frame: dd.DataFrame | pd.DataFrame) -> Catalogue:
    """The Catalogue of a frame's element sets, computed (for a selection that fits in memory):
    ``Catalogue.from_pandas`` of its rows."""
    if hasattr(frame, "compute"):
        frame = frame.compute()
    return Catalogue.from_pandas(frame)
