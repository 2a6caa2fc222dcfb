"""Visibility of passes: sunlight and darkness at the events, the visible part
against a brute-force scan, range rates against the range's derivative."""

import math

import numpy as np
import pandas as pd
import pytest
from helpers import DATA, ISS1, ISS2, put, with_checksum

import astrokite as ak
from astrokite.lighting import DARK, illumination, sun_elevation
from astrokite.sites.passes import find_passes, sgp4_states

ISS = ak.read_tle(DATA / "iss.tle")[25544]
PARIS = ak.Site(math.radians(48.8566), math.radians(2.3522), 35.0, name="Paris")
NS = 1_000_000_000


def visible_at(site, counts):
    """Whether the ISS is sunlit and the site's Sun below DARK at each instant, from exact states."""
    states = ak.SGP4(ISS).propagate(ak.Time(np.asarray(counts, np.int64)))
    return (illumination(states)[0] > 0) & (sun_elevation(site, ak.Time(np.asarray(counts, np.int64))) < DARK)


# Paris: visible parts that begin as the ISS leaves the shadow; New York: one cut by the dawn's twilight.
NEW_YORK = ak.Site(math.radians(40.0), math.radians(-74.0), 10.0)


@pytest.fixture(scope="module", params=[(PARIS, "2023-03-01"), (NEW_YORK, "2023-03-01")], ids=["Paris", "New York"])
def scanned(request):
    """A day of the ISS over a site, every second: elevation of each sample, and
    visibility of those above the horizon."""
    site, day = request.param
    start = ak.Time(day).int64
    stop = start + 86400 * NS
    counts = start + np.arange(0, 86401) * NS
    aer, _ = site.look(ak.SGP4(ISS).propagate(ak.Time(counts)))
    up = aer["elevation"][0] > 0
    visible = np.zeros(len(counts), bool)
    visible[up] = visible_at(site, counts[up])
    return site.passes(ISS, ak.Time(start), ak.Time(stop)), counts, site, visible


def test_visible_parts_match_a_scan_and_are_refined(scanned):
    table, counts, site, visible = scanned
    assert len(table) >= 4
    for k in range(len(table)):
        inside = (counts >= table.rise[k].int64) & (counts <= table.set[k].int64)
        seen = counts[inside & visible]
        if len(seen) == 0:
            assert not table.visible[k]
            continue
        assert table.visible[k]
        start, stop = int(table.visible_start[k].int64), int(table.visible_stop[k].int64)
        # Within the scan's step, on the visible side.
        assert seen[0] - NS < start <= seen[0]
        assert seen[-1] <= stop < seen[-1] + NS
        # Refined to 1 ms: visible at the edges, not 1 ms outside (unless at the rise or set).
        assert visible_at(site, [start + 100_000, stop - 100_000]).all()
        if start > table.rise[k].int64:
            assert not visible_at(site, [start - 1_100_000])[0]
        if stop < table.set[k].int64:
            assert not visible_at(site, [stop + 1_100_000])[0]
    # Every visible second above the horizon lies in some pass's visible part.
    inside_any = np.zeros(len(counts), bool)
    for k in np.flatnonzero(table.visible):
        inside_any |= (counts >= table.visible_start[k].int64) & (counts <= table.visible_stop[k].int64)
    assert not (visible & ~inside_any).any()


def test_event_columns_are_the_exact_sunlight_and_sun_elevation(scanned):
    table, _, site, _ = scanned
    for k, event in enumerate((table.rise, table.culmination, table.set)):
        states = ak.SGP4(ISS).propagate(event)
        np.testing.assert_allclose(table.sunlit[:, k], illumination(states)[0], atol=1e-6)
        np.testing.assert_allclose(table.sun_elevation[:, k], sun_elevation(site, event), atol=1e-8)
    frame = table.to_pandas()
    np.testing.assert_array_equal(frame.visible_start.isna(), ~table.visible)
    assert frame.culmination_sun_elevation_deg.between(-90, 90).all()


def test_range_rate_and_doppler_against_the_ranges_derivative(scanned):
    table, _, site, _ = scanned
    for k, event in enumerate((table.rise, table.culmination, table.set)):
        t = np.asarray(event.int64, np.int64)
        ahead, _ = site.look(ak.SGP4(ISS).propagate(ak.Time(t + 1_000_000)))
        behind, _ = site.look(ak.SGP4(ISS).propagate(ak.Time(t - 1_000_000)))
        derivative = (ahead["range"][0] - behind["range"][0]) / 2e-3
        np.testing.assert_allclose(table.range_rate[:, k], derivative, atol=0.05)
    doppler = table.doppler(437.8e6)
    np.testing.assert_allclose(doppler.shift, -437.8e6 * table.range_rate / 299_792_458.0)
    np.testing.assert_allclose(doppler.received - doppler.shift, 437.8e6)
    with pytest.raises(ValueError, match="frequency"):
        table.doppler(-1.0)


def test_magnitude_at_culmination_is_the_lighting_estimate(scanned):
    table, _, site, _ = scanned
    states = ak.SGP4(ISS).propagate(table.culmination)
    np.testing.assert_allclose(table.magnitude(-1.8), ak.lighting.magnitude(site, states, -1.8)[0], atol=1e-6)


def test_visible_only_keeps_exactly_the_passes_with_a_visible_part(scanned):
    table, _, site, _ = scanned
    start, stop = table.rise[0].int64 - 60 * NS, table.set[len(table) - 1].int64 + 60 * NS
    every = site.passes(ISS, ak.Time(start), ak.Time(stop))
    kept = site.passes(ISS, ak.Time(start), ak.Time(stop), visible_only=True)
    assert every.visible.any() and not every.visible.all()
    np.testing.assert_array_equal(kept.culmination.int64, every.culmination.int64[every.visible])
    np.testing.assert_array_equal(kept.visible_start.int64, every.visible_start.int64[every.visible])
    assert kept.searched == every.searched


def test_generic_states_give_the_same_visibility():
    start, stop = ak.Time("2023-03-01"), ak.Time("2023-03-01T12:00")
    native = PARIS.passes(ISS, start, stop)

    class States:
        satnos = np.array([25544])

        def at(self, rows, times):
            return sgp4_states(ISS).at(rows, times)

    generic = find_passes(PARIS, States(), start, stop, visibility=True)
    np.testing.assert_array_equal(generic.visible, native.visible)
    np.testing.assert_allclose(generic.visible_start.int64, native.visible_start.int64, atol=2e6)


def test_many_satellites_in_native_tasks_see_what_the_generic_rounds_see():
    """Over a thousand passes (several native tasks on every core) of ISS-like orbits under their own
    numbers and nodes: the same states either way (to the bit with the same kernels), so the same
    columns."""
    rng = np.random.default_rng(3)
    tles = []
    for i in range(250):
        number = f"{80000 + i:05d}"
        node, anomaly = rng.uniform(0, 360, 2)
        line2 = with_checksum(put(put(put(ISS2, 3, number), 18, f"{node:8.4f}"), 44, f"{anomaly:8.4f}"))
        tles.append(ak.TLE(with_checksum(put(ISS1, 3, number)), line2))
    site = ak.Site(math.radians(60.0), math.radians(25.0), 20.0)
    start, stop = ak.Time("2023-01-02T12:00"), ak.Time("2023-01-03T12:00")
    native = site.passes(tles, start, stop)

    class States:
        satnos = np.asarray(sgp4_states(tles).satnos)
        at = sgp4_states(tles).at

    generic = find_passes(site, States(), start, stop, visibility=True)
    assert len(native) > 1000 and 0 < native.visible.sum() < len(native)
    np.testing.assert_array_equal(generic.satno, native.satno)
    np.testing.assert_array_equal(generic.visible, native.visible)
    for name, tolerance in (("sunlit", 1e-6), ("sun_elevation", 1e-8), ("range_rate", 1e-6)):
        np.testing.assert_allclose(getattr(generic, name), getattr(native, name), rtol=0, atol=tolerance,
                                   err_msg=name)
    for name in ("visible_start", "visible_stop"):
        np.testing.assert_allclose(getattr(generic, name).int64, getattr(native, name).int64, rtol=0, atol=1e6,
                                   err_msg=name)
    np.testing.assert_allclose(generic.magnitude(-1.8), native.magnitude(-1.8), rtol=0, atol=1e-6)


def test_a_table_without_visibility_says_so():
    table = PARIS.passes(ISS, "2023-03-01", "2023-03-01T06:00", visibility=False)
    assert "visible_start" not in table.to_pandas()
    with pytest.raises(ValueError, match="without visibility"):
        table.doppler(437.8e6)


def test_a_failed_propagation_leaves_no_visibility_on_its_row():
    from test_passes import nutsat_last_2023_set

    table = PARIS.passes(nutsat_last_2023_set(), "2023-04-01T12:00", "2023-04-02T12:00")
    assert table.failed[-1] and not table.visible[-1]
    assert np.isnan(table.sunlit[-1]).all() and np.isnan(table.range_rate[-1]).all()
    assert np.isfinite(table.sunlit[:-1]).all()
    assert table.to_pandas().visible_start.iloc[-1] is pd.NaT
