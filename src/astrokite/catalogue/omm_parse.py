"""OMM documents read natively into element-set records, at full precision.

Each message becomes one record of :data:`astrokite.elements.records.RECORD`: its numbers read
correctly rounded from their text, angles and rates in SI units, the epoch exactly as written (the
start of its UTC day plus picoseconds into it). Nothing is rounded to TLE columns, and catalogue
numbers run to nine digits. The fields a record does not hold (CREATION_DATE, ORIGINATOR,
REF_FRAME, COMMENT, a catalogue service's SEMIMAJOR_AXIS or TLE_LINE1, ...) come back as coded
columns: one int32 code per record into the distinct texts, so that repeated texts cost four
bytes a record.

Parsers: simdjson (On-Demand) for JSON; our own scanners for XML, KVN and CSV. XML documents
with a document type declaration are refused, so that no entity is ever defined, expanded or
fetched.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from astrokite.catalogue import _omm

FORMS = ("xml", "kvn", "json", "csv")
#: Bytes of one document read at most.
MAX_DOCUMENT: int = _omm.MAX_DOCUMENT


class OMMRecords(NamedTuple):
    """What one OMM document gives."""

    #: The element sets read, one RECORD each, in document order. Record i's ``extras_row`` is i
    #: when the message had fields beyond the record's, else -1.
    records: np.ndarray
    #: The last OBJECT_NAME given for each catalogue number.
    names: dict[int, str]
    #: The other fields by key: (int32 codes, one per record, -1 where it lacks the field; the
    #: distinct texts the codes index).
    extras: dict[str, tuple[np.ndarray, list[str]]]
    #: (number, text, reason) of each message no record could be made of: number is the line for
    #: KVN (the message's first) and CSV (the row's), the message's place (from 1) for XML and
    #: JSON; text is the message's own text, cut to 300 bytes.
    rejected: list[tuple[int, str, str]]

    def extra(self, key: str) -> list[str | None]:
        """The texts of field `key` of every record (None where a record lacks it)."""
        codes, values = self.extras.get(key, (np.full(len(self.records), -1, np.int32), []))
        return [values[code] if code >= 0 else None for code in codes.tolist()]


def parse(data: bytes | bytearray | memoryview, form: str) -> OMMRecords:
    """Read one OMM document of `form` ("xml", "kvn", "json" or "csv") into records.

    Units of the records: rad, rad/s (mean motion), rad/s^2 and rad/s^3 (its derivatives, from
    MEAN_MOTION_DOT and MEAN_MOTION_DDOT as the TLE writes them, half and a sixth of the
    derivatives in rev/day^2 and rev/day^3), bstar in 1/Earth radii; epoch_midnight_ns [ns since
    1970], epoch_ps [ps into that UTC day], epoch_fraction [day]. A message that cannot be read
    (a key missing, a value that is no number, a bad epoch, ...) is rejected with its reason;
    a document that is not of the form, or is larger than MAX_DOCUMENT bytes, raises
    ValueError.

    Example:
        >>> from astrokite.catalogue.omm_parse import parse
        >>> kvn = b'''CCSDS_OMM_VERS = 2.0
        ... OBJECT_NAME = ISS (ZARYA)
        ... OBJECT_ID = 1998-067A
        ... EPOCH = 2023-01-01T06:28:40.541088
        ... MEAN_MOTION = 15.4981103 [rev/day]
        ... ECCENTRICITY = 0.0005204
        ... INCLINATION = 51.6448
        ... RA_OF_ASC_NODE = 75.3411
        ... ARG_OF_PERICENTER = 209.5406
        ... MEAN_ANOMALY = 257.0907
        ... NORAD_CAT_ID = 25544
        ... BSTAR = 0.00028903
        ... '''
        >>> read = parse(kvn, "kvn")
        >>> record = read.records[0]
        >>> int(record["satno"]), read.names, int(record["epoch_ps"])
        (25544, {25544: 'ISS (ZARYA)'}, 23320541088000000)
        >>> read.extra("CCSDS_OMM_VERS"), read.rejected
        (['2.0'], [])
    """
    if form not in FORMS:
        raise ValueError(f"form must be one of {', '.join(FORMS)}, not {form!r}")
    records, _, names, extras, rejected = _omm.read(data, form)
    return OMMRecords(records, names, extras, rejected)
