"""Sunlight and eclipses against a shadow computed here from pyerfa's Sun and the
cones' geometry, and penumbra fractions against an integration over the Sun's disc."""

import erfa
import numpy as np
import pytest
from helpers import SatrecStates, element_sets

from astrokite import eop
from astrokite.frames.frames import GCRF, TEME
from astrokite.lighting import EclipseTable, eclipses, find_eclipses, illumination
from astrokite.lighting.shadow import EclipseSearch
from astrokite.state.ephemeris import StateVectorEphemeris
from astrokite.time.scales import tt_jd_parts, utc_jd_parts
from astrokite.time.time import Time

RE, RS = 6378137.0, 6.957e8
# Around an equinox, when geostationary satellites cross the shadow too.
START, STOP = "2023-03-20T00:00", "2023-03-21T00:00"
FILES = ["iss.tle", "galaxy-16.tle", "tess.tle", "navstar-61.tle", "starlink-1007.tle"]
NS, MS = 10**9, 10**6


def nearest_pair(name, when=Time(START)):
    def epoch(line1):
        year, day = int(line1[18:20]), float(line1[20:32])
        return np.datetime64(f"{2000 + year}-01-01") + np.timedelta64(int((day - 1) * 86400), "s")

    target = np.datetime64(when.int64, "ns")
    return min(((l1, l2) for _, l1, l2 in element_sets(name)), key=lambda p: abs(epoch(p[0]) - target))


@pytest.fixture(scope="module")
def states():
    return SatrecStates([nearest_pair(name) for name in FILES])


def sun_teme(counts):
    """The Sun in TEME from pyerfa: epv00 in the GCRF, c2t06a to the ITRF with the
    table's UT1 and pole, then back through the pole and GMST 1982 of UT1."""
    time = Time(counts)
    earth, _ = erfa.epv00(*tt_jd_parts(time))
    gcrf = -erfa.DAU * earth["p"]
    ut1_utc, xp, yp = eop.orientation(counts).T
    ut1 = erfa.utcut1(*utc_jd_parts(time), ut1_utc)
    itrf = np.einsum("kij,kj->ki", erfa.c2t06a(*tt_jd_parts(time), *ut1, xp, yp), gcrf)
    pef = np.einsum("kji,kj->ki", erfa.pom00(xp, yp, 0.0), itrf)
    gmst = erfa.gmst82(*ut1)
    return np.einsum("kji,kj->ki", erfa.rz(gmst, np.broadcast_to(np.eye(3), (len(gmst), 3, 3))), pef)


def edges(r, sun):
    """Penumbra and umbra edges [rad], positive outside: the cones' geometry."""
    d = sun - r
    apart = np.arccos(np.clip(np.sum(-r * d, -1) / np.linalg.norm(r, axis=-1) / np.linalg.norm(d, axis=-1), -1, 1))
    earth = np.arcsin(RE / np.linalg.norm(r, axis=-1))
    sun_disc = np.arcsin(RS / np.linalg.norm(d, axis=-1))
    return apart - (earth + sun_disc), apart - (earth - sun_disc)


def reference_crossings(states, start_ns, stop_ns):
    """(row, kind, entering, time ns) of every satellite: a scan every second,
    each sign change bisected to 0.1 ms."""
    counts = np.arange(start_ns, stop_ns + 1, NS, dtype=np.int64)
    sun = sun_teme(counts)
    found = []
    for row, satellite in enumerate(states.satrecs):
        def edge_values(times, sun):
            _, r, _ = satellite.sgp4_array(*states._jd(times))
            return np.stack(edges(r * 1e3, sun))

        values = edge_values(counts, sun)
        for kind in (0, 1):
            k = np.flatnonzero((values[kind, :-1] > 0) != (values[kind, 1:] > 0))
            lo, hi, entering = counts[k], counts[k + 1], values[kind, k] > 0
            while len(k) and (hi - lo).max() > 100_000:
                mid = lo + (hi - lo) // 2
                outside = edge_values(mid, sun_teme(mid))[kind] > 0
                lo, hi = np.where(outside == entering, mid, lo), np.where(outside == entering, hi, mid)
            found += [(row, kind, e, t) for e, t in zip(entering, (lo + hi) // 2)]
    return found


def test_eclipses_agree_with_a_one_second_scan_within_a_millisecond(states):
    start, stop = Time(START).int64, Time(STOP).int64
    table = find_eclipses(states, START, STOP)
    frame = table.to_pandas()
    assert list(frame.columns[:7]) == ["satno", "shadow", "entry", "exit", "duration", "entry_before_start",
                                       "exit_after_stop"]
    crossings = reference_crossings(states, start, stop)
    for row, satno in enumerate(states.satnos):
        expected = [c[1:] for c in crossings if c[0] == row]
        mine = frame[frame.satno == satno]
        for kind, shadow in enumerate(["penumbra", "umbra"]):
            rows = mine[mine.shadow == shadow]
            got = [(True, t) for t, cut in zip(rows.entry.astype(np.int64), rows.entry_before_start) if not cut]
            got += [(False, t) for t, cut in zip(rows.exit.astype(np.int64), rows.exit_after_stop) if not cut]
            want = sorted((entering, t) for k, entering, t in expected if k == kind)
            assert len(got) == len(want), (satno, shadow)
            for (entering, t), (entering_want, t_want) in zip(sorted(got, key=lambda x: x[1]),
                                                              sorted(want, key=lambda x: x[1])):
                assert entering == entering_want and abs(t - t_want) < MS, (satno, shadow, t - t_want)
    # The low orbits are eclipsed every revolution, the geostationary one once at the equinox.
    counts = frame.groupby(["satno", "shadow"]).size()
    assert counts[(25544, "umbra")] >= 15 and counts[(states.satnos[1], "umbra")] == 1


def test_a_crossing_cut_by_the_window_keeps_its_edge(states):
    pair = [nearest_pair("iss.tle")]
    full = eclipses_of(pair, START, STOP)
    first = full[full.shadow == "umbra"].iloc[0]
    middle = first.entry + (first.exit - first.entry) / 2
    cut = eclipses_of(pair, middle, STOP)
    head = cut[cut.shadow == "umbra"].iloc[0]
    assert head.entry_before_start and head.entry == middle
    assert abs(head.exit - first.exit) < np.timedelta64(1, "ms")
    cut = eclipses_of(pair, START, middle)
    tail = cut[cut.shadow == "umbra"].iloc[-1]
    assert tail.exit_after_stop and tail.exit == middle
    assert abs(tail.entry - first.entry) < np.timedelta64(1, "ms")
    assert tail.duration == pytest.approx((middle - tail.entry).total_seconds())


def eclipses_of(pairs, start, stop):
    from astrokite.propagators.analytical.sgp4.tle import TLE

    return eclipses([TLE(*p) for p in pairs], start, stop).to_pandas()


def disc_integral(r, sun, n=1000):
    """The fraction of the Sun's disc seen from r past a spherical Earth: rays
    to a grid of points over the disc, each blocked or not by the sphere."""
    d = sun - r
    distance = np.linalg.norm(d)
    axis = d / distance
    u = np.cross(axis, [0.0, 0.0, 1.0])
    u /= np.linalg.norm(u)
    w = np.cross(axis, u)
    radius = np.tan(np.arcsin(RS / distance))
    a, b = np.meshgrid(np.linspace(-1, 1, n), np.linspace(-1, 1, n))
    inside = a * a + b * b <= 1
    rays = axis + radius * (a[inside, None] * u + b[inside, None] * w)
    rays /= np.linalg.norm(rays, axis=1)[:, None]
    along = rays @ -r
    closest = np.sqrt(np.maximum(r @ r - along**2, 0))
    blocked = (along > 0) & (closest < RE)
    return 1 - blocked.mean()


def test_penumbra_fractions_agree_with_an_integration_over_the_sun(states):
    counts = Time(START).int64 + np.arange(0, 86400, 1, dtype=np.int64)[::1] * NS
    ephemeris = states.ephemeris(counts[::5])
    light = illumination(ephemeris)
    assert light.shape == ephemeris.shape
    assert ((light == 0) | (light == 1) | ((light > 0) & (light < 1))).all()
    sun = sun_teme(np.asarray(ephemeris.time.int64))
    penumbra = np.argwhere((light > 0) & (light < 1))
    assert len(penumbra) >= 20
    for row, k in penumbra[:: max(1, len(penumbra) // 8)]:
        expected = disc_integral(ephemeris.position[row, k], sun[k])
        assert light[row, k] == pytest.approx(expected, abs=2e-3)
    # Sunlit and umbra agree with the cones everywhere.
    pen, umb = edges(ephemeris.position, sun[None])
    np.testing.assert_array_equal(light == 1, pen >= 0)
    np.testing.assert_array_equal(light == 0, umb <= 0)


def test_illumination_in_other_frames_and_of_failed_samples(states):
    counts = Time(START).int64 + np.arange(0, 86400, 300, dtype=np.int64) * NS
    teme = states.ephemeris(counts)
    np.testing.assert_allclose(illumination(teme.to(GCRF)), illumination(teme), atol=1e-6)
    broken = StateVectorEphemeris(teme.time, np.full((1, len(counts), 3), np.nan), frame=TEME)
    assert np.isnan(illumination(broken)).all()


def test_bad_search_arguments_are_value_errors(states):
    with pytest.raises(ValueError, match="stop must come after start"):
        find_eclipses(states, STOP, START)
    with pytest.raises(ValueError, match="step"):
        find_eclipses(states, START, STOP, step=0)
    with pytest.raises(ValueError, match="sun must have shape"):
        EclipseSearch(0, 1, np.zeros((0, 3)), 1, 10)
    search = EclipseSearch(0, 600 * NS, np.ones((3, 3)) * 1.5e11, 1, 10 * NS)
    with pytest.raises(ValueError, match="position must have shape"):
        search.begin(np.array([0, 10 * NS]), np.zeros((2, 2, 3)), np.zeros((1, 2, 3)), np.ones((1, 2), np.uint8))
    empty = find_eclipses(states, START, "2023-03-20T00:00:01")
    assert isinstance(empty, EclipseTable) and "EclipseTable" in repr(empty)
    assert "<table" in empty._repr_html_()


def test_the_first_sampling_sets_the_cost_not_what_is_found(states):
    # Sampled every minute or every two hours, the same crossings within 1 ms:
    # nothing between samples is missed, whatever their spacing.
    fine = find_eclipses(states, START, STOP, step=60).to_pandas()
    coarse = find_eclipses(states, START, STOP, step=7200).to_pandas()
    assert len(fine) == len(coarse) > 30
    assert (fine.satno.values == coarse.satno.values).all() and (fine.shadow.values == coarse.shadow.values).all()
    for column in ("entry", "exit"):
        assert np.abs((fine[column] - coarse[column]).dt.total_seconds()).max() < 1e-3


class FailingFrom:
    """States of `states` that fail from `when` (ns) on for the first satellite."""

    def __init__(self, states, when):
        self.states, self.when, self.satnos = states, when, states.satnos

    def grid(self, rows, times):
        r, v, valid = self.states.grid(rows, times)
        if rows.start == 0:
            valid[0] &= times < self.when
        return r, v, valid

    def at(self, rows, times):
        r, v, valid = self.states.at(rows, times)
        return r, v, valid & ~((rows == 0) & (times >= self.when))


def test_a_failed_propagation_ends_that_search_and_says_so(states):
    # The satellite's search ends at its last good state before the failure
    # (the sampling is every 15 minutes); an umbra it was in is cut there.
    whole = find_eclipses(states, START, STOP).to_pandas()
    umbra = whole[(whole.satno == states.satnos[0]) & (whole.shadow == "umbra")].iloc[2]
    when = int(umbra.entry.value + 31 * 60 * NS)
    table = find_eclipses(FailingFrom(states, when), START, STOP)
    assert list(table.failures["satno"]) == [states.satnos[0]] and "1 satellite failed" in repr(table)
    failed_at = int(table.failures["at"].int64[0])
    assert when <= failed_at < when + 900 * NS
    frame = table.to_pandas()
    mine = frame[frame.satno == states.satnos[0]]
    last = mine[mine.shadow == "umbra"].iloc[-1]
    assert last.failed and not last.exit_after_stop and last.exit.value == failed_at
    assert abs(last.entry - umbra.entry) < np.timedelta64(1, "ms")
    assert (mine.entry.values < np.datetime64(when, "ns")).all()
    # The other satellites are untouched.
    others = whole[whole.satno != states.satnos[0]].reset_index(drop=True)
    np.testing.assert_array_equal(frame[frame.satno != states.satnos[0]].reset_index(drop=True).entry, others.entry)


def test_sun_elevation_agrees_with_astropy():
    coordinates = pytest.importorskip("astropy.coordinates")
    from astropy.time import Time as AstropyTime
    import astropy.units as u

    from astrokite.lighting import sun_elevation
    from astrokite.sites import Site

    site = Site(np.radians(48.8566), np.radians(2.3522), 35.0)
    times = ["2023-03-20T06:00", "2023-06-21T12:00", "2023-12-21T18:30", "2024-01-01T00:00"]
    t = AstropyTime(times, scale="utc")
    place = coordinates.EarthLocation.from_geodetic(2.3522 * u.deg, 48.8566 * u.deg, 35.0 * u.m)
    theirs = coordinates.get_sun(t).transform_to(coordinates.AltAz(obstime=t, location=place)).alt.rad
    # astropy's Sun is apparent (aberration, 20 arcsec); ours geometric.
    np.testing.assert_allclose(sun_elevation(site, Time(times)), theirs, atol=2e-4)


def test_magnitude_follows_range_phase_and_shadow(states):
    from astrokite.lighting import magnitude
    from astrokite.sites import Site

    counts = Time(START).int64 + np.arange(0, 86400, 120, dtype=np.int64) * NS
    ephemeris = states.ephemeris(counts)
    site = Site(np.radians(48.8566), np.radians(2.3522), 35.0)
    m = magnitude(site, ephemeris, 2.0)
    light = illumination(ephemeris)
    assert np.isinf(m[light == 0]).all() and np.isfinite(m[light > 0]).all()
    # Twice the range, a quarter of the light: 1.5 magnitudes fainter at the
    # same phase; a full phase (a = 0) is pi times brighter than half.
    lit = light == 1
    aer, _ = site.look(ephemeris)
    phase_term = m - 2.0 - 5 * np.log10(aer["range"] / 1e6)
    assert (phase_term[lit] >= -2.5 * np.log10(np.pi) - 1e-9).all()
    assert phase_term[lit].min() < -0.5 and np.isfinite(phase_term[lit]).all()
