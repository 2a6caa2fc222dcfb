"""Close-approach screening against a brute-force oracle on the sgp4 package's states."""

import datetime as dt
import math
import sys

import numpy as np
import pytest
from helpers import ROOT
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sgp4.api import Satrec, SatrecArray

import astrokite as ak
from astrokite.conjunctions import ConjunctionTable, screen
from astrokite.time.time import Time

sys.path.insert(0, str(ROOT / "bench"))
from synthetic_catalogue import mean_motion, synthetic_lines, tle_lines  # noqa: E402

EPOCH = dt.datetime(2024, 3, 1, 12)
EPOCH_NS = int(Time(EPOCH).int64)
NS = 1_000_000_000
TCA_TOLERANCE = 1e-3  # s
MISS_TOLERANCE = 0.1  # m


def circular(satno, altitude_km, inclination, node, argument, epoch=EPOCH, bstar=0.0, eccentricity=0.0):
    """A TLE on a near-circular orbit; ``argument`` is the angle from the ascending node at epoch (deg)."""
    n = float(mean_motion(6378.135 + altitude_km))
    return ak.TLE(*tle_lines(satno, epoch, inclination, node, eccentricity, 0.0, argument, n, bstar))


# --- the oracle: every pair, every second, each discrete minimum refined -----------------------

def _jd(ns):
    days = np.asarray(ns, np.int64) / 86400e9
    whole = np.floor(days)
    return 2440587.5 + whole, days - whole


def _satrecs(tles):
    return [Satrec.twoline2rv(t.line1, t.line2) for t in tles]


def _relative(a, b, t_ns):
    """Distance (m) and range rate times distance, dr . dv (m^2/s), of two Satrecs at one
    instant; NaN where either fails."""
    jd, fr = _jd(t_ns)
    ea, ra, va = a.sgp4(float(jd), float(fr))
    eb, rb, vb = b.sgp4(float(jd), float(fr))
    if ea or eb:
        return math.nan, math.nan
    dr = (np.array(rb) - ra) * 1000.0
    return float(np.linalg.norm(dr)), float(dr @ ((np.array(vb) - va) * 1000.0))


def _refine(a, b, lo_ns, hi_ns):
    """The minimum of the distance over [lo, hi]: where the range rate changes sign, by
    bisection to 1 us (the distance itself is too flat to place a slow pair's minimum)."""
    lo, hi = int(lo_ns), int(hi_ns)
    if not (_relative(a, b, lo)[1] < 0 <= _relative(a, b, hi)[1]):
        return None, math.nan
    while hi - lo > 1000:
        middle = (lo + hi) // 2
        if _relative(a, b, middle)[1] < 0:
            lo = middle
        else:
            hi = middle
    t = (lo + hi) // 2
    return t, _relative(a, b, t)[0]


def oracle(tles, start_ns, stop_ns, threshold, step_ns=NS):
    """{(satno, satno): [(tca_ns, miss_m)]} of every local minimum below threshold, all pairs."""
    satrecs = _satrecs(tles)
    satnos = [int(t.satno) for t in tles]
    times = np.arange(start_ns, stop_ns, step_ns, dtype=np.int64)
    times = np.append(times, np.int64(stop_ns))
    jd, fr = _jd(times)
    error, position, _ = SatrecArray(satrecs).sgp4(jd, fr)
    position = np.where(error[..., None] == 0, position * 1000.0, np.nan)
    first, second = np.triu_indices(len(tles), 1)
    found = {}
    distances = {}
    for block in range(0, len(first), 256):  # every pair, a block of pairs at a time
        p, q = first[block:block + 256], second[block:block + 256]
        d = np.nan_to_num(np.linalg.norm(position[p] - position[q], axis=2), nan=np.inf)
        for row in np.flatnonzero((d < threshold + 20e3).any(axis=1)):
            distances[(p[row], q[row])] = d[row]
    for (p, q), d in distances.items():
        padded = np.concatenate([[np.inf], d, [np.inf]])
        # Discrete minima (a little above the threshold: the refined one may be lower).
        for k in np.flatnonzero((d < threshold + 20e3) & (d <= padded[:-2]) & (d < padded[2:])):
            if k == 0 or k == len(d) - 1:
                lo, hi = (times[0], times[1]) if k == 0 else (times[-2], times[-1])
                t, miss = _refine(satrecs[p], satrecs[q], lo, hi)
                if t is None:  # opening from the start, or closing at the stop: the edge itself
                    t = int(times[k])
                    miss = _relative(satrecs[p], satrecs[q], t)[0]
            else:
                t, miss = _refine(satrecs[p], satrecs[q], times[k - 1], times[k + 1])
            if t is not None and miss < threshold:
                key = tuple(sorted((satnos[p], satnos[q])))
                found.setdefault(key, []).append((int(t), miss))
    return found


def as_found(table):
    found = {}
    for row in table:
        key = tuple(sorted((row.primary, row.secondary)))
        found.setdefault(key, []).append((int(row.tca.int64), row.miss_distance))
    return found


def assert_same(ours, theirs, threshold):
    """Every oracle minimum (clear of the threshold by the tolerance) is found with
    the same TCA and miss, and nothing is found that the oracle lacks."""
    for key, minima in theirs.items():
        for t, miss in minima:
            if miss > threshold - 1.0:
                continue
            match = [(u, m) for u, m in ours.get(key, []) if abs(u - t) <= TCA_TOLERANCE * NS]
            assert match, f"missed {key} at {Time(t)!r}, miss {miss:.1f} m"
            assert abs(match[0][1] - miss) <= MISS_TOLERANCE, (key, match[0][1], miss)
    for key, minima in ours.items():
        for u, m in minima:
            assert any(abs(u - t) <= TCA_TOLERANCE * NS for t, _ in theirs.get(key, [])) or m > threshold - 1.0, \
                f"invented {key} at {Time(u)!r}, miss {m:.1f} m"


# --- built scenarios -----------------------------------------------------------------------------

def test_node_crossings_head_on_and_at_right_angles_twice_per_orbit():
    # 1 and 2 fly one plane in opposite directions and meet at the node at the epoch; 3
    # crosses 1's plane at right angles there; 4 flies 1's orbit tilted by 0.1 deg, 1.2 km
    # ahead: close at both nodes, twice per orbit, at about 13 m/s.
    tles = [
        circular(1, 550.0, 50.0, 0.0, 0.0),
        circular(2, 550.5, 130.0, 180.0, 180.0),
        circular(3, 551.0, 40.0, 180.0, 180.0),  # its plane is perpendicular to 1's, through the node
        circular(4, 550.0, 50.1, 0.0, 0.01),
    ]
    start, stop = EPOCH_NS - 3600 * NS, EPOCH_NS + 3 * 3600 * NS
    table = screen(tles, start, stop, threshold=10e3)
    theirs = oracle(tles, start, stop, 10e3)
    assert_same(as_found(table), theirs, 10e3)
    head_on = table.to_pandas().query("primary == 1 and secondary == 2")
    assert (head_on.relative_speed > 14e3).all()
    at_epoch = head_on.iloc[np.argmin(np.abs(head_on.tca.astype("int64") - EPOCH_NS))]
    assert abs(at_epoch.tca.value - EPOCH_NS) < 5 * NS and at_epoch.miss_distance < 2e3
    assert abs(at_epoch.radial) > abs(at_epoch.cross_track)  # they differ in altitude by 500 m
    crossing = table.to_pandas().query("primary == 1 and secondary == 3")
    assert len(crossing) >= 1 and (crossing.relative_speed.between(9e3, 12e3)).all()
    tilted = table.to_pandas().query("primary == 1 and secondary == 4")
    assert len(tilted) >= 5 and (tilted.relative_speed < 30).all()  # 2.5 orbits, two nodes each


def test_slow_co_planar_approach_and_pairs_close_all_window():
    # 2 trails 1 by 3 km in the same orbit, 300 m lower, closing at about 0.5 m/s; 3 keeps
    # station 800 m from 1 the whole window.
    angle = math.degrees(3.0 / 6928.0)
    tles = [
        circular(1, 550.0, 53.0, 10.0, 0.0),
        circular(2, 549.7, 53.0, 10.0, -angle),
        circular(3, 550.0, 53.0, 10.0, math.degrees(0.8 / 6928.0)),
    ]
    start, stop = EPOCH_NS, EPOCH_NS + 4 * 3600 * NS
    table = screen(tles, start, stop, threshold=5e3)
    theirs = oracle(tles, start, stop, 5e3)
    assert_same(as_found(table), theirs, 5e3)
    slow = table.to_pandas().query("primary == 1 and secondary == 2")
    assert len(slow) >= 1 and (slow.relative_speed < 10.0).any()
    kept = table.to_pandas().query("primary == 1 and secondary == 3")
    assert len(kept) >= 1  # within threshold throughout: its minima are reported


def test_meeting_exactly_at_the_window_start_and_stop():
    tles = [circular(1, 550.0, 50.0, 0.0, 0.0), circular(2, 550.5, 130.0, 180.0, 180.0)]
    [(tca, miss)] = [m for m in oracle(tles, EPOCH_NS - 60 * NS, EPOCH_NS + 60 * NS, 5e3)[(1, 2)]]
    table = screen(tles, tca, tca + 600 * NS, threshold=5e3)
    assert table.at_start[0] and abs(int(table.tca.int64[0]) - tca) <= TCA_TOLERANCE * NS
    assert abs(table.miss_distance[0] - miss) < MISS_TOLERANCE
    before = screen(tles, tca - 600 * NS, tca - 2 * NS, threshold=50e3)  # still closing at the stop
    assert before.at_stop[-1] and int(before.tca.int64[-1]) == tca - 2 * NS


def test_a_decaying_object_is_listed_and_never_reported_from_nan():
    decaying = circular(4, 160.0, 51.6, 0.0, 0.0, bstar=0.05)
    tles = [circular(1, 160.5, 51.6, 0.0, 0.05), decaying, circular(2, 550.0, 130.0, 180.0, 180.0)]
    start, stop = EPOCH_NS, EPOCH_NS + 2 * 86400 * NS
    table = screen(tles, start, stop, threshold=20e3)
    failed = table.failed
    assert list(failed.satno) == [4]
    # Its first grid instant without a state (the grid's step is under 10 minutes), with
    # the sgp4 package's code there.
    when = failed.time.iloc[0].value
    satrec = _satrecs([decaying])[0]
    assert satrec.sgp4(*map(float, _jd(when)))[0] == failed.error.iloc[0] != 0
    assert satrec.sgp4(*map(float, _jd(when - 600 * NS)))[0] == 0
    assert np.isfinite(table.miss_distance).all()
    late = table.to_pandas().query("primary == 1 and secondary == 4 or primary == 4")
    assert (late.tca.astype("int64") < failed.time.iloc[0].value).all()


def test_a_decaying_object_meets_a_lower_primary_though_it_starts_far_above():
    # 2 falls from 540 km through 1's 200 km in 11 hours (a large drag term), flying 1's
    # polar plane the other way: they pass each other twice an orbit, ever closer in altitude.
    # At the start its range of altitude lies far above 1's, so a bound from the start
    # alone would drop it; 3 stays far above both and may be dropped.
    primary = circular(1, 200.0, 90.0, 0.0, 0.0)
    tles = [primary, circular(2, 540.0, 90.0, 180.0, 90.0, bstar=3.0), circular(3, 1500.0, 80.0, 0.0, 0.0)]
    start, stop = EPOCH_NS, EPOCH_NS + 12 * 3600 * NS
    threshold = 30e3
    theirs = oracle(tles, start, stop, threshold)
    assert sum(len(v) for v in theirs.values()) >= 2
    for against in (tles, tles[1:]):
        table = screen(primary, start, stop, against=against, threshold=threshold)
        assert_same(as_found(table), theirs, threshold)
    split = screen(primary, start, start + 6 * 3600 * NS, against=tles, threshold=threshold)  # still above
    assert len(split) == 0


def test_an_element_set_that_comes_in_force_inside_the_window_is_screened():
    # Satellite 2 moves, by its second element set (in force from 6 h on), from 1,500 km
    # down into 1's polar orbit, flying it the other way 500 m higher: they meet twice an
    # orbit from then on. Its first set alone would keep it far from 1 the whole window.
    primary = circular(1, 200.0, 90.0, 0.0, 0.0)
    later = EPOCH + dt.timedelta(hours=6)
    moved = circular(2, 200.5, 90.0, 180.0, 90.0, epoch=later)
    history = ak.ELSET(circular(2, 1500.0, 80.0, 0.0, 0.0), moved)
    start, stop, change = EPOCH_NS, EPOCH_NS + 12 * 3600 * NS, int(Time(later).int64)
    threshold = 10e3
    theirs = oracle([primary, moved], change, stop, threshold)
    assert sum(len(v) for v in theirs.values()) >= 4
    table = screen(primary, start, stop, against=[primary, history], threshold=threshold)
    assert_same(as_found(table), theirs, threshold)


# --- the oracle over a crowded random set ------------------------------------------------------

def crowded(count, seed):
    lines = synthetic_lines(4 * count, seed)
    # Low orbits only, where the crowding is: a few hundred objects still meet often.
    low = [ak.TLE(*pair) for pair in lines if 15.0 < float(pair[1][52:63]) < 15.6]
    return low[:count]


def test_crowded_set_matches_the_oracle_all_against_all_and_one_against_all():
    tles = crowded(150, 3)
    start, stop = EPOCH_NS - 12 * 3600 * NS, EPOCH_NS - 37800 * NS
    threshold = 40e3
    theirs = oracle(tles, start, stop, threshold)
    assert sum(len(v) for v in theirs.values()) > 20
    table = screen(tles, start, stop, threshold=threshold)
    assert_same(as_found(table), theirs, threshold)
    assert (table.primary < table.secondary).all() and (np.diff(table.tca.int64) >= 0).all()
    one = tles[7]
    against = screen(one, start, stop, against=tles, threshold=threshold)
    mine = {k: v for k, v in theirs.items() if int(one.satno) in k}
    assert_same(as_found(against), mine, threshold)
    assert (against.primary == int(one.satno)).all()


def meeting(altitude, inclination, node, argument, other_inclination, eccentricity, rise, later):
    """A second element set whose orbit passes, at the epoch, through the place of
    ``circular(1, altitude, inclination, node, argument)`` (``rise`` km higher), on the
    ascending (later False) or descending part of its own orbit."""
    i1, node1, u1 = np.radians([inclination, node, argument])
    where = np.array([np.cos(node1) * np.cos(u1) - np.sin(node1) * np.sin(u1) * np.cos(i1),
                      np.sin(node1) * np.cos(u1) + np.cos(node1) * np.sin(u1) * np.cos(i1),
                      np.sin(u1) * np.sin(i1)])
    latitude, longitude = np.arcsin(where[2]), np.arctan2(where[1], where[0])
    i2 = max(np.radians(other_inclination), abs(latitude) + 1e-3)
    u2 = np.arcsin(np.clip(np.sin(latitude) / np.sin(i2), -1, 1))
    u2 = np.pi - u2 if later else u2
    node2 = longitude - np.arctan2(np.cos(i2) * np.sin(u2), np.cos(u2))
    true = u2 - np.pi / 2  # the perigee lies 90 deg past the node
    e = eccentricity
    eccentric = 2 * np.arctan(np.sqrt((1 - e) / (1 + e)) * np.tan(true / 2))
    mean = eccentric - e * np.sin(eccentric)
    radius = 6378.135 + altitude + rise
    a2 = radius * (1 + e * np.cos(true)) / (1 - e**2)
    return ak.TLE(*tle_lines(2, EPOCH, np.degrees(i2), np.degrees(node2), e, 90.0, np.degrees(mean),
                             float(mean_motion(a2))))


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.floats(300, 1500), st.floats(0, 180), st.floats(0, 360), st.floats(0, 360), st.floats(0, 180),
    st.floats(0, 0.05), st.floats(-5, 5), st.booleans(),
)
def test_random_encounters_never_miss_what_the_oracle_finds(altitude, i1, node1, u1, i2, e2, rise, later):
    tles = [circular(1, altitude, i1, node1, u1), meeting(altitude, i1, node1, u1, i2, e2, rise, later)]
    start, stop = EPOCH_NS - 3600 * NS, EPOCH_NS + 3600 * NS
    threshold = 50e3
    theirs = oracle(tles, start, stop, threshold)
    table = screen(tles, start, stop, threshold=threshold)
    assert_same(as_found(table), theirs, threshold)
    assert np.isfinite(table.miss_distance).all()


@pytest.mark.parametrize("i2, later", [(98.0, False), (20.0, True), (140.0, False)])
def test_an_approach_in_the_last_minutes_before_a_failure_is_found(i2, later):
    # 1's drag term is so large that its mean eccentricity leaves the theory's range
    # under three minutes after its epoch; 2 passes within a few km of it at the epoch, a
    # minute into the window: inside the grid interval in which 1 fails, whose end has no state.
    failing = circular(1, 300.0, 51.6, 30.0, 10.0, bstar=2.0)
    tles = [failing, meeting(300.0, 51.6, 30.0, 10.0, i2, 0.001, 1.0, later)]
    start, stop = EPOCH_NS - 60 * NS, EPOCH_NS + 1800 * NS
    threshold = 20e3
    theirs = oracle(tles, start, stop, threshold)
    (tca, miss), = theirs[(1, 2)]
    assert abs(tca - EPOCH_NS) < 10 * NS and miss < threshold - 1.0
    satrec = _satrecs([failing])[0]
    for table in (screen(tles, start, stop, threshold=threshold),
                  screen(tles[1], start, stop, against=tles, threshold=threshold),
                  screen(failing, start, stop, against=tles, threshold=threshold)):
        assert_same(as_found(table), theirs, threshold)
        # The failure is reported at its first instant (to 1 ms), with the sgp4 package's code.
        assert list(table.failed.satno) == [1]
        when = table.failed.time.iloc[0].value
        assert EPOCH_NS < when < EPOCH_NS + 180 * NS
        assert satrec.sgp4(*map(float, _jd(when)))[0] == table.failed.error.iloc[0] == 1
        assert satrec.sgp4(*map(float, _jd(when - 1_000_000)))[0] == 0


# --- the table, probabilities, bad input ---------------------------------------------------------

def test_table_columns_frames_and_round_trips():
    tles = [circular(1, 550.0, 50.0, 0.0, 0.0), circular(2, 550.5, 130.0, 180.0, 180.0)]
    table = screen(tles, EPOCH_NS - 600 * NS, EPOCH_NS + 600 * NS, threshold=5e3)
    frame = table.to_pandas()
    assert list(frame.columns[:10]) == ["primary", "secondary", "tca", "miss_distance", "relative_speed", "radial",
                                       "in_track", "cross_track", "at_start", "at_stop"]
    assert str(frame.tca.dtype) == "datetime64[ns, UTC]" and len(table) == len(frame) == len(list(table))
    ric = np.stack([table.radial, table.in_track, table.cross_track], axis=1)
    assert np.allclose(np.linalg.norm(ric, axis=1), table.miss_distance)
    satrecs = _satrecs(tles)
    jd, fr = _jd(int(table.tca.int64[0]))
    _, r1, v1 = satrecs[0].sgp4(float(jd), float(fr))
    _, r2, v2 = satrecs[1].sgp4(float(jd), float(fr))
    assert np.allclose(table.relative_position[0], (np.array(r2) - r1) * 1e3, atol=1e-2)
    assert np.allclose(table.relative_velocity[0], (np.array(v2) - v1) * 1e3, atol=1e-5)
    assert "<table" in table._repr_html_() and "ConjunctionTable" in repr(table)
    # One satellite given in both sources is one object: no self-pair.
    alone = screen(tles[0], EPOCH_NS - 600 * NS, EPOCH_NS + 600 * NS, against=tles, threshold=5e3)
    assert list(alone.secondary) == [2]


def monte_carlo(table, row, radius, sigma, samples=2_000_000, seed=1):
    """Fraction of sampled position errors of both objects whose straight relative path passes within radius."""
    from astrokite.conjunctions.table import _ric

    rng = np.random.default_rng(seed)
    rp, vp = table._primary_position[row], table._primary_velocity[row]
    dr, dv = table.relative_position[row], table.relative_velocity[row]
    axes_p = _ric(rp[None], vp[None])[0]
    axes_s = _ric((rp + dr)[None], (vp + dv)[None])[0]
    error_p = (rng.standard_normal((samples, 3)) * sigma[0]) @ axes_p
    error_s = (rng.standard_normal((samples, 3)) * sigma[1]) @ axes_s
    relative = dr + error_s - error_p
    along = dv / np.linalg.norm(dv)
    across = relative - np.outer(relative @ along, along)
    return np.mean(np.linalg.norm(across, axis=1) < radius)


HEAD_ON = circular(2, 550.1, 130.0, 180.0, 180.0)
# The phase and height make up for the short-period terms, which differ with inclination:
# the two meet within tens of metres.
RIGHT_ANGLE = circular(3, 551.1, 40.0, 180.0, 180.0 - 0.1735)


@pytest.mark.parametrize("other, sigma, radius", [
    (HEAD_ON, (100.0, 300.0, 100.0), 20.0),
    (RIGHT_ANGLE, (50.0, 1000.0, 20.0), 60.0),  # the in-track error lies in the encounter plane
    (RIGHT_ANGLE, ((10.0, 40.0, 10.0), (300.0, 100.0, 500.0)), 30.0),
])
def test_probability_against_monte_carlo(other, sigma, radius):
    tles = [circular(1, 550.0, 50.0, 0.0, 0.0), other]
    table = screen(tles, EPOCH_NS - 600 * NS, EPOCH_NS + 600 * NS, threshold=5e3)
    assert len(table) == 1
    pc = table.probability(radius, sigma=sigma)[0]
    shape = np.broadcast_to(np.asarray(sigma, float), (2, 3))
    samples = 400_000
    estimate = monte_carlo(table, 0, radius, shape, samples)
    assert estimate > 1e-3 and abs(pc - estimate) < 4 * math.sqrt(estimate / samples)
    per_row = table.probability(radius, sigma=np.broadcast_to(shape, (1, 2, 3)))[0]
    assert per_row == pc
    worst = table.max_probability(radius, sigma=sigma)[0]
    assert worst >= pc and all(table.probability(radius, sigma=shape * k)[0] <= worst * (1 + 1e-9)
                               for k in (0.1, 0.5, 2.0, 10.0))


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(threshold=0.0), ValueError, "threshold"), (dict(threshold=math.inf), ValueError, "threshold"),
    (dict(threshold="5km"), TypeError, "threshold"), (dict(stop=EPOCH_NS), ValueError, "before stop"),
    (dict(primary=[]), ValueError, "primary"), (dict(primary=42), TypeError, "primary"),
    (dict(against=[]), ValueError, "against"), (dict(max_results=0), ValueError, "max_results"),
    (dict(threads=0), ValueError, "threads"),
])
def test_bad_input_is_refused_by_name(kwargs, error, words):
    args = dict(primary=[circular(1, 550.0, 50.0, 0.0, 0.0), circular(2, 550.5, 130.0, 180.0, 180.0)],
                start=EPOCH_NS, stop=EPOCH_NS + 3600 * NS)
    args.update(kwargs)
    with pytest.raises(error, match=words):
        screen(args.pop("primary"), args.pop("start"), args.pop("stop"), **args)


def test_output_is_bounded_by_max_results():
    tles = [circular(1, 550.0, 50.0, 0.0, 0.0), circular(4, 550.0, 50.1, 0.0, 0.01)]  # twice per orbit
    with pytest.raises(ValueError, match="max_results"):
        screen(tles, EPOCH_NS, EPOCH_NS + 86400 * NS, threshold=5e3, max_results=3)
    table = screen(tles, EPOCH_NS, EPOCH_NS + 600 * NS, threshold=5e3)
    with pytest.raises(ValueError, match="sigma"):
        table.probability(20.0, sigma=(1.0, -1.0, 1.0))
    with pytest.raises(ValueError, match="hard_body_radius"):
        table.probability(-1.0)


def test_flat_api():
    assert ak.screen is screen and ak.ConjunctionTable is ConjunctionTable


def test_command_line(tmp_path):
    from click.testing import CliRunner

    from astrokite.cli.main import main

    tles = [circular(1, 550.0, 50.0, 0.0, 0.0), circular(4, 550.0, 50.1, 0.0, 0.01), HEAD_ON]
    path = tmp_path / "set.tle"
    path.write_text("".join(f"{t.line1}\n{t.line2}\n" for t in tles))
    out = tmp_path / "approaches.csv"
    result = CliRunner().invoke(main, ["screen", str(path), "--start", "2024-03-01T11:00", "--stop",
                                       "2024-03-01T13:00", "--threshold", "5km", "--out", str(out)])
    assert result.exit_code == 0, result.output
    expected = screen(tles, "2024-03-01T11:00", "2024-03-01T13:00", threshold=5e3)
    assert len(out.read_text().splitlines()) == len(expected) + 1
    assert result.output.count("\n") == len(expected) + 1
    refused = CliRunner().invoke(main, ["screen", str(path), "--start", "2024-03-01", "--stop", "2024-03-02",
                                        "--threshold", "-5km"])
    assert refused.exit_code != 0 and "--threshold" in refused.output


def test_objects_of_other_altitudes_are_dropped_without_losing_approaches():
    from astrokite.propagators.analytical.sgp4.sgp4 import SGP4

    lines = synthetic_lines(600, 4)
    others = [ak.TLE(*pair) for pair in lines]
    start, stop = EPOCH_NS - 12 * 3600 * NS, EPOCH_NS
    for primary in (others[0], others[1:4]):
        narrowed = screen(primary, start, stop, against=others, threshold=30e3)
        whole = screen(primary, start, stop, against=SGP4(others), threshold=30e3)  # propagated whole
        assert len(whole) > 0
        assert as_found(narrowed) == as_found(whole)
