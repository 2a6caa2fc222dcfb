"""OMM documents read natively into records (omm_parse.parse), against the sgp4 package's readers."""

import io
import itertools
import json
import math
import random
from decimal import Decimal
from fractions import Fraction
from xml.sax.saxutils import escape

import numpy as np
import pytest
from helpers import DATA
from sgp4 import omm as sgp4_omm
from sgp4.api import Satrec

from astrokite.catalogue import read_tle, write_omm
from astrokite.catalogue.omm_parse import MAX_DOCUMENT, parse
from astrokite.elements.records import RECORD

FORMS = ("xml", "kvn", "json", "csv")
KEYS = ("OBJECT_NAME", "OBJECT_ID", "EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE",
        "ARG_OF_PERICENTER", "MEAN_ANOMALY", "EPHEMERIS_TYPE", "CLASSIFICATION_TYPE", "NORAD_CAT_ID",
        "ELEMENT_SET_NO", "REV_AT_EPOCH", "BSTAR", "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT")
DAY_PS = 86_400 * 10**12


def _exponent(field):
    field = field.strip() or "00000-0"
    return f"{'-' if field.startswith('-') else ''}0.{field.lstrip('+-')[:-2]}e{int(field[-2:])}"


def sample_messages(count=400, seed=1):
    """Messages (key -> text) from the bundled element sets with more digits than a line holds:
    eccentricities of 11 digits, angles of 7 decimals, epochs of 6 decimals; every fifth under a
    nine-digit catalogue number."""
    rng = random.Random(seed)
    pairs = []
    for path in sorted(DATA.glob("*.tle")):
        lines = [line for line in path.read_text().splitlines() if line.strip()]
        pairs += list(zip(lines[0::2], lines[1::2]))
    messages = []
    for i, (line1, line2) in enumerate(rng.sample(pairs, count)):
        year = 2000 + int(line1[18:20])
        day = Decimal(line1[20:32])
        micro = int((day - int(day)) * 86_400_000_000)
        month, mday = _month_day(year, int(day))
        epoch = (f"{year}-{month:02d}-{mday:02d}T{micro // 3_600_000_000:02d}:{micro // 60_000_000 % 60:02d}:"
                 f"{micro // 1_000_000 % 60:02d}.{micro % 1_000_000:06d}")
        digits = lambda text, more: text.strip() + "".join(rng.choice("0123456789") for _ in range(more))  # noqa: E731
        messages.append({
            "OBJECT_NAME": f"SAT {line1[2:7]}", "OBJECT_ID": f"{year - 100 if int(line1[9:11]) > 56 else year}-"
                                                             f"{line1[11:14]}{line1[14:17].strip()}",
            "EPOCH": epoch, "MEAN_MOTION": digits(line2[52:63], 3), "ECCENTRICITY": "0." + digits(line2[26:33], 4),
            "INCLINATION": digits(line2[8:16], 3), "RA_OF_ASC_NODE": digits(line2[17:25], 3),
            "ARG_OF_PERICENTER": digits(line2[34:42], 3), "MEAN_ANOMALY": digits(line2[43:51], 3),
            "EPHEMERIS_TYPE": "0", "CLASSIFICATION_TYPE": "U",
            "NORAD_CAT_ID": str(int(line1[2:7]) + (123_400_000 if i % 5 == 4 else 0)),
            "ELEMENT_SET_NO": line1[64:68].strip(), "REV_AT_EPOCH": line2[63:68].strip(),
            "BSTAR": _exponent(line1[53:61]), "MEAN_MOTION_DOT": line1[33:43].strip().replace(" ", ""),
            "MEAN_MOTION_DDOT": _exponent(line1[44:52]),
        })
    return messages


def _month_day(year, day_of_year):
    lengths = [31, 29 if year % 4 == 0 else 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31]
    month = 0
    while day_of_year > lengths[month]:
        day_of_year -= lengths[month]
        month += 1
    return month + 1, day_of_year


def document(messages, form):
    """The messages in one of the four forms (XML in the layout sgp4's reader expects)."""
    if form == "json":
        return json.dumps(messages).encode()
    if form == "csv":
        return (",".join(KEYS) + "\n" + "".join(",".join(m.get(k, "") for k in KEYS) + "\n" for m in messages)).encode()
    if form == "kvn":
        return "".join("CCSDS_OMM_VERS = 2.0\n" + "".join(f"{k} = {v}\n" for k, v in m.items()) + "\n"
                       for m in messages).encode()

    def fields(m, keys):
        return "".join(f"<{k}>{escape(m[k])}</{k}>" for k in keys if k in m)

    return ("<?xml version='1.0'?>\n<ndm>" + "".join(
        f'<omm version="2.0"><body><segment><metadata>{fields(m, KEYS[:2])}</metadata><data><meanElements>'
        f'{fields(m, KEYS[2:9])}</meanElements><tleParameters>{fields(m, KEYS[9:])}</tleParameters>'
        f'</data></segment></body></omm>\n' for m in messages) + "</ndm>\n").encode()


MESSAGES = sample_messages()
READ = {form: parse(document(MESSAGES, form), form) for form in FORMS}


def without_extras_row(records):
    records = records.copy()
    records["extras_row"] = 0
    return records


def test_every_form_gives_the_same_records():
    first = READ["json"]
    assert first.rejected == [] and len(first.records) == len(MESSAGES)
    for form in FORMS:
        assert READ[form].rejected == []
        assert without_extras_row(READ[form].records).tobytes() == without_extras_row(first.records).tobytes(), form
        assert READ[form].names == first.names


@pytest.mark.parametrize("form", ["xml", "csv", "json"])
def test_values_agree_with_sgp4s_reader(form):
    data = document(MESSAGES, form)
    if form == "json":
        parsed = json.loads(data)
    else:
        parsed = list((sgp4_omm.parse_xml if form == "xml" else sgp4_omm.parse_csv)(io.StringIO(data.decode())))
    records = READ[form].records
    for fields, record in zip(parsed, records, strict=True):
        assert int(fields["NORAD_CAT_ID"]) == record["satno"]
        assert record["intldes"].decode() == fields["OBJECT_ID"]
        if record["satno"] > 339_999:
            continue  # sgp4's Satrec holds no nine-digit number
        sat = Satrec()
        sgp4_omm.initialize(sat, fields)
        # The same text read correctly rounded, the same conversion: the same double.
        for name, field in (("ecco", "ecc"), ("inclo", "inc"), ("nodeo", "raa"), ("argpo", "arp"), ("mo", "mea"),
                            ("bstar", "bstar")):
            assert getattr(sat, name) == record[field], name
        assert sat.no_kozai / 60 == pytest.approx(record["mnm"], rel=2e-16)
        jd = (record["epoch_midnight_ns"] / 86_400e9 + 2440587.5) + record["epoch_fraction"]
        assert sat.jdsatepoch + sat.jdsatepochF == pytest.approx(jd, abs=2e-10)
    assert (records["epoch_decimals"] == 6).all()
    assert len(str(MESSAGES[0]["ECCENTRICITY"])) == 13


def test_the_same_text_gives_the_doubles_of_the_tle_reader():
    catalogue = read_tle(sorted(DATA.glob("*.tle")))
    out = io.BytesIO()
    write_omm(catalogue, out, format="kvn")
    records = parse(out.getvalue(), "kvn").records
    frame = catalogue.to_pandas()
    for column in ("ecc", "inc", "raa", "arp", "mea", "mnm", "ndot", "satno", "elnum", "revnum"):
        np.testing.assert_array_equal(records[column], frame[column].to_numpy(), err_msg=column)


def test_numbers_of_every_length_read_as_python_reads_them():
    # Runs of digits are taken several at a time: every length and place of a run, and runs
    # broken by another character, read as Python's float reads them (correctly rounded).
    rng = random.Random(8)

    def digits(count):
        return "".join(rng.choice("0123456789") for _ in range(count))

    good = [f"{sign}{digits(whole)}{'.' + digits(fraction) if fraction else ''}{exponent}"
            for whole in range(1, 21) for fraction in range(0, 21)
            for sign, exponent in (("", ""), ("-", "e-7"), ("", "E+3"))]
    bad = [text[:cut] + junk + text[cut:] for text, junk in zip(good[::7], itertools.cycle("x:/"))
           for cut in (1, len(text) // 2)] + ["1234 5678", "12345678 9"]
    messages = [{**MESSAGES[0], "BSTAR": text} for text in good + bad]
    read = parse(json.dumps(messages).encode(), "json")
    assert read.records["bstar"].tolist() == [float(text) for text in good]
    assert [reason for *_, reason in read.rejected] == [f"BSTAR is not a number: {text!r}" for text in bad]


def epoch_of(text):
    message = {**MESSAGES[0], "EPOCH": text}
    read = parse(document([message], "json"), "json")
    return read.records[0] if len(read.records) else read.rejected[0][2]


@pytest.mark.parametrize("text, day, ps, decimals", [
    ("2023-03-31T01:48:35.660736", "2023-03-31", 6515_660736_000000, 6),
    ("2023-03-31 01:48:35.660736123Z", "2023-03-31", 6515_660736_123000, 9),
    ("2023-090T01:48:35.5", "2023-03-31", 6515_500000_000000, 1),
    ("2024-03-01T00:00", "2024-03-01", 0, 0),
    ("2023-03-31T01:48:35.1234567890125", "2023-03-31", 6515_123456_789012, 12),  # half to even
    ("2023-03-31T01:48:35.1234567890135", "2023-03-31", 6515_123456_789014, 12),
    ("2023-12-31T23:59:59.9999999999999", "2024-01-01", 0, 12),  # rounds into the next day
    ("1678-01-01T00:00:00", "1678-01-01", 0, 0),
    ("2261-12-31T23:59:59.999999999999", "2261-12-31", DAY_PS - 1, 12),
])
def test_epochs_are_exact_to_the_picosecond(text, day, ps, decimals):
    record = epoch_of(text)
    assert record["epoch_midnight_ns"] == np.datetime64(day, "ns").astype(np.int64)
    assert (record["epoch_ps"], record["epoch_decimals"]) == (ps, decimals)
    assert record["epoch_fraction"] == float(Fraction(ps, DAY_PS))


@pytest.mark.parametrize("text, reason", [
    ("yesterday", "EPOCH is not an ISO 8601 time: 'yesterday'"),
    ("2023-03-31T01:48:35.", "EPOCH is not an ISO 8601 time"),
    ("1677-12-31T23:59:59", "EPOCH year 1677 is outside 1678 to 2261"),
    ("2262-01-01", "EPOCH year 2262 is outside"),
    ("2023-02-29T00:00:00", "EPOCH is not a valid time: '2023-02-29T00:00:00' (day is out of range for month)"),
    ("2023-13-01", "(month must be in 1..12)"),
    ("2023-01-01T24:00:00", "(hour must be in 0..23)"),
    ("2023-01-01T00:00:60", "(second must be in 0..59)"),
    ("2023-366T00:00:00", "EPOCH day of year is outside its year"),
])
def test_bad_epochs_are_rejected(text, reason):
    assert reason in epoch_of(text)


BAD = {
    "missing": ({"MEAN_MOTION": None}, "MEAN_MOTION is missing"),
    "blank": ({"EPOCH": "  "}, "EPOCH is missing"),
    "not a number": ({"ECCENTRICITY": "abc"}, "ECCENTRICITY is not a number: 'abc'"),
    "nan": ({"INCLINATION": "nan"}, "INCLINATION is not a finite number: 'nan'"),
    "huge": ({"BSTAR": "1e999999999"}, "BSTAR is not a finite number: '1e999999999'"),
    "huge integer": ({"NORAD_CAT_ID": "9e999999999"}, "NORAD_CAT_ID '9e999999999' is above 999999999"),
    "ten digits": ({"NORAD_CAT_ID": "1000000000"}, "NORAD_CAT_ID '1000000000' is above 999999999, the largest"),
    "negative": ({"NORAD_CAT_ID": "-5"}, "NORAD_CAT_ID -5 is negative"),
    "fraction": ({"NORAD_CAT_ID": "25544.5"}, "NORAD_CAT_ID is not an integer: '25544.5'"),
    "eccentricity": ({"ECCENTRICITY": "1.0"}, "ECCENTRICITY '1.0' lies outside [0, 1)"),
    "ephemeris type": ({"EPHEMERIS_TYPE": "300"}, "EPHEMERIS_TYPE '300' is above 127"),
    "object id": ({"OBJECT_ID": "1998-067ABCDEF"}, "OBJECT_ID '1998-067ABCDEF' is longer than 12 characters"),
    "classification": ({"CLASSIFICATION_TYPE": "\x01"}, "CLASSIFICATION_TYPE is not a letter"),
    "name": ({"OBJECT_NAME": "A\x07B"}, "OBJECT_NAME holds control characters: 'A\\x07B'"),
}


@pytest.mark.parametrize("form", FORMS)
def test_each_fault_rejects_its_message_alone_and_names_where(form):
    bad = [{k: v for k, v in {**MESSAGES[0], **change}.items() if v is not None} for change, _ in BAD.values()]
    data = document([MESSAGES[0]] + bad, form)
    read = parse(data, form)
    assert len(read.records) == 1
    for (_, expected), (_, text, got) in zip(BAD.values(), read.rejected, strict=True):
        assert expected in got and text.strip()
    numbers = [number for number, *_ in read.rejected]
    if form in ("json", "xml"):  # the message's place
        assert numbers == list(range(2, len(bad) + 2))
    elif form == "csv":  # its line, after the header and the good one
        assert numbers == list(range(3, len(bad) + 3))
    else:  # its first line
        lines = data.decode().splitlines()
        assert len(numbers) == len(bad) and all(lines[n - 1] == "CCSDS_OMM_VERS = 2.0" for n in numbers[1:])


def test_names_and_extras():
    space_track = [{**m, "SEMIMAJOR_AXIS": "6790.1", "OBJECT_TYPE": "PAYLOAD", "TLE_LINE1": f"1 {i}"}
                   for i, m in enumerate(MESSAGES[:3])]
    renamed = {**MESSAGES[0], "OBJECT_NAME": "NEW NAME", "ORIGINATOR": "ME"}
    read = parse(json.dumps(space_track + [renamed, MESSAGES[1]]).encode(), "json")
    assert read.names[int(MESSAGES[0]["NORAD_CAT_ID"])] == "NEW NAME"
    assert list(read.records["extras_row"]) == [0, 1, 2, 3, -1]
    codes, values = read.extras["OBJECT_TYPE"]
    assert codes.dtype == np.int32 and list(codes) == [0, 0, 0, -1, -1] and values == ["PAYLOAD"]
    assert read.extra("TLE_LINE1") == ["1 0", "1 1", "1 2", None, None]
    assert read.extra("ORIGINATOR") == [None, None, None, "ME", None]
    assert "OBJECT_NAME" not in read.extras and "EPOCH" not in read.extras


def test_kvn_comments_units_and_xml_attributes():
    kvn = ("CCSDS_OMM_VERS = 2.0\nCOMMENT first\nCOMMENT second\nCREATION_DATE = 2023-01-02T00:00:00\n" +
           "".join(f"{k} = {v}{' [deg]' if k == 'INCLINATION' else ''}\n" for k, v in MESSAGES[0].items()))
    read = parse((kvn + "\n" + kvn).encode(), "kvn")
    assert read.extra("COMMENT") == ["first\nsecond"] * 2 and read.extra("CCSDS_OMM_VERS") == ["2.0"] * 2
    assert read.records["inc"][0] == READ["kvn"].records["inc"][0]
    # Comments at the top of a file, before any key, belong to its first message.
    read = parse(("COMMENT from the service\n\n" + kvn + kvn).encode(), "kvn")
    assert read.rejected == [] and read.extra("COMMENT") == ["from the service\nfirst\nsecond", "first\nsecond"]
    xml = document(MESSAGES[:1], "xml").replace(b"<metadata>", b'<metadata><USER_DEFINED parameter="MASS">'
                                                              b'4&#50;0 &amp; more</USER_DEFINED><!-- a -->')
    read = parse(xml, "xml")
    assert read.extra("USER_DEFINED_MASS") == ["420 & more"] and read.extra("CCSDS_OMM_VERS") == ["2.0"]


def test_csv_quotes_line_ends_and_case():
    header = ",".join(k.lower() for k in KEYS)
    row = ",".join(f'"{v}, x"' if k == "OBJECT_NAME" else v for k, v in MESSAGES[0].items())
    for text in (f"{header}\r{row}\r", f"{header}\r\n\r\n{row}\r\n", f"{header}\n{row}"):
        read = parse(text.encode(), "csv")
        assert read.rejected == [] and list(read.names.values()) == [MESSAGES[0]["OBJECT_NAME"] + ", x"]
    with pytest.raises(ValueError, match=r"not CSV: field larger than field limit \(131072\)"):
        parse(f"{header}\n{row.replace('SAT', 'X' * 200_000)}\n".encode(), "csv")


XML_BOMB = b"""<?xml version="1.0"?>
<!DOCTYPE lolz [<!ENTITY lol "lol"><!ENTITY lol2 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">]>
<ndm><omm><body><segment><metadata><OBJECT_NAME>&lol2;</OBJECT_NAME></metadata></segment></body></omm></ndm>"""


@pytest.mark.parametrize("data, form, error", [
    (XML_BOMB, "xml", "document type declaration, which is refused"),
    (b"<ndm><omm><OBJECT_NAME>&secret;</OBJECT_NAME></omm></ndm>", "xml", "not XML: entity 'secret' not defined"),
    (b"<ndm><omm>", "xml", "not XML: the document ends inside <omm>"),
    (b"<ndm><omm></ndm>", "xml", "not XML: the end tag </ndm> matches no open element"),
    (b"<html><body>a page</body></html>", "xml", "holds no OMM message (its root is <html>)"),
    (b"<a>" * 300, "xml", "nested deeper than 256"),
    (b"[{]", "json", "not JSON"),
    (b"[" * 100_000, "json", "not JSON"),
    (b'[{"EPOCH": 1}] trailing', "json", "not JSON"),
])
def test_documents_that_are_not_omm_raise(data, form, error):
    with pytest.raises(ValueError, match=error.replace("(", r"\(").replace(")", r"\)")):
        parse(data, form)


def test_arguments_and_the_size_limit():
    with pytest.raises(ValueError, match="form must be one of"):
        parse(b"", "yaml")
    with pytest.raises(TypeError):
        parse("text", "json")
    assert MAX_DOCUMENT >= 1 << 29
    empty = parse(b"", "kvn")
    assert empty.records.dtype == RECORD and len(empty.records) == 0 and empty.rejected == []


@pytest.mark.parametrize("form", FORMS)
def test_cut_or_mangled_documents_never_crash(form):
    data = document(MESSAGES[:4], form)
    rng = random.Random(7)
    for _ in range(300):
        cut = data[: rng.randrange(len(data))]
        mangled = bytearray(data)
        for _ in range(5):
            mangled[rng.randrange(len(mangled))] = rng.choice(b'<>/"{}[],:=\n\r\\&;0.-e x\x00\xff')
        for sample in (cut, bytes(mangled)):
            try:
                read = parse(sample, form)
            except ValueError:
                continue
            assert len(read.records) + len(read.rejected) <= 4 + sample.count(b"\n") + 1


def test_json_values_of_every_kind():
    message = {**MESSAGES[0], "MEAN_MOTION": 15.5, "NORAD_CAT_ID": 25544, "EPHEMERIS_TYPE": None,
               "CLASSIFICATION_TYPE": True, "ELEMENT_SET_NO": [1], "EXTRA": {"a": 1}}
    read = parse(json.dumps([message, 5, "x"]).encode(), "json")
    assert [reason for *_, reason in read.rejected] == [
        "ELEMENT_SET_NO is not a number: '[1]'", "a message is an object of keys, not int",
        "a message is an object of keys, not str"]
    read = parse(json.dumps({**message, "ELEMENT_SET_NO": 7}).encode(), "json")
    record = read.records[0]
    assert record["mnm"] == 15.5 * 2 * math.pi / 86400 and record["classification"] == b"T"
    assert (record["satno"], record["elnum"], record["ephtype"]) == (25544, 7, 0)
    assert read.extra("EXTRA") == ['{"a": 1}']


def test_json_keys_and_texts_with_escapes_or_blanks():
    # Texts are read in place unless they hold an escape, wherever it falls in them and whatever
    # follows them (here "999", then an escaped key); keys with escapes or blanks about the colon
    # are the keys they stand for.
    message = {"P": "abcdefg\\", "Q": "abcdefgh\\", **MESSAGES[0], "OBJECT_NAME": 'ISS "ZARYA"', "MEAN_MOTION": 15.5}
    message = {**{k: v for k, v in message.items() if k != "ELEMENT_SET_NO"}, "ELEMENT_SET_NO": "999", "X_Y": "1"}
    compact = (json.dumps(message, separators=(",", ":"))
               .replace('"EPOCH":', '"\\u0045POCH" \t:\n ').replace('"X_Y":', '"X\\u005fY":')
               .replace('"OBJECT_ID":', '"OBJECT_ID"  :'))
    assert compact.count("\\u") == 2 and '"999","X' in compact
    read, plain = parse(f"[{compact}]".encode(), "json"), parse(json.dumps([message]).encode(), "json")
    assert not read.rejected and read.records.tobytes() == plain.records.tobytes()
    assert read.names == plain.names == {int(message["NORAD_CAT_ID"]): 'ISS "ZARYA"'}
    assert {key: read.extra(key) for key in read.extras} == {"P": ["abcdefg\\"], "Q": ["abcdefgh\\"], "X_Y": ["1"]}


@pytest.mark.parametrize("comment", ["plain", '"},{"', '}, {"EPOCH": 1}, {'])
def test_large_json_read_in_parts_gives_what_one_reading_gives(comment):
    # Large arrays are cut between elements and read on several threads; a cut that falls
    # inside a text (or a nested value) is found out, and the document read whole instead.
    messages = [{**m, "COMMENT": comment, "GP_ID": str(i % 7)} for i, m in enumerate(MESSAGES * 30)]
    messages[-5] = {**messages[-5], "ECCENTRICITY": "2"}
    messages[3] = {**messages[3], "EXTRA": [{"a": "},{"}]}
    data = json.dumps(messages).encode()
    assert len(data) > 1 << 22
    read = parse(data, "json")
    csv_read = parse(document(messages, "csv"), "csv")
    assert without_extras_row(read.records).tobytes() == without_extras_row(csv_read.records).tobytes()
    assert [(number, reason) for number, _, reason in read.rejected] == [
        (len(messages) - 4, "ECCENTRICITY '2' lies outside [0, 1)")]
    assert list(read.records["extras_row"]) == list(range(len(messages) - 1))
    assert read.extra("GP_ID") == [m["GP_ID"] for m in messages if m["ECCENTRICITY"] != "2"]
    assert read.extras["GP_ID"][1] == ["0", "1", "2", "3", "4", "5", "6"]
    assert read.extra("COMMENT")[-1] == comment and read.extra("EXTRA")[3] == '[{"a": "},{"}]'


def test_large_csv_read_in_parts_numbers_rows_by_their_lines():
    # Large CSV without quotes is cut at line ends and read on several threads: rows, names and
    # the lines of rejected rows as one reading gives them, across blank lines and CRLF ends.
    messages = [{**m, "OBJECT_NAME": f"SAT {i % 50}"} for i, m in enumerate(MESSAGES * 80)]
    bad = {7, len(messages) // 2, len(messages) - 3}
    lines, expected = [",".join(KEYS)], []
    for i, message in enumerate(messages):
        if i in bad:
            message = {**message, "ECCENTRICITY": "2"}
            expected.append(len(lines) + 1)
        lines.append(",".join(message[k] for k in KEYS))
        if i % 1000 == 999:
            lines.append("")
    half = len(lines) // 2
    data = ("\r\n".join(lines[:half]) + "\r\n" + "\n".join(lines[half:]) + "\n").encode()
    assert len(data) > 1 << 22 and b'"' not in data
    read = parse(data, "csv")
    whole = parse(document([m for i, m in enumerate(messages) if i not in bad], "kvn"), "kvn")
    assert without_extras_row(read.records).tobytes() == without_extras_row(whole.records).tobytes()
    assert list(read.names.items()) == list(whole.names.items())  # the last name, in order of the first
    assert [(number, reason) for number, _, reason in read.rejected] == [
        (line, "ECCENTRICITY '2' lies outside [0, 1)") for line in expected]


def test_large_kvn_read_in_parts_keeps_lines_and_comments():
    # Large KVN is cut at version lines and read on several threads: a comment before a version
    # line stays with the message before it, and lines keep their numbers across the cuts.
    messages = MESSAGES * 40
    lines, bad_lines = [], []
    for i, message in enumerate(messages):
        lines += [f"COMMENT before {i}"] * (i > 0) + ["CCSDS_OMM_VERS = 2.0"] + [f"{k} = {message[k]}" for k in KEYS]
        if i % 997 == 5:
            lines.append("not a key line")
            bad_lines.append(len(lines))
    data = ("\n".join(lines) + "\n").encode()
    assert len(data) > 1 << 22
    read = parse(data, "kvn")
    assert without_extras_row(read.records).tobytes() == without_extras_row(parse(document(messages, "csv"), "csv").records).tobytes()
    # A comment goes with the message before its version line.
    assert read.extra("COMMENT") == [*(f"before {i + 1}" for i in range(len(messages) - 1)), None]
    assert [number for number, _, _ in read.rejected] == bad_lines


def test_kvn_line_that_is_no_key_leaves_its_message_whole():
    # A stray line inside a message is rejected by its number; the message around it is still
    # read as itself (it once came out as a copy of the first message of its batch).
    texts = [document([message], "kvn").decode() for message in MESSAGES[:3]]
    texts[1] = texts[1].replace("MEAN_ANOMALY", "a stray line\nMEAN_ANOMALY")
    read = parse("".join(texts).encode(), "kvn")
    assert without_extras_row(read.records).tobytes() == without_extras_row(parse(document(MESSAGES[:3], "kvn"), "kvn").records).tobytes()
    assert [(number, text) for number, text, _ in read.rejected] == [
        ("".join(texts).splitlines().index("a stray line") + 1, "a stray line")]
