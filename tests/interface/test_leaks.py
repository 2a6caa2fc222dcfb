"""Memory and references stay put under bulk use.

Building and dropping many objects, on the success path and on every error
path, must leave memory flat: Python allocations (tracemalloc), native
allocations (the resident set size) and the reference counts of the
arguments. (Reference cycles through native objects: test_objects.py.)

The bounds are generous against allocator noise and tight against a leak: one
forgotten object per call over the counts below is megabytes. Counts are set
so the file runs in about a minute: 100,000 calls for every construction of
TLE, ELSET and Time, failing or not; 20,000 for each kind of ELSET read, and
fewer renders, which read the settings file once per option (see RENDERS).
A failing case must raise its exception class on every call, so the tables
also pin the class of each error path they list.
"""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest
from helpers import ISS1, ISS2, Box, Falsy, made

from astrokite.bodies import bodies
from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE
from astrokite.satellite.satellite import Satellite
from astrokite.scenario.scenario import Scenario
from astrokite.time.time import Time
from astrokite.utils.representable import Representable

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident set size from /proc")

# Under AddressSanitizer (make sanitize) freed memory sits in the allocator's
# quarantine, so the resident set says nothing and every call is slower: the
# resident-set bound is left out there and the counts are cut tenfold.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
SCALE = 10 if SANITIZED else 1

OTHER = ISS1[:2] + "25545" + ISS1[7:]  # another satellite
MANY = 100_000 // SCALE
READS = 20_000 // SCALE  # selections build a whole new ELSET each
RENDERS = {"ELSET": 10_000 // SCALE, "TLE": 500 // SCALE, "Representable": 5_000 // SCALE}
RSS_BOUND = 8 << 20  # bytes over the whole run
TRACED_BOUND = 256 << 10  # bytes over the traced calls
TRACED = 5_000  # calls traced by tracemalloc, which slows them several times


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def growth(action, count, watched=()):
    """(resident growth over `count` calls, traced growth over up to TRACED
    calls, reference-count changes of `watched`), after a warm-up."""
    for _ in range(min(count, 10_000) // 10 + 100):  # free lists, caches, arenas
        action()
    gc.collect()
    references = [sys.getrefcount(obj) for obj in watched]
    before = resident()
    for _ in range(count):
        action()
    gc.collect()
    resident_growth = resident() - before
    references = [after - before for after, before in zip([sys.getrefcount(obj) for obj in watched], references)]
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(min(TRACED, count // 4)):
            action()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    return resident_growth, traced_growth, references


def failing(call, error):
    """`call` made into an action that must raise `error` every time."""

    def action():
        try:
            call()
        except error:
            return
        raise AssertionError(f"{call} did not raise {error.__name__}")

    return action


def assert_flat(call, error, count, watched=()):
    """`call`, or `call` raising `error` every time if one is given, leaves memory and `watched` as they were."""
    action = call if error is None else failing(call, error)
    resident_growth, traced_growth, references = growth(action, count, watched)
    assert SANITIZED or resident_growth < RSS_BOUND, f"resident set grew by {resident_growth} bytes over {count} calls"
    assert traced_growth < TRACED_BOUND, f"Python allocations grew by {traced_growth} bytes"
    assert references == [0] * len(watched), "an argument gained or lost references"


# ---------------------------------------------------------------------------
# Building and dropping


class Text(str):
    pass


class Numbered(TLE):
    """An element set whose satellite number does not fit 32 bits."""

    @property
    def satno(self):
        return 2**40


def in_a_cycle():
    """A TLE that refers to itself, left for the garbage collector."""
    tle = TLE(line1, line2)
    tle.me = tle
    return tle


class LooksLikeATLE:
    epoch = Time("2023-01-01")
    satno = 25544


# Fresh, non-immortal objects, so that a reference leaked on them shows.
line1, line2 = "".join(ISS1), "".join(ISS2)
first, second, third = made(1.5), made(2.5), made(3.5)
elset = ELSET(first, second, third, satname="ISS")
start, stop = Time("2023-01-02"), Time("2023-01-03")
mask = np.array([True, False, True])
rows = elset._lines()
lazy = ELSET._from_lines(rows, "ISS")

TLE_CASES = {
    "built": (lambda: TLE(line1, line2), None),
    "built, epoch read": (lambda: TLE(line1, line2).epoch, None),
    "subclass, epoch read": (lambda: Numbered(line1, line2).epoch, None),
    "in a cycle, epoch read": (lambda: in_a_cycle().epoch, None),
    "strict, built": (lambda: TLE(line1, line2, True), None),
    "long non-ASCII line": (lambda: TLE("é" * 200, line2), None),
    "too few arguments": (lambda: TLE(line1), TypeError),
    "too many arguments": (lambda: TLE(line1, line2, False, None), TypeError),
    "unknown keyword": (lambda: TLE(line1, line2, strict=True), TypeError),
    "keyword given twice": (lambda: TLE(line1, line1=line1, line2=line2), TypeError),
    "None": (lambda: TLE(line1, None), TypeError),
    "str subclass": (lambda: TLE(Text(line1), line2), TypeError),
    "truth value fails": (lambda: TLE(line1, line2, Falsy()), ZeroDivisionError),
    "lone surrogate": (lambda: TLE("\ud800" + line1, line2), UnicodeEncodeError),
    "epoch outside Time": (lambda: TLE(line1[:20] + "9e99        " + line1[32:], line2), ValueError),
    "strict, bad checksum": (lambda: TLE(line1[:68] + "0", line2, True), ValueError),
}


@pytest.mark.parametrize("case", TLE_CASES)
def test_tle_construction(case):
    assert_flat(*TLE_CASES[case], MANY, [line1, line2])


@pytest.mark.parametrize("constant", ["GM", "Re"])
def test_tle_failing_after_its_epoch_is_built(monkeypatch, constant):
    # The epoch exists when the Earth constants are read: it must go with the failure.
    monkeypatch.setattr(bodies.Earth, constant, "not a number")
    assert_flat(lambda: TLE(line1, line2), TypeError, MANY, [line1, line2])


ELSET_CASES = {
    "built": (lambda: ELSET(third, first, second, satname="ISS"), None),
    "satellite number beyond 32 bits": (lambda: ELSET(Numbered(line1, line2)), OverflowError),
    "no element set": (lambda: ELSET(), AssertionError),
    "two satellites": (lambda: ELSET(first, TLE(OTHER, line2)), AssertionError),
    "satname of another type": (lambda: ELSET(first, satname=b"ISS"), TypeError),
    "unknown keyword": (lambda: ELSET(first, name="ISS"), TypeError),
    "entry without epoch": (lambda: ELSET(first, None), AttributeError),
    "entry that is not a TLE": (lambda: ELSET(first, LooksLikeATLE()), TypeError),
    "epochs that do not compare": (lambda: ELSET(first, elset), ValueError),
    "text satellite number": (lambda: ELSET(TLE(line1[:2] + "I0001" + line1[7:], line2)), TypeError),
    "from lines": (lambda: ELSET._from_lines(rows, "ISS"), None),
    "from lines, each TLE made": (lambda: list(ELSET._from_lines(rows)), None),
    "from lines, broken row": (lambda: ELSET._from_lines(rows[:-1]), ValueError),
    "from lines, epoch outside Time": (lambda: ELSET._from_lines(rows + rows[:20] + b"9e99" + rows[24:138]),
                                       ValueError),
}


@pytest.mark.parametrize("case", ELSET_CASES)
def test_elset_construction(case):
    assert_flat(*ELSET_CASES[case], MANY, [first, second, third, elset])


READ_CASES = {
    "integral index": (lambda: elset[-1], None),
    "positional slice": (lambda: elset[::2], None),
    "time window": (lambda: elset[start:stop], None),
    "mask": (lambda: elset[mask], None),
    "positions": (lambda: elset[[2, 0, 0]], None),
    "iteration": (lambda: list(elset), None),
    "pairs": (lambda: list(elset.pairwise()), None),
    "columns": (lambda: (elset.ecc, elset.apg, elset.epoch), None),
    "index out of range": (lambda: elset[3], IndexError),
    "empty slice": (lambda: elset[5:], AssertionError),
    "empty window": (lambda: elset[stop:start], AssertionError),
    "window bound Time refuses": (lambda: elset["no date":], ValueError),
    "position out of range": (lambda: elset[np.array([7])], IndexError),
    "float positions": (lambda: elset[[0.5]], IndexError),
    "lines": (lambda: elset._lines(), None),
    "table": (lambda: elset.to_pandas(), None),
    "read from lines: window": (lambda: lazy[start:stop], None),
    "read from lines: positions": (lambda: lazy[[2, 0, 0]][0], None),
    "read from lines: pairs thrown into": (lambda: lazy.pairwise().throw(KeyError), KeyError),
}


@pytest.mark.parametrize("case", READ_CASES)
def test_elset_reading(case):
    assert_flat(*READ_CASES[case], READS, [first, second, third, elset])


box = Box("Header", "a line\n{fence}\n{{braces}}")
RENDER_CASES = {
    "ELSET": (lambda: str(elset), None, RENDERS["ELSET"]),
    "TLE": (lambda: str(first), None, RENDERS["TLE"]),
    "Representable": (lambda: str(box), None, RENDERS["Representable"]),
    "unknown field": (lambda: str(Box("H", "{name}")), KeyError, RENDERS["Representable"]),
    "positional field": (lambda: str(Box("H", "{}")), IndexError, RENDERS["Representable"]),
    "unmatched brace": (lambda: str(Box("H", "a{")), ValueError, RENDERS["Representable"]),
    "header not text": (lambda: str(Box(1, "")), TypeError, RENDERS["Representable"]),
    "no protocol": (lambda: str(Representable()), NotImplementedError, RENDERS["Representable"]),
}


@pytest.mark.parametrize("case", RENDER_CASES)
def test_rendering(case):
    call, error, count = RENDER_CASES[case]
    assert_flat(call, error, count, [first, elset, box])


counts = np.arange(0, 10**12, 10**10, dtype=np.int64)
TIME_CASES = {
    "text": (lambda: Time("2024-03-05T12:00:07.25"), None),
    "counts": (lambda: Time(counts), None),
    "list": (lambda: Time(["2024", 0, np.datetime64(5, "s")]), None),
    "not a date": (lambda: Time("2024-13"), ValueError),
    "type": (lambda: Time(object()), TypeError),
    "outside the range": (lambda: Time(2.0e300, format="jd"), ValueError),
    "bad entry late in a list": (lambda: Time(["2024", "2025", "x"]), ValueError),
    "two dimensions": (lambda: Time(counts.reshape(10, 10)), ValueError),
    "not a time": (lambda: Time(np.array(["NaT"], dtype="M8[s]")), ValueError),
    "format misuse": (lambda: Time("2024", format="jd"), ValueError),
    "uninitialised": (lambda: Time(Time.__new__(Time)), TypeError),
}


@pytest.mark.parametrize("case", TIME_CASES)
def test_time_construction(case):
    assert_flat(*TIME_CASES[case], MANY, [counts])


SCENE = 2_000 // SCALE  # each scenario computes the Sun and Moon through pyerfa
SCENE_CASES = {
    "scenario": (lambda: Scenario(start), None),
    "scenario rotation": (lambda: Scenario(start).rot_GCRF_from_ITRF, None),
    "scenario ellipsoid": (lambda: Scenario(start, ellipsoid=None), TypeError),
    "scenario time": (lambda: Scenario("no date"), ValueError),
    "satellite": (lambda: Satellite(start, mask, name=" ISS "), None),
    "satellite propagator": (lambda: Satellite(start, mask, propagator=mask), TypeError),
    "satellite time": (lambda: Satellite(object(), mask), TypeError),
}


@pytest.mark.parametrize("case", SCENE_CASES)
def test_scenario_and_satellite_construction(case):
    assert_flat(*SCENE_CASES[case], SCENE, [start, mask])
