"""Earth orientation: the IERS readers, interpolation, and the frames that use it,
against astropy (same IERS data), skyfield and pyerfa."""

import warnings

import erfa
import numpy as np
import pytest
from helpers import SatrecStates, element_sets

from astrokite import eop
from astrokite.eop import iers
from astrokite.frames.frames import ITRF, TEME
from astrokite.frames.rotations import rot_GCRF_from_ITRF
from astrokite.time.scales import utc_jd_parts
from astrokite.time.time import Time

# Inside the measured part of the table, in its predictions, and past its end.
DATES = ["1990-03-04T05:06:07", "2016-12-31T18:00", "2023-06-01T03:00", "2027-05-01T12:00", "2029-01-01"]


@pytest.fixture(scope="module")
def astropy_iers():
    iers_module = pytest.importorskip("astropy.utils.iers")
    iers_module.conf.auto_download = False
    iers_module.conf.auto_max_age = None
    return iers_module.earth_orientation_table.get()


@pytest.fixture(autouse=True)
def table_kept():
    before = eop.current()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", eop.EarthOrientationWarning)
        yield
    eop.use(before)


def test_table_agrees_with_astropy(astropy_iers):
    from astropy.time import Time as AstropyTime
    import astropy.units as u

    t = AstropyTime(DATES, scale="utc")
    ours = eop.orientation(Time(DATES).int64)
    # astropy's UTC days of leap seconds last 86,401 s, ours 86,400: some ns apart on those days.
    np.testing.assert_allclose(ours[:, 0], astropy_iers.ut1_utc(t).to_value(u.s), rtol=0, atol=1e-7)
    x, y = astropy_iers.pm_xy(t)
    # 1e-12 rad is 7 um at the orbit of a low satellite.
    np.testing.assert_allclose(ours[:, 1], x.to_value(u.rad), rtol=0, atol=1e-12)
    np.testing.assert_allclose(ours[:, 2], y.to_value(u.rad), rtol=0, atol=1e-12)


def test_itrf_to_gcrf_agrees_with_astropy_within_a_millimetre(astropy_iers):
    """Within the table, predictions included; past its end astropy takes the
    pole's 50-year mean where we hold the last value (ERFA is the check there)."""
    from astropy import coordinates as coord
    from astropy.time import Time as AstropyTime
    import astropy.units as u

    dates = DATES[:-1]
    rng = np.random.default_rng(5)
    itrf = rng.normal(size=(len(dates), 3))
    itrf *= (6.6e6 + 3.6e7 * rng.random(len(dates)))[:, None] / np.linalg.norm(itrf, axis=1)[:, None]
    t = AstropyTime(dates, scale="utc")
    itrs = coord.ITRS(coord.CartesianRepresentation(itrf.T * u.m), obstime=t)
    gcrs = itrs.transform_to(coord.GCRS(obstime=t)).cartesian.xyz.to_value(u.m).T
    ours = np.einsum("kij,kj->ki", rot_GCRF_from_ITRF(Time(dates)), itrf)
    np.testing.assert_allclose(ours, gcrs, rtol=0, atol=1e-3)


@pytest.fixture(scope="module")
def teme():
    pairs = [next((l1, l2) for _, l1, l2 in element_sets(name)) for name in ["iss.tle", "galaxy-16.tle"]]
    return SatrecStates(pairs)


@pytest.mark.parametrize("start", ["2023-01-01T06:00", "2027-05-01", "2029-01-01"])
def test_teme_to_itrf_agrees_with_skyfield_within_a_millimetre(teme, start):
    """skyfield's TEME -> ITRF (GMST 1982 of UT1, then the pole), given our UT1
    and pole of each time."""
    from skyfield.sgp4lib import TEME_to_ITRF

    counts = Time(start).int64 + np.arange(0, 86400, 3600, dtype=np.int64) * 10**9
    ephemeris = teme.ephemeris(counts)
    ours = ephemeris.to(ITRF)
    ut1_utc, xp, yp = eop.orientation(counts).T
    jd1, jd2 = erfa.utcut1(*utc_jd_parts(Time(counts)), ut1_utc)
    for row in range(ephemeris.shape[0]):
        for k in range(len(counts)):
            r, v = TEME_to_ITRF(jd1[k], ephemeris.position[row, k] / 1e3, ephemeris.velocity[row, k] / 1e3 * 86400,
                                xp[k], yp[k], jd2[k])
            np.testing.assert_allclose(ours.position[row, k], r * 1e3, rtol=0, atol=1e-3)
            np.testing.assert_allclose(ours.velocity[row, k], v * 1e3 / 86400, rtol=0, atol=1e-6)


def test_old_model_and_table_in_force(teme):
    counts = Time("2023-01-01T06:00").int64 + np.arange(3, dtype=np.int64) * 10**9
    with_data = teme.ephemeris(counts).to(ITRF).position
    eop.use(None)
    assert eop.current() is eop.NO_EOP and "UT1 = UTC" in repr(eop.current())
    assert not eop.orientation(counts).any()
    without = teme.ephemeris(counts).to(ITRF).position
    # UT1 - UTC was about -0.009 s and the pole some 0.1 arcsec off: metres apart.
    assert 1 < np.abs(with_data - without).max() < 100
    with pytest.raises(TypeError, match="EOPTable"):
        eop.use("finals2000A.all")
    back = teme.ephemeris(counts).to(ITRF).to(TEME).position
    np.testing.assert_allclose(back, teme.ephemeris(counts).position, rtol=0, atol=1e-6)


def test_ut1_is_smooth_across_a_leap_second():
    # 2016-12-31 ended in a leap second: UT1 - UTC jumps by 1 s, UT1 - TAI does not.
    seconds = np.arange(-6 * 3600, 6 * 3600, 600)
    counts = Time("2017-01-01").int64 + seconds.astype(np.int64) * 10**9
    ut1_utc = eop.orientation(counts)[:, 0]
    tai_utc = np.where(seconds < 0, 36.0, 37.0)
    ut1_tai = ut1_utc - tai_utc
    assert np.abs(np.diff(ut1_tai, 2)).max() < 1e-6
    assert ut1_utc[seconds == 0] - ut1_utc[seconds == -600] == pytest.approx(1.0, abs=1e-4)


def test_outside_the_table_holds_the_ends_with_one_warning():
    table = eop.default()
    eop.use(table)
    last = Time(table.last).int64
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        far = eop.orientation([last + 400 * 86400 * 10**9, last])
        eop.orientation([last + 800 * 86400 * 10**9])
    outside = [w for w in caught if "outside" in str(w.message)]
    assert len(outside) == 1 and table.last in str(outside[0].message)
    np.testing.assert_array_equal(far[0], far[1])


def test_a_table_ending_before_today_is_flagged_once(tmp_path):
    lines = open(__import__("astropy_iers_data").IERS_A_FILE).read().splitlines()[:400]
    path = tmp_path / "finals.old"
    path.write_text("\n".join(lines) + "\n")
    table = eop.load(path)
    assert table.last == "1974-02-05" and len(table) == 400
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table.orientation([0])
        table.orientation([0])
    assert sum("before today" in str(w.message) for w in caught) == 1


FINALS = ("73 1 2 41684.00 I  0.120733 0.009786  0.136966 0.015902  I 0.8084178 0.0002710  0.0000 0.1916  P    "
          "-0.766    0.199    -0.720    0.300   .143000   .137000   .8075000   -18.637    -3.667  ")


@pytest.mark.parametrize("text, message", [
    ("", "no finals2000A records"),
    ("hello\n", "too short"),
    (FINALS.replace("41684.00", "4168x.00"), "MJD"),
    (FINALS.replace("0.8084178", "0.80841x8"), "UT1-UTC"),
    (FINALS.replace(" 0.120733", "       nan"[:9]), "PM-x"),
    (FINALS + "\n" + FINALS, "dates must increase"),
    (FINALS.replace("   .8075000", "  99.807500"), "beyond 1 s"),
    ("# C04\n1962 1 1 0 37665.00 -0.0127 0.213 0.0326338 0 0\n1962 1 2 0 37666.00 x 0.2 0.03 0 0\n", "not a number"),
    ("# C04\n1962 1 1 0 37665.00 -0.0127\n", "at least 10"),
    (b"\xff\xfe", "ASCII"),
])
def test_bad_files_are_a_value_error(text, message):
    with pytest.raises(ValueError, match=message):
        iers.read(text)


def test_finals_prefers_bulletin_b_and_keeps_pole_offsets():
    columns = iers.read(FINALS)
    assert columns["ut1_utc"][0] == 0.8075 and columns["x"][0] == pytest.approx(0.143 * iers.ARCSEC)
    assert columns["dx"][0] == pytest.approx(-18.637e-3 * iers.ARCSEC) and not columns["predicted"][0]
    a_only = iers.read(FINALS[:134])
    assert a_only["ut1_utc"][0] == 0.8084178 and a_only["dy"][0] == pytest.approx(-0.720e-3 * iers.ARCSEC)


def test_the_fast_and_the_line_by_line_finals_readers_agree():
    text = open(__import__("astropy_iers_data").IERS_A_FILE).read()
    fast, lines = iers.read_finals(text), iers._read_finals_lines(text)
    for name in iers.COLUMNS:
        np.testing.assert_array_equal(fast[name], lines[name])
