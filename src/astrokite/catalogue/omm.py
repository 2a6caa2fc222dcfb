"""CCSDS Orbit Mean-Elements Messages (OMM) in and out: XML, KVN, JSON and CSV.

Each message becomes one element-set record with its values as written: every number correctly
rounded from its text, the epoch to the picosecond as written, catalogue numbers to nine digits,
nothing rounded to TLE columns (see ``omm_parse``, the native reader of the four forms). The
fields a record does not hold (ORIGINATOR, REF_FRAME, a catalogue service's own keys, ...) are
kept beside the records and written back. Written messages give every value in the fewest
digits that read back as the same double.
"""

from __future__ import annotations

import csv
import datetime as dt
import io
import os
import re
from collections.abc import Iterable, Iterator
from decimal import Decimal, InvalidOperation
from typing import IO, Any

import numpy as np

from astrokite.catalogue import reader, sources
from astrokite.catalogue.catalogue import Catalogue, elset_records, elset_rows, from_records
from astrokite.catalogue.omm_extras import fields_of_row, joined
from astrokite.catalogue.omm_parse import MAX_DOCUMENT, parse
from astrokite.elements.records import RECORD
from astrokite.catalogue.tle_text import Reading, elsets_of
from astrokite.propagators.analytical.sgp4.tle import ELSET

FORMATS = ("xml", "kvn", "json", "csv")

# The OMM keys of one element set, in the order the forms write them.
KEYS = ("OBJECT_NAME", "OBJECT_ID", "EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE",
        "ARG_OF_PERICENTER", "MEAN_ANOMALY", "EPHEMERIS_TYPE", "CLASSIFICATION_TYPE", "NORAD_CAT_ID",
        "ELEMENT_SET_NO", "REV_AT_EPOCH", "BSTAR", "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT")


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


def _too_large() -> ValueError:
    return ValueError(f"the OMM document is larger than {MAX_DOCUMENT:,} bytes")


def _read_document(stream: IO[bytes]) -> bytes | memoryview:
    """The bytes of one document: in place when they are in memory already, in one read from a
    file of known size, else piece by piece; never more than MAX_DOCUMENT."""
    if isinstance(stream, io.BytesIO):
        # Its value, not its buffer: a BytesIO made of bytes shares them until written to, and
        # getvalue() gives them as they are where getbuffer() would copy them first.
        view = memoryview(stream.getvalue())[stream.tell():]
        if len(view) > MAX_DOCUMENT:
            raise _too_large()
        return view
    left = None
    if isinstance(stream, (io.BufferedReader, io.FileIO)):  # a file: its size is known
        try:
            left = os.fstat(stream.fileno()).st_size - stream.tell()
        except (OSError, ValueError, io.UnsupportedOperation):
            left = None
    if left is not None and 0 <= left <= MAX_DOCUMENT:
        data = stream.read(left)
        more = stream.read(1)
        if not more:
            return data
        data += more + stream.read(MAX_DOCUMENT - len(data))  # the file grew meanwhile
        if len(data) > MAX_DOCUMENT:
            raise _too_large()
        return data
    parts, size = [], 0
    while chunk := stream.read(sources.CHUNK):
        size += len(chunk)
        if size > MAX_DOCUMENT:
            raise _too_large()
        parts.append(chunk)
    return b"".join(parts)


_BLANK = np.zeros(256, bool)
_BLANK[list(b" \t\r\n\v\f")] = True


def _is_blank(data: bytes | memoryview) -> bool:
    """Whether a document holds only white space (its head decides, as a rule)."""
    return all(bool(_BLANK[np.frombuffer(part, np.uint8)].all()) for part in (data[:4096], data[4096:]))


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
    parts, names = [], {}
    for stream in sources.streams(source):
        reading.begin(stream.name)
        try:
            data = _read_document(stream.stream)
        except sources.STREAM_ERRORS as error:
            reading.reject(0, "", f"the stream cannot be read to its end ({type(error).__name__}: {error})")
            data = b""
        if _is_blank(data):
            continue
        try:
            read = parse(data, format or _recognise(bytes(data[:4096])))
        except ValueError as error:
            reading.reject(0, bytes(data[:160]).decode("utf-8", "backslashreplace"), str(error))
            continue
        for number, text, reason in read.rejected:
            reading.reject(number, text, reason)
        parts.append((read.extras, read.records))
        names.update(read.names)
    if len(parts) == 1 and not parts[0][0]:  # as read, no record with other fields: nothing to renumber
        extras, records = None, parts[0][1]
    else:
        extras, rows = joined([(table, records["extras_row"]) for table, records in parts])
        if len(parts) == 1:  # as read: no copy
            records = parts[0][1]
            records["extras_row"] = rows[0]
        else:
            records = np.concatenate([records for _, records in parts]) if parts else np.zeros(0, RECORD)
            if len(records):
                records["extras_row"] = np.concatenate(rows)
    del parts
    catalogue = from_records(records, names, reading.extra, extras)
    del records
    reader.return_free_memory()  # the documents' and the records' pages, scattered once freed
    return catalogue


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
    extras = elset._extras()
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
            **{key: text for key, text in fields_of_row(extras, int(record["extras_row"])).items()
               if _writable(key, text)},
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


# Header and metadata fields every written message has: a kept value, else these.
_HEADER = {"CCSDS_OMM_VERS": "2.0", "CREATION_DATE": None, "ORIGINATOR": ORIGINATOR}
_FRAME = {"CENTER_NAME": "EARTH", "REF_FRAME": "TEME", "TIME_SYSTEM": "UTC", "MEAN_ELEMENT_THEORY": "SGP4"}


def _kept_or_default(message: dict[str, str], defaults: dict[str, str | None]) -> dict[str, str]:
    return {key: message.get(key) or default or _creation_date() for key, default in defaults.items()}


_STANDARD = {*KEYS, *_HEADER, *_FRAME, "COMMENT"}
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def _writable(key: str, text: str) -> bool:
    """Whether a kept field can be written back in every form: a text without control characters
    and of one line (KVN has no other; COMMENT alone is written line by line), under a standard
    header or metadata key, or a key that is a name (an XML element, a KVN key, a CSV column as
    written) and no standard key in another case."""
    lines = text.splitlines() if key == "COMMENT" else [text]
    if len(lines) != 1 and key != "COMMENT" or any(c < " " or c == "\x7f" for line in lines for c in line):
        return False
    return key in _HEADER or key in _FRAME or key == "COMMENT" or (
        _NAME.fullmatch(key) is not None and key.upper() not in _STANDARD)


def _others(message: dict[str, str]) -> dict[str, str]:
    """The fields of a message beyond the standard ones: kept from the messages it was read from."""
    return {key: text for key, text in message.items() if key not in _STANDARD}


def _xml_message(message: dict[str, str]) -> str:
    from xml.sax.saxutils import escape, quoteattr

    def elements(keys: Iterable[str], indent: str) -> str:
        return "".join(f"{indent}<{key}>{escape(message[key])}</{key}>\n" for key in keys)

    header = _kept_or_default(message, _HEADER)
    frame = _kept_or_default(message, _FRAME)
    comments = "".join(f"<COMMENT>{escape(line)}</COMMENT>" for line in message.get("COMMENT", "").splitlines())
    others = ""
    for key, text in _others(message).items():
        if key.startswith("USER_DEFINED_"):
            others += f'          <USER_DEFINED parameter={quoteattr(key[13:])}>{escape(text)}</USER_DEFINED>\n'
        else:
            others += f"          <{key}>{escape(text)}</{key}>\n"
    if others:
        others = "        <userDefinedParameters>\n" + others + "        </userDefinedParameters>\n"
    return (f'  <omm id="CCSDS_OMM_VERS" version={quoteattr(header["CCSDS_OMM_VERS"])}>\n'
            f'    <header>{comments}<CREATION_DATE>{escape(header["CREATION_DATE"])}</CREATION_DATE>'
            f'<ORIGINATOR>{escape(header["ORIGINATOR"])}</ORIGINATOR></header>\n'
            '    <body><segment>\n'
            '      <metadata>\n' + elements(_METADATA, "        ") +
            "".join(f"        <{key}>{escape(text)}</{key}>\n" for key, text in frame.items()) +
            '      </metadata>\n      <data>\n        <meanElements>\n' + elements(_MEAN_ELEMENTS, "          ") +
            '        </meanElements>\n        <tleParameters>\n' + elements(_TLE_PARAMETERS, "          ") +
            '        </tleParameters>\n' + others + '      </data>\n    </segment></body>\n  </omm>\n')


def _kvn_message(message: dict[str, str]) -> str:
    lines = [f"{key} = {text}" for key, text in _kept_or_default(message, _HEADER).items()]
    lines += [f"COMMENT {line}" for line in message.get("COMMENT", "").splitlines()]
    lines += [f"OBJECT_NAME = {message['OBJECT_NAME']}", f"OBJECT_ID = {message['OBJECT_ID']}"]
    lines += [f"{key} = {text}" for key, text in _kept_or_default(message, _FRAME).items()]
    lines += [f"{key} = {message[key]}" for key in _MEAN_ELEMENTS + _TLE_PARAMETERS]
    lines += [f"{key} = {text}" for key, text in _others(message).items()]
    return "\n".join(lines) + "\n\n"


def _omm_text(messages: list[dict[str, str]], form: str) -> str:
    if form == "json":
        import orjson

        return orjson.dumps(messages, option=orjson.OPT_INDENT_2).decode("utf-8") + "\n"
    if form == "xml":
        return _XML_HEAD + "".join(_xml_message(message) for message in messages) + "</ndm>\n"
    if form == "kvn":
        return "".join(_kvn_message(message) for message in messages)
    text = io.StringIO()
    kept = dict.fromkeys(key for message in messages for key in message if key not in KEYS)
    writer = csv.DictWriter(text, fieldnames=[*KEYS, *kept], lineterminator="\n")
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
