"""An element set that comes in force between two samples of the screen's grid."""

import datetime as dt
import math

import dask
import pytest
from test_conjunctions import EPOCH, EPOCH_NS, NS, as_found, assert_same, circular, oracle

import astrokite as ak
import astrokite.dask as akd
from astrokite.conjunctions import screen
from astrokite.propagators.analytical.sgp4.sgp4 import SGP4

# One primary: the grid's step is 8 minutes, from the window's start.
START, STOP = EPOCH_NS, EPOCH_NS + 6 * 3600 * NS
CHANGE = START + (4 * 3600 + 200) * NS  # 200 s into a grid interval
THRESHOLD = 20e3


def head_on(satno, epoch_ns, meeting_ns):
    """A set of epoch ``epoch_ns`` flying 1's polar orbit the other way 500 m higher, at 1's
    place at ``meeting_ns``."""
    primary = SGP4(PRIMARY).propagate(ak.Time(meeting_ns), velocity=False).position[0, 0]
    u = math.atan2(primary[2], primary[0])  # 1's argument of latitude (its node at 0)
    n = 2 * math.pi / (2 * math.pi * math.sqrt((6378.135 + 500.5) ** 3 / 398600.8))  # rad/s
    argument = math.pi - u - n * (meeting_ns - epoch_ns) / NS
    epoch = EPOCH + dt.timedelta(seconds=(epoch_ns - EPOCH_NS) / NS)
    return circular(satno, 500.5, 90.0, 180.0, math.degrees(argument) % 360.0, epoch=epoch)


PRIMARY = circular(1, 500.0, 90.0, 0.0, 0.0)
FAR = circular(2, 1500.0, 80.0, 60.0, 0.0)


@pytest.mark.parametrize("meeting_s", [-120, -30, 20, 90, 250])
def test_an_approach_next_to_a_change_of_set_inside_a_grid_interval_is_found(meeting_s):
    # 2 meets 1 head-on meeting_s seconds from the change: with the old set (before it) or the
    # new one (after it); the other set keeps it far from 1.
    meeting = CHANGE + meeting_s * NS
    if meeting_s < 0:
        old, new = head_on(2, EPOCH_NS, meeting), circular(2, 1500.0, 80.0, 60.0, 0.0, epoch=EPOCH + dt.timedelta(
            seconds=(CHANGE - EPOCH_NS) / NS))
        theirs = oracle([PRIMARY, old], START, CHANGE - 1, THRESHOLD)
    else:
        old, new = FAR, head_on(2, CHANGE, meeting)
        theirs = oracle([PRIMARY, new], CHANGE, STOP, THRESHOLD)
    near = [t for t, miss in theirs.get((1, 2), []) if abs(t - meeting) < 60 * NS]
    assert near, theirs
    history = ak.ELSET(old, new)
    for table in (screen(PRIMARY, START, STOP, against=[PRIMARY, history], threshold=THRESHOLD),
                  screen([PRIMARY, history], START, STOP, threshold=THRESHOLD)):
        assert_same(as_found(table), theirs, THRESHOLD)
    # Split in time: the change inside a window, or in the last grid interval of one (windows
    # of 248 minutes, the first ending on the grid sample after the change).
    with dask.config.set(scheduler="threads"):
        for windows in (7, 3600.0 * 4 + 480.0):
            split = akd.screen([PRIMARY, history], START, STOP, threshold=THRESHOLD, windows=windows)
            assert as_found(split) == as_found(table)
