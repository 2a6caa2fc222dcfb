"""Reading and writing catalogues and histories as TLE text: 2-line and 3-line element sets."""

from __future__ import annotations

import gc
import re
import sys
from collections.abc import Iterable
from typing import Any

import numpy as np

from astrokite.catalogue import reader, sources
from astrokite.catalogue.catalogue import Catalogue, Rejection, elset_records, elset_rows, set_columns
from astrokite.catalogue.columns import Faults, rows_from_columns
from astrokite.propagators.analytical.sgp4.tle import ELSET, _records_of_lines
from astrokite.time.time import Time

_ERRORS = ("raise", "skip")
_DUPLICATES = ("keep", "drop")


class Reading:
    """One catalogue read from one or more sources: the scanner, the sources' names and the policy."""

    def __init__(self, *, strict: bool = False, errors: str = "raise", satnos: Iterable[int] | None = None,
                 window: tuple[Any, Any] | None = None, duplicates: str = "keep", threads: int = 0):
        if errors not in _ERRORS:
            raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
        if duplicates not in _DUPLICATES:
            raise ValueError(f"duplicates must be 'keep' or 'drop', not {duplicates!r}")
        start = stop = None
        if window is not None:
            first, last = window
            start = None if first is None else int(Time(first).int64)
            stop = None if last is None else int(Time(last).int64)
        numbers = None if satnos is None else [int(satno) for satno in satnos]
        # threads: native threads of the scanner, 0 for every core.
        self.scanner = reader.Scanner(strict=bool(strict), satnos=numbers, start=start, stop=stop, threads=threads)
        self.raise_errors = errors == "raise"
        self.drop_duplicates = duplicates == "drop"
        self.names: list[str] = []
        self.extra: list[Rejection] = []  # rejections found outside the scanner, in source order

    def begin(self, name: str) -> None:
        self.names.append(name)
        self.scanner.begin(len(self.names) - 1)

    def feed(self, chunk: bytes) -> None:
        self.scanner.feed(chunk)
        self._check()

    def end(self) -> None:
        self.scanner.end()
        self._check()

    def reject(self, line: int, text: str, reason: str) -> None:
        rejection = Rejection(self.names[-1], line, text, reason)
        if self.raise_errors:
            raise ValueError(_message(rejection))
        self.extra.append(rejection)

    def _check(self) -> None:
        if self.raise_errors and self.scanner.rejection_count:
            raise ValueError(_message(self._rejections()[0]))

    def _rejections(self) -> list[Rejection]:
        return [Rejection(self.names[source], line, text, reason)
                for source, line, text, reason in self.scanner.rejections()]

    def catalogue(self) -> Catalogue:
        groups = self.scanner.group(drop_duplicates=self.drop_duplicates)
        # Thousands of new ELSETs make no reference cycles; the cyclic collector
        # would only walk them again and again while they are made.
        collecting = gc.isenabled()
        gc.disable()
        try:
            # Each satellite's rows go straight from the scanner into its ELSET.
            elsets = ELSET._from_grouped_lines(self.scanner.row_source(),
                                               [(first, end, name) for _, first, end, name in groups])
        finally:
            if collecting:
                gc.enable()
        self.scanner.release()
        reader.return_free_memory()
        return Catalogue(elsets, self.rejected())

    def columns(self, names: tuple[str, ...]) -> dict[str, Any]:
        """The columns `names` of ``Catalogue.to_pandas`` of the sets read (checked names), made
        straight from the scanner's rows: no ELSET, and no row copied unless a column needs one."""
        if set(names) <= {"satno", "satname"}:
            rows, groups = b"", self.scanner.group(drop_duplicates=self.drop_duplicates)
        else:
            rows, groups = self.scanner.satellites(drop_duplicates=self.drop_duplicates)
        columns = set_columns(names, [satno for satno, _, _, _ in groups], [end - first for _, first, end, _ in groups],
                              [name for _, _, _, name in groups], lambda: ELSET._columns_of_lines(rows),
                              lambda: _records_of_lines(rows))
        self.scanner.release()
        return columns

    def rejected(self) -> list[Rejection]:
        """What was not read, in the order of the sources and their lines."""
        order = {name: i for i, name in enumerate(self.names)}
        return sorted(self._rejections() + self.extra, key=lambda r: (order[r.source], r.line))


def _message(rejection: Rejection) -> str:
    text = rejection.text if len(rejection.text) <= 300 else rejection.text[:300] + "..."
    return f"{rejection.source}, line {rejection.line}: {rejection.reason}: {text!r}"


def _read_stream(reading: Reading, stream: sources.Stream, bar: Any, *, ahead: bool = True) -> None:
    """Feed a stream to a reading, chunk by chunk; ahead: read the next chunk in a thread of its
    own while the scanner works (see sources.read_ahead)."""
    reading.begin(stream.name)
    raw = stream.raw if bar is not None else None
    shown = raw.tell() if raw is not None else 0
    with sources.read_ahead(stream.stream, raw.tell if raw is not None else None, ahead=ahead) as chunks:
        while True:
            try:
                chunk, position = chunks.take()
            except sources.STREAM_ERRORS as error:
                # What was read before the fault is kept; the fault itself is a rejection.
                reading.feed(chunks.pieces.received)
                reading.reject(0, "", f"the stream cannot be read to its end ({type(error).__name__}: {error})")
                break
            if chunk is None:
                break
            reading.feed(chunk)
            if position is not None:
                bar.update(position - shown)
                shown = position
    reading.end()


def read_tle(source: Any, *, strict: bool = False, errors: str = "raise", satnos: Iterable[int] | None = None,
             window: tuple[Any, Any] | None = None, duplicates: str = "keep", progress: bool = False) -> Catalogue:
    """Read 2-line and 3-line element sets into a Catalogue.

    source: a path (str or os.PathLike), a binary or text file object, or a list of these read as
        one catalogue; gzip, bzip2, xz and zip content is recognised by its first bytes.
    strict: reject sets whose lines fail the checks of ``TLE(..., strict_validation=True)`` (line
        numbers, checksums, matching catalogue numbers).
    errors: "raise" stops at the first bad line with a ValueError naming the source, the line
        number and the problem; "skip" keeps every bad line in ``catalogue.rejected`` and goes on.
    satnos: keep only these catalogue numbers. window: (start, stop) instants (anything ``Time``
        takes, None for an open end); keeps the epochs in [start, stop).
    duplicates: "drop" removes sets identical in both lines to one read before; "keep" keeps them.
    progress: show a progress bar over the bytes read on standard error.

    Each satellite's sets come as one ELSET in epoch order, its elements in SI units (metres,
    seconds, radians).

    Example:
        >>> import astrokite as ak
        >>> catalogue = ak.read_tle(["data/iss.tle", "data/hubble.tle"])
        >>> catalogue
        Catalogue(2 satellites, 827 element sets, 0 rejected)
        >>> list(catalogue), catalogue[25544].size
        ([20580, 25544], 609)
        >>> march = ak.read_tle("data/iss.tle", window=("2023-03-01", "2023-03-02"))[25544]
        >>> [repr(epoch.utc) for epoch in march.epoch]
        ['2023-03-01T04:50:26.652771Z', '2023-03-01T14:05:52.639581Z', '2023-03-01T17:23:19.755728Z']
        >>> round(float(march.sma[0]))  # semi-major axis [m]
        6796244
    """
    reading = Reading(strict=strict, errors=errors, satnos=satnos, window=window, duplicates=duplicates)
    bar = None
    if progress:
        from tqdm import tqdm

        bar = tqdm(total=sources.total_size(source), unit="B", unit_scale=True, file=sys.stderr,
                   desc="read_tle")
    try:
        for stream in sources.streams(source):
            _read_stream(reading, stream, bar)
    finally:
        if bar is not None:
            bar.close()
    return reading.catalogue()


def parse_tle(text: str | bytes, *, strict: bool = False, errors: str = "raise",
              satnos: Iterable[int] | None = None, window: tuple[Any, Any] | None = None,
              duplicates: str = "keep") -> Catalogue:
    """Read the element sets of a file's content given as str or bytes; options as read_tle.

    Rejections name the source "<text>" and the line number in the text.

    Example:
        >>> import astrokite as ak
        >>> text = open("data/iss.tle").read()[:140]  # the first set: two lines of 69 characters
        >>> ak.parse_tle("ISS (ZARYA)\\n" + text)[25544].satname
        'ISS (ZARYA)'
        >>> damaged = ak.parse_tle(text.replace("0  9993", "0  9994"), strict=True, errors="skip")
        >>> damaged
        Catalogue(0 satellites, 0 element sets, 1 rejected)
        >>> damaged.rejected[0].line, damaged.rejected[0].reason
        (1, "line 1 fails its checksum: column 69 holds '4', the digits of columns 1 to 68 give 3")
    """
    if isinstance(text, str):
        data = sources.utf8(text)
    elif isinstance(text, (bytes, bytearray, memoryview)):
        data = bytes(text)
    else:
        raise TypeError(f"parse_tle() expects str or bytes, got {type(text).__name__}")
    reading = Reading(strict=strict, errors=errors, satnos=satnos, window=window, duplicates=duplicates)
    reading.begin("<text>")
    reading.feed(data)
    reading.end()
    return reading.catalogue()


def elsets_of(catalogue_or_elsets: Catalogue | ELSET | Iterable[ELSET]) -> Iterable[ELSET]:
    if isinstance(catalogue_or_elsets, Catalogue):
        return catalogue_or_elsets.values()
    if isinstance(catalogue_or_elsets, ELSET):
        return [catalogue_or_elsets]
    return catalogue_or_elsets


_OBJECT_ID = re.compile(r"(\d{2})(\d{2})-(\d{3})([A-Z]{1,3})$")


def _intldes_column(object_ids: np.ndarray) -> np.ndarray:
    """International designators as line 1 writes them: an OMM's "1998-067A" as "98067A", a
    TLE's own as it is."""
    texts = np.char.strip(object_ids.astype(str))
    out = texts.astype("U13")
    for i, text in enumerate(texts):
        match = _OBJECT_ID.match(text)
        if match:
            out[i] = match.group(2) + match.group(3) + match.group(4)
    return out


def lines_of_records(records: np.ndarray, epochs: np.ndarray) -> tuple[np.ndarray, Faults]:
    """Line pairs (an (n, 138) byte array) holding element-set records (``RECORD``) with their
    epoch counts [ns], each value rounded to the decimals its column holds; ``Faults`` names the
    field of each record the columns cannot hold."""
    faults = Faults(len(records))
    columns = {name: records[name] for name in ("satno", "ephtype", "elnum", "revnum", "ecc", "inc", "raa",
                                                "arp", "mea", "mnm", "ndot", "nddot", "bstar")}
    columns["epoch"] = epochs
    columns["classification"] = records["classification"].astype(str)
    columns["intldes"] = _intldes_column(records["intldes"])
    return rows_from_columns(columns, faults), faults


def _text_rows(elset: ELSET, skipped: list[Rejection] | None) -> str:
    """The line pairs of an ELSET, 138 characters a set: as read for sets read from TLE text,
    written from the values for the others (ValueError naming the set and the field the columns
    cannot hold, unless `skipped` collects those sets)."""
    rows = elset_rows(elset)
    if rows is not None:
        return rows.decode("utf-8")
    epochs = np.atleast_1d(elset.epoch.int64)
    written, faults = lines_of_records(elset_records(elset), epochs)
    for i in np.flatnonzero(~faults.good):
        rejection = Rejection("<ELSET>", int(i) + 1, f"satellite {elset.satno} at {Time(int(epochs[i]))}",
                              faults.of(int(i)))
        if skipped is None:
            raise ValueError(f"element set of satellite {elset.satno} at {Time(int(epochs[i]))} cannot be "
                             f"written as TLE: {rejection.reason}")
        skipped.append(rejection)
    return written[faults.good].tobytes().decode("ascii")


def tle_text(elset: ELSET, names: bool = True, skipped: list[Rejection] | None = None) -> str:
    """The element sets of an ELSET as text lines, each set preceded by its name line."""
    rows = _text_rows(elset, skipped)
    name = elset.satname if names else None
    if name is not None and name[:2] in ("0 ", "1 ", "2 "):
        # Written bare, such a name would read back as a line 1, a line 2 or a name without
        # its "0 ": after a "0 " of its own, which the reader takes off, it reads back whole.
        name = "0 " + name
    out = []
    for i in range(0, len(rows), 138):
        if name is not None:
            out.append(name)
        out.append(rows[i : i + 69].rstrip("\0").rstrip())
        out.append(rows[i + 69 : i + 138].rstrip("\0").rstrip())
    return "\n".join(out) + "\n"


def write_tle(catalogue_or_elsets: Catalogue | ELSET | Iterable[ELSET], path_or_file: Any,
              names: bool = True, *, errors: str = "raise") -> list[Rejection]:
    """Write element sets as TLE text, satellite by satellite in epoch order.

    With ``names``, each set is preceded by its satellite's name line (3-line text; a satellite
    without a name gets none); without, 2-line text. path_or_file: a path or a text or binary
    file object. Lines end in "\\n". Sets read from TLE text are written as they were read, so
    the text reads back to the same element sets. Sets read from OMM are written from their
    values, each rounded to the decimals its column holds, as the format requires (an
    eccentricity of 0.00052041234 is written 0005204): the text then holds less than the set.

    errors: "raise" stops at a set the columns cannot hold at all (a catalogue number above
    339999, a mean motion of 100 rev/day or more, ...) with a ValueError naming the set and the
    field; "skip" leaves such sets out. Returns the sets left out, as ``Rejection`` entries.

    Example:
        >>> import astrokite as ak, io
        >>> iss = ak.parse_tle("ISS (ZARYA)\\n" + open("data/iss.tle").read()[:140])
        >>> out = io.StringIO()
        >>> skipped = ak.write_tle(iss, out)
        >>> print(out.getvalue(), end="")
        ISS (ZARYA)
        1 25544U 98067A   23001.26991367  .00015968  00000-0  28903-3 0  9993
        2 25544  51.6448  75.3411 0005204 209.5406 257.0907 15.49811030375904
    """
    if errors not in _ERRORS:
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    skipped: list[Rejection] | None = [] if errors == "skip" else None
    # Every set is turned into text before the destination is opened: a refusal leaves no file.
    text = "".join(tle_text(elset, names, skipped) for elset in elsets_of(catalogue_or_elsets))
    sources.write_text(path_or_file, lambda out: out.write(text))
    return skipped or []
