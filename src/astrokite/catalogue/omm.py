"""CCSDS Orbit Mean-Elements Messages (OMM) in and out: XML, KVN, JSON and CSV.

Each message becomes the element set that a TLE line pair carries: its values are written into
a normalised line pair with valid checksums, which the TLE reader then reads like any other, so
that a catalogue from OMM is made exactly as one from TLE text. Values a line cannot hold are
rounded as the line's columns round them; a message a line cannot carry at all (a catalogue
number above 339999, a mean motion of 100 rev/day or more, an epoch outside 1957 to 2056) is
rejected with that reason.

Parsers: orjson for JSON, lxml for XML with entity resolution, DTD loading and network access
turned off (a document type declaration is refused outright), the standard library for CSV
and KVN.
"""

from __future__ import annotations

import csv
import datetime as dt
import io
import math
import os
import re
from collections.abc import Iterable, Iterator
from decimal import ROUND_HALF_EVEN, Decimal, InvalidOperation
from fractions import Fraction
from typing import IO, Any

import numpy as np

from astrokite.catalogue import sources
from astrokite.catalogue.catalogue import Catalogue, elset_records, elset_rows, from_records
from astrokite.elements.records import MAX_SATNO, RECORD
from astrokite.catalogue.tle_text import Reading, elsets_of
from astrokite.propagators.analytical.sgp4.tle import ELSET

FORMATS = ("xml", "kvn", "json", "csv")

# The OMM keys of one element set, in the order the forms write them.
KEYS = ("OBJECT_NAME", "OBJECT_ID", "EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE",
        "ARG_OF_PERICENTER", "MEAN_ANOMALY", "EPHEMERIS_TYPE", "CLASSIFICATION_TYPE", "NORAD_CAT_ID",
        "ELEMENT_SET_NO", "REV_AT_EPOCH", "BSTAR", "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT")
_REQUIRED = ("EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE", "ARG_OF_PERICENTER",
             "MEAN_ANOMALY", "NORAD_CAT_ID")
_MAX_DOCUMENT = 1 << 29  # bytes of one OMM document read at most: parsing holds it whole


class MessageError(ValueError):
    """A message that no line pair can carry."""


# ----------------------------------------------------------------------------- messages to lines


def _number(message: dict, key: str, default: str | None = None) -> float:
    """The value of `key`, correctly rounded to a double from its text."""
    value = message.get(key)
    if value is None or (isinstance(value, str) and not value.strip()):
        if default is None:
            raise MessageError(f"{key} is missing")
        value = default
    if isinstance(value, bool) or not isinstance(value, str | int | float):
        raise MessageError(f"{key} is not a number: {value!r}")
    try:
        number = float(value.strip() if isinstance(value, str) else value)
    except (ValueError, OverflowError):
        raise MessageError(f"{key} is not a number: {value!r}") from None
    if not math.isfinite(number):
        raise MessageError(f"{key} is not a finite number: {value!r}")
    return number


def _integer(message: dict, key: str, default: str, low: int, high: int) -> int:
    value = message.get(key)
    if value is None or (isinstance(value, str) and not value.strip()):
        value = default
    try:
        number = int(value.strip() if isinstance(value, str) else value)
    except (TypeError, ValueError, OverflowError):
        raise MessageError(f"{key} is not an integer: {value!r}") from None
    if isinstance(value, float) and value != number:
        raise MessageError(f"{key} is not an integer: {value!r}")
    if not low <= number <= high:
        raise MessageError(f"{key} {number} lies outside {low} to {high}")
    return number


_EPOCH = re.compile(r"\s*(\d{4})-(?:(\d{2})-(\d{2})|(\d{3}))(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:\.(\d+))?)?)?Z?\s*$")
_PS_PER_DAY = 86_400 * 10**12
_UNIX_DAY_ZERO = dt.date(1970, 1, 1)


def _epoch(text: Any) -> tuple[int, int, float, int]:
    """EPOCH (ISO 8601 calendar or day-of-year form, UTC) exactly as written: the start of its
    day [ns since 1970], the time into the day [ps, exact to twelve decimals of a second], the
    same as the nearest double fraction of the day, and the decimals written."""
    match = _EPOCH.match(str(text)) if isinstance(text, str) else None
    if not match:
        raise MessageError(f"EPOCH is not an ISO 8601 time: {text!r}")
    year, month, day, day_of_year, hour, minute, second, fraction = match.groups()
    year = int(year)
    if not 1678 <= year <= 2261:
        raise MessageError(f"EPOCH year {year} is outside 1678 to 2261, which a Time holds")
    try:
        date = dt.date(year, int(month), int(day)) if month else dt.date(year, 1, 1) + dt.timedelta(int(day_of_year) - 1)
        time_of_day = dt.time(int(hour or 0), int(minute or 0), int(second or 0))
    except ValueError as error:
        raise MessageError(f"EPOCH is not a valid time: {text!r} ({error})") from None
    if date.year != year:
        raise MessageError(f"EPOCH day of year is outside its year: {text!r}")
    fraction = fraction or ""
    decimals = min(len(fraction), 12)
    beyond = Decimal("0." + fraction[12:]) if len(fraction) > 12 else Decimal(0)
    ps = ((time_of_day.hour * 60 + time_of_day.minute) * 60 + time_of_day.second) * 10**12
    ps += int(fraction[:12].ljust(12, "0") or 0) + int(beyond.to_integral_value(ROUND_HALF_EVEN))
    if ps >= _PS_PER_DAY:  # rounded up to the next midnight
        ps -= _PS_PER_DAY
        date += dt.timedelta(1)
    midnight_ns = (date - _UNIX_DAY_ZERO).days * 86_400 * 10**9
    if not -(2**63) < midnight_ns + ps // 1000 < 2**63 - 1:
        raise MessageError(f"EPOCH {text!r} lies outside what a Time holds")
    return midnight_ns, ps, float(Fraction(ps, _PS_PER_DAY)), decimals


def _text(message: dict, key: str, default: str, longest: int) -> str:
    text = str(message.get(key) or default).strip()
    if len(text) > longest:
        raise MessageError(f"{key} is longer than {longest} characters: {text!r}")
    if not all(" " <= c <= "~" for c in text):
        raise MessageError(f"{key} is not printable ASCII: {text!r}")
    return text


def record_of_message(message: dict) -> tuple[tuple, str]:
    """(record, name) of one OMM message given as a dict of its upper-case keys: the record as
    a tuple in ``RECORD``'s field order, each value correctly rounded from its text."""
    for key in _REQUIRED:
        if message.get(key) is None or (isinstance(message.get(key), str) and not message[key].strip()):
            raise MessageError(f"{key} is missing")
    satno = _integer(message, "NORAD_CAT_ID", "0", 0, MAX_SATNO)
    classification = _text(message, "CLASSIFICATION_TYPE", "U", 1) or "U"
    ephtype = _integer(message, "EPHEMERIS_TYPE", "0", -128, 127)
    elnum = _integer(message, "ELEMENT_SET_NO", "0", -(2**31), 2**31 - 1)
    revnum = _integer(message, "REV_AT_EPOCH", "0", -(2**31), 2**31 - 1)
    midnight_ns, ps, fraction, decimals = _epoch(message.get("EPOCH"))
    values = {key: _number(message, key, None if key in _REQUIRED else "0") for key in _READ_AS}
    elements = {name: float(read_as(np.float64(values[key]))) for key, (name, read_as) in _READ_AS.items()}
    name = str(message.get("OBJECT_NAME") or "").strip()
    if any(not c.isprintable() for c in name):
        raise MessageError(f"OBJECT_NAME holds control characters: {name!r}")
    record = (midnight_ns, ps, fraction, elements["ecc"], elements["inc"], elements["raa"], elements["arp"],
              elements["mea"], elements["mnm"], elements["bstar"], elements["ndot"], elements["nddot"],
              satno, elnum, revnum, -1, decimals, ephtype, classification.encode(),
              _text(message, "OBJECT_ID", "", 12).encode())
    return record, name


# ----------------------------------------------------------------------------- the four forms in


def _recognise(head: bytes) -> str:
    text = head.lstrip(b"\xef\xbb\xbf \t\r\n")
    if text.startswith(b"<"):
        return "xml"
    if text.startswith((b"[", b"{")):
        return "json"
    if text.startswith((b"CCSDS_OMM_VERS", b"COMMENT")) or re.match(rb"[A-Z_]+\s*=", text):
        return "kvn"
    if b"NORAD_CAT_ID" in text.split(b"\n", 1)[0]:
        return "csv"
    raise ValueError("the content is none of the OMM forms (XML, KVN, JSON, CSV)")


def _json_messages(data: bytes) -> Iterator[tuple[int, Any]]:
    import orjson

    try:
        document = orjson.loads(data)
    except orjson.JSONDecodeError as error:
        raise ValueError(f"not JSON: {error}") from None
    items = document if isinstance(document, list) else [document]
    for number, item in enumerate(items, 1):
        yield number, item


def _xml_parser():
    from lxml import etree

    # No entity is ever expanded, no DTD read, nothing fetched: a hostile document can neither
    # read local files nor grow in memory beyond its own size.
    return etree.XMLParser(resolve_entities=False, load_dtd=False, no_network=True, dtd_validation=False,
                           huge_tree=False, remove_comments=True, remove_pis=True)


def _xml_messages(data: bytes) -> Iterator[tuple[int, Any]]:
    from lxml import etree

    try:
        root = etree.fromstring(data, _xml_parser())
    except etree.XMLSyntaxError as error:
        raise ValueError(f"not XML: {error}") from None
    if root.getroottree().docinfo.doctype:
        raise ValueError("the XML document carries a document type declaration, which is refused "
                         "(entities are never expanded)")
    messages = [root] if etree.QName(root).localname == "omm" else list(root.iter("{*}omm", "omm"))
    if not messages:
        raise ValueError(f"the XML document holds no OMM message (its root is <{etree.QName(root).localname}>)")
    for number, omm in enumerate(messages, 1):
        fields = {}
        for element in omm.iter():
            if isinstance(element.tag, str) and len(element) == 0:
                fields[etree.QName(element).localname] = (element.text or "").strip()
        yield number, fields


# KVN values that are text, where brackets are part of the value, never a unit.
_TEXT_KEYS = ("OBJECT_NAME", "OBJECT_ID")


def _without_unit(value: str) -> str:
    """The value without a trailing unit in brackets ("15.5 [rev/day]" -> "15.5").

    Found by scanning rather than by a regular expression, whose backtracking over a long
    run of blanks or brackets takes a time quadratic in the line's length."""
    if not value.endswith("]"):
        return value
    start = value.find("[", value.rfind("]", 0, -1) + 1)
    return value[:start].rstrip() if start >= 0 else value


def _kvn_messages(text: str) -> Iterator[tuple[int, Any]]:
    fields: dict[str, str] = {}
    first = 0
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("COMMENT"):
            continue
        key, equals, value = line.partition("=")
        if not equals:
            yield number, {"_fault": f"not a KEY = value line: {line!r}"}
            continue
        key = key.strip()
        # A message starts with its version line; a key seen twice also starts a new one, so
        # that messages written without version lines are not merged into one.
        if (key == "CCSDS_OMM_VERS" or key in fields) and fields:
            yield first, fields
            fields = {}
        if not fields:
            first = number
        value = value.strip()
        fields[key] = value if key in _TEXT_KEYS else _without_unit(value)
    if fields:
        yield first, fields


def _csv_messages(text: str) -> Iterator[tuple[int, Any]]:
    # newline="": the csv module splits the lines itself, so that a line end of any kind
    # (or one inside a quoted field) is read as such rather than refused.
    rows = csv.DictReader(io.StringIO(text, newline=""))
    try:
        for row in rows:
            yield rows.line_num, {key.strip().upper(): value for key, value in row.items() if key is not None}
    except csv.Error as error:  # a field beyond the csv module's size limit, say
        raise ValueError(f"not CSV: {error} (after line {rows.line_num})") from None


def _messages(data: bytes, form: str) -> Iterator[tuple[int, Any]]:
    if form == "json":
        return _json_messages(data)
    if form == "xml":
        return _xml_messages(data)
    text = data.decode("utf-8-sig", "replace")
    return _kvn_messages(text) if form == "kvn" else _csv_messages(text)


def _read_document(stream: IO[bytes]) -> bytes:
    parts, size = [], 0
    while chunk := stream.read(sources.CHUNK):
        size += len(chunk)
        if size > _MAX_DOCUMENT:
            raise ValueError(f"the OMM document is larger than {_MAX_DOCUMENT:,} bytes")
        parts.append(chunk)
    return b"".join(parts)


def read_omm(source: Any, format: str | None = None, *, errors: str = "raise") -> Catalogue:
    """Read Orbit Mean-Elements Messages into a Catalogue.

    source: a path, a binary or text file object, or a list of these (compressed content is
        recognised as by read_tle).
    format: "xml" (CCSDS NDM/OMM), "kvn", "json" (an object or an array of objects with the
        upper-case OMM keys) or "csv" (a header row of those keys); None recognises it from the
        content.
    errors: "raise" stops at the first message that no line pair can carry (ValueError naming
        source, position and problem); "skip" keeps it in ``catalogue.rejected`` (line: the line
        number for KVN and CSV, the message's number for JSON and XML) and goes on.

    Messages keep their values as written (OMM's units: degrees, revolutions per day); the
    ELSETs made of them hold SI units (metres, seconds, radians), as read_tle gives.

    Example:
        >>> import astrokite as ak, io
        >>> kvn = io.StringIO()
        >>> ak.write_omm(ak.read_tle("data/tess.tle"), kvn, "kvn")
        >>> catalogue = ak.read_omm(io.StringIO(kvn.getvalue()))  # the form is recognised
        >>> catalogue
        Catalogue(1 satellite, 7 element sets, 0 rejected)
        >>> round(float(catalogue[43435].orp[0]) / 86400, 3)  # orbital period [days]
        12.936
    """
    if format is not None and format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)} or None, not {format!r}")
    reading = Reading(errors=errors)
    records: list[tuple] = []
    names: dict[int, str] = {}
    for stream in sources.streams(source):
        reading.begin(stream.name)
        try:
            data = _read_document(stream.stream)
        except sources.STREAM_ERRORS as error:
            reading.reject(0, "", f"the stream cannot be read to its end ({type(error).__name__}: {error})")
            data = b""
        if data.strip():
            try:
                form = format or _recognise(data[:4096])
                messages = list(_messages(data, form))
            except ValueError as error:
                reading.reject(0, data[:160].decode("utf-8", "backslashreplace"), str(error))
                messages = []
            for number, message in messages:
                try:
                    if not isinstance(message, dict):
                        raise MessageError(f"a message is an object of keys, not {type(message).__name__}")
                    if "_fault" in message:
                        raise MessageError(message["_fault"])
                    record, name = record_of_message(message)
                except MessageError as error:
                    reading.reject(number, str(message)[:300], str(error))
                    continue
                records.append(record)
                if name:
                    names[record[12]] = name
    return from_records(np.array(records, RECORD), names, reading.extra)


# ----------------------------------------------------------------------------- the four forms out


def _decimal_text(text: str, default: str = "0") -> str:
    """A line's plain decimal field as OMM text ("  .00015968" -> "0.00015968")."""
    text = text.strip()
    if not text:
        return default
    sign = "-" if text.startswith("-") else ""
    text = text.lstrip("+-")
    return sign + ("0" + text if text.startswith(".") else text)


def _exponent_text(field: str) -> str:
    """An implied-point field as OMM text (" 28903-3" -> "0.28903E-3")."""
    field = field.strip() or "00000-0"
    mantissa, exponent = field[:-2], field[-2:]
    sign = "-" if mantissa.startswith("-") else ""
    digits = mantissa.lstrip("+-").strip() or "0"
    try:
        return str(Decimal(f"{sign}0.{digits}E{int(exponent)}").normalize()).replace("E", "e") if int(digits) else "0"
    except (ValueError, InvalidOperation):
        return "0"


def _epoch_text(line1: str) -> str:
    """The line's epoch as ISO 8601 text with microseconds, exact to the line's 1e-8 day."""
    year = int(line1[18:20] or 0)
    year += 2000 if year < 57 else 1900
    whole, _, fraction = line1[20:32].strip().partition(".")
    units = int(fraction.ljust(8, "0")[:8] or 0)  # units of 1e-8 day: 864 microseconds each
    start = dt.datetime(year, 1, 1) + dt.timedelta(days=int(whole or 1) - 1, microseconds=units * 864)
    return start.strftime("%Y-%m-%dT%H:%M:%S.%f")


def elset_messages(elset: ELSET) -> Iterator[dict[str, str]]:
    """One OMM message (key -> text) per element set of an ELSET: values as the lines write them
    for sets read from TLE text, as the records hold them for the others."""
    rows = elset_rows(elset)
    if rows is None:
        yield from _record_messages(elset)
        return
    rows = rows.decode("utf-8")
    for i in range(0, len(rows), 138):
        line1, line2 = rows[i : i + 69], rows[i + 69 : i + 138]
        intldes = line1[9:17].strip()
        object_id = ""
        if len(intldes) >= 5 and intldes[:5].isdigit():
            year = int(intldes[:2])
            object_id = f"{year + (2000 if year < 57 else 1900)}-{intldes[2:5]}{intldes[5:]}"
        yield {
            "OBJECT_NAME": elset.satname or "",
            "OBJECT_ID": object_id,
            "EPOCH": _epoch_text(line1),
            "MEAN_MOTION": _decimal_text(line2[52:63]),
            "ECCENTRICITY": "0." + line2[26:33].strip().rjust(7, "0"),
            "INCLINATION": _decimal_text(line2[8:16]),
            "RA_OF_ASC_NODE": _decimal_text(line2[17:25]),
            "ARG_OF_PERICENTER": _decimal_text(line2[34:42]),
            "MEAN_ANOMALY": _decimal_text(line2[43:51]),
            "EPHEMERIS_TYPE": line1[62].strip() or "0",
            "CLASSIFICATION_TYPE": line1[7].strip() or "U",
            "NORAD_CAT_ID": str(elset.satno),
            "ELEMENT_SET_NO": line1[64:68].strip() or "0",
            "REV_AT_EPOCH": line2[63:68].strip() or "0",
            "BSTAR": _exponent_text(line1[53:61]),
            "MEAN_MOTION_DOT": _decimal_text(line1[33:43]),
            "MEAN_MOTION_DDOT": _exponent_text(line1[44:52]),
        }


# The conversions the readers apply to OMM's units (as elements/record.hpp writes them), so
# that the text written for a value reads back as that value.
_DEG = np.pi / 180.0
_REV = 2.0 * np.pi
_DAY = 86400.0
_READ_AS = {
    "INCLINATION": ("inc", lambda x: x * _DEG),
    "RA_OF_ASC_NODE": ("raa", lambda x: x * _DEG),
    "ARG_OF_PERICENTER": ("arp", lambda x: x * _DEG),
    "MEAN_ANOMALY": ("mea", lambda x: x * _DEG),
    "MEAN_MOTION": ("mnm", lambda x: x * _REV / _DAY),
    "MEAN_MOTION_DOT": ("ndot", lambda x: 2.0 * x * _REV / (_DAY * _DAY)),
    "MEAN_MOTION_DDOT": ("nddot", lambda x: 6.0 * x * _REV / (_DAY * _DAY * _DAY)),
    "ECCENTRICITY": ("ecc", lambda x: x),
    "BSTAR": ("bstar", lambda x: x),
}


def _texts_reading_as(values: np.ndarray, read_as) -> list[str]:
    """The shortest decimal texts whose value x gives exactly `values` through read_as(x). The
    conversions scale, so two neighbouring doubles may give the same value: the inverse and its
    neighbours within two ulps are tried, and the shortest text among those that read back wins."""
    x = values / read_as(np.ones(1))[0]
    candidates = [x]
    for _ in range(2):
        candidates = [np.nextafter(candidates[0], -np.inf), *candidates, np.nextafter(candidates[-1], np.inf)]
    reads_back = [read_as(c) == values for c in candidates]
    texts = []
    for i in range(len(values)):
        fitting = [np.format_float_positional(c[i], unique=True, trim="-")
                   for c, fits in zip(candidates, reads_back) if fits[i]]
        texts.append(min(fitting, key=len) if fitting else np.format_float_positional(x[i], unique=True, trim="-"))
    return texts


def _epoch_texts(records: np.ndarray) -> list[str]:
    """Each record's epoch as written: the day, then the time of day with as many decimals."""
    days = (records["epoch_midnight_ns"] // 86_400_000_000_000).astype("datetime64[D]").astype(str)
    texts = []
    for day, ps, decimals in zip(days, records["epoch_ps"].tolist(), records["epoch_decimals"].tolist()):
        seconds, fraction = divmod(ps, 10**12)
        hours, rest = divmod(seconds, 3600)
        text = f"{day}T{hours:02d}:{rest // 60:02d}:{rest % 60:02d}"
        if decimals > 0:
            text += "." + f"{fraction:012d}"[:decimals]
        texts.append(text)
    return texts


def _record_messages(elset: ELSET) -> Iterator[dict[str, str]]:
    """One OMM message per set of an ELSET of records: every value written so that it reads back
    as the same double, the epoch as it was written."""
    records = elset_records(elset)
    columns = {key: _texts_reading_as(records[name].astype(np.float64), read_as)
               for key, (name, read_as) in _READ_AS.items()}
    epochs = _epoch_texts(records)
    for i, record in enumerate(records):
        yield {
            "OBJECT_NAME": elset.satname or "",
            "OBJECT_ID": record["intldes"].decode("ascii", "replace"),
            "EPOCH": epochs[i],
            **{key: columns[key][i] for key in _MEAN_ELEMENTS[1:]},
            "EPHEMERIS_TYPE": str(int(record["ephtype"])),
            "CLASSIFICATION_TYPE": record["classification"].decode("ascii", "replace") or "U",
            "NORAD_CAT_ID": str(int(record["satno"])),
            "ELEMENT_SET_NO": str(int(record["elnum"])),
            "REV_AT_EPOCH": str(int(record["revnum"])),
            **{key: columns[key][i] for key in ("BSTAR", "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT")},
        }


_XML_HEAD = ('<?xml version="1.0" encoding="UTF-8"?>\n'
             '<ndm xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
             'xsi:noNamespaceSchemaLocation="https://sanaregistry.org/r/ndmxml_unqualified/ndmxml-2.0.0-master-2.0.xsd">\n')
_METADATA = ("OBJECT_NAME", "OBJECT_ID")
_MEAN_ELEMENTS = ("EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE", "ARG_OF_PERICENTER",
                  "MEAN_ANOMALY")
_TLE_PARAMETERS = ("EPHEMERIS_TYPE", "CLASSIFICATION_TYPE", "NORAD_CAT_ID", "ELEMENT_SET_NO", "REV_AT_EPOCH",
                   "BSTAR", "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT")


#: What written messages name as their originator (a header field the standard requires).
ORIGINATOR = "astrokite"


def _creation_date() -> str:
    """The header's CREATION_DATE: now, UTC."""
    return dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")


def _xml_message(message: dict[str, str]) -> str:
    from xml.sax.saxutils import escape

    def elements(keys: Iterable[str], indent: str) -> str:
        return "".join(f"{indent}<{key}>{escape(message[key])}</{key}>\n" for key in keys)

    return ('  <omm id="CCSDS_OMM_VERS" version="2.0">\n'
            f'    <header><CREATION_DATE>{_creation_date()}</CREATION_DATE><ORIGINATOR>{ORIGINATOR}</ORIGINATOR></header>\n'
            '    <body><segment>\n'
            '      <metadata>\n' + elements(_METADATA, "        ") +
            '        <CENTER_NAME>EARTH</CENTER_NAME>\n        <REF_FRAME>TEME</REF_FRAME>\n'
            '        <TIME_SYSTEM>UTC</TIME_SYSTEM>\n        <MEAN_ELEMENT_THEORY>SGP4</MEAN_ELEMENT_THEORY>\n'
            '      </metadata>\n      <data>\n        <meanElements>\n' + elements(_MEAN_ELEMENTS, "          ") +
            '        </meanElements>\n        <tleParameters>\n' + elements(_TLE_PARAMETERS, "          ") +
            '        </tleParameters>\n      </data>\n    </segment></body>\n  </omm>\n')


def _kvn_message(message: dict[str, str]) -> str:
    head = f"CCSDS_OMM_VERS = 2.0\nCREATION_DATE = {_creation_date()}\nORIGINATOR = {ORIGINATOR}\n"
    body = [f"OBJECT_NAME = {message['OBJECT_NAME']}", f"OBJECT_ID = {message['OBJECT_ID']}",
            "CENTER_NAME = EARTH", "REF_FRAME = TEME", "TIME_SYSTEM = UTC", "MEAN_ELEMENT_THEORY = SGP4"]
    body += [f"{key} = {message[key]}" for key in _MEAN_ELEMENTS + _TLE_PARAMETERS]
    return head + "\n".join(body) + "\n\n"


def _omm_text(messages: list[dict[str, str]], form: str) -> str:
    if form == "json":
        import orjson

        return orjson.dumps(messages, option=orjson.OPT_INDENT_2).decode("utf-8") + "\n"
    if form == "xml":
        return _XML_HEAD + "".join(_xml_message(message) for message in messages) + "</ndm>\n"
    if form == "kvn":
        return "".join(_kvn_message(message) for message in messages)
    text = io.StringIO()
    writer = csv.DictWriter(text, fieldnames=KEYS, lineterminator="\n")
    writer.writeheader()
    writer.writerows(messages)
    return text.getvalue()


def write_omm(catalogue_or_elsets: Catalogue | ELSET | Iterable[ELSET], path_or_file: Any,
              format: str | None = None) -> None:
    """Write element sets as OMM: format "xml", "kvn", "json" or "csv".

    path_or_file: a path (format may then come from its suffix) or a text or binary file object.
    Values are written as the lines hold them, in OMM's units (degrees, revolutions per day), so
    that reading the messages back gives the same element sets.

    Example:
        >>> import astrokite as ak, io
        >>> out = io.StringIO()
        >>> ak.write_omm(ak.read_tle("data/tess.tle"), out, "kvn")
        >>> print("\\n".join(out.getvalue().splitlines()[9:14]))
        EPOCH = 2023-02-13T02:06:16.398720
        MEAN_MOTION = 0.07730284
        ECCENTRICITY = 0.5251408
        INCLINATION = 36.7286
        RA_OF_ASC_NODE = 79.0992
    """
    if format is None and isinstance(path_or_file, (str, os.PathLike)):
        format = os.path.splitext(os.fspath(path_or_file))[1].lstrip(".").lower() or None
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    messages = [message for elset in elsets_of(catalogue_or_elsets) for message in elset_messages(elset)]
    text = _omm_text(messages, format)
    sources.write_text(path_or_file, lambda out: out.write(text))
