"""astrokite.dask.screen on the local cluster: the single-machine table, bit for bit, however split."""

import datetime as dt
import os
import signal
import sys

import dask
import numpy as np
import pytest
from helpers import DATA, ROOT

import astrokite as ak
import astrokite.dask as akd

sys.path.insert(0, str(ROOT / "bench"))
from synthetic_catalogue import mean_motion, tle_lines  # noqa: E402

EPOCH = dt.datetime(2023, 3, 1, 12)  # within the bundled histories
NS = 1_000_000_000
# One-hour windows split the window 3 s before the meeting at EPOCH and 0.4 ms after the one
# at MEETING; the last window is a single 17 s grid interval.
START = int(ak.Time(EPOCH).int64) - 3603 * NS
STOP = START + (4 * 3600 + 17) * NS
MEETING = EPOCH + dt.timedelta(seconds=3597)
BEFORE = EPOCH - dt.timedelta(seconds=3604)
THRESHOLD = 20e3


def circular(satno, altitude_km, inclination, node, argument, epoch=EPOCH, bstar=0.0):
    n = float(mean_motion(6378.135 + altitude_km))
    return ak.TLE(*tle_lines(satno, epoch, inclination, node, 0.0, 0.0, argument, n, bstar))


# 1 and 2 meet head-on at EPOCH; 3 keeps 800 m from 1 all window; 4 flies 1's orbit tilted, close
# at both nodes; 5 decays two hours in (its neighbour 6 does not); 7 and 8 meet head-on at MEETING;
# 9 and 10 met head-on a second before the start, 15 km apart at the start.
SYNTHETIC = [
    circular(90001, 550.0, 50.0, 0.0, 0.0), circular(90002, 550.5, 130.0, 180.0, 180.0),
    circular(90003, 550.0, 50.0, 0.0, np.degrees(0.8 / 6928)), circular(90004, 550.0, 50.1, 0.0, 0.01),
    circular(90005, 160.0, 51.6, 0.0, 0.0, EPOCH - dt.timedelta(hours=1), bstar=0.02),
    circular(90006, 160.5, 51.6, 0.0, 0.05),
    circular(90007, 700.0, 70.0, 40.0, 0.0, epoch=MEETING), circular(90008, 700.4, 110.0, 220.0, 180.0, epoch=MEETING),
    circular(90009, 800.0, 60.0, 100.0, 0.0, epoch=BEFORE), circular(90010, 800.3, 120.0, 280.0, 180.0, epoch=BEFORE),
]
REAL = list(ak.read_tle(sorted(str(path) for path in DATA.glob("*.tle"))).values())  # histories, GEO to LEO
EVERYONE = REAL + SYNTHETIC
BY_NUMBER = {int(elset[0].satno): elset for elset in REAL} | {int(tle.satno): tle for tle in SYNTHETIC}
# Primaries in and out of `against`, each order of numbers: (90001 out, 90002 in), (90003 in, 90004 out).
PRIMARY = [BY_NUMBER[n] for n in (90001, 90002, 90003, 90004, 90006, 90007, 25544, 20580)]
AGAINST = [BY_NUMBER[n] for n in (90002, 90003, 90005, 90007, 90008)] + REAL


def assert_identical(ours, theirs):
    for name in ("primary", "secondary", "miss_distance", "relative_speed", "radial", "in_track", "cross_track",
                 "at_start", "at_stop", "relative_position", "relative_velocity", "_primary_position",
                 "_primary_velocity"):
        assert np.array_equal(getattr(ours, name), getattr(theirs, name)), name
    assert np.array_equal(ours.tca.int64, theirs.tca.int64)
    for mine, whole in zip(ours._failed, theirs._failed):
        assert np.array_equal(mine, whole) and mine.dtype == whole.dtype


@pytest.fixture(scope="module")
def whole():
    return {"all": ak.screen(EVERYONE, START, STOP, threshold=THRESHOLD),
            "against": ak.screen(PRIMARY, START, STOP, against=AGAINST, threshold=THRESHOLD)}


def test_the_single_machine_screen_covers_what_a_split_can_break(whole):
    table = whole["all"].to_pandas()
    splits = START + 3600 * NS * np.arange(1, 5)
    near_split = np.abs(table.tca.astype("int64").to_numpy()[:, None] - splits).min(axis=1)
    assert (near_split < 5 * NS).sum() >= 2  # minima seconds from an inner edge, on either side
    assert ((table.primary == 90001) & (table.secondary == 90003)).sum() >= 4  # within threshold throughout
    assert list(table.tca[table.at_start].astype("int64")) == [START]  # the window's edges only
    assert (table.tca[table.at_stop].astype("int64") == STOP).sum() >= 1 and table.at_stop.sum() == \
        (table.tca.astype("int64") == STOP).sum()
    for kind in ("all", "against"):
        assert list(whole[kind].failed.satno) == [90005]
        assert START + 3600 * NS < whole[kind].failed.time[0].value < STOP - 3600 * NS
    pairs = set(zip(whole["against"].primary, whole["against"].secondary))
    assert {(90001, 90002), (90003, 90004)} <= pairs  # primaries one of which only is in `against`


@pytest.mark.parametrize("split", [
    dict(windows=3600.0), dict(windows=dt.timedelta(minutes=17)), dict(windows=9), dict(primaries=4),
    dict(primaries=len(EVERYONE)), dict(windows=3, primaries=5), dict(),
])
@pytest.mark.parametrize("kind", ["all", "against"])
def test_equals_the_single_machine_screen(client, whole, kind, split):
    primary, against = (EVERYONE, None) if kind == "all" else (PRIMARY, AGAINST)
    assert_identical(akd.screen(primary, START, STOP, against=against, threshold=THRESHOLD, **split), whole[kind])


def test_on_the_default_scheduler_and_from_propagators(whole):
    from astrokite.propagators.analytical.sgp4.sgp4 import SGP4

    with dask.config.set(scheduler="threads"):  # not the cluster
        assert_identical(akd.screen(EVERYONE, START, STOP, threshold=THRESHOLD, windows=4, primaries=3),
                         whole["all"])
        # More windows than grid intervals: one interval each.
        short = START + 300 * NS
        assert_identical(akd.screen(EVERYONE, START, short, threshold=THRESHOLD, windows=50, primaries=2),
                         ak.screen(EVERYONE, START, short, threshold=THRESHOLD))
        # An SGP4 keeps its gravity model and is screened whole (never pruned), as on one machine.
        primary, against = SGP4(PRIMARY, gravity="wgs84"), SGP4(AGAINST)
        assert_identical(akd.screen(primary, START, STOP, against=against, threshold=THRESHOLD, primaries=3),
                         ak.screen(primary, START, STOP, against=against, threshold=THRESHOLD))


def test_approaches_before_a_failure_inside_a_grid_interval_split_like_the_whole():
    # 91001 leaves the theory's range under three minutes after its epoch; 91002 and 91003 pass
    # it head-on at about the epoch, inside the grid interval in which it fails.
    failing = circular(91001, 300.0, 90.0, 0.0, 0.0, bstar=2.0)
    others = [circular(91002, 301.0, 90.0, 180.0, 180.0), circular(91003, 300.5, 90.0, 180.0, 179.9)]
    start, stop = int(ak.Time(EPOCH).int64) - 60 * NS, int(ak.Time(EPOCH).int64) + 1800 * NS
    with dask.config.set(scheduler="threads"):
        for primary, against in (([failing, *others], None), (others, [failing, *others[:1]])):
            whole = ak.screen(primary, start, stop, against=against, threshold=THRESHOLD)
            assert {(91001, 91002), (91001, 91003)} <= set(zip(whole.secondary, whole.primary)) | \
                set(zip(whole.primary, whole.secondary))
            assert list(whole.failed.satno) == [91001]
            for split in (dict(windows=9), dict(windows=2, primaries=1)):
                assert_identical(akd.screen(primary, start, stop, against=against, threshold=THRESHOLD, **split),
                                 whole)


def test_a_worker_killed_mid_job_changes_nothing(client, whole, tmp_path):
    marker = str(tmp_path / "killed")

    def kill_on_first_part():  # in each worker: the first part anywhere kills its own process
        from astrokite.conjunctions import screening

        run = screening._screen_part

        def part(*args, **kwargs):
            try:
                os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                return run(*args, **kwargs)
            os.kill(os.getpid(), signal.SIGKILL)

        part.__wrapped__ = run
        screening._screen_part = part

    def restore():
        from astrokite.conjunctions import screening

        screening._screen_part = getattr(screening._screen_part, "__wrapped__", screening._screen_part)

    before = set(client.scheduler_info()["workers"])
    client.run(kill_on_first_part)
    table = akd.screen(EVERYONE, START, STOP, threshold=THRESHOLD, windows=6, primaries=2)
    assert os.path.exists(marker)
    assert_identical(table, whole["all"])
    client.wait_for_workers(2, timeout=60)
    assert set(client.scheduler_info()["workers"]) != before  # one was restarted
    client.run(restore)


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(windows=0), ValueError, "windows"), (dict(windows=-5.0), ValueError, "windows"),
    (dict(windows="1h"), TypeError, "windows"), (dict(primaries=0), ValueError, "primaries"),
    (dict(primaries=2.5), TypeError, "primaries"), (dict(threshold=-1.0), ValueError, "threshold"),
    (dict(against=[]), ValueError, "against"), (dict(threads=0), ValueError, "threads"),
    (dict(threshold=THRESHOLD, max_results=3, windows=2), ValueError, "max_results"),
])
def test_bad_arguments_are_refused_by_name(kwargs, error, words):
    with pytest.raises(error, match=words):
        akd.screen(SYNTHETIC, START, STOP, **kwargs)


def test_windows_after_a_decay_agree_on_it_like_the_whole():
    # 92001 (200 km polar, a huge drag term) is gone 42 minutes after its epoch; the theory gives
    # it states without an error code again from about 33 h: no window may screen them.
    decaying = circular(92001, 200.0, 90.0, 0.0, 0.0, bstar=0.5)
    others = [circular(92002, 500.0, 90.0, 0.0, 90.0), circular(92003, 510.0, 90.0, 180.0, 0.0)]
    epoch = int(ak.Time(EPOCH).int64)
    with dask.config.set(scheduler="threads"):
        for start, stop in ((epoch, epoch + 40 * 3600 * NS), (epoch + 30 * 3600 * NS, epoch + 40 * 3600 * NS)):
            whole = ak.screen([decaying, *others], start, stop, threshold=1e7)
            late = whole.tca.int64 >= whole.failed.time.iloc[0].value
            assert 92001 not in set(whole.primary[late]) | set(whole.secondary[late]) and len(whole) > 0
            assert list(whole.failed.satno) == [92001]
            for split in (dict(windows=7), dict(windows=3, primaries=2)):
                assert_identical(akd.screen([decaying, *others], start, stop, threshold=1e7, **split), whole)
