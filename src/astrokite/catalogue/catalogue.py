"""Catalogue: the element sets of many satellites, one ELSET per satellite."""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping
from typing import Any, NamedTuple

import numpy as np

from astrokite.catalogue import columns as columns_module
from astrokite.catalogue import reader
from astrokite.catalogue.omm_extras import Table, joined
from astrokite.elements.numbers import MAX_SATNO, satno_of_text
from astrokite.elements.records import RECORD
from astrokite.propagators.analytical.sgp4.tle import ELSET, _records_of_lines
from astrokite.utils.quantities import count

ROW = 138  # bytes of one element set: normalised line 1, then line 2 (69 bytes each)


class Rejection(NamedTuple):
    """A line or element set that was not read, and why."""

    source: str  # the path or file it came from
    line: int  # its first line's number in that source (for JSON and XML OMM: the message's number)
    text: str  # the lines concerned, joined by newlines
    reason: str


def elset_rows(elset: ELSET) -> bytes | None:
    """The element sets of an ELSET as rows of 138 bytes, in epoch order; None when they came
    without TLE text (from OMM)."""
    lines = getattr(elset, "_lines", None)
    if lines is not None:
        return lines()
    return "".join(tle.line1 + tle.line2 for tle in elset).encode("utf-8")


def elset_records(elset: ELSET) -> np.ndarray:
    """The element sets of an ELSET as records (``RECORD``), in epoch order."""
    return np.frombuffer(elset._records(), RECORD)


class Catalogue(Mapping):
    """Element sets of many satellites: a read-only mapping from catalogue number to ELSET.

    Keys are the full catalogue numbers (up to nine digits); a number as TLE text writes it
    ("25544", alpha-5 "A0000" for 100000) finds the same ELSET.

    Iterates in ascending catalogue number. ``len`` is the number of satellites, ``size`` the
    number of element sets; ``rejected`` lists what the reader did not take (source, line number,
    text, reason). Each ELSET holds its elements in SI units (metres, seconds, radians);
    ``to_pandas()`` gives one row per element set and ``Catalogue.from_pandas`` takes such a
    frame back; ``merge`` (or ``a | b``) joins two catalogues. A catalogue pickles compactly (to
    go to other processes): the 138-byte line pairs or the records of its sets as arrays, not an
    object per set.

    Example:
        >>> import astrokite as ak
        >>> catalogue = ak.read_tle(["data/iss.tle", "data/hubble.tle"])
        >>> len(catalogue), catalogue.size, 25544 in catalogue
        (2, 827, True)
        >>> [(satno, elset.size) for satno, elset in catalogue.items()]
        [(20580, 218), (25544, 609)]
        >>> frame = catalogue.to_pandas()
        >>> len(frame), int(frame["satno"].iloc[0]), round(float(frame["sma"].iloc[0]))  # semi-major axis [m]
        (827, 20580, 6909694)
    """

    __slots__ = ("_elsets", "_rejected")

    def __init__(self, elsets: Iterable[ELSET] = (), rejected: Iterable[Rejection] = ()):
        by_number: dict[int, ELSET] = {}
        for elset in elsets:
            if elset.satno in by_number:
                raise ValueError(f"two ELSETs of satellite {elset.satno}")
            by_number[elset.satno] = elset
        self._elsets = dict(sorted(by_number.items()))
        self._rejected = list(rejected)

    def __reduce__(self):
        """Pickles compactly: the line pairs of the sets read from TLE text as one array of
        138-byte rows, the records of those without text as one record array with the other OMM
        fields they keep, each with the number of sets and the name of each satellite."""
        return _unpickled, _pickled(self)

    def __getitem__(self, satno: int | str) -> ELSET:
        if isinstance(satno, str):  # as a TLE writes it: "25544", or alpha-5 "A0000"
            try:
                satno = satno_of_text(satno)
            except ValueError:
                raise KeyError(satno) from None
        return self._elsets[satno]

    def __iter__(self) -> Iterator[int]:
        return iter(self._elsets)

    def __len__(self) -> int:
        return len(self._elsets)

    @property
    def size(self) -> int:
        """Number of element sets of all satellites."""
        return sum(elset.size for elset in self._elsets.values())

    @property
    def rejected(self) -> list[Rejection]:
        """What was not read: a list of Rejection(source, line, text, reason)."""
        return list(self._rejected)

    def __repr__(self) -> str:
        from astrokite.utils.quantities import count

        return (f"Catalogue({count(len(self), 'satellite')}, {count(self.size, 'element set')}, "
                f"{len(self._rejected):,} rejected)")

    def _repr_html_(self) -> str:
        from astrokite.utils.html import render

        return render(self)

    def merge(self, other: Catalogue, *, duplicates: str = "keep") -> Catalogue:
        """A catalogue of the element sets of both, as if ``other`` were read after this one.

        Each satellite's sets are in epoch order, equal epochs in that reading order (this
        catalogue's first). duplicates: "drop" removes every set identical in both lines to one
        before it (in either catalogue); "keep" keeps them all, as ``read_tle`` does. A satellite
        takes the name of ``other`` when it has one there, else its name here. The rejections of
        both are kept, this catalogue's first.

        >>> both = monday.merge(tuesday, duplicates="drop")  # doctest: +SKIP
        >>> both.size <= monday.size + tuesday.size           # doctest: +SKIP
        True
        """
        if not isinstance(other, Catalogue):
            raise TypeError(f"can only merge a Catalogue, not {type(other).__name__}")
        _check_duplicates(duplicates)
        elsets = [*self._elsets.values(), *other._elsets.values()]
        names = {elset.satno: elset.satname for elset in elsets if elset.satname is not None}
        rejected = self._rejected + other._rejected
        texts = [elset_rows(elset) for elset in elsets]
        if any(text is None for text in texts):
            # Sets without TLE text take part as records; those with text then keep their values.
            pieces = [elset_records(elset).copy() for elset in elsets]
            extras, rows = joined([(elset._extras(), piece["extras_row"]) for elset, piece in zip(elsets, pieces)])
            for piece, row in zip(pieces, rows):
                piece["extras_row"] = row
            records = np.concatenate(pieces) if pieces else np.zeros(0, RECORD)
            if duplicates == "drop" and len(records):
                values = records.copy()
                values["extras_row"] = -1  # sets alike in every value are duplicates, wherever their fields lie
                _, first = np.unique(values.view(f"V{RECORD.itemsize}"), return_index=True)
                records = records[np.sort(first)]
            return from_records(records, names, rejected, extras)
        rows = np.frombuffer(b"".join(texts), np.uint8).reshape(-1, ROW)
        satnos = np.repeat([elset.satno for elset in elsets], [elset.size for elset in elsets]).astype(np.int64)
        epochs = np.concatenate([np.atleast_1d(elset.epoch.int64) for elset in elsets] or [np.zeros(0, np.int64)])
        return _from_rows(rows, satnos, epochs, names, duplicates, rejected)

    def __or__(self, other: Catalogue) -> Catalogue:
        """``a | b``: the union of two catalogues, ``a.merge(b, duplicates="drop")``."""
        if not isinstance(other, Catalogue):
            return NotImplemented
        return self.merge(other, duplicates="drop")

    @classmethod
    def from_pandas(cls, frame: Any, *, errors: str = "raise", duplicates: str = "keep") -> Catalogue:
        """A catalogue of the element sets of a DataFrame in the shape ``to_pandas()`` gives.

        Read: satno (up to nine digits), epoch (datetime64; naive is UTC, a time zone is
        converted), ecc, inc, raa, arp, mea [rad] and mnm [rad/s]; when present, satname (or
        name), ndot [rad/s^2], nddot [rad/s^3], bstar [1/Earth radii], classification, intldes,
        ephtype, elnum and revnum (else None, 0, "U" or blank). The derived columns (sma, tra, eca,
        orp, pge, apg) are not read. A satellite's name is the last one given for it.

        Every value is kept as given, to the bit, and the epoch to the nanosecond: the sets of
        ``Catalogue.from_pandas(cat.to_pandas())`` give the frame back and propagate as those of
        ``cat``. A satellite whose every row a TLE line pair holds exactly (the pair written from
        the row reads back as the same values and epoch, as for the rows of a catalogue read from
        TLE text) gets that text, so that ``write_tle`` writes what was read; the sets of any other
        satellite are kept as values (as ``read_omm`` keeps them), with no text.

        errors: "raise" stops at the first row no element set can hold (ValueError naming the row,
        counted from 1, and the reason: a catalogue number outside 0 to 999999999, a missing epoch,
        an eccentricity outside [0, 1), a value that is not a finite number, ...); "skip" keeps
        such rows in ``rejected`` and goes on. duplicates: "drop" removes every row identical to
        one before it in all it gives; "keep" keeps them all, as ``read_tle`` does.

        >>> catalogue = Catalogue.from_pandas(frame[frame.inc > 1.0])  # doctest: +SKIP
        """
        if errors not in ("raise", "skip"):
            raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
        _check_duplicates(duplicates)
        missing = [name for name in _REQUIRED if name not in frame.columns]
        if missing:
            raise ValueError(f"the frame has no column {', '.join(missing)}")
        n = len(frame)
        columns = {name: frame[name].to_numpy(np.float64) for name in ("ecc", "inc", "raa", "arp", "mea", "mnm")}
        for name in ("ndot", "nddot", "bstar"):
            columns[name] = frame[name].to_numpy(np.float64) if name in frame.columns else np.zeros(n)
        faults = columns_module.Faults(n)  # what no element set holds: such rows are rejected
        for name in ("satno", "ephtype", "elnum", "revnum"):
            values = frame[name].to_numpy(np.float64) if name in frame.columns else np.zeros(n)
            whole = np.isfinite(values) & (values == np.round(values)) & (np.abs(values) < 2.0**62)
            faults.mark(~whole, f"{name} is not an integer")
            columns[name] = np.where(whole, values, 0).astype(np.int64)
        for name, default in (("classification", "U"), ("intldes", "")):
            if name in frame.columns:
                # One character more than a record holds, so that a longer text shows.
                columns[name] = np.char.strip(frame[name].fillna(default).to_numpy(dtype="U13"))
            else:
                columns[name] = np.full(n, default, dtype="U1")
        columns["epoch"] = _epoch_counts(frame["epoch"])
        _mark_record_faults(columns, faults)

        rejected = []
        for row in np.flatnonzero(~faults.good):
            text = repr(frame.iloc[row].to_dict())
            rejection = Rejection("<DataFrame>", int(row) + 1, text[:300], faults.of(row))
            if errors == "raise":
                raise ValueError(f"row {row + 1} of the frame: {rejection.reason}: {rejection.text}")
            rejected.append(rejection)
        good = faults.good
        names = {}
        # "name" is what this frame's column was called before it took ELSET's "satname".
        name_column = next((name for name in ("satname", "name") if name in frame.columns), None)
        if name_column is not None:
            named = frame.loc[good & frame[name_column].notna().to_numpy(), ["satno", name_column]]
            names = {int(satno): str(name) for satno, name in named.groupby("satno")[name_column].last().items()}

        written = columns_module.Faults(n)
        rows = columns_module.rows_from_columns(columns, written)
        as_text = good & _lines_hold_exactly(rows, columns, written.good)
        # A satellite is one ELSET: text when its every set is, else values for all of them.
        as_text &= ~np.isin(columns["satno"], columns["satno"][good & ~as_text])
        as_values = good & ~as_text
        satnos, epochs = columns["satno"], columns["epoch"]
        elsets: list[ELSET] = []
        if as_text.any():
            elsets += _from_rows(rows[as_text], satnos[as_text], epochs[as_text], names, duplicates, ()).values()
        if as_values.any():
            elsets += from_records(_records_of_columns(columns, as_values, duplicates), names, ()).values()
        return Catalogue(elsets, rejected)

    def to_pandas(self, columns: Iterable[str] | None = None) -> Any:
        """One row per element set, ready for ``groupby``.

        Columns: satno, satname, epoch (datetime64[ns], UTC), the twelve elements in SI units
        (ecc, sma [m], inc, raa, arp, tra [rad], mnm [rad/s], orp [s], eca, mea [rad], pge, apg
        [m]), ndot [rad/s^2], nddot [rad/s^3], bstar [1/Earth radii], classification, intldes,
        ephtype, elnum, revnum. ``columns`` names the ones to build, in that order (all of them by
        default): a frame of a few columns skips the work of the others.
        """
        import pandas as pd

        return pd.DataFrame(_columns(list(self._elsets.values()), column_names(columns)))


_REQUIRED = ("satno", "epoch", "ecc", "inc", "raa", "arp", "mea", "mnm")


def _check_duplicates(duplicates: str) -> None:
    if duplicates not in ("keep", "drop"):
        raise ValueError(f"duplicates must be 'keep' or 'drop', not {duplicates!r}")


def _epoch_counts(epochs: Any) -> np.ndarray:
    """A datetime column as int64 counts of Time (UTC); NaT as the smallest int64."""
    if len(epochs) == 0:
        return np.zeros(0, np.int64)
    if getattr(epochs.dtype, "tz", None) is not None:
        epochs = epochs.dt.tz_convert("UTC").dt.tz_localize(None)
    if epochs.dtype.kind != "M":
        raise TypeError(f"the epoch column must hold datetime64 values, not {epochs.dtype}")
    return epochs.to_numpy("datetime64[ns]").view(np.int64)


def _from_rows(rows: np.ndarray, satnos: np.ndarray, epochs: np.ndarray, names: dict[int, str],
               duplicates: str, rejected: Iterable[Rejection]) -> Catalogue:
    """The catalogue of line-pair rows (a (n, 138) byte array) in reading order, with their
    catalogue numbers and epochs, grouped by satellite and put in epoch order (equal epochs in
    reading order) as the reader groups them; "drop" removes the rows identical to one before."""
    if duplicates == "drop" and len(rows):
        _, first = np.unique(np.ascontiguousarray(rows).view(f"V{ROW}").ravel(), return_index=True)
        first.sort()
        rows, satnos, epochs = rows[first], satnos[first], epochs[first]
    order = np.lexsort((epochs, satnos))
    if (order[1:] < order[:-1]).any():  # not read in that order already
        rows, satnos = rows[order], satnos[order]
    rows = np.ascontiguousarray(rows)
    starts = np.flatnonzero(np.r_[True, satnos[1:] != satnos[:-1]]) if len(satnos) else np.zeros(0, np.int64)
    ends = np.r_[starts[1:], len(satnos)]
    groups = [(int(first), int(end), names.get(int(satnos[first]))) for first, end in zip(starts, ends)]
    return Catalogue(ELSET._from_grouped_lines(rows, groups), rejected)



_FLOATS = ("ecc", "inc", "raa", "arp", "mea", "mnm", "ndot", "nddot", "bstar")
_NO_EPOCH = np.iinfo(np.int64).min  # what _epoch_counts gives for NaT
_NS_PER_DAY = 86_400 * 10**9
_INT32_MAX = 2**31 - 1


def _mark_record_faults(columns: dict[str, np.ndarray], faults: columns_module.Faults) -> None:
    """Mark the rows of `columns` (as from_pandas reads them) that no element-set record holds:
    what the OMM reader refuses likewise."""
    satnos = columns["satno"]
    faults.mark((satnos < 0) | (satnos > MAX_SATNO), f"satno lies outside 0 to {MAX_SATNO}, the catalogue numbers")
    faults.mark(columns["epoch"] == _NO_EPOCH, "epoch is missing (NaT)")
    faults.mark(~((columns["ecc"] >= 0.0) & (columns["ecc"] < 1.0)), "ecc lies outside [0, 1)")
    for name in _FLOATS[1:]:
        faults.mark(~np.isfinite(columns[name]), f"{name} is not a finite number")
    for name, high in (("ephtype", 127), ("elnum", _INT32_MAX), ("revnum", _INT32_MAX)):
        faults.mark((columns[name] < 0) | (columns[name] > high), f"{name} lies outside 0 to {high}")
    for name, limit in (("classification", 1), ("intldes", 12)):
        texts = np.ascontiguousarray(columns[name], dtype="U")
        codes = texts.view(np.uint32).reshape(len(texts), texts.itemsize // 4)
        faults.mark((codes[:, limit:] != 0).any(axis=1), f"{name} is longer than {count(limit, 'character')}")
        faults.mark(((codes != 0) & ((codes < 0x20) | (codes > 0x7E))).any(axis=1), f"{name} is not printable ASCII")


def _lines_hold_exactly(rows: np.ndarray, columns: dict[str, np.ndarray], written: np.ndarray) -> np.ndarray:
    """Whether each row's line pair (of those `written`) reads back as the row's values bit for
    bit, its epoch to the nanosecond as an ELSET of those lines has it."""
    alike = written.copy()
    at = np.flatnonzero(written)
    if not len(at):
        return alike
    text = np.ascontiguousarray(rows[at]).tobytes()
    read = np.frombuffer(_records_of_lines(text), RECORD)
    same = np.frombuffer(reader.fields(text)["epoch"], np.int64) == columns["epoch"][at]
    for name in _FLOATS:
        same &= read[name].view(np.int64) == columns[name][at].view(np.int64)
    for name in ("satno", "ephtype", "elnum", "revnum"):
        same &= read[name] == columns[name][at]
    same &= read["classification"].astype(str) == columns["classification"][at]
    same &= np.char.strip(read["intldes"].astype(str)) == columns["intldes"][at]
    alike[at] = same
    return alike


def _records_of_columns(columns: dict[str, np.ndarray], chosen: np.ndarray, duplicates: str) -> np.ndarray:
    """The records (``RECORD``) of the chosen rows of `columns`, in row order, holding their values
    as given and their epochs to the nanosecond; "drop" keeps the first of rows alike in all."""
    at = np.flatnonzero(chosen)
    records = np.zeros(len(at), RECORD)
    for name in (*_FLOATS, "satno", "ephtype", "elnum", "revnum"):
        records[name] = columns[name][at]
    epochs = columns["epoch"][at]
    midnight = epochs // _NS_PER_DAY * _NS_PER_DAY
    into_day = epochs - midnight
    records["epoch_midnight_ns"] = midnight
    records["epoch_ps"] = into_day * 1000
    # Both exact as doubles (below 2^53): the quotient is the nearest double to the fraction of
    # the day, as the OMM reader computes it from the picoseconds.
    records["epoch_fraction"] = into_day.astype(np.float64) / float(_NS_PER_DAY)
    records["epoch_decimals"] = _second_decimals(into_day % 10**9)
    records["classification"] = columns["classification"][at].astype("S1")
    records["intldes"] = columns["intldes"][at].astype("S13")
    records["extras_row"] = -1
    if duplicates == "drop" and len(records):
        _, first = np.unique(records.view(f"V{RECORD.itemsize}"), return_index=True)
        records = records[np.sort(first)]
    return records


def _second_decimals(ns: np.ndarray) -> np.ndarray:
    """The decimals of the seconds that OMM text of an epoch needs, from its nanoseconds into the
    second: 0 to 9, trailing zeros left out."""
    decimals = np.where(ns != 0, 9, 0).astype(np.int8)
    for _ in range(8):
        trailing = (ns != 0) & (ns % 10 == 0)
        decimals -= trailing.astype(np.int8)
        ns = np.where(trailing, ns // 10, ns)
    return decimals


def from_records(records: np.ndarray, names: dict[int, str], rejected: Iterable[Rejection],
                 extras: Table | None = None) -> Catalogue:
    """The catalogue of element-set records (``RECORD``) in reading order: grouped by catalogue
    number, each satellite's sets put in epoch order (equal epochs in reading order), named from
    `names` (catalogue number -> name), with the other OMM fields `extras` (which the records'
    extras_row index) kept beside them."""
    import gc

    # Thousands of new ELSETs make no reference cycles: the cyclic collector would only walk them.
    collecting = gc.isenabled()
    gc.disable()
    try:
        elsets = ELSET._from_records(np.ascontiguousarray(records), names, extras)
    finally:
        if collecting:
            gc.enable()
    # One ELSET per number, in ascending order already: nothing to check or sort.
    catalogue = Catalogue.__new__(Catalogue)
    catalogue._elsets = {elset.satno: elset for elset in elsets}
    catalogue._rejected = list(rejected)
    return catalogue


def _pickled(catalogue: Catalogue) -> tuple:
    """What a catalogue travels as (the arguments of ``_unpickled``): columns, not objects."""
    texts, with_text, without = [], [], []
    for elset in catalogue.values():
        text = elset._lines()
        if text is None:
            without.append(elset)
        else:
            texts.append(text)
            with_text.append(elset)
    rows = np.frombuffer(b"".join(texts), np.uint8).reshape(-1, ROW)
    records, extras = _records_and_fields(without)
    rejected = [tuple(rejection) for rejection in catalogue._rejected]
    return (rows, *_counts_and_names(with_text), records, *_counts_and_names(without), extras, rejected)


def _counts_and_names(elsets: list[ELSET]) -> tuple[np.ndarray, list[str | None]]:
    return np.array([elset.size for elset in elsets], np.int64), [elset.satname for elset in elsets]


def _records_and_fields(elsets: list[ELSET]) -> tuple[np.ndarray, Table | None]:
    """The records of ELSETs without TLE text, one after another, and the other OMM fields they
    keep: the one table they share when they use all its rows (the records then go as they
    are), else a table of the rows they use, their extras_row renumbered into it (a part of a
    large reading carries only its own fields)."""
    pieces = [elset_records(elset) for elset in elsets]
    tables = {id(table): table for table in (elset._extras() for elset in elsets) if table is not None}
    if len(tables) <= 1:
        table = next(iter(tables.values()), None)
        table_rows = len(next(iter(table.values()))[0]) if table else 0
        if sum(int((piece["extras_row"] >= 0).sum()) for piece in pieces) >= table_rows:
            return np.concatenate(pieces or [np.zeros(0, RECORD)]), table
    pieces = [piece.copy() for piece in pieces]
    table, renumbered = joined([(elset._extras(), piece["extras_row"]) for elset, piece in zip(elsets, pieces)])
    for piece, piece_rows in zip(pieces, renumbered):
        piece["extras_row"] = piece_rows
    return np.concatenate(pieces), table


def _unpickled(rows: np.ndarray, row_counts: np.ndarray, row_names: list[str | None], records: np.ndarray,
               record_counts: np.ndarray, record_names: list[str | None], extras: Table | None,
               rejected: list[tuple]) -> Catalogue:
    """The catalogue ``Catalogue.__reduce__`` gives the parts of."""
    def groups(counts, names):
        ends = np.cumsum(counts)
        return list(zip((ends - counts).tolist(), ends.tolist(), names))

    elsets = ELSET._from_grouped_lines(np.ascontiguousarray(rows), groups(row_counts, row_names))
    elsets += ELSET._from_grouped_records(np.ascontiguousarray(records), groups(record_counts, record_names), extras)
    return Catalogue(elsets, [Rejection(*rejection) for rejection in rejected])


_ELEMENTS = ("ecc", "sma", "inc", "raa", "arp", "tra", "mnm", "orp", "eca", "mea", "pge", "apg")
_COLUMN_TYPES = {"satno": np.int64, "epoch": "datetime64[ns]", "ephtype": np.int64, "elnum": np.int64,
                 "revnum": np.int64}
_COLUMN_ORDER = ("satno", "satname", "epoch", *_ELEMENTS, "ndot", "nddot", "bstar", "classification", "intldes",
                 "ephtype", "elnum", "revnum")


def _texts(distinct: np.ndarray, index: np.ndarray) -> Any:
    """A column of pandas' string type (a missing value where a text is None): distinct[index].
    The same type whatever the rows, so that frames of different catalogues, or of none, match."""
    import pandas as pd

    return pd.array(distinct, dtype="str").take(index)


def column_names(columns: Iterable[str] | None) -> tuple[str, ...]:
    """The names of ``to_pandas`` columns asked for (all of them for None), checked."""
    if columns is None:
        return _COLUMN_ORDER
    names = (columns,) if isinstance(columns, str) else tuple(columns)
    unknown = [name for name in names if name not in _COLUMN_ORDER]
    if unknown:
        raise ValueError(f"no column named {unknown[0]!r}; the columns are {', '.join(_COLUMN_ORDER)}")
    return names


def _columns(elsets: list[ELSET], names: tuple[str, ...] = _COLUMN_ORDER) -> dict[str, Any]:
    """The columns `names` of ``to_pandas`` of these ELSETs' sets, one after another, each gathered
    from all of them at once."""
    return set_columns(names, [elset.satno for elset in elsets], [elset.size for elset in elsets],
                       [elset.satname for elset in elsets], lambda: ELSET._columns_of_many(elsets),
                       lambda: ELSET._records_of_many(elsets)[0])


def set_columns(names: tuple[str, ...], satnos: list[int], counts: list[int], satnames: list[str | None],
                values: Any, records: Any) -> dict[str, Any]:
    """The columns `names` of ``to_pandas`` (see ``column_names``) of the sets of several
    satellites, each satellite's sets one after another: `satnos`, `counts` (sets) and `satnames`
    say whose rows are whose; ``values()`` gives the rows' element columns and epochs (as
    ``ELSET._columns_of_many``), ``records()`` their records (RECORD bytes). Neither is called
    unless an asked column needs it."""
    counts = np.asarray(counts, np.int64)
    if not counts.sum():
        empty = {name: np.zeros(0, _COLUMN_TYPES.get(name, np.float64)) for name in _COLUMN_ORDER}
        empty.update((name, _texts(np.zeros(0, object), np.zeros(0, np.int64)))
                     for name in ("satname", "classification", "intldes"))
        return {name: empty[name] for name in names}
    wanted = set(names)
    columns: dict[str, Any] = {}
    if "satno" in wanted:
        columns["satno"] = np.repeat(np.asarray(satnos, np.int64), counts)
    if "satname" in wanted:
        columns["satname"] = _texts(np.array(satnames, dtype=object), np.repeat(np.arange(len(counts)), counts))
    if wanted & {"epoch", *_ELEMENTS, "ndot", "nddot", "bstar"}:
        derived = values()
        derived["epoch"] = derived["epoch"].view("datetime64[ns]")
        columns.update((name, derived[name]) for name in ("epoch", *_ELEMENTS, "ndot", "nddot", "bstar"))
    if wanted & {"classification", "intldes", "ephtype", "elnum", "revnum"}:
        fields = np.frombuffer(records(), RECORD)
        for name in ("classification", "intldes"):
            # Few distinct texts (a satellite's designator, as a rule, repeats): each decoded once.
            distinct, inverse = np.unique(fields[name], return_inverse=True)
            columns[name] = _texts(np.char.strip(distinct.astype(str)).astype(object), inverse)
        for name in ("ephtype", "elnum", "revnum"):
            columns[name] = fields[name].astype(np.int64)
    return {name: columns[name] for name in names}
