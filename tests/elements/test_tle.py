import doctest
import gc
import math
import subprocess
import sys
import types
import weakref

import pytest
from helpers import ISS1, ISS2, LIBC, SGR, Falsy, element_sets, normalised, put, with_checksum
from sgp4.api import Satrec

from astrokite.bodies.bodies import Earth
from astrokite.frames import frames
from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE
from astrokite.time.time import Time
from astrokite.units import units

ELEMENTS = ("inc", "raa", "ecc", "mea", "arp", "mnm", "sma", "orp", "eca", "tra", "pge", "apg")


def state(tle):
    return tuple(getattr(tle, name) for name in ("line1", "line2", "satno") + ELEMENTS) + (tle.epoch.int64,)


# ---------------------------------------------------------------------------
# Column map and normalisation


@pytest.mark.parametrize(
    "year_field, day_field, jd",
    [("57", "001.0", Time("1957").jd), ("56", "001.0", Time("2056").jd), ("99", "001.0", Time("1999").jd),
     ("  ", "001.0", 2451544.5), ("00", "001.00000000", 2451544.5), ("00", "001.50000000", 2451545.0)],
)
def test_epoch_year_pivot_and_day(year_field, day_field, jd):
    assert TLE(put(put(ISS1, 19, year_field), 21, day_field.ljust(12)), ISS2).epoch.jd == jd


@pytest.mark.parametrize(
    "column, field, name, value",
    [(27, "0006703", "ecc", 0.0006703), (27, "1234567", "ecc", 0.1234567), (27, "       ", "ecc", 0.0),
     (27, "5 1e-3 ", "ecc", 0.5), (53, "15.50000000", "mnm", 15.5 * units.rev / units.day)],
)
def test_line2_fields(column, field, name, value):
    assert getattr(TLE(ISS1, put(ISS2, column, field)), name) == value


@pytest.mark.parametrize(
    "field",
    ["-1.5e1  ", "+12.5   ", "1.5.3   ", "12abc   ", "        ", "1e999   ", "-1e-999 ", "0x1p4   ", "inf     ",
     " - 5    ", "\t7\n     ", "1 2.3456", "   .1234", " 12.34 5", "001.2345", "12.3\x004  ", "999.9999"],
)
def test_fields_follow_atof(field):
    assert TLE(ISS1, put(ISS2, 9, field)).inc == LIBC.atof(field.encode()) * units.deg


@pytest.mark.parametrize(
    "field",
    ["123e-2 ", "12E1   ", "1.5    ", "0x1p4  ", "-5     ", " 5     ", "12x    ", "12\x0034", "1234567", "0000000"],
)
def test_eccentricity_follows_atof_of_the_implied_point(field):
    assert TLE(ISS1, put(ISS2, 27, field)).ecc == LIBC.atof(b"." + field.split("\0")[0].encode())


@pytest.mark.parametrize("odd", ["/", ":", "\x7f", "\x10", "p", "\u00e9"])
def test_fixed_point_fields_with_one_character_next_to_the_digits(odd):
    # Characters on either side of '0'..'9' in every place of the fields read
    # as whole words of digits: what atof reads of the UTF-8 bytes.
    for column, width, name, to_si in ((9, 8, "inc", lambda v: v * units.deg),
                                       (53, 11, "mnm", lambda v: v * units.rev / units.day), (27, 7, "ecc", float)):
        text = ISS2[column - 1:column - 1 + width]
        for place in range(width):
            field = text[:place] + odd + text[place + 1:]
            line2 = put(ISS2, column, field)
            stored = line2.encode()[column - 1:column - 1 + width]
            expected = to_si(LIBC.atof((b"." if name == "ecc" else b"") + stored))
            assert getattr(TLE(ISS1, line2), name) == expected, (name, field)


def test_eccentricity_cut_short_by_the_line_end():
    assert TLE(ISS1, ISS2[:29]).ecc == LIBC.atof(b"." + ISS2[26:29].encode())


def test_fields_never_run_into_their_neighbours():
    line2 = "2 25544 51.64480175.34110000520420.540600257.090715.49811030375904"
    tle = TLE(ISS1, line2)
    assert (tle.inc, tle.raa) == (LIBC.atof(b"51.64480") * units.deg, LIBC.atof(b"75.34110") * units.deg)


def test_short_long_empty_and_nul_lines():
    tle = TLE(ISS1 + "EXTRA", ISS2[:40])
    assert tle.line1 == ISS1 and tle.line2 == ISS2[:40].ljust(69)
    assert tle.ecc == 0.0005204 and tle.arp == 209.54 * units.deg  # columns 35-40 of "209.5406"
    assert tle.mea == tle.mnm == 0.0 and tle.sma == tle.orp == math.inf

    tle = TLE("", ISS2[:30] + "\x00" + ISS2[31:])
    assert tle.line1 == " " * 69 and tle.satno == "" and tle.epoch.jd == 2451543.5
    assert tle.line2 == ISS2[:30] + "\x00" * 39
    assert tle.inc == 51.6448 * units.deg and tle.arp == tle.mnm == 0.0


@pytest.mark.parametrize("char", ["9", "é"])
def test_huge_lines(char):
    tle = TLE(ISS1 + char * 10**7, char * 10**7)
    assert tle.line1 == ISS1 and tle.line2 == normalised(char * 69)


def test_lone_surrogate_is_a_clear_error():
    with pytest.raises(UnicodeEncodeError):
        TLE("1 \ud800", ISS2)
    TLE(ISS1 + "\ud800", ISS2)  # beyond column 69: never encoded


# ---------------------------------------------------------------------------
# Independent cross-check: every bundled element set against sgp4's parser

ALL_SETS = list(element_sets())


def test_bundled_histories_are_complete():
    # 15 satellites, 3,099 element sets as the data README's table counts them.
    assert len({name for name, _, _ in ALL_SETS}) == 15 and len(ALL_SETS) == 3099
    assert all(l1.startswith("1 ") and l2.startswith("2 ") for _, l1, l2 in ALL_SETS)


def within_ulps(a, b, ulps=2):
    return abs(a - b) <= ulps * math.ulp(b)


@pytest.mark.parametrize("name", sorted({name for name, _, _ in ALL_SETS}))
def test_elements_and_epoch_match_sgp4(name):
    faults = []
    for _, line1, line2 in (s for s in ALL_SETS if s[0] == name):
        tle, sat = TLE(line1, line2), Satrec.twoline2rv(line1, line2)
        angles = [(tle.inc, sat.inclo), (tle.raa, sat.nodeo), (tle.arp, sat.argpo), (tle.mea, sat.mo),
                  (tle.ecc, sat.ecco)]
        if not all(within_ulps(ours, theirs) for ours, theirs in angles):
            faults.append(("angles", line2, angles))
        if abs(tle.mnm * 60 / sat.no_kozai - 1) > 1e-15:
            faults.append(("mnm", line2, tle.mnm * 60, sat.no_kozai))
        if abs(tle.epoch.jd - (sat.jdsatepoch + sat.jdsatepochF)) > 2e-9:
            faults.append(("epoch", line1, tle.epoch.jd, sat.jdsatepoch + sat.jdsatepochF))
        if tle.satno != sat.satnum:
            faults.append(("satno", line1, tle.satno, sat.satnum))
    assert faults == []


def test_line_only_fields_match_sgp4():
    # sgp4 keeps the line's fields (ndot/2, nddot/6) per minute; ours are the derivatives per second.
    faults = []
    for name, line1, line2 in ALL_SETS:
        tle, sat = TLE(line1, line2), Satrec.twoline2rv(line1, line2)
        ours = (tle.classification, tle.intldes, tle.bstar, tle.ephtype, tle.elnum, tle.revnum)
        theirs = (sat.classification, sat.intldesg, sat.bstar, sat.ephtype, sat.elnum, sat.revnum)
        if ours != theirs or tle.ndot != pytest.approx(2 * sat.ndot / 60**2, rel=1e-14, abs=0) \
                or tle.nddot != pytest.approx(6 * sat.nddot / 60**3, rel=1e-14, abs=0):
            faults.append((name, line1, line2, ours, theirs))
    assert faults == []
    assert isinstance(tle.ephtype, int) and isinstance(tle.intldes, str)


def test_line_only_fields_of_odd_lines():
    tle = TLE(put(ISS1, 34, "-.00002182 -12345-6 -11606+4"), ISS2[:66])
    assert tle.ndot == -2 * 0.00002182 * units.rev / units.day**2
    assert tle.nddot == pytest.approx(-6 * 0.12345e-6 * units.rev / units.day**3, rel=1e-15)
    assert tle.bstar == -0.11606e4
    assert tle.revnum == 375  # columns 64-66 only
    blank = TLE("", "")
    assert (blank.classification, blank.intldes, blank.ndot, blank.bstar, blank.elnum, blank.revnum) == (" ", "", 0, 0, 0, 0)


@pytest.mark.parametrize("exponent", ["-9", "-5", "-1", "-0", "+0", " 7", "+9", "23", "99"])
def test_drag_term_exponents_scale_as_the_library_power_of_ten(exponent):
    # The power of ten of every two-character exponent is the C library's pow, as Python's ** calls it.
    tle = TLE(put(ISS1, 54, " 12345" + exponent), ISS2)
    assert tle.bstar == 0.12345 * 10.0 ** int(exponent)
    elset = ELSET._from_lines((tle.line1 + tle.line2).encode())
    assert elset.bstar[0] == tle.bstar


def test_repr_html_calls_the_html_renderer(monkeypatch):
    calls = []
    stub = types.ModuleType("astrokite.utils.html")
    stub.render = lambda obj: calls.append(obj) or "<table/>"
    monkeypatch.setitem(sys.modules, "astrokite.utils.html", stub)
    tle = TLE(ISS1, ISS2)
    assert tle._repr_html_() == "<table/>" and calls == [tle]


def test_derived_elements_are_consistent_for_every_set():
    gm, re = Earth.GM, Earth.Re
    for _, line1, line2 in ALL_SETS:
        t = TLE(line1, line2)
        assert t.orp * t.mnm == pytest.approx(2 * math.pi, rel=2e-15)
        assert t.sma**3 * t.mnm**2 == pytest.approx(gm, rel=1e-14)
        assert t.eca - t.ecc * math.sin(t.eca) == pytest.approx(t.mea, abs=1e-14)
        cos_tra = (math.cos(t.eca) - t.ecc) / (1 - t.ecc * math.cos(t.eca))
        assert math.cos(t.tra) == pytest.approx(cos_tra, abs=1e-12)
        assert 0 <= t.tra < 2 * math.pi and (t.tra > math.pi) == (math.sin(t.eca) < 0)
        assert (t.pge, t.apg) == (t.sma * (1 - t.ecc) - re, t.sma * (1 + t.ecc) - re)


def test_one_revolution_per_sidereal_day_is_geosynchronous():
    mnm_field = f"{units.day / units.sday:11.8f}"
    tle = TLE(ISS1, put(ISS2, 53, mnm_field))
    assert tle.sma / units.km == pytest.approx(42164.17, abs=0.01)
    assert tle.orp == pytest.approx(units.sday, abs=1e-3)


def test_circular_orbit():
    tle = TLE(ISS1, put(ISS2, 27, "0000000"))
    assert tle.tra == tle.eca % (2 * math.pi)
    assert tle.pge == tle.apg == tle.sma - Earth.Re


def test_earth_constants_are_read_at_every_construction(monkeypatch):
    before = TLE(ISS1, ISS2)
    monkeypatch.setattr(Earth, "GM", Earth.GM * 8)
    monkeypatch.setattr(Earth, "Re", 0)
    after = TLE(ISS1, ISS2)
    assert after.sma == pytest.approx(2 * before.sma, rel=1e-15)
    assert after.pge == pytest.approx(after.sma * (1 - after.ecc), rel=1e-15)


def test_earth_constants_follow_every_change_of_the_class_and_its_base(monkeypatch):
    reference = TLE(ISS1, ISS2)
    base, gm = Earth.__mro__[1], Earth.GM
    monkeypatch.delattr(Earth, "GM")
    monkeypatch.setattr(base, "GM", gm * 8, raising=False)
    assert TLE(ISS1, ISS2).sma == pytest.approx(2 * reference.sma, rel=1e-15)
    monkeypatch.setattr(base, "GM", gm * 216)
    assert TLE(ISS1, ISS2).sma == pytest.approx(6 * reference.sma, rel=1e-15)
    monkeypatch.setattr(Earth, "Re", 1)  # an int takes the general lookup
    assert TLE(ISS1, ISS2).pge == TLE(ISS1, ISS2).sma * (1 - reference.ecc) - 1
    monkeypatch.undo()
    assert state(TLE(ISS1, ISS2)) == state(reference)


def test_python_time_route_gives_the_same_epochs():
    # A Time that is not the native type takes the Python calls instead of the
    # native shortcut; the epochs must not differ by a single count.
    sample = [s for i, s in enumerate(ALL_SETS) if i % 97 == 0]
    script = f"""
import astrokite.time.time as time_module
class PyTime(time_module.Time):
    pass
time_module.Time = PyTime
from astrokite.propagators.analytical.sgp4.tle import TLE
for line1, line2 in {[(l1, l2) for _, l1, l2 in sample]!r}:
    epoch = TLE(line1, line2).epoch
    assert type(epoch) is PyTime
    print(epoch.int64)
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert [int(n) for n in out.split()] == [TLE(l1, l2).epoch.int64 for _, l1, l2 in sample]


# ---------------------------------------------------------------------------
# Construction


def test_argument_forms_give_identical_objects():
    reference = state(TLE(ISS1, ISS2))
    assert state(TLE(ISS1, ISS2, True)) == reference
    assert state(TLE(line1=ISS1, line2=ISS2, strict_validation=False)) == reference
    assert state(TLE(ISS1, line2=ISS2)) == reference


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: TLE(ISS1), "__cinit__() takes at least 2 positional arguments (1 given)"),
        (lambda: TLE(ISS1, ISS2, True, 4), "__cinit__() takes at most 3 positional arguments (4 given)"),
        (lambda: TLE(ISS1, strict_validation=True), "__cinit__() takes at least 2 positional arguments (1 given)"),
        (lambda: TLE(b"1 25544", ISS2), "Argument 'line1' has incorrect type (expected str, got bytes)"),
        (lambda: TLE(ISS1, 2), "Argument 'line2' has incorrect type (expected str, got int)"),
        (lambda: TLE(None, 2), "Argument 'line2' has incorrect type (expected str, got int)"),
        (lambda: TLE(type("Line", (str,), {})(ISS1), ISS2), "Argument 'line1' has incorrect type (expected str, got Line)"),
        (lambda: TLE(ISS1, ISS2, colour=1), "__cinit__() got an unexpected keyword argument 'colour'"),
        (lambda: TLE(ISS1, ISS2, line1=ISS1), "__cinit__() got multiple values for argument 'line1'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


def test_truth_of_strict_validation_is_taken_before_the_lines_are_checked():
    with pytest.raises(ZeroDivisionError):
        TLE(b"not even a str", ISS2, Falsy())


def test_epoch_outside_time_is_refused_with_its_julian_date():
    with pytest.raises(ValueError, match="^Julian date 1e\\+300 is outside the range of Time"):
        TLE(put(ISS1, 21, "1e300       "), ISS2)


# ---------------------------------------------------------------------------
# Properties


@pytest.mark.parametrize(
    "field, satno",
    [("25544", 25544), ("   12", 12), ("00005", 5), ("A0001", "A0001"), ("     ", ""), (" -12 ", -12), ("1_000", 1000),
     ("12 34", "12 34")],
)
def test_satno_forms(field, satno):
    tle = TLE(put(ISS1, 3, field), ISS2)
    assert tle.satno == satno and type(tle.satno) is type(satno)


def test_python_subclass():
    class Plain(TLE):
        pass

    class Named(TLE):
        # The constructor takes the lines; extra arguments are the subclass's own.
        def __new__(cls, line1, line2, name):
            return super().__new__(cls, line1, line2)

        def __init__(self, line1, line2, name):
            super().__init__(line1, line2)
            self.name = name

        def _get_header(self):
            return self.name

    assert state(Plain(ISS1, ISS2, strict_validation=True)) == state(TLE(ISS1, ISS2))
    tle = Named(ISS1, ISS2, name="ISS")
    assert isinstance(tle, TLE) and state(tle) == state(TLE(ISS1, ISS2))
    header = SGR.sub("", str(tle)).split("\n")[1]
    assert header.strip() == "ISS" and ISS2 in str(tle)


def test_epoch_is_made_once_on_first_read():
    tle = TLE(ISS1, ISS2)
    epoch = tle.epoch
    assert type(epoch) is Time and tle.epoch is epoch
    assert str(tle).count(epoch.utc.__repr__()) == 1 and tle.epoch is epoch


class Marker:
    pass


@pytest.mark.parametrize("read", ["before", "after", "never"])
def test_tle_in_a_reference_cycle_is_collected(read):
    tle = TLE(ISS1, ISS2)
    if read == "before":
        tle.epoch
    # Untracked until it holds an attribute, tracked from then on.
    assert not gc.is_tracked(tle)
    tle.me, tle.marker = tle, Marker()
    assert gc.is_tracked(tle)
    if read == "after":
        tle.epoch
    collected = weakref.ref(tle.marker)
    del tle
    gc.collect()
    assert collected() is None


def test_elset_reads_the_same_epochs_whether_read_or_not():
    from astrokite.propagators.analytical.sgp4.tle import ELSET

    pairs = [(l1, l2) for name, l1, l2 in ALL_SETS if name == ALL_SETS[0][0]][:50]
    unread = [TLE(l1, l2) for l1, l2 in reversed(pairs)]
    read = [TLE(l1, l2) for l1, l2 in reversed(pairs)]
    expected = sorted(tle.epoch.int64 for tle in read)
    assert list(ELSET(*unread).epoch.int64) == expected
    assert list(ELSET(*read).epoch.int64) == expected
    assert list(ELSET(*(read[::2] + unread[1::2])).epoch.int64) == expected


# ---------------------------------------------------------------------------
# Mended behaviours


def test_strict_validation_accepts_valid_lines_unchanged():
    refused = []
    for name, line1, line2 in ALL_SETS:
        try:
            assert state(TLE(line1, line2, strict_validation=True)) == state(TLE(line1, line2))
        except ValueError as error:
            refused.append((name, str(error)))
    # The one set whose second line arrived cut, without its checksum digit.
    assert refused == [("galaxy-18.tle", "line 2 fails its checksum: column 69 holds ' ', the digits of columns 1 to 68 give 4")]


@pytest.mark.parametrize(
    "line1, line2, message",
    [
        (put(ISS1, 1, "7"), ISS2, r"^line 1 does not begin with '1 '"),
        (ISS1, with_checksum(put(ISS2, 2, "-")), r"^line 2 does not begin with '2 '"),
        (put(ISS1, 69, "0"), ISS2, r"^line 1 fails its checksum: column 69 holds '0', the digits .* give 3$"),
        (ISS1, ISS2[:68], r"^line 2 fails its checksum: column 69 holds ' '"),
        (ISS1, with_checksum(put(ISS2, 3, "25545")), r"^the satellite numbers differ: line 1 has '25544', line 2 has '25545'$"),
        (ISS1 + "  x", ISS2, r"^line 1 is 72 characters long without its trailing blanks: the format has 69$"),
        (ISS1, put(ISS2, 28, "."), r"^line 2, columns 27-33 \(eccentricity\): '0.05204' has '.' in column 28 where the format has a digit$"),
        (ISS1, put(ISS2, 27, "005204 "), r"^line 2, columns 27-33 \(eccentricity\): .* in column 33 "),
        (put(ISS1, 3, "AB123"), put(ISS2, 3, "AB123"), r"^line 1, columns 3-7 \(satellite number\): 'AB123' is neither"),
        (put(ISS1, 8, "X"), ISS2, r"^line 1, column 8 \(classification\): 'X' has 'X' in column 8 where the format has U, C or S$"),
        (put(ISS1, 9, "-"), ISS2, r"^line 1, column 9 \(separator\): .* where the format has a blank$"),
        (put(ISS1, 37, "O"), ISS2, r"^line 1, columns 34-43 \(first derivative .*'O' in column 37 where the format has a digit$"),
        (put(ISS1, 60, "0"), ISS2, r"^line 1, columns 54-61 \(drag term\): ' 2890303' .* the sign of the power of ten$"),
        (put(ISS1, 46, "1e-5 "), ISS2, r"^line 1, columns 45-52 \(second derivative of the mean motion\)"),
        (ISS1, put(ISS2, 64, "37 59"), r"^line 2, columns 64-68 \(revolution number\): '37 59' has ' ' in column 66 "),
        (with_checksum(put(ISS1, 21, "000.50000000")), ISS2, r"^line 1, columns 21-32 \(epoch day of the year\): '000.50000000' is before day 1.0"),
        (with_checksum(put(ISS1, 21, "366.50000000")), ISS2, r"^line 1, columns 21-32 .*: '366.50000000' is past the end of 2023, which has 365 days$"),
        (ISS1, with_checksum(put(ISS2, 53, "00.00000000")), r"^line 2, columns 53-63 \(mean motion\): the mean motion is 0$"),
    ],
)
def test_strict_validation_names_the_line_and_the_problem(line1, line2, message):
    with pytest.raises(ValueError, match=message):
        TLE(line1, line2, strict_validation=True)
    TLE(line1, line2)  # the tolerant reading accepts them


@pytest.mark.parametrize(
    "line1, line2",
    [
        (ISS1 + "   ", ISS2.ljust(80)),  # trailing blanks are no length
        (with_checksum(put(put(ISS1, 19, "24"), 21, "366.99999999")), ISS2),  # the last day of a leap year
        (with_checksum(put(ISS1, 21, "365.99999999")), ISS2),
        (with_checksum(put(ISS1, 3, "A0001")), with_checksum(put(ISS2, 3, "A0001"))),  # alpha-5
        (with_checksum(put(ISS1, 10, "        ")), ISS2),  # no international designator
        (with_checksum(put(put(ISS1, 34, "-.00001234"), 54, "-11606+4")), ISS2),
    ],
)
def test_strict_validation_accepts_what_the_format_allows(line1, line2):
    assert state(TLE(line1, line2, strict_validation=True)) == state(TLE(line1, line2))


def test_minus_signs_count_one_in_the_checksum():
    assert with_checksum(ISS1) == ISS1  # ISS1 holds minus signs
    TLE(ISS1, ISS2, True)


def test_cut_multibyte_character_reads_as_replacement():
    tle = TLE(ISS1[:68] + "é", "é" * 69)
    assert tle.line1 == ISS1[:68] + "\ufffd"
    assert tle.line2 == "é" * 34 + "\ufffd"


def test_braces_in_lines_and_frame_name_print_as_they_stand(monkeypatch):
    monkeypatch.setattr(frames.TEME, "name", "TEME {fence} {x}")
    tle = TLE(put(ISS1, 10, "{wall}"), put(ISS2, 64, "{}{{}"))
    text = str(tle)
    assert tle.line1 in text and tle.line2 in text and "TEME {fence} {x}" in text


def test_box_fits_lines_holding_braces(settings):
    text = str(TLE(put(ISS1, 10, "{{}}{"), put(ISS2, 64, "}}{{}")))
    lines = text.split("\n")
    assert len(lines[0]) == max(len(line) for line in lines) == 69


# ---------------------------------------------------------------------------
# Text form


class Captured(TLE):
    """Records what the body hands the rendering helpers."""

    def _create_formatted_frame(self, data):
        self.frames = getattr(self, "frames", []) + [data]
        return super()._create_formatted_frame(data)


def cells(tle):
    tle._get_body()
    return {key: (si, op) for frame in tle.frames for key, si, op in
            ((k, frame["SI units"][k], frame["Op. units"][k]) for k in frame["SI units"])}


def test_class_docstring_example_runs():
    finder = doctest.DocTestFinder(recurse=False)
    runner = doctest.DocTestRunner()
    for test in finder.find(TLE, "TLE", globs={"TLE": TLE}):
        runner.run(test)
    assert runner.summarize(verbose=False) == (0, 3)


def test_header():
    assert TLE("", "")._get_header() == "Two-line Elements (TLE)"


def test_body_layout():
    tle = TLE(ISS1, ISS2)
    body = tle._get_body()
    assert body.startswith(ISS1 + "\n" + ISS2 + "\n{fence}\n")
    assert body.split("\n").count("{fence}") == 3 and not body.endswith("\n")
    assert "Orbital Elements:" in body and "Derived Elements:" in body
    assert repr(tle.epoch.utc) in body and frames.TEME.name in body
    assert str(tle) == repr(tle)

    class Relabelled(TLE):
        line1 = property(lambda self: "ISS (ZARYA)")

    assert Relabelled(ISS1, ISS2)._get_body().startswith("ISS (ZARYA)\n" + ISS2 + "\n{fence}\n")


def test_tables_hold_twelve_rows_in_order():
    tle = Captured(ISS1, ISS2)
    tle._get_body()
    coe, der = tle.frames
    assert list(coe) == list(der) == ["SI units", "Op. units"]
    assert list(coe["SI units"]) == list(coe["Op. units"]) == ["ecc", "sma", "inc", "raa", "arp", "tra"]
    assert list(der["SI units"]) == list(der["Op. units"]) == ["orp", "mnm", "mea", "eca", "pge", "apg"]


def test_cell_values_of_worked_examples():
    line2 = put(put(put(ISS2, 27, "0006703"), 9, " 51.6416"), 53, "15.50000000")
    got = cells(Captured(ISS1, line2))
    assert got["ecc"] == ("0.00067", "0.00067")
    assert got["inc"] == ("0.901 rad", "51.642 deg")
    assert got["mnm"] == ("0.001 rad/s", "15.500 rev/day")
    got = cells(Captured(ISS1, put(ISS2, 53, "16.00000000")))
    assert got["orp"] == ("5400.000 s", "1.500 hour")


def test_perigee_below_the_surface_keeps_its_sign():
    tle = Captured(ISS1, put(put(ISS2, 27, "2000000"), 53, "16.50000000"))
    assert tle.pge < 0
    si, op = cells(tle)["pge"]
    assert si == f"{tle.pge:.3f} m" and op.startswith("-") and op in tle._get_body()


def test_non_finite_elements_are_shown_not_refused():
    tle = Captured(ISS1, put(ISS2, 53, "0.00000000"))
    assert cells(tle)["sma"] == ("inf m", "inf km")
    assert "inf km" in str(tle)
