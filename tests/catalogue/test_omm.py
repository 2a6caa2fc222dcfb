"""OMM in and out: read_omm and write_omm in the XML, KVN, JSON and CSV forms."""

import io
import os
import threading
from http.server import BaseHTTPRequestHandler, HTTPServer

import numpy as np
import orjson
import pytest
from helpers import DATA, ISS1, ISS2
from sgp4 import omm as sgp4_omm
from sgp4.api import Satrec

from astrokite.catalogue import omm, read_omm, read_tle, write_omm

FILES = sorted(DATA.glob("*.tle"))
FORMS = ("xml", "kvn", "json", "csv")
TLE_CATALOGUE = read_tle(FILES)
FRAME = TLE_CATALOGUE.to_pandas()

# The first ISS set as a catalogue service publishes it in JSON: numbers, not text.
ISS_JSON = {
    "OBJECT_NAME": "ISS (ZARYA)", "OBJECT_ID": "1998-067A", "EPOCH": "2023-01-01T06:28:40.541088",
    "MEAN_MOTION": 15.4981103, "ECCENTRICITY": 0.0005204, "INCLINATION": 51.6448, "RA_OF_ASC_NODE": 75.3411,
    "ARG_OF_PERICENTER": 209.5406, "MEAN_ANOMALY": 257.0907, "EPHEMERIS_TYPE": 0, "CLASSIFICATION_TYPE": "U",
    "NORAD_CAT_ID": 25544, "ELEMENT_SET_NO": 999, "REV_AT_EPOCH": 37590, "BSTAR": 0.00028903,
    "MEAN_MOTION_DOT": 0.00015968, "MEAN_MOTION_DDOT": 0,
}


def written(form, catalogue=TLE_CATALOGUE):
    out = io.BytesIO()
    write_omm(catalogue, out, format=form)
    return out.getvalue()


@pytest.mark.parametrize("told", [True, False], ids=["told", "recognised"])
@pytest.mark.parametrize("form", FORMS)
def test_every_form_reads_the_sets_of_the_tle_text_it_came_from(form, told):
    catalogue = read_omm(io.BytesIO(written(form)), format=form if told else None)
    assert catalogue.rejected == [] and catalogue.size == 3099
    frame = catalogue.to_pandas()
    for column in FRAME.columns.drop(["satname", "epoch", "intldes", "nddot", "bstar"]):
        np.testing.assert_array_equal(frame[column].to_numpy(), FRAME[column].to_numpy(), err_msg=column)
    # The lines' " 12345-5" fields are read as mantissa times a power of ten, their OMM text
    # ("1.2345e-6") correctly rounded: the two may differ in the last bit.
    for column in ("nddot", "bstar"):
        np.testing.assert_allclose(frame[column], FRAME[column], rtol=1e-15, atol=0, err_msg=column)
    # The messages hold the line's epoch to the microsecond, exactly; the TLE reader's epochs
    # come through a Julian date, within 25 microseconds of it.
    offsets = frame["epoch"].to_numpy().astype(np.int64) - FRAME["epoch"].to_numpy().astype(np.int64)
    assert np.abs(offsets).max() < 25_000
    assert [f"{i[2:4]}{i[5:]}" for i in frame["intldes"]] == [i for i in FRAME["intldes"]]


@pytest.mark.parametrize("form", ["xml", "csv"])
def test_sgp4_reads_our_messages_as_the_lines_they_came_from(form):
    parse = sgp4_omm.parse_xml if form == "xml" else sgp4_omm.parse_csv
    text = written(form).decode()
    messages = list(parse(io.StringIO(text)))
    lines = [(tle.line1, tle.line2) for elset in TLE_CATALOGUE.values() for tle in elset]
    assert len(messages) == len(lines) == 3099
    for fields, (line1, line2) in zip(messages, lines):
        sat, expected = Satrec(), Satrec.twoline2rv(line1, line2)
        sgp4_omm.initialize(sat, fields)
        assert sat.satnum == expected.satnum
        assert sat.jdsatepoch + sat.jdsatepochF == pytest.approx(expected.jdsatepoch + expected.jdsatepochF,
                                                                 abs=1e-8)
        for name in ("ecco", "inclo", "nodeo", "argpo", "mo", "no_kozai", "bstar", "ndot", "nddot"):
            assert getattr(sat, name) == pytest.approx(getattr(expected, name), rel=1e-12, abs=1e-20), name


def test_a_published_message_gives_the_published_lines():
    catalogue = read_omm(io.BytesIO(orjson.dumps([ISS_JSON])))
    tle = catalogue[25544][0].to_tle()
    assert (tle.line1, tle.line2) == (ISS1, ISS2)
    assert catalogue[25544].satname == "ISS (ZARYA)"
    # The same message in the forms sgp4 reads: both readers agree on every element.
    for form, parse in (("xml", sgp4_omm.parse_xml), ("csv", sgp4_omm.parse_csv)):
        text = written(form, catalogue).decode()
        fields = next(iter(parse(io.StringIO(text))))
        sat = Satrec()
        sgp4_omm.initialize(sat, fields)
        again = read_omm(io.StringIO(text))[25544]
        assert again[0].to_tle().line1 == ISS1 and again[0].to_tle().line2 == ISS2
        assert sat.inclo == pytest.approx(again.inc[0], rel=1e-15)
        assert sat.no_kozai / 60 == pytest.approx(again.mnm[0], rel=1e-15)


def test_kvn_with_comments_and_units():
    text = (
        "CCSDS_OMM_VERS = 2.0\nCOMMENT from a catalogue service\nCREATION_DATE = 2023-01-02T00:00:00\n"
        "ORIGINATOR = TEST\n" + "".join(
            f"{key} = {value}{' [deg]' if key == 'INCLINATION' else ''}\n" for key, value in ISS_JSON.items()))
    tle = read_omm(io.StringIO(text + "\n" + text))[25544]
    assert tle.size == 2 and tle[0].to_tle().line1 == ISS1 and tle[1].to_tle().line2 == ISS2
    # Messages without version lines are told apart by their repeated keys, never merged.
    bare = "".join(f"{key} = {value}\n" for key, value in ISS_JSON.items())
    assert read_omm(io.StringIO(bare * 3), format="kvn")[25544].size == 3


@pytest.mark.parametrize("form", FORMS)
def test_names_with_brackets_are_kept_in_every_form(form):
    catalogue = read_omm(io.BytesIO(orjson.dumps([{**ISS_JSON, "OBJECT_NAME": "SAT [A] [B]"}])))
    assert read_omm(io.BytesIO(written(form, catalogue)), format=form)[25544].satname == "SAT [A] [B]"


def test_kvn_lines_of_a_million_brackets_or_blanks_are_read_at_once():
    # Stripping their unit once took a time quadratic in their length (minutes each).
    for value in ("[" * 10**6, "1" + " " * 10**6 + "2]"):
        text = "".join(f"{key} = {value if key == 'MEAN_MOTION' else text}\n" for key, text in ISS_JSON.items())
        (rejection,) = read_omm(io.StringIO(text), errors="skip").rejected
        assert "MEAN_MOTION is not a number" in rejection.reason


def test_catalogue_numbers_of_up_to_nine_digits():
    numbers = [25544, 100000, 339999, 340000, 799501299, 999999999]
    catalogue = read_omm(io.BytesIO(orjson.dumps([{**ISS_JSON, "NORAD_CAT_ID": n} for n in numbers])))
    assert list(catalogue) == numbers and [catalogue[n][0].satno for n in numbers] == numbers
    # TLE text holds the alpha-5 numbers to 339999 and nothing above.
    assert catalogue[100000][0].to_tle().line1[2:7] == catalogue[100000][0].to_tle().line2[2:7] == "A0000"
    assert catalogue[339999][0].to_tle().line1[2:7] == "Z9999"
    with pytest.raises(ValueError, match="satellite 340000 .*satno lies outside 0 to 339999"):
        catalogue[340000][0].to_tle()
    too_many = read_omm(io.BytesIO(orjson.dumps([{**ISS_JSON, "NORAD_CAT_ID": 10**9}, ISS_JSON])), errors="skip")
    assert list(too_many) == [25544]
    assert too_many.rejected[0].line == 1 and "is above 999999999" in too_many.rejected[0].reason


BAD_MESSAGES = {
    "missing field": ({k: v for k, v in ISS_JSON.items() if k != "MEAN_MOTION"}, "MEAN_MOTION is missing"),
    "not a number": ({**ISS_JSON, "ECCENTRICITY": "abc"}, "ECCENTRICITY is not a number"),
    "not finite": ({**ISS_JSON, "INCLINATION": "nan"}, "INCLINATION is not a finite number"),
    "bad epoch": ({**ISS_JSON, "EPOCH": "yesterday"}, "EPOCH is not an ISO 8601 time"),
    "out of range": ({**ISS_JSON, "NORAD_CAT_ID": -1}, "NORAD_CAT_ID -1 is negative"),
    # A billion-digit number, read as the infinity it rounds to, never made an int.
    "huge number": ({**ISS_JSON, "ECCENTRICITY": "1e999999999"}, "ECCENTRICITY is not a finite number"),
    "huge integer": ({**ISS_JSON, "NORAD_CAT_ID": "9e999999999"}, "NORAD_CAT_ID '9e999999999' is above 999999999"),
    "epoch beyond Time": ({**ISS_JSON, "EPOCH": "2300-01-01T00:00:00"}, "EPOCH year 2300 is outside 1678 to 2261"),
    "not an object": ([1, 2], "not list"),
}


@pytest.mark.parametrize("case", BAD_MESSAGES)
def test_bad_messages_are_rejected_or_raised(case):
    message, reason = BAD_MESSAGES[case]
    data = orjson.dumps([ISS_JSON, message])
    catalogue = read_omm(io.BytesIO(data), errors="skip")
    assert catalogue.size == 1
    assert [(r.line, reason in r.reason) for r in catalogue.rejected] == [(2, True)]
    with pytest.raises(ValueError, match=rf"line 2: .*{reason}"):
        read_omm(io.BytesIO(data))


def test_csv_rows_with_faults_name_their_line():
    header = ",".join(omm.KEYS)
    good = ",".join(str(ISS_JSON[key]) for key in omm.KEYS)
    text = f"{header}\n{good}\n{good.replace('15.4981103', 'fast')}\n"
    catalogue = read_omm(io.StringIO(text), errors="skip")
    assert catalogue.size == 1 and catalogue.rejected[0].line == 3


def test_csv_line_ends_of_any_kind_and_oversized_fields():
    header = ",".join(omm.KEYS)
    good = ",".join(str(ISS_JSON[key]) for key in omm.KEYS)
    quoted = good.replace("ISS (ZARYA)", '"ISS, (ZARYA)"')
    for text in (f"{header}\r{good}\r", f"{header}\r\n{quoted}\r\n", f"{header}\n{good}\r"):
        catalogue = read_omm(io.StringIO(text, newline=""), errors="skip")
        assert catalogue.rejected == [] and catalogue.size == 1
    oversized = f"{header}\n{good.replace('ISS (ZARYA)', 'X' * 200_000)}\n"
    with pytest.raises(ValueError, match="not CSV: field larger than field limit"):
        read_omm(io.StringIO(oversized), format="csv")


XML_BOMB = b"""<?xml version="1.0"?>
<!DOCTYPE lolz [<!ENTITY lol "lol"><!ENTITY lol2 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">
<!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;">]>
<ndm><omm><body><segment><metadata><OBJECT_NAME>&lol3;</OBJECT_NAME></metadata></segment></body></omm></ndm>"""
XML_EXTERNAL = b"""<?xml version="1.0"?>
<!DOCTYPE ndm [<!ENTITY secret SYSTEM "file:///etc/passwd">]>
<ndm><omm><body><segment><metadata><OBJECT_NAME>&secret;</OBJECT_NAME></metadata></segment></body></omm></ndm>"""


@pytest.mark.parametrize("document", [XML_BOMB, XML_EXTERNAL], ids=["entity expansion", "external entity"])
def test_hostile_xml_is_refused_without_expanding_anything(document):
    catalogue = read_omm(io.BytesIO(document), errors="skip")
    assert catalogue.size == 0
    (rejection,) = catalogue.rejected
    assert "document type declaration" in rejection.reason and "root:" not in rejection.text
    with pytest.raises(ValueError, match="document type declaration"):
        read_omm(io.BytesIO(document), format="xml")


def test_hostile_xml_fetches_nothing_and_opens_no_local_file(tmp_path):
    requests = []

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            requests.append(self.path)
            self.send_response(200)
            self.end_headers()
            self.wfile.write(b'<!ENTITY name "fetched">')

        def log_message(self, *args):
            pass

    server = HTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_port}"
    # A file opened for reading is seen on a FIFO: the open blocks until a writer comes.
    fifo = tmp_path / "ndm.dtd"
    os.mkfifo(fifo)
    opened = []
    try:
        for where in (url + "/ndm.dtd", fifo.as_uri(), str(fifo)):
            for doctype in (f'<!DOCTYPE ndm SYSTEM "{where}">', f'<!DOCTYPE ndm [<!ENTITY % p SYSTEM "{where}"> %p;]>',
                            f'<!DOCTYPE ndm [<!ENTITY name SYSTEM "{where}">]>'):
                document = f'<?xml version="1.0"?>{doctype}<ndm><omm><OBJECT_NAME>&name;</OBJECT_NAME></omm></ndm>'
                results = []
                reading = threading.Thread(
                    target=lambda: results.append(read_omm(io.BytesIO(document.encode()), errors="skip")), daemon=True)
                reading.start()
                reading.join(10)
                if reading.is_alive():
                    opened.append(doctype)
                    os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))  # releases the reader
                    reading.join(10)
                assert results[0].size == 0 and "document type declaration" in results[0].rejected[0].reason
    finally:
        server.shutdown()
    assert requests == [] and opened == []


@pytest.mark.parametrize("data, reason", [
    (b"\x00\x01\x02 binary", "none of the OMM forms"), (b"[{]", "not JSON"), (b"<ndm><omm>", "not XML"),
    (b"<html><body>a page</body></html>", "holds no OMM message")])
def test_documents_that_are_not_omm(data, reason):
    assert reason in read_omm(io.BytesIO(data), errors="skip").rejected[0].reason
    with pytest.raises(ValueError, match=reason):
        read_omm(io.BytesIO(data))


def test_write_omm_needs_a_known_format(tmp_path):
    write_omm(TLE_CATALOGUE[25544], tmp_path / "iss.json")  # the suffix tells
    assert read_omm(tmp_path / "iss.json")[25544].size == 609
    with pytest.raises(ValueError, match="format must be one of"):
        write_omm(TLE_CATALOGUE, io.BytesIO(), format="yaml")
