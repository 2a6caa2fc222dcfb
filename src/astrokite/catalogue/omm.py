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
import os
import re
from collections.abc import Iterable, Iterator
from decimal import ROUND_HALF_EVEN, Decimal, InvalidOperation
from typing import IO, Any

from astrokite.catalogue import sources
from astrokite.catalogue.catalogue import Catalogue, elset_rows
from astrokite.catalogue.tle_text import Reading, elsets_of
from astrokite.propagators.analytical.sgp4.tle import ELSET

FORMATS = ("xml", "kvn", "json", "csv")

# The OMM keys of one element set, in the order the forms write them.
KEYS = ("OBJECT_NAME", "OBJECT_ID", "EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE",
        "ARG_OF_PERICENTER", "MEAN_ANOMALY", "EPHEMERIS_TYPE", "CLASSIFICATION_TYPE", "NORAD_CAT_ID",
        "ELEMENT_SET_NO", "REV_AT_EPOCH", "BSTAR", "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT")
_REQUIRED = ("EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE", "ARG_OF_PERICENTER",
             "MEAN_ANOMALY", "NORAD_CAT_ID")
_ALPHA5 = "ABCDEFGHJKLMNPQRSTUVWXYZ"  # A=10 ... Z=33, without I and O
_MAX_SATNO = 339_999
_MAX_DOCUMENT = 1 << 29  # bytes of one OMM document read at most: parsing holds it whole


class MessageError(ValueError):
    """A message that no line pair can carry."""


# ----------------------------------------------------------------------------- messages to lines


def _number(message: dict, key: str, default: str | None = None) -> Decimal:
    value = message.get(key)
    if value is None or (isinstance(value, str) and not value.strip()):
        if default is None:
            raise MessageError(f"{key} is missing")
        value = default
    try:
        number = Decimal(str(value).strip())
    except InvalidOperation:
        raise MessageError(f"{key} is not a number: {value!r}") from None
    if not number.is_finite():
        raise MessageError(f"{key} is not a finite number: {value!r}")
    # No field of a line reaches 1e12; refusing such values here keeps rounding them to a
    # column's decimals within the decimal context and turning them into ints cheap
    # ("1e999999999" would be a number of a billion digits).
    if number and number.adjusted() >= 12:
        raise MessageError(f"{key} {value!r} is far larger than any line holds")
    return number


def _integer(message: dict, key: str, default: str) -> int:
    number = _number(message, key, default)
    if number != number.to_integral_value():
        raise MessageError(f"{key} is not an integer: {message.get(key)!r}")
    return int(number)


def _fixed(value: Decimal, width: int, decimals: int, key: str, low: Decimal, high: Decimal) -> str:
    """The value in `width` columns with `decimals` decimals, within [low, high)."""
    rounded = value.quantize(Decimal(1).scaleb(-decimals), ROUND_HALF_EVEN)
    if not low <= rounded < high:
        raise MessageError(f"{key} {value} lies outside [{low}, {high}) and no line can hold it")
    return f"{rounded:{width}.{decimals}f}"


def _point_field(value: Decimal, key: str) -> str:
    """The first derivative column: sign and a point, then eight decimals (" .00015968")."""
    rounded = value.quantize(Decimal("1e-8"), ROUND_HALF_EVEN)
    if abs(rounded) >= 1:
        raise MessageError(f"{key} {value} does not fit a line (|value| < 1)")
    digits = f"{abs(rounded):.8f}"[1:]
    return ("-" if rounded < 0 else " ") + digits


def _exponent_field(value: Decimal, key: str) -> str:
    """An implied-point field with a power of ten (" 28903-3" is 0.28903e-3)."""
    if value == 0:
        return " 00000-0"
    exponent = value.adjusted() + 1  # 0.1 <= |value| / 10**exponent < 1
    mantissa = int((abs(value).scaleb(5 - exponent)).to_integral_value(ROUND_HALF_EVEN))
    if mantissa == 100_000:
        mantissa, exponent = 10_000, exponent + 1
    if exponent < -9:
        return " 00000-0"  # below what the column holds
    if exponent > 9:
        raise MessageError(f"{key} {value} does not fit a line")
    return ("-" if value < 0 else " ") + f"{mantissa:05d}" + ("-" if exponent < 0 else "+") + str(abs(exponent))


def _satno_field(number: int) -> str:
    if number < 0:
        raise MessageError(f"NORAD_CAT_ID {number} is negative")
    if number > _MAX_SATNO:
        raise MessageError(f"NORAD_CAT_ID {number} is above 339999: no TLE line can hold it")
    if number < 100_000:
        return f"{number:05d}"
    return _ALPHA5[number // 10_000 - 10] + f"{number % 10_000:04d}"


_EPOCH = re.compile(r"\s*(\d{4})-(?:(\d{2})-(\d{2})|(\d{3}))(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:\.(\d+))?)?)?Z?\s*$")


def _epoch_field(text: Any) -> str:
    """EPOCH (ISO 8601 calendar or day-of-year form, UTC) as the line's "YYDDD.DDDDDDDD"."""
    match = _EPOCH.match(str(text)) if text is not None else None
    if not match:
        raise MessageError(f"EPOCH is not an ISO 8601 time: {text!r}")
    year, month, day, day_of_year, hour, minute, second, fraction = match.groups()
    year = int(year)
    if not 1957 <= year <= 2056:
        raise MessageError(f"EPOCH year {year} is outside 1957 to 2056, which a line holds")
    try:
        date = dt.date(year, int(month), int(day)) if month else dt.date(year, 1, 1) + dt.timedelta(int(day_of_year) - 1)
        time_of_day = dt.time(int(hour or 0), int(minute or 0), int(second or 0))
    except ValueError as error:
        raise MessageError(f"EPOCH is not a valid time: {text!r} ({error})") from None
    if date.year != year:
        raise MessageError(f"EPOCH day of year is outside its year: {text!r}")
    # The day's fraction in units of 1e-8 day (864 microseconds), rounded from nanoseconds.
    nanoseconds = ((time_of_day.hour * 60 + time_of_day.minute) * 60 + time_of_day.second) * 10**9
    if fraction:
        nanoseconds += int(Decimal("0." + fraction).scaleb(9).to_integral_value(ROUND_HALF_EVEN))
    units = (2 * nanoseconds + 864_000) // 1_728_000
    day_number = date.timetuple().tm_yday
    if units >= 10**8:  # rounded up to the next midnight
        units -= 10**8
        next_day = date + dt.timedelta(1)
        if next_day.year != year:
            year, day_number = next_day.year, 1
            if year > 2056:
                raise MessageError(f"EPOCH {text!r} rounds into 2057, which no line holds")
        else:
            day_number += 1
    return f"{year % 100:02d}{day_number:03d}.{units:08d}"


_OBJECT_ID = re.compile(r"\s*(\d{4})-(\d{3})([A-Z]{1,3})\s*$")


def _intldes_field(text: Any) -> str:
    """OBJECT_ID "1998-067A" as the line's "98067A  "; anything else leaves the column blank."""
    match = _OBJECT_ID.match(str(text)) if text else None
    if not match:
        return " " * 8
    year, launch, piece = match.groups()
    return f"{year[2:]}{launch}{piece:<3}"


def _checksum(line: str) -> str:
    """Column 69: the digits of the line summed, each minus sign counting 1, modulo 10."""
    return str((sum(digit * line.count(str(digit)) for digit in range(1, 10)) + line.count("-")) % 10)


def message_lines(message: dict) -> tuple[str, str, str]:
    """(name line, line 1, line 2) of one OMM message given as a dict of its upper-case keys."""
    for key in _REQUIRED:
        if message.get(key) is None or (isinstance(message.get(key), str) and not message[key].strip()):
            raise MessageError(f"{key} is missing")
    satno = _satno_field(_integer(message, "NORAD_CAT_ID", "0"))
    classification = str(message.get("CLASSIFICATION_TYPE") or "U").strip()[:1] or "U"
    if not " " <= classification <= "~":
        raise MessageError(f"CLASSIFICATION_TYPE is not a letter: {classification!r}")
    ephtype = _integer(message, "EPHEMERIS_TYPE", "0")
    elnum = _integer(message, "ELEMENT_SET_NO", "0")
    revnum = _integer(message, "REV_AT_EPOCH", "0")
    if not 0 <= ephtype <= 9 or not 0 <= elnum <= 9999 or not 0 <= revnum <= 99999:
        raise MessageError("EPHEMERIS_TYPE, ELEMENT_SET_NO or REV_AT_EPOCH lies outside its column")
    ecc = _number(message, "ECCENTRICITY").quantize(Decimal("1e-7"), ROUND_HALF_EVEN)
    if not 0 <= ecc < 1:
        raise MessageError(f"ECCENTRICITY {message['ECCENTRICITY']} lies outside [0, 1)")
    line1 = (f"1 {satno}{classification} {_intldes_field(message.get('OBJECT_ID'))} "
             f"{_epoch_field(message.get('EPOCH'))} "
             f"{_point_field(_number(message, 'MEAN_MOTION_DOT', '0'), 'MEAN_MOTION_DOT')} "
             f"{_exponent_field(_number(message, 'MEAN_MOTION_DDOT', '0'), 'MEAN_MOTION_DDOT')} "
             f"{_exponent_field(_number(message, 'BSTAR', '0'), 'BSTAR')} {ephtype} {elnum:4d}")
    angle = Decimal(360)
    line2 = (f"2 {satno} "
             f"{_fixed(_number(message, 'INCLINATION'), 8, 4, 'INCLINATION', Decimal(0), Decimal('180.00005'))} "
             f"{_fixed(_number(message, 'RA_OF_ASC_NODE'), 8, 4, 'RA_OF_ASC_NODE', Decimal(0), angle)} "
             f"{f'{ecc:.7f}'[2:]} "
             f"{_fixed(_number(message, 'ARG_OF_PERICENTER'), 8, 4, 'ARG_OF_PERICENTER', Decimal(0), angle)} "
             f"{_fixed(_number(message, 'MEAN_ANOMALY'), 8, 4, 'MEAN_ANOMALY', Decimal(0), angle)} "
             f"{_fixed(_number(message, 'MEAN_MOTION'), 11, 8, 'MEAN_MOTION', Decimal(0), Decimal(100))}"
             f"{revnum:5d}")
    name = str(message.get("OBJECT_NAME") or "").strip()
    if any(not c.isprintable() for c in name):
        raise MessageError(f"OBJECT_NAME holds control characters: {name!r}")
    return name, line1 + _checksum(line1), line2 + _checksum(line2)


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
            lines = []
            for number, message in messages:
                try:
                    if not isinstance(message, dict):
                        raise MessageError(f"a message is an object of keys, not {type(message).__name__}")
                    if "_fault" in message:
                        raise MessageError(message["_fault"])
                    name, line1, line2 = message_lines(message)
                except MessageError as error:
                    reading.reject(number, str(message)[:300], str(error))
                    continue
                lines.append(f"0 {name}\n{line1}\n{line2}\n" if name else f"{line1}\n{line2}\n")
            reading.feed("".join(lines).encode("utf-8"))
        reading.end()
    return reading.catalogue()


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
    """One OMM message (key -> text) per element set of an ELSET, values as the lines write them."""
    rows = elset_rows(elset).decode("utf-8")
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


_XML_HEAD = ('<?xml version="1.0" encoding="UTF-8"?>\n'
             '<ndm xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
             'xsi:noNamespaceSchemaLocation="https://sanaregistry.org/r/ndmxml_unqualified/ndmxml-2.0.0-master-2.0.xsd">\n')
_METADATA = ("OBJECT_NAME", "OBJECT_ID")
_MEAN_ELEMENTS = ("EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE", "ARG_OF_PERICENTER",
                  "MEAN_ANOMALY")
_TLE_PARAMETERS = ("EPHEMERIS_TYPE", "CLASSIFICATION_TYPE", "NORAD_CAT_ID", "ELEMENT_SET_NO", "REV_AT_EPOCH",
                   "BSTAR", "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT")


def _xml_message(message: dict[str, str]) -> str:
    from xml.sax.saxutils import escape

    def elements(keys: Iterable[str], indent: str) -> str:
        return "".join(f"{indent}<{key}>{escape(message[key])}</{key}>\n" for key in keys)

    return ('  <omm id="CCSDS_OMM_VERS" version="2.0">\n'
            '    <header><CREATION_DATE/><ORIGINATOR/></header>\n'
            '    <body><segment>\n'
            '      <metadata>\n' + elements(_METADATA, "        ") +
            '        <CENTER_NAME>EARTH</CENTER_NAME>\n        <REF_FRAME>TEME</REF_FRAME>\n'
            '        <TIME_SYSTEM>UTC</TIME_SYSTEM>\n        <MEAN_ELEMENT_THEORY>SGP4</MEAN_ELEMENT_THEORY>\n'
            '      </metadata>\n      <data>\n        <meanElements>\n' + elements(_MEAN_ELEMENTS, "          ") +
            '        </meanElements>\n        <tleParameters>\n' + elements(_TLE_PARAMETERS, "          ") +
            '        </tleParameters>\n      </data>\n    </segment></body>\n  </omm>\n')


def _kvn_message(message: dict[str, str]) -> str:
    head = ("CCSDS_OMM_VERS = 2.0\nCREATION_DATE = \nORIGINATOR = \n")
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
