"""An element set's decay instant, against the sgp4 package, and the screen past a decay."""

import datetime as dt

import numpy as np
import pytest
from sgp4.api import Satrec
from test_conjunctions import EPOCH, EPOCH_NS, NS, _jd, circular

import astrokite as ak
from astrokite.conjunctions import screen
from astrokite.propagators.analytical.sgp4.sgp4 import SGP4

HOUR = 3600 * NS
NEVER = np.iinfo(np.int64).max
# 200 km polar with a large drag term: the sgp4 package fails from 40 minutes on, then gives
# states without an error code from about 33 h (a 70 km/s one among them) and on and off from 61 h.
DECAYING = circular(9, 200.0, 90.0, 0.0, 0.0, bstar=0.5)


def decay_of(tle) -> int:
    return int(SGP4(tle)._decay_ns()[0])


def reference_errors(tle, instants):
    satrec = Satrec.twoline2rv(tle.line1, tle.line2)
    error, _, _ = satrec.sgp4_array(*_jd(np.asarray(instants, np.int64)))
    return error


def element_sets():
    """Element sets from circular LEO to GTO, Molniya and GEO, drag terms from none to huge."""
    sets = []
    for altitude in (160.0, 200.0, 300.0, 450.0, 700.0):
        for bstar in (-0.5, -1e-3, 1e-5, 3e-4, 0.01, 0.1, 0.5, 2.0):
            sets.append(circular(1, altitude, 51.6 if altitude < 400 else 97.5, 10.0, 20.0, bstar=bstar))
    for eccentricity, bstar in ((0.05, 0.01), (0.2, 0.3), (0.73, 0.05), (0.73, 2.0), (0.7, 1e-3)):
        perigee = 250.0
        semi_major = (6378.135 + perigee) / (1 - eccentricity)
        sets.append(circular(2, semi_major - 6378.135, 28.5 if eccentricity > 0.6 else 63.4, 40.0, 0.0,
                             bstar=bstar, eccentricity=eccentricity))
    sets.append(circular(3, 35786.0, 0.05, 0.0, 0.0, bstar=1e-4))
    return sets


@pytest.mark.parametrize("tle", element_sets(), ids=lambda t: t.line2[8:63])
def test_the_decay_instant_never_cuts_a_valid_propagation(tle):
    decay = decay_of(tle)
    epoch = int(tle.epoch.int64)
    if decay == NEVER:
        return
    assert decay >= epoch
    # The reference fails there, and on the way there it fails no later (every 20 s, within 40 days).
    assert reference_errors(tle, [decay])[0] != 0
    way = np.arange(epoch, min(decay, epoch + 40 * 24 * HOUR), 20 * NS)
    errors = reference_errors(tle, np.r_[way, decay])
    assert np.flatnonzero(errors)[0] <= len(way)


def test_long_lived_orbits_are_never_cut_and_the_decay_comes_soon_after_the_first_failure():
    iss_like, geo = circular(1, 400.0, 51.6, 0.0, 0.0, bstar=3e-4), circular(2, 35786.0, 0.05, 0.0, 0.0, bstar=1e-4)
    assert decay_of(iss_like) - EPOCH_NS > 365 * 24 * HOUR and decay_of(geo) == NEVER
    decay = decay_of(DECAYING)
    way = np.arange(EPOCH_NS, decay + 1, NS)
    first = way[np.flatnonzero(reference_errors(DECAYING, way))[0]]
    assert 0 <= decay - first < HOUR
    # Past it the reference gives states without an error code: what the screen must not use.
    later = np.arange(decay, EPOCH_NS + 80 * HOUR, 60 * NS)
    assert (reference_errors(DECAYING, later) == 0).any()
    tles = [iss_like, geo, circular(4, 400.0, 51.6, 0.0, 0.05, bstar=3e-4)]  # 4 trails 1 by 6 km
    table = screen(tles, EPOCH_NS + 30 * 24 * HOUR, EPOCH_NS + 30 * 24 * HOUR + 6 * HOUR, threshold=200e3)
    assert len(table.failed) == 0 and len(table) > 0


# A partner whose orbit the decayed object's later states cross: a threshold of 10,000 km finds
# an approach of any two objects with states, so none with 9 means none of its states was used.
PARTNER = circular(8, 500.0, 90.0, 0.0, 90.0)


@pytest.mark.parametrize("start_h, stop_h", [(30, 40), (2, 70), (60, 66)])
def test_a_window_after_the_decay_reports_no_approach_from_its_states(start_h, stop_h):
    start, stop = EPOCH_NS + start_h * HOUR, EPOCH_NS + stop_h * HOUR
    samples = np.arange(start, stop, 60 * NS)
    assert (reference_errors(DECAYING, samples) == 0).any()  # states without an error code in the window
    decay = decay_of(DECAYING)
    tles = [DECAYING, PARTNER, circular(7, 510.0, 90.0, 180.0, 0.0)]
    for table, others_meet in ((screen(tles, start, stop, threshold=1e7), True),
                               (screen(DECAYING, start, stop, against=tles, threshold=1e7), False),
                               (screen(PARTNER, start, stop, against=tles, threshold=1e7), True)):
        assert 9 not in set(table.primary) | set(table.secondary)
        assert (len(table) > 0) == others_meet
        assert list(table.failed.satno) == [9]
        assert table.failed.time.iloc[0].value == decay and table.failed.error.iloc[0] == 6


def test_a_window_spanning_the_decay_screens_up_to_the_first_failure():
    start, stop = EPOCH_NS, EPOCH_NS + 40 * HOUR  # (before its epoch its drag term fails it too)
    decay = decay_of(DECAYING)
    tles = [DECAYING, circular(8, 200.5, 90.0, 180.0, 0.05), PARTNER]
    table = screen(tles, start, stop, threshold=1e7)
    assert list(table.failed.satno) == [9]
    when = table.failed.time.iloc[0].value
    # Its first failure (to 1 ms), before its decay instant, with the reference's code.
    assert when <= decay and reference_errors(DECAYING, [when])[0] == table.failed.error.iloc[0] != 0
    assert (reference_errors(DECAYING, np.arange(start, when - NS // 1000, 10 * NS)) == 0).all()
    mine = (table.primary == 9) | (table.secondary == 9)
    assert mine.any() and (table.tca.int64[mine] < when).all()
    assert np.isfinite(table.miss_distance).all()


def test_the_decay_query_takes_sets_of_a_history_and_checks_them():
    history = ak.ELSET(DECAYING, circular(9, 400.0, 90.0, 0.0, 0.0, epoch=EPOCH + dt.timedelta(hours=50)))
    propagator = SGP4(history)
    decay = propagator._decay_ns()
    assert decay[0] == decay_of(DECAYING) and decay[1] == NEVER
    with pytest.raises(IndexError):
        propagator._table.decay_ns(np.array([2], np.int64), 1)
    with pytest.raises(TypeError):
        propagator._table.decay_ns(np.array([0.0]), 1)
