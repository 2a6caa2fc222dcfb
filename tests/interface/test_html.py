"""HTML tables of the package's objects: structure, values in display units, escaping, long tables."""

import importlib.util
from html.parser import HTMLParser

import numpy as np
import pandas as pd
import pytest

from helpers import DATA, ISS1, ISS2, history

from astrokite.frames.frames import TEME
from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE
from astrokite.state.ephemeris import StateVectorEphemeris
from astrokite.time.time import Time
from astrokite.utils.html import render


class Table(HTMLParser):
    """Caption, headings, rows of cell text and <pre> text of rendered HTML; checks tags nest."""

    def __init__(self, text):
        super().__init__()
        self.caption, self.headings, self.rows, self.pre = "", [], [], ""
        self.open, self.text = [], None
        self.feed(text)
        self.close()
        assert not self.open, f"unclosed tags {self.open}"

    def handle_starttag(self, tag, attrs):
        self.open.append(tag)
        if tag == "tr":
            self.row = []
        if tag in ("td", "th", "caption", "pre"):
            self.text = ""

    def handle_endtag(self, tag):
        assert self.open and self.open.pop() == tag, f"</{tag}> closes nothing"
        if tag == "td":
            self.row.append(self.text)
        elif tag == "th":
            self.headings.append(self.text)
        elif tag == "caption":
            self.caption = self.text
        elif tag == "pre":
            self.pre = self.text
        elif tag == "tr" and self.row:
            self.rows.append(self.row)

    def handle_data(self, data):
        if self.text is not None:
            self.text += data


@pytest.fixture(scope="module")
def iss():
    return ELSET(*history("iss.tle"), satname="ISS (ZARYA)")


def test_tle_shows_its_lines_and_elements_in_display_units():
    table = Table(render(TLE(ISS1, ISS2)))
    assert table.pre == f"{ISS1}\n{ISS2}"
    assert table.caption == "TLE 25544, epoch 2023-01-01T06:28:40.541100Z"
    values = {row[0]: (row[1], row[2]) for row in table.rows}
    # The line's own figures come back: inclination and mean motion as written in line 2.
    assert values["inc"] == ("51.6448", "deg")
    assert values["mnm"] == ("15.49811030", "rev/day")
    assert values["ecc"] == ("0.0005204", "")
    assert values["pge"] == ("413.742", "km")
    # Line 1 writes B* as 28903-3 (0.28903e-3) and ndot/2 as .00015968 rev/day^2.
    assert values["bstar"] == ("2.89030e-04", "1/Earth radii")
    assert values["ndot"] == ("3.19360e-04", "rev/day\N{SUPERSCRIPT TWO}")


def test_elset_rows_follow_the_columns_and_long_tables_are_cut(iss):
    table = Table(render(iss, max_rows=6))
    assert table.caption == "ELSET ISS (ZARYA) (25544): 609 element sets"
    assert table.headings[:3] == ["epoch (UTC)", "ecc", "sma [km]"]
    assert len(table.rows) == 7  # three first, the count of the rest, three last
    assert table.rows[3] == ["\N{VERTICAL ELLIPSIS} 603 more rows"]
    assert table.rows[0][0] == "2023-01-01T06:28:40.541100Z"
    assert [row[2] for row in table.rows[4:]] == [f"{sma / 1e3:.3f}" for sma in iss.sma[-3:]]
    assert table.headings[-3:] == ["bstar [1/Earth radii]", "ndot [rev/day\N{SUPERSCRIPT TWO}]",
                                   "nddot [rev/day\N{SUPERSCRIPT THREE}]"]
    assert table.rows[0][-3] == f"{iss.bstar[0]:.5e}"
    assert len(Table(render(iss[:5])).rows) == 5


def test_text_from_the_data_is_escaped(iss):
    hostile = ELSET(*history("iss.tle")[:2], satname="<script>alert(1)</script> & co")
    html = render(hostile)
    assert "<script>" not in html
    assert Table(html).caption == "ELSET <script>alert(1)</script> & co (25544): 2 element sets"


@pytest.mark.skipif(importlib.util.find_spec("astrokite.catalogue") is None,
                    reason="the catalogue is not in this tree yet")
def test_catalogue_has_one_row_per_satellite_and_counts_rejections():
    from astrokite.catalogue import parse_tle

    text = (DATA / "iss.tle").read_text() + "ISS\n1 25544U junk\n" + (DATA / "tess.tle").read_text()
    catalogue = parse_tle(text, errors="skip")
    table = Table(render(catalogue))
    assert table.caption == "Catalogue: 2 satellites, 616 element sets, 1 rejected"
    assert [row[:3] for row in table.rows] == [["25544", "", "609"], ["43435", "", "7"]]
    assert table.rows[0][3:] == ["2023-01-01T06:28:40.541100Z", "2023-04-30T23:49:16.999987Z",
                                 f"{catalogue[25544].pge[-1] / 1e3:.3f}", f"{catalogue[25544].apg[-1] / 1e3:.3f}"]


def test_ephemeris_has_one_row_per_satellite_and_time():
    time = Time(np.array([0, 60_000_000_000], np.int64))
    position = np.arange(12.0).reshape(2, 2, 3) * 1e3
    eph = StateVectorEphemeris(time, position, position / 1e3, frame=TEME, satnos=[7, 9],
                               error=[[0, 0], [0, 1]])
    table = Table(render(eph))
    assert table.caption == "StateVectorEphemeris: 2 satellites x 2 times in TEME"
    assert table.headings[-1] == "error"
    assert [(r[0], r[1], r[2], r[-1]) for r in table.rows] == [
        ("7", "1970-01-01T00:00:00.000000Z", "0.000000", "0"),
        ("7", "1970-01-01T00:01:00.000000Z", "3.000000", "0"),
        ("9", "1970-01-01T00:00:00.000000Z", "6.000000", "0"),
        ("9", "1970-01-01T00:01:00.000000Z", "9.000000", "1"),
    ]
    no_velocity = StateVectorEphemeris(time, position, frame=TEME)
    assert "vx [km/s]" not in Table(render(no_velocity)).headings
    # Notebooks find the table through _repr_html_; one of each reads in the singular.
    single = StateVectorEphemeris(time[:1], position[:1, :1], frame=TEME)
    assert Table(single._repr_html_()).caption == "StateVectorEphemeris: 1 satellite x 1 time in TEME"
    assert repr(single) == "<StateVectorEphemeris 1 satellite x 1 time in TEME>"


def test_tables_with_to_pandas_render_their_frame():
    class Passes:
        def to_pandas(self):
            return pd.DataFrame({
                "satno": [25544, 25544],
                "rise": pd.to_datetime(["2023-03-01T12:00:00", None]).tz_localize("UTC"),
                "max_elevation": [0.5, 1.25],
            })

    table = Table(render(Passes()))
    assert table.caption == "Passes: 2 rows"
    assert table.headings == ["satno", "rise", "max_elevation"]
    assert table.rows == [["25544", "2023-03-01T12:00:00.000000Z", "0.5"], ["25544", "", "1.25"]]


def test_other_objects_and_too_few_rows_are_refused(iss):
    with pytest.raises(TypeError, match="cannot render str"):
        render("text")
    with pytest.raises(ValueError, match="max_rows"):
        render(iss, max_rows=1)
