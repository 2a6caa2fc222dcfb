"""Passes against a brute-force scan of our own elevations and against skyfield."""

import math

import numpy as np
import pytest
from helpers import SatrecStates, element_sets

from astrokite import eop
from astrokite.frames import transforms
from astrokite.sites import Site, find_passes
from astrokite.sites.passes import sgp4_states
from astrokite.time.time import Time

FILES = ["iss.tle", "hubble.tle", "starlink-1007.tle", "navstar-61.tle", "galaxy-16.tle", "tess.tle",
         "iridium-71.tle"]
START, STOP = "2023-01-01T06:00", "2023-01-02T06:00"
NS = 10**9
MS = 10**6
# Boulder sees the Galaxy 16 geostationary satellite as well as the low orbits.
BOULDER = Site(math.radians(40.015), math.radians(-105.27), 1655.0, name="Boulder")


@pytest.fixture(scope="module")
def states():
    return SatrecStates([next((line1, line2) for _, line1, line2 in element_sets(name)) for name in FILES])


def elevations(site, states, rows, times):
    """Our elevation of each (row, time) pair [rad]."""
    r, v, _ = states.at(rows, times)
    r_itrf, _ = transforms.teme_itrf(times, r[None], v[None], True, eop.orientation(times))
    aer, _ = transforms.look(site.lat, site.lon, site.alt, site.ellipsoid.a, site.ellipsoid.f, r_itrf[0], None)
    return aer[:, 1]


def bisect(function, rows, lo, hi, resolution=10_000):
    """Times (ns) where function(rows, t) > 0 changes sign, bracketed by lo and hi."""
    lo, hi = lo.copy(), hi.copy()
    above_lo = function(rows, lo) > 0
    while (hi - lo).max() > resolution:
        mid = lo + (hi - lo) // 2
        same = (function(rows, mid) > 0) == above_lo
        lo, hi = np.where(same, mid, lo), np.where(same, hi, mid)
    return lo + (hi - lo) // 2


def scan(site, states, min_elevation, start=START, stop=STOP):
    """Passes from elevations every second, crossings and culminations bisected
    to 10 us: a list of (row, rise or None, culmination, set or None, max elevation)."""
    start_ns, stop_ns = Time(start).int64, Time(stop).int64
    grid = np.arange(start_ns, stop_ns + 1, NS)
    m = len(states.satnos)
    el = np.stack([elevations(site, states, np.full(len(grid), row), grid) for row in range(m)])
    above = el > min_elevation
    row, k = np.nonzero(above[:, 1:] != above[:, :-1])
    clearance = lambda rows, t: elevations(site, states, rows, t) - min_elevation  # noqa: E731
    crossings = bisect(clearance, row, grid[k], grid[k + 1])
    climb = lambda rows, t: elevations(site, states, rows, t + MS) - elevations(site, states, rows, t - MS)  # noqa
    passes = []
    for satellite in range(m):
        times = list(crossings[row == satellite])
        rising = list(above[satellite, k[row == satellite] + 1])
        if above[satellite, 0]:
            times.insert(0, None), rising.insert(0, True)
        if above[satellite, -1]:
            times.append(None), rising.append(False)
        for rise, fall in zip(times[0::2], times[1::2]):
            inside = (grid >= (rise or start_ns)) & (grid <= (fall or stop_ns))
            best = np.flatnonzero(inside)[np.argmax(el[satellite, inside])]
            lo, hi = grid[max(best - 1, 0)], grid[min(best + 1, len(grid) - 1)]
            top = bisect(climb, np.array([satellite]), np.array([lo]), np.array([hi]))[0]
            passes.append((satellite, rise, top, fall, el[satellite, best]))
    return passes


# The South Pole: east and north turn with longitude, the up axis is the pole.
POLE = Site(-math.pi / 2, 0.3, 2835.0, name="Amundsen-Scott")


@pytest.fixture(scope="module")
def scans(states):
    return {(site.name, degrees): scan(site, states, math.radians(degrees))
            for site, degrees in ((BOULDER, 0.0), (BOULDER, 10.0), (POLE, 0.0))}


# The first sampling step sets the cost, never which passes are found.
@pytest.mark.parametrize("site, min_degrees, step", [(BOULDER, 0.0, 1200.0), (BOULDER, 10.0, 1200.0),
                                                     (BOULDER, 0.0, 60.0), (BOULDER, 10.0, 7200.0),
                                                     (POLE, 0.0, 1200.0)])
def test_every_pass_of_a_one_second_scan_is_found_within_a_millisecond(states, scans, site, min_degrees, step):
    min_elevation = math.radians(min_degrees)
    expected = list(scans[site.name, min_degrees])
    table = find_passes(site, states, START, STOP, min_elevation, step=step)
    assert len(table) == len(expected) >= 10
    assert not table.failed.any()
    satnos = states.satnos
    expected.sort(key=lambda p: (satnos[p[0]], p[1] or 0))
    for i, (row, rise, top, fall, highest) in enumerate(expected):
        assert table.satno[i] == satnos[row]
        assert table.rises_before_start[i] == (rise is None)
        assert table.sets_after_stop[i] == (fall is None)
        if rise is not None:
            assert abs(table.rise.int64[i] - rise) < MS
        if fall is not None:
            assert abs(table.set.int64[i] - fall) < MS
        # A geostationary maximum is flat to rounding over tens of milliseconds.
        at_edge = table.culmination.int64[i] in (Time(START).int64, Time(STOP).int64)
        if not at_edge and FILES[row] != "galaxy-16.tle":
            assert abs(table.culmination.int64[i] - top) < MS
        # The one-second samples never beat the refined maximum.
        assert highest <= table.max_elevation[i] + 1e-12
    assert set(table.satno) == {satnos[row] for row, *_ in expected}


def test_a_pass_shorter_than_any_sampling_step_is_found(states):
    # Raise the minimum elevation to just under an ISS pass's highest point:
    # what is left of the pass lasts a fraction of a second.
    table = find_passes(BOULDER, states, START, STOP)
    iss = np.flatnonzero(table.satno == 25544)
    iss = iss[np.argmax(table.max_elevation[iss])]
    top, highest = table.culmination.int64[iss], table.max_elevation[iss]
    short = find_passes(BOULDER, states, START, STOP, highest - 2e-7, step=600.0)
    mine = np.flatnonzero(short.satno == 25544)
    assert len(mine) == 1
    rise, culmination, set_ = short.rise.int64[mine[0]], short.culmination.int64[mine[0]], short.set.int64[mine[0]]
    assert rise < culmination < set_ and set_ - rise < NS
    assert abs(culmination - top) < MS
    clearance = lambda rows, t: elevations(BOULDER, states, rows, t) - (highest - 2e-7)  # noqa: E731
    refined = bisect(clearance, np.array([0, 0]), np.array([rise - 100 * MS, culmination]),
                     np.array([culmination, set_ + 100 * MS]))
    np.testing.assert_array_less(np.abs(refined - [rise, set_]), MS)


def test_passes_under_way_at_start_and_stop(states):
    full = find_passes(BOULDER, states, START, STOP)
    iss = np.flatnonzero(full.satno == 25544)
    first, last = iss[1], iss[-2]
    start = (full.rise.int64[first] + full.set.int64[first]) // 2
    stop = (full.rise.int64[last] + full.set.int64[last]) // 2
    clipped = find_passes(BOULDER, states, Time(start), Time(stop))
    mine = np.flatnonzero(clipped.satno == 25544)
    assert len(mine) == last - first + 1
    head, tail = mine[0], mine[-1]
    assert clipped.rises_before_start[head] and not clipped.sets_after_stop[head]
    assert clipped.rise.int64[head] == start
    assert abs(clipped.set.int64[head] - full.set.int64[first]) < MS
    assert clipped.sets_after_stop[tail] and clipped.set.int64[tail] == stop
    assert abs(clipped.rise.int64[tail] - full.rise.int64[last]) < MS
    frame = clipped.to_pandas()
    assert frame["rise"].isna().tolist() == list(clipped.rises_before_start)
    assert frame["set"].isna().tolist() == list(clipped.sets_after_stop)
    assert frame["max_elevation_deg"].between(0, 90).all()


class FailingStates:
    """The first satellite's states fail from `after` on."""

    def __init__(self, states, after):
        self.states, self.after, self.satnos = states, after, states.satnos

    def grid(self, rows, times):
        r, v, valid = self.states.grid(rows, times)
        if rows.start == 0:
            valid[0, times >= self.after] = False
            r[0, times >= self.after] = np.nan
        return r, v, valid

    def at(self, rows, times):
        r, v, valid = self.states.at(rows, times)
        valid[(rows == 0) & (times >= self.after)] = False
        return r, v, valid


# A step of 60 s cuts the day into pieces searched apart: a failure in one ends the later ones too.
@pytest.mark.parametrize("step", [300.0, 60.0])
def test_failed_samples_end_the_search_with_a_row_that_says_so(states, step):
    full = find_passes(BOULDER, states, START, STOP)
    iss = np.flatnonzero(full.satno == 25544)
    # Fail in the middle of the third pass, then between passes.
    during = (full.rise.int64[iss[2]] + full.set.int64[iss[2]]) // 2
    between = (full.set.int64[iss[3]] + full.rise.int64[iss[4]]) // 2
    cases = [(during, True), (between, False)]
    if step == 60.0:  # a failure from a cut between pieces on
        cut = Time(START).int64 + 512 * 60 * NS
        in_pass = ((full.rise.int64[iss] < cut) & (full.set.int64[iss] > cut)).any()
        cases.append((cut, in_pass))
    for after, in_pass in cases:
        table = find_passes(BOULDER, FailingStates(states, after), START, STOP, step=step)
        mine = np.flatnonzero(table.satno == 25544)
        last = mine[-1]
        assert table.failed[last] and table.failed.sum() == 1
        # The failure is reported from where it starts, to the crossings' resolution.
        assert after <= table.set.int64[last] <= after + 20_000
        kept = mine[:-1]
        assert len(kept) == (full.set.int64[iss] < after).sum()
        np.testing.assert_allclose(table.rise.int64[kept], full.rise.int64[iss[: len(kept)]], rtol=0, atol=MS)
        if in_pass:
            assert abs(table.rise.int64[last] - full.rise.int64[iss[len(kept)]]) < MS
        else:
            assert np.isnan(table.max_elevation[last])
        assert table.to_pandas()["set"].isna()[last]
        others = table.satno != 25544
        np.testing.assert_allclose(table.rise.int64[others], full.rise.int64[full.satno != 25544], rtol=0, atol=MS)


@pytest.mark.parametrize("start, stop, message", [
    (STOP, START, "stop must come after start"),
    (START, START, "stop must come after start"),
])
def test_bad_spans(states, start, stop, message):
    with pytest.raises(ValueError, match=message):
        find_passes(BOULDER, states, start, stop)


@pytest.mark.parametrize("keyword", [{"min_elevation": math.nan}, {"min_elevation": 2.0}, {"step": 0.0},
                                     {"step": math.inf}])
def test_bad_arguments(states, keyword):
    with pytest.raises(ValueError):
        find_passes(BOULDER, states, START, STOP, **keyword)


def test_passes_agree_with_skyfield_find_events(states):
    """skyfield's UT1 - UTC (about -0.02 s here) turns its Earth by some 10 m at
    the ISS: a few milliseconds of event time, well inside a second."""
    skyfield = pytest.importorskip("skyfield.api")
    ts = skyfield.load.timescale(builtin=True)
    site = skyfield.wgs84.latlon(math.degrees(BOULDER.lat), math.degrees(BOULDER.lon), BOULDER.alt)
    t0, t1 = ts.utc(2023, 1, 1, 6), ts.utc(2023, 1, 2, 6)
    table = find_passes(BOULDER, states, START, STOP)
    t0_ns, t1_ns = Time(START).int64, Time(STOP).int64
    for row, name in enumerate(FILES[:4]):
        line1, line2 = next((a, b) for _, a, b in element_sets(name))
        times, events = skyfield.EarthSatellite(line1, line2, ts=ts).find_events(site, t0, t1, 0.0)
        ns = np.array([np.datetime64(t.replace(tzinfo=None), "ns").astype(np.int64) for t in times.utc_datetime()])
        mine = table.satno == states.satnos[row]
        ours_rise = table.rise.int64[mine & ~table.rises_before_start]
        ours_set = table.set.int64[mine & ~table.sets_after_stop]
        # skyfield names no culmination for a pass still rising at the stop.
        ours_top = table.culmination.int64[mine & ~np.isin(table.culmination.int64, [t0_ns, t1_ns])]
        for event, ours in ((0, ours_rise), (1, ours_top), (2, ours_set)):
            theirs = ns[events == event]
            assert len(theirs) == len(ours), (name, event)
            np.testing.assert_array_less(np.abs(theirs - ours), NS)


def test_site_passes_of_element_sets_go_through_sgp4(states):
    sgp4 = pytest.importorskip("astrokite.propagators.analytical.sgp4.sgp4")
    from astrokite.propagators.analytical.sgp4.tle import TLE

    tles = [TLE(*next((a, b) for _, a, b in element_sets(name))) for name in FILES]
    expected = find_passes(BOULDER, states, START, STOP)
    for source in (tles, sgp4.SGP4(tles)):
        table = BOULDER.passes(source, START, STOP)
        np.testing.assert_array_equal(table.satno, expected.satno)
        # Not the culmination of the geostationary satellite, flat to tens of milliseconds.
        sharp = table.satno != states.satnos[FILES.index("galaxy-16.tle")]
        for column in ("rise", "culmination", "set"):
            np.testing.assert_allclose(getattr(table, column).int64[sharp], getattr(expected, column).int64[sharp],
                                       rtol=0, atol=MS)
    # Chunks of a given propagator's rows give the states chunks of the sets themselves give.
    by_sets = find_passes(BOULDER, sgp4_states(tles), START, STOP, chunk=3)
    by_propagator = find_passes(BOULDER, sgp4_states(sgp4.SGP4(tles)), START, STOP, chunk=3)
    for column in ("rise", "culmination", "set"):
        assert np.array_equal(getattr(by_sets, column).int64, getattr(by_propagator, column).int64)
    assert np.array_equal(by_sets.max_elevation, by_propagator.max_elevation)
    np.testing.assert_array_equal(by_sets.satno, expected.satno)
    single = BOULDER.passes(tles[0], START, STOP)
    np.testing.assert_array_equal(single.rise.int64, table.rise.int64[table.satno == 25544])
    with pytest.raises(TypeError, match="not int"):
        BOULDER.passes(3, START, STOP)


def nutsat_last_2023_set():
    from astrokite.propagators.analytical.sgp4.tle import TLE

    line1, line2 = next((a, b) for _, a, b in element_sets("nutsat.tle") if "23090.07541274" in a)
    return TLE(line1, line2)


def test_passes_before_a_decay_are_kept_and_the_failure_starts_where_propagation_fails():
    from sgp4.api import Satrec

    tle = nutsat_last_2023_set()
    paris = Site(math.radians(48.8566), math.radians(2.3522), 35.0)
    table = paris.passes(tle, "2023-04-01T12:00", "2023-04-02T12:00")
    assert table.failed.tolist() == [False] * 5 + [True] and np.isnan(table.max_elevation[-1])
    # The last pass, 12 minutes before the first failed sample of the grid.
    last = Time(["2023-04-01T19:03:21.38", "2023-04-01T19:05:03.26"]).int64
    np.testing.assert_allclose([table.rise.int64[4], table.set.int64[4]], last, rtol=0, atol=10 * MS)
    assert math.degrees(table.max_elevation[4]) == pytest.approx(0.6156, abs=1e-3)
    # The reference propagator still succeeds just before the reported failure and fails just after.
    failure = table.set.int64[-1]
    satrec = Satrec.twoline2rv(tle.line1, tle.line2)
    days = (np.array([failure - 20_000, failure + 20_000]) / 86400e9) + 2440587.5
    errors, _, _ = satrec.sgp4_array(np.floor(days), days - np.floor(days))
    assert errors.tolist()[0] == 0 and errors.tolist()[1] != 0


def test_a_window_of_years_is_searched_in_pieces_that_join_seamlessly():
    from astrokite.propagators.analytical.sgp4.sgp4 import SGP4
    from astrokite.propagators.analytical.sgp4.tle import TLE

    _, line1, line2 = list(element_sets("navstar-61.tle"))[-1]
    navstar = TLE(line1, line2)
    site = Site(0.85, 0.04, 35)
    table = site.passes(navstar, "2023-03-01", "2026-06-01")
    assert len(table) > 2000 and not table.failed.any()
    assert not (table.rises_before_start | table.sets_after_stop).any()
    # A GPS satellite is never up for eight hours: no pass is two pieces side by side.
    assert (table.set.int64 - table.rise.int64).max() < 8 * 3600 * NS
    # A month taken from the long search is what a search of that month alone finds.
    month = find_passes(site, sgp4_states(SGP4(navstar)), "2024-05-01", "2024-06-01")
    inside = (table.rise.int64 >= Time("2024-05-01").int64) & (table.set.int64 <= Time("2024-06-01").int64)
    assert inside.sum() == len(month) - month.rises_before_start.sum() - month.sets_after_stop.sum()
    whole = ~(month.rises_before_start | month.sets_after_stop)
    # A culmination is the top of a flat maximum (hours wide for a GPS pass): searches started from other
    # grids settle on it within a few milliseconds, rises and sets within one.
    for column, within in (("rise", MS), ("culmination", 5 * MS), ("set", MS)):
        np.testing.assert_allclose(getattr(table, column).int64[inside], getattr(month, column).int64[whole],
                                   rtol=0, atol=within)


def test_a_satellite_always_up_is_one_pass_across_every_cut_and_threads_change_nothing():
    from astrokite.propagators.analytical.sgp4.tle import TLE
    from astrokite.sites.search import sgp4_passes

    tles = [TLE(*next((a, b) for _, a, b in element_sets(name))) for name in FILES]
    start, stop = Time("2023-01-01").int64, Time("2023-01-21").int64  # about three pieces at 1200 s
    table = BOULDER.passes(tles, Time(start), Time(stop))
    geo = np.flatnonzero(table.satno == satno_of("galaxy-16.tle"))
    assert len(geo) == 1 and table.rises_before_start[geo[0]] and table.sets_after_stop[geo[0]]
    assert (table.rise.int64[geo[0]], table.set.int64[geo[0]]) == (start, stop)
    source = sgp4_states(tles)
    runs = [sgp4_passes(source.records, source.sets_per_satellite, BOULDER.position, BOULDER.enu["u_up"].copy(),
                        0.0, start, stop, 1200 * NS, threads) for threads in (1, 2, 3)]
    for run in runs[1:]:
        for name, column in run.items():
            assert np.array_equal(column, runs[0][name], equal_nan=True), name


def satno_of(name):
    return int(next(element_sets(name))[1][2:7])
