"""Frames, geodetic coordinates and look angles against pyerfa and skyfield."""

import math
import warnings

import erfa
import numpy as np
import pytest
from helpers import SatrecStates, element_sets

from astrokite import eop
from astrokite.datamodel.structured import AER_dtype, ENU_dtype, LLA_dtype
from astrokite.frames import transforms
from astrokite.frames.frames import GCRF, ITRF, TEME
from astrokite.frames.rotations import rot_GCRF_from_ITRF
from astrokite.mathtools.ellipsoid.ellipsoid import GRS80, WGS72, WGS84
from astrokite.sites import Site
from astrokite.state.ephemeris import StateVectorEphemeris
from astrokite.time.time import Time
from astrokite.time.scales import tt_jd_parts, ut1_jd_parts, utc_jd_parts

FILES = ["iss.tle", "hubble.tle", "starlink-1007.tle", "navstar-61.tle", "galaxy-16.tle", "tess.tle"]


def first_pairs(files=FILES):
    return [next((line1, line2) for _, line1, line2 in element_sets(name)) for name in files]


@pytest.fixture(scope="module")
def states():
    return SatrecStates(first_pairs())


def counts(start="2023-01-01T06:00", seconds=np.arange(0, 86400, 600)):
    return Time(start).int64 + np.asarray(seconds, np.int64) * 10**9


def erfa_teme_to(frame_name, times, r, v):
    """TEME -> ITRF or GCRF composed from pyerfa: GMST 1982 of UT1 about the
    pole, then polar motion (pom00 without s'); or the transpose of c2t06a.
    UT1 - UTC and the pole from the table in force. Rates by differences."""
    ut1_utc, xp, yp = eop.orientation(times.int64).T
    ut1 = erfa.utcut1(*utc_jd_parts(times), ut1_utc)
    gmst = erfa.gmst82(*ut1)
    step = 1.0 / 86400

    def rate(angle):  # rad/s by a central difference of +-1 s
        return np.angle(np.exp(1j * (angle(ut1[0], ut1[1] + step) - angle(ut1[0], ut1[1] - step)))) / 2.0

    gmst_rate = rate(erfa.gmst82)[None, :]
    to_pef = erfa.rz(gmst, np.broadcast_to(np.eye(3), (len(gmst), 3, 3)))
    r_pef = np.einsum("kij,skj->ski", to_pef, r)
    spin = np.zeros_like(r_pef)
    spin[..., 0], spin[..., 1] = -gmst_rate * r_pef[..., 1], gmst_rate * r_pef[..., 0]
    v_pef = np.einsum("kij,skj->ski", to_pef, v) - spin
    pole = erfa.pom00(xp, yp, 0.0)
    r_itrf, v_itrf = np.einsum("kij,skj->ski", pole, r_pef), np.einsum("kij,skj->ski", pole, v_pef)
    if frame_name == "ITRF":
        return r_itrf, v_itrf
    to_gcrf = np.swapaxes(erfa.c2t06a(*tt_jd_parts(times), *ut1, xp, yp), -1, -2)
    era_rate = rate(erfa.era00)[None, :]
    spin[..., 0], spin[..., 1] = -era_rate * r_itrf[..., 1], era_rate * r_itrf[..., 0]
    return np.einsum("kij,skj->ski", to_gcrf, r_itrf), np.einsum("kij,skj->ski", to_gcrf, v_itrf + spin)


# Inside the table, and past its end (its last value held).
@pytest.mark.parametrize("start", ["2023-01-01T06:00", "2028-06-01"])
@pytest.mark.parametrize("frame", [ITRF, GCRF])
@pytest.mark.filterwarnings("ignore::astrokite.eop.EarthOrientationWarning")
def test_teme_conversions_agree_with_erfa_within_a_millimetre(states, frame, start):
    times = Time(counts(start))
    teme = states.ephemeris(times.int64)
    ours = teme.to(frame)
    assert ours.frame is frame and ours.shape == teme.shape
    r, v = erfa_teme_to(frame.name, times, teme.position, teme.velocity)
    np.testing.assert_allclose(ours.position, r, rtol=0, atol=1e-3)
    np.testing.assert_allclose(ours.velocity, v, rtol=0, atol=1e-3)


def test_conversions_go_back_and_forth(states):
    teme = states.ephemeris(counts())
    for path in ([ITRF, TEME], [GCRF, TEME], [GCRF, ITRF, GCRF, TEME], [ITRF, GCRF, TEME]):
        back = teme
        for frame in path:
            back = back.to(frame)
        np.testing.assert_allclose(back.position, teme.position, rtol=0, atol=1e-6)
        np.testing.assert_allclose(back.velocity, teme.velocity, rtol=0, atol=1e-9)
    assert teme.to(TEME) is teme


def test_velocity_is_the_rate_of_the_converted_position():
    # Uniform motion in TEME; the Earth-fixed and celestial velocities must
    # carry the frames' rotation: compare with central differences of positions
    # converted at neighbouring instants.
    seconds = np.array([-1.0, 0.0, 1.0])
    r0, v0 = np.array([6.9e6, -1.2e6, 0.4e6]), np.array([1.1e3, 6.2e3, 4.1e3])
    position = (r0 + seconds[:, None] * v0)[None]
    teme = StateVectorEphemeris(Time(counts(seconds=[0, 1, 2])), position, np.broadcast_to(v0, (1, 3, 3)),
                                frame=TEME)
    for frame in (ITRF, GCRF):
        moved = teme.to(frame)
        np.testing.assert_allclose(moved.velocity[:, 1], (moved.position[:, 2] - moved.position[:, 0]) / 2,
                                   rtol=0, atol=1e-3)


@pytest.mark.parametrize("ellipsoid", [WGS84, WGS72, GRS80])
def test_lla_agrees_with_erfa_gc2gde(ellipsoid):
    rng = np.random.default_rng(7)
    direction = rng.normal(size=(3, 4000, 3))
    direction /= np.linalg.norm(direction, axis=-1, keepdims=True)
    # From 30 km below the surface to beyond the Moon, and the poles and equator.
    radius = ellipsoid.a * np.exp(rng.uniform(np.log(0.995), np.log(70.0), size=(3, 4000, 1)))
    position = direction * radius
    position[0, :4] = [[0, 0, 7e6], [0, 0, -6.4e6], [7e6, 0, 0], [0, -4.2e7, 0]]
    eph = StateVectorEphemeris(Time(np.arange(4000)), position, frame=ITRF)
    lla = eph.lla(ellipsoid)
    assert lla.dtype == LLA_dtype and lla.shape == (3, 4000)
    e, p, h = erfa.gc2gde(ellipsoid.a, ellipsoid.f, position)
    np.testing.assert_allclose(lla["lat"], p, rtol=0, atol=1e-9)
    np.testing.assert_allclose(np.angle(np.exp(1j * (lla["lon"] - e))), 0, atol=1e-9)
    np.testing.assert_allclose(lla["alt"], h, rtol=0, atol=1e-6)


def test_lla_is_the_same_from_every_frame(states):
    # TEME goes through a fused turn-and-convert loop, the others through ITRF.
    teme = states.ephemeris(counts())
    expected = teme.lla(WGS72)
    for frame in (ITRF, GCRF):
        lla = teme.to(frame).lla(WGS72)
        for name in ("lat", "lon", "alt"):
            np.testing.assert_allclose(lla[name], expected[name], rtol=0, atol=1e-6 if name == "alt" else 1e-12)


def test_failed_samples_stay_nan(states):
    eph = states.ephemeris(counts(seconds=[0, 60]))
    eph.position[1, 0] = np.nan
    eph.velocity[1, 0] = np.nan
    eph.error[1, 0] = 1
    lla = eph.lla()
    assert np.isnan(lla[1, 0]["lat"]) and np.isnan(lla[1, 0]["alt"]) and np.isfinite(lla[0, 0]["lat"])
    assert np.isnan(eph.to(GCRF).position[1, 0]).all()
    aer, rate = Site(0.5, 0.5).look(eph)
    assert np.isnan(aer[1, 0]["elevation"]) and np.isnan(rate[1, 0]) and np.isfinite(rate[1, 1])


def test_to_pandas_has_one_row_per_sample(states):
    eph = states.ephemeris(counts(seconds=[0, 60, 120]))
    frame = eph.to_pandas()
    assert list(frame.columns) == ["satno", "time", "x", "y", "z", "vx", "vy", "vz", "error"]
    assert len(frame) == 3 * len(FILES)
    row = frame.iloc[4]  # second satellite, second time
    assert row["satno"] == eph.satnos[1] and row["x"] == eph.position[1, 1, 0]
    assert row["time"].value == eph.time.int64[1]


def test_frames_other_than_teme_itrf_gcrf_are_refused(states):
    from astrokite.frames.frames import ENU

    eph = states.ephemeris(counts(seconds=[0]))
    with pytest.raises(ValueError, match="TEME, ITRF or GCRF"):
        eph.to(ENU())
    without_velocity = StateVectorEphemeris(eph.time, eph.position, frame=TEME)
    assert without_velocity.to(GCRF).velocity is None
    assert "vx" not in without_velocity.to_pandas().columns


def test_dubious_years_warn():
    eph = StateVectorEphemeris(Time(["1700-01-01", "1700-01-02"]), np.full((1, 2, 3), 7e6), frame=TEME)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        eph.to(GCRF)
    assert any(issubclass(w.category, erfa.ErfaWarning) and "dubious year" in str(w.message) for w in caught)


class TestSite:
    def test_position_and_axes(self):
        site = Site(math.radians(-33.9), math.radians(151.2), 58.0, ellipsoid=WGS72, name="Sydney")
        np.testing.assert_allclose(site.position, erfa.gd2gce(WGS72.a, WGS72.f, site.lon, site.lat, 58.0),
                                   rtol=0, atol=1e-6)
        assert site.enu.dtype == ENU_dtype
        axes = np.array([site.enu["u_east"], site.enu["u_north"], site.enu["u_up"]])
        np.testing.assert_allclose(axes @ axes.T, np.eye(3), atol=1e-15)
        assert np.linalg.det(axes) == pytest.approx(1.0)
        # Up is the ellipsoid normal: a point 1 km up has the same latitude.
        above = erfa.gc2gde(WGS72.a, WGS72.f, site.position + 1e3 * axes[2])
        assert above[1] == pytest.approx(site.lat, abs=1e-12) and above[2] == pytest.approx(1058.0, abs=1e-6)
        assert "Sydney" in repr(site)

    def test_look_angles_of_known_directions(self):
        site = Site(0.7, -1.3, 120.0)
        east, north, up = site.enu["u_east"], site.enu["u_north"], site.enu["u_up"]
        targets = site.position + 1e5 * np.array([up, north, east, -north + 1e-9 * up, (east + up) / np.sqrt(2)])
        velocity = np.array([up, north, up, up, east]) * 1e3
        eph = StateVectorEphemeris(Time(np.arange(5)), targets[None], velocity[None], frame=ITRF)
        aer, range_rate = site.look(eph)
        assert aer.dtype == AER_dtype and aer.shape == (1, 5)
        np.testing.assert_allclose(aer["range"], 1e5)
        np.testing.assert_allclose(np.degrees(aer["elevation"][0]), [90, 0, 0, 0, 45], atol=1e-6)
        np.testing.assert_allclose(np.degrees(aer["azimuth"][0, 1:]), [0, 90, 180, 90], atol=1e-6)
        np.testing.assert_allclose(range_rate[0], [1e3, 1e3, 0, 0, 1e3 / np.sqrt(2)], atol=1e-5)

    @pytest.mark.parametrize("lat, lon, alt", [(1.6, 0, 0), (-1.58, 0, 0), (np.nan, 0, 0), (0, np.inf, 0),
                                               (0, 0, np.nan)])
    def test_bad_coordinates(self, lat, lon, alt):
        with pytest.raises(ValueError, match="site"):
            Site(lat, lon, alt)


@pytest.fixture(scope="module")
def skyfield_run():
    skyfield = pytest.importorskip("skyfield.api")
    return skyfield, skyfield.load.timescale(builtin=True)


def test_ground_track_agrees_with_skyfield(skyfield_run, states):
    """skyfield takes UT1 from its own table and applies no polar motion without
    IERS data: its Earth-fixed TEME conversion is ours with UT1 - UTC added to the
    time of the sidereal angle. With that difference removed, positions agree to
    a micrometre and subpoints to well under a metre."""
    from skyfield.framelib import itrs

    skyfield, ts = skyfield_run
    ns = counts(seconds=np.arange(0, 86400, 900))
    t = ts.utc(2023, 1, 1, 6, 0, np.arange(0, 86400, 900))
    dut1_ns = np.round(t.dut1 * 1e9).astype(np.int64)
    assert np.abs(t.dut1).max() > 0.005  # the difference is there to remove
    r, v, _ = states.grid(slice(None), ns)
    r_itrf, _ = transforms.teme_itrf(ns + dut1_ns, r, v, True)
    lla = StateVectorEphemeris(Time(ns), r_itrf, frame=ITRF).lla()
    for row, (line1, line2) in enumerate(first_pairs()):
        satellite = skyfield.EarthSatellite(line1, line2, ts=ts)
        at = satellite.at(t)
        np.testing.assert_allclose(r_itrf[row], at.frame_xyz(itrs).m.T, rtol=0, atol=1e-4)
        point = skyfield.wgs84.geographic_position_of(at)
        # 1 m on the ground is 1.6e-7 rad of latitude.
        np.testing.assert_allclose(lla["lat"][row], point.latitude.radians, rtol=0, atol=1.5e-7)
        np.testing.assert_allclose(np.angle(np.exp(1j * (lla["lon"][row] - point.longitude.radians))), 0,
                                   atol=1.5e-7 / np.cos(lla["lat"][row]).min())
        np.testing.assert_allclose(lla["alt"][row], point.elevation.m, rtol=0, atol=1.0)


def test_frames_are_taken_by_name_in_any_case(states):
    eph = states.ephemeris(counts(seconds=[0, 60]))
    for name, frame in [("ITRF", ITRF), ("gcrf", GCRF), ("Teme", TEME)]:
        converted = eph.to(name)
        assert converted.frame is frame
        np.testing.assert_array_equal(converted.position, eph.to(frame).position)
    assert StateVectorEphemeris(eph.time, eph.position, frame="itrf").frame is ITRF
    with pytest.raises(ValueError, match="TEME, ITRF or GCRF"):
        eph.to("ENU")


@pytest.mark.parametrize("lat, lon, alt, message", [
    (1.35, 103.8, 0.0, "radians"),  # Singapore in degrees: the latitude passes, the longitude cannot
    (0.0, -6.3, 0.0, "radians"),
    (0.0, 0.0, -6378137.0, "centre"),
    (1.5, 0.0, -7e6, "centre"),
])
def test_sites_in_degrees_or_past_the_centre_are_refused(lat, lon, alt, message):
    with pytest.raises(ValueError, match=message):
        Site(lat, lon, alt)
    assert Site(0.5, -2 * math.pi, -6e6).lon == -2 * math.pi  # the limits themselves are sites
