"""ElementSet: one element set that came without TLE text (an OMM message's), as its values."""

from __future__ import annotations

import numpy as np

from astrokite.elements.records import RECORD

# The fifteen values an ELSET keeps a column of, in its column order.
_COLUMNS = ("ecc", "sma", "inc", "raa", "arp", "tra", "mnm", "orp", "eca", "mea", "pge", "apg",
            "bstar", "ndot", "nddot")


class ElementSet:
    """One element set as values, at the precision it was given (an OMM message's digits).

    What an ``ELSET`` of such sets gives for ``elset[i]``: the same element properties as a
    ``TLE`` in SI units (``ecc``, ``sma`` [m], ``inc``, ``raa``, ``arp``, ``tra``, ``eca``,
    ``mea`` [rad], ``mnm`` [rad/s], ``orp`` [s], ``pge``, ``apg`` [m], ``ndot`` [rad/s^2],
    ``nddot`` [rad/s^3], ``bstar`` [1/Earth radii]), ``epoch`` (a ``Time``), ``satno`` (up to
    nine digits), ``satname``, ``classification``, ``intldes``, ``ephtype``, ``elnum`` and
    ``revnum``. It has no TLE text: ``to_tle()`` writes one, rounding every value to the
    columns of the lines, and refuses a set the columns cannot hold.

    Example:
        >>> import astrokite as ak, io
        >>> text = '''[{"OBJECT_NAME": "ISS (ZARYA)", "OBJECT_ID": "1998-067A",
        ...   "EPOCH": "2023-01-01T06:28:40.541088", "MEAN_MOTION": 15.4981103,
        ...   "ECCENTRICITY": 0.00052041234, "INCLINATION": 51.6448, "RA_OF_ASC_NODE": 75.3411,
        ...   "ARG_OF_PERICENTER": 209.5406, "MEAN_ANOMALY": 257.0907, "NORAD_CAT_ID": 799501299,
        ...   "BSTAR": 0.00028903, "MEAN_MOTION_DOT": 0.00015968, "MEAN_MOTION_DDOT": 0}]'''
        >>> elset = ak.read_omm(io.StringIO(text), "json")[799501299]
        >>> one = elset[0]
        >>> one.satno, one.ecc, one.epoch
        (799501299, 0.00052041234, 2023-01-01T06:28:40.541088Z)
    """

    __slots__ = ("_record", "_values", "_epoch_ns", "satname", "__dict__")

    @classmethod
    def _from_record(cls, record: bytes, satname: str | None, epoch_ns: int, values: bytes) -> ElementSet:
        """The set of a record (RECORD, 128 bytes), with its epoch count [ns since 1970, UTC] and
        its fifteen column values (float64, in ELSET's column order) as the ELSET computed them."""
        made = cls.__new__(cls)
        made._record = np.frombuffer(record, RECORD)[0]
        made._values = np.frombuffer(values, np.float64)
        made._epoch_ns = int(epoch_ns)
        made.satname = satname
        return made

    def __getattr__(self, name: str):
        try:
            return float(self._values[_COLUMNS.index(name)])
        except ValueError:
            raise AttributeError(f"'ElementSet' object has no attribute '{name}'") from None

    def __dir__(self):
        return sorted({*super().__dir__(), *_COLUMNS})

    @property
    def record(self) -> np.void:
        """The values as one record of ``astrokite.elements.records.RECORD``."""
        return self._record.copy()

    @property
    def epoch(self):
        """The epoch as a ``Time`` (UTC), to the nearest nanosecond of the epoch as written."""
        from astrokite.time.time import Time

        return Time(self._epoch_ns)

    @property
    def satno(self) -> int:
        """Catalogue number (up to nine digits)."""
        return int(self._record["satno"])

    @property
    def classification(self) -> str:
        return self._record["classification"].decode("ascii", "replace")

    @property
    def intldes(self) -> str:
        """International designator as written ("1998-067A")."""
        return self._record["intldes"].decode("ascii", "replace")

    @property
    def ephtype(self) -> int:
        return int(self._record["ephtype"])

    @property
    def elnum(self) -> int:
        return int(self._record["elnum"])

    @property
    def revnum(self) -> int:
        return int(self._record["revnum"])

    def to_tle(self):
        """This set as a ``TLE``: every value rounded to the decimals its column holds, as TLE
        text requires. ValueError naming the set and the field when the columns cannot hold it
        (a catalogue number above 339999, a mean motion of 100 rev/day or more, ...)."""
        from astrokite.catalogue.tle_text import lines_of_records
        from astrokite.propagators.analytical.sgp4.tle import TLE

        rows, faults = lines_of_records(self._record.reshape(1), np.array([self._epoch_ns], np.int64))
        if not faults.good[0]:
            raise ValueError(f"element set of satellite {self.satno} at {self.epoch}: {faults.of(0)}")
        text = rows[0].tobytes().decode("ascii")
        return TLE(text[:69], text[69:])

    def __eq__(self, other) -> bool:
        if not isinstance(other, ElementSet):
            return NotImplemented
        return self._record.tobytes() == other._record.tobytes() and self.satname == other.satname

    def __hash__(self) -> int:
        return hash(self._record.tobytes())

    def __repr__(self) -> str:
        name = f" {self.satname}" if self.satname else ""
        return f"<ElementSet {self.satno}{name} at {self.epoch}>"

    def __reduce__(self):
        return ElementSet._from_record, (self._record.tobytes(), self.satname, self._epoch_ns, self._values.tobytes())
