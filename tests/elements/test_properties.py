"""Arbitrary input at the public entry points.

Every call either returns or raises one of the exceptions its interface names;
none crashes the interpreter. Where an independent reference exists (the C
library's atoi/atof, NumPy's indexing, str.format), the result must agree with
it, so that damaged input is read the same way as well as survived.
"""

import math
import numbers
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from helpers import LIBC, SGR, Box, Falsy, element_sets, history, normalised, stored
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from astrokite.bodies.bodies import Earth
from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE
from astrokite.state.coe import c_eca_from_mea
from astrokite.time.time import Time
from astrokite.units import units

REAL_LINES = [line for _, line1, line2 in element_sets() for line in (line1, line2)]

FEW = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
MANY = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def same(a, b):
    """Equal as stored doubles: NaN equals NaN, and the sign of zero counts."""
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))


def outcome(call, *args, **kwargs):
    """The result of a call, or the type of the exception it raised."""
    try:
        return call(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - the type is what is compared
        return type(error)


# ---------------------------------------------------------------------------
# TLE: any text


# Characters that matter to the column reader, the encoder and the renderer.
AWKWARD = st.sampled_from(list("0123456789 +-.eExXpPinfaINFA{}\t\n\x00\x1bé€𝄞") + ["\ud800", "\udfff"])
CHARACTER = AWKWARD | st.characters()


@st.composite
def mutated_lines(draw):
    """A real element-set line after a few random edits."""
    line = draw(st.sampled_from(REAL_LINES))
    for _ in range(draw(st.integers(1, 5))):
        at = draw(st.integers(0, len(line)))
        edit = draw(st.sampled_from(["replace", "insert", "delete", "truncate", "pad"]))
        if edit == "replace":
            line = line[:at] + draw(CHARACTER) + line[at + 1 :]
        elif edit == "insert":
            line = line[:at] + draw(st.text(CHARACTER, min_size=1, max_size=4)) + line[at:]
        elif edit == "delete":
            line = line[:at] + line[at + 1 :]
        elif edit == "truncate":
            line = line[:at]
        else:
            line = line + draw(CHARACTER) * draw(st.integers(1, 100))
    return line


LINES = (
    mutated_lines()
    | st.sampled_from(REAL_LINES)
    | st.text(CHARACTER, max_size=100)
    | st.builds(lambda piece, count: piece * count, st.text(CHARACTER, min_size=1, max_size=3), st.integers(0, 5000))
)


def field(data, column, width):
    return data[column - 1 : column - 1 + width]


def reference_fields(line1, line2):
    """What the C library reads from the columns of the two stored lines."""
    one, two = stored(line1), stored(line2)
    yy = LIBC.atoi(field(one, 19, 2))
    year = yy + 2000 if yy < 57 else yy + 1900
    day = LIBC.atof(field(one, 21, 12))
    satno = field(one, 3, 5).decode("utf-8", "replace").strip()
    try:
        satno = int(satno)
    except ValueError:
        pass
    return {
        "year": year,
        "day": day,
        "satno": satno,
        "inc": LIBC.atof(field(two, 9, 8)) * units.deg,
        "raa": LIBC.atof(field(two, 18, 8)) * units.deg,
        "ecc": LIBC.atof(b"." + field(two, 27, 7)),
        "arp": LIBC.atof(field(two, 35, 8)) * units.deg,
        "mea": LIBC.atof(field(two, 44, 8)) * units.deg,
        "mnm": LIBC.atof(field(two, 53, 11)) * units.rev / units.day,
    }


@MANY
@given(line1=LINES, line2=LINES, strict=st.booleans())
def test_any_text_reads_as_the_c_library_reads_its_columns(line1, line2, strict):
    try:
        tle = TLE(line1, line2, strict)
    except ValueError:
        # Lone surrogates cannot be encoded, an epoch may lie outside the range
        # of Time, and strict validation refuses damaged lines.
        return
    assert (tle.line1, tle.line2) == (normalised(line1), normalised(line2))
    expected = reference_fields(line1, line2)
    for name in ("inc", "raa", "ecc", "arp", "mea", "mnm"):
        assert same(getattr(tle, name), expected[name]), name
    assert tle.satno == expected["satno"]
    epoch = Time(Time(str(expected["year"])).jd - 1.0 + expected["day"], format="jd")
    assert tle.epoch.int64 == epoch.int64


@MANY
@given(line1=LINES, line2=LINES)
def test_derived_elements_follow_from_the_parsed_ones_for_any_text(line1, line2):
    try:
        tle = TLE(line1, line2)
    except ValueError:
        return
    sma = math.cbrt(Earth.GM / tle.mnm / tle.mnm) if tle.mnm else math.inf
    assert same(tle.sma, sma)
    assert same(tle.orp, 6.283185307179586 * sma * math.sqrt(sma / Earth.GM))
    assert same(tle.eca, c_eca_from_mea(tle.mea, tle.ecc))
    assert same(tle.pge, sma * (1.0 - tle.ecc) - Earth.Re)
    assert same(tle.apg, sma * (1.0 + tle.ecc) - Earth.Re)
    assert math.isnan(tle.tra) or 0.0 <= tle.tra < 2 * math.pi


ANYTHING = st.none() | st.integers() | st.floats() | st.binary(max_size=5) | st.lists(st.text(max_size=3), max_size=2)


@FEW
@given(line1=LINES | ANYTHING, line2=LINES | ANYTHING, strict=ANYTHING | st.builds(Falsy))
def test_any_argument_is_taken_or_refused_with_a_type_or_value_error(line1, line2, strict):
    try:
        TLE(line1, line2, strict_validation=strict)
    except (TypeError, ValueError):
        pass
    except ZeroDivisionError:
        assert isinstance(strict, Falsy)  # the truth value's own error is passed on


@FEW
@given(line1=mutated_lines(), line2=mutated_lines())
def test_any_element_set_renders_or_fails_cleanly(line1, line2):
    try:
        tle = TLE(line1, line2)
    except ValueError:
        return
    text = str(tle)
    # Braces of the lines print as they stand; a NUL ends the stored line.
    assert tle.line1 in text and tle.line2 in text


# ---------------------------------------------------------------------------
# Time: any text, number, array or key


NUMBERS = (
    st.integers()
    | st.integers(-(2**63), 2**63 - 1)
    | st.floats()
    | st.floats(2400000, 2500000)
    | st.booleans()
    | st.complex_numbers(max_magnitude=1e10)
)
NUMPY_SCALARS = st.sampled_from(list("bhilqBHILQefdgFD?")).flatmap(lambda code: hnp.from_dtype(np.dtype(code)))
DATETIME_DTYPES = st.sampled_from(
    [f"M8[{u}]" for u in ("Y", "M", "W", "D", "h", "m", "s", "ms", "us", "ns", "ps", "fs", "as", "10s", "7D")]
    + ["m8[s]", "M8"]
)
EVERY_DTYPE = (
    hnp.scalar_dtypes()
    | hnp.byte_string_dtypes(max_len=4)
    | hnp.unicode_string_dtypes(max_len=25)
    | DATETIME_DTYPES.map(np.dtype)
    | st.just(np.dtype(object))
    | hnp.array_dtypes(max_size=2)
    | hnp.scalar_dtypes().map(lambda d: d.newbyteorder(">") if d.byteorder != "|" else d)
)
ARRAYS = hnp.arrays(EVERY_DTYPE, hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=4))
TEXTS = st.text(CHARACTER, max_size=40) | st.from_regex(
    r"\A[0-9]{4}(-[0-9]{2}(-[0-9]{2}([T ][0-9]{2}(:[0-9]{2}(:[0-9]{2}(\.[0-9]{1,15})?)?)?)?)?)?Z?\Z"
)
INSTANTS = (
    TEXTS
    | st.datetimes(timezones=st.none() | st.timezones())
    | st.dates()
    | st.builds(np.datetime64, st.integers(-(2**62), 2**62), st.sampled_from(["s", "ms", "us", "ns", "D", "Y"]))
)
SCALARS = NUMBERS | NUMPY_SCALARS | INSTANTS | st.none() | st.binary(max_size=4)
FORMATS = st.sampled_from([None, "jd", "mjd", "unix", "int64"]) | st.text(max_size=5) | st.integers()
TIME_VALUES = SCALARS | ARRAYS | st.lists(SCALARS | st.lists(SCALARS, max_size=2), max_size=4) | st.tuples(SCALARS, SCALARS)


def check_time(t):
    """What every Time gives back, scalar or array-valued."""
    if t.shape == ():
        assert Time(t.int64).int64 == t.int64
        assert Time(str(t)).int64 == t.int64
        assert repr(t.utc).endswith("Z")
        assert math.isfinite(t.jd)
    else:
        assert t.int64.ndim == 1 and len(t) == t.size
        assert (Time(t.int64).int64 == t.int64).all()
        assert [s.int64 for s in t] == t.int64.tolist()


@MANY
@given(value=TIME_VALUES, format=FORMATS)
def test_time_takes_any_value_or_refuses_it(value, format):
    try:
        t = Time(value, format=format)
    except (TypeError, ValueError):
        return
    check_time(t)
    if format in (None, "int64") and isinstance(value, int) and not isinstance(value, bool):
        assert t.int64 == value


@MANY
@given(
    counts=hnp.arrays(np.int64, st.integers(0, 6), elements=st.integers(-(2**63) + 1, 2**63 - 1)),
    key=st.integers(-8, 8)
    | st.integers()
    | st.builds(slice, st.none() | st.integers(-8, 8), st.none() | st.integers(-8, 8), st.none() | st.integers(-3, 3))
    | st.lists(st.integers(-8, 8) | st.booleans(), max_size=6)
    | ARRAYS
    | st.tuples(st.integers(-2, 2), st.integers(-2, 2))
    | st.none()
    | st.just(Ellipsis)
    | st.text(max_size=3),
)
def test_time_indexing_agrees_with_numpy(counts, key):
    t = Time(counts)
    got = outcome(lambda: t[key])
    expected = outcome(lambda: counts[key])
    if isinstance(got, type):
        assert got in (IndexError, TypeError, ValueError)
        assert isinstance(expected, type) or np.ndim(expected) > 1
        return
    assert not isinstance(expected, type), f"Time accepted a key NumPy refuses: {expected}"
    assert np.array_equal(np.asarray(got.int64), np.asarray(expected))


@FEW
@given(value=TIME_VALUES, format=FORMATS, other=SCALARS | ARRAYS)
def test_comparisons_with_anything(value, format, other):
    try:
        t = Time(value, format=format)
    except (TypeError, ValueError):
        return
    for compare in (t.__eq__, t.__ne__, t.__lt__, t.__le__, t.__gt__, t.__ge__):
        try:
            compare(other)
        except (TypeError, ValueError):
            pass


# ---------------------------------------------------------------------------
# ELSET: any key


# Five ISS element sets passed out of order, one of them twice (equal epochs).
ISS = history("iss.tle")
PASSED = [ISS[i] for i in (3, 0, 4, 1, 0, 2)]
ORDERED = sorted(PASSED, key=lambda tle: tle.epoch.int64)
SOURCE = ELSET(*PASSED, satname="ISS")
SNAPSHOT = {name: getattr(SOURCE, name).copy() for name in ("ecc", "sma", "inc", "raa", "mnm", "apg")}
EPOCHS = [tle.epoch for tle in ORDERED]
# Strategies name the objects by position: objects held by hypothesis's
# strategy cache would outlive the interpreter's shutdown of the modules.
AN_EPOCH = st.integers(0, len(EPOCHS) - 1).map(lambda i: EPOCHS[i])

SMALL_INTS = st.integers(-8, 8)
INTEGRALS = SMALL_INTS | st.integers() | st.booleans() | NUMPY_SCALARS.filter(lambda v: isinstance(v, np.integer))
BOUNDS = (
    st.none()
    | AN_EPOCH
    | AN_EPOCH.map(str)
    | AN_EPOCH.map(lambda t: t.datetime64)
    | INSTANTS
    | st.floats()
    | st.lists(AN_EPOCH, max_size=3)
)
KEYS = (
    INTEGRALS
    | st.builds(slice, st.none() | INTEGRALS, st.none() | INTEGRALS, st.none() | SMALL_INTS)
    | st.builds(slice, BOUNDS, BOUNDS, st.none() | BOUNDS)
    | st.builds(slice, BOUNDS, st.none() | INTEGRALS)
    | st.lists(st.booleans(), max_size=8)
    | st.lists(SMALL_INTS, max_size=8)
    | st.lists(SMALL_INTS | st.booleans() | st.floats() | st.text(max_size=2), max_size=4)
    | ARRAYS
    | hnp.arrays(np.uint8, 6, elements=st.integers(0, 255)).map(lambda a: a.view(np.bool_))
    | hnp.arrays(st.sampled_from([np.int8, np.int64, np.uint32, np.bool_]), 12).map(lambda a: a[::-2])
    | st.tuples(SMALL_INTS, SMALL_INTS)
    | st.none()
    | st.just(Ellipsis)
    | st.text(max_size=3)
    | st.floats()
)


def reference_select(key):
    """The element sets a key selects, by list slicing, time masks or NumPy's indexing of an object array."""
    n = len(ORDERED)
    if isinstance(key, numbers.Integral):
        position = key if key >= 0 else n + key
        if not 0 <= position < n:
            raise IndexError(key)
        return ORDERED[position]
    if isinstance(key, slice):
        if any(isinstance(bound, numbers.Integral) for bound in (key.start, key.stop, key.step)):
            return ORDERED[key]
        epochs = np.array([tle.epoch.int64 for tle in ORDERED])
        start = None if key.start is None else Time(key.start).int64
        stop = None if key.stop is None else Time(key.stop).int64
        if np.ndim(start) or np.ndim(stop):
            raise ValueError("a window bound must be one instant")
        mask = np.ones(shape=n, dtype=bool)
        if start is not None:
            mask = mask & (epochs >= start)
        if stop is not None:
            mask = mask & (epochs < stop)
        key = mask
    everything = np.empty(n, dtype=object)
    everything[:] = ORDERED
    return everything[np.array(key)].tolist()


def reference_elset(key):
    picked = reference_select(key)
    if isinstance(picked, TLE):
        return picked
    if not picked:
        raise AssertionError
    if not all(isinstance(tle, TLE) for tle in picked):
        raise AttributeError("epoch")
    return sorted(picked, key=lambda tle: tle.epoch.int64)


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(key=KEYS)
def test_any_key_selects_as_the_reference_or_fails_alike(key):
    got = outcome(lambda: SOURCE[key])
    expected = outcome(reference_elset, key)
    if isinstance(expected, type):
        assert got is expected or (isinstance(got, type) and issubclass(got, expected)), (got, expected)
    elif isinstance(expected, TLE):
        assert got is expected
    else:
        assert isinstance(got, ELSET) and got.satname is None
        assert [got[i] for i in range(got.size)] == expected  # the very objects, in epoch order
    # The source is never changed by a read, failed or not.
    assert [SOURCE[i] for i in range(SOURCE.size)] == ORDERED and SOURCE.satname == "ISS"
    assert all(np.array_equal(getattr(SOURCE, name), column, equal_nan=True) for name, column in SNAPSHOT.items())


@FEW
@given(
    entries=st.lists(st.integers(-1, len(PASSED) - 1).map(lambda i: PASSED[i] if i >= 0 else SOURCE) | ANYTHING, max_size=5),
    satname=ANYTHING | st.text(),
)
def test_any_entries_build_an_elset_or_fail_with_a_documented_error(entries, satname):
    try:
        elset = ELSET(*entries, satname=satname)
    except (AssertionError, AttributeError, TypeError, KeyError, OverflowError, ValueError):
        # ValueError: an ELSET passed as an entry has an array-valued epoch,
        # whose comparison has no single truth value.
        return
    assert elset.size == len(entries) and elset.satname == satname
    assert list(elset) == sorted(entries, key=lambda tle: tle.epoch.int64)


@pytest.mark.parametrize(
    "key, error",
    [
        (None, IndexError),  # NumPy refuses a 0-d object array as an index
        (np.array([], dtype=bool), AssertionError),  # NumPy selects nothing: the empty result fails
    ],
)
def test_none_and_an_empty_mask_fail_as_numpy_indexing_makes_them(key, error):
    with pytest.raises(error):
        SOURCE[key]


def test_a_flag_byte_other_than_zero_or_one_selects_like_true():
    # NumPy takes any non-zero byte of a boolean array as true.
    mask = np.array([2, 0, 255, 0, 1, 0], dtype=np.uint8).view(np.bool_)
    assert [SOURCE[mask][i] for i in range(3)] == [ORDERED[0], ORDERED[2], ORDERED[4]]


# ---------------------------------------------------------------------------
# Representable: any header and body


# Pieces whose outcome as a template does not depend on the values filled in.
PIECES = st.sampled_from(
    [
        "{", "}", "{{", "}}", "{fence}", "{wall}", "{header}", "{x}", "{}", "{0}", "{fence!r}", "{wall!z}",
        "{header:>3}", "{wall:d}", "{fence!s:^4}", "{fence.x}", "{{fence}}", "{fence", "fence}", "\n",
        "{fence}\n", "a", "é", "𝄞", "\x1b[94m", "\x1b[0m", "\x1b[1m", "\x1b[3", "\ud800", " ",
    ]
) | st.text(CHARACTER, max_size=3)
BODIES = st.lists(PIECES, max_size=12).map("".join)
HEADERS = st.text(CHARACTER.filter(lambda c: c != "\n"), max_size=12)


@MANY
@given(header=HEADERS, body=BODIES)
def test_any_body_renders_as_str_format_fills_it_or_fails_alike(header, body):
    template = "{wall}\n{header}\n{fence}\n" + body + "\n{wall}\n"
    expected = outcome(template.format, header="H", wall="W", fence="F")
    got = outcome(str, Box(header, body))
    if isinstance(expected, type):
        assert got is expected
        return
    assert isinstance(got, str)
    wall, styled_header, fence = got.split("\n")[:3]
    assert got == template.format(header=styled_header, wall=wall, fence=fence)
    assert SGR.sub("", styled_header).strip(" ") == header.strip(" ")


@FEW
@given(header=HEADERS | ANYTHING, body=BODIES | ANYTHING)
def test_protocol_results_that_are_not_text_are_refused(header, body):
    result = outcome(str, Box(header, body))
    assert isinstance(result, str) or result in (TypeError, KeyError, IndexError, ValueError, AttributeError)
    if not isinstance(header, str) or not isinstance(body, str):
        assert result is TypeError


# ---------------------------------------------------------------------------
# Instances whose constructor never ran

# Each script makes such instances and uses them; a refusal is a TypeError. The
# scripts run in a child interpreter, so that a crash fails the test instead of
# ending the run.
UNINITIALISED = {
    "Time": """
        from astrokite.time.time import Time
        u = Time.__new__(Time)
        refused(copy=lambda: Time(u), in_list=lambda: Time([u]), less=lambda: Time(0) < u, equal=lambda: u == Time(0),
                jd=lambda: u.jd, int64=lambda: u.int64, iterate=lambda: list(u), reduce=lambda: u.__reduce__(),
                repr=lambda: repr(u))
        class Later(Time):
            def __init__(self, *args):
                pass
        refused(subclass_copy=lambda: Time(Later()), subclass_less=lambda: Later() < Time(0))
    """,
    "ELSET": """
        from astrokite.propagators.analytical.sgp4.tle import ELSET
        from astrokite.utils.representable import Representable
        # No ELSET exists unbuilt: __new__ builds it, and needs element sets.
        try:
            ELSET.__new__(ELSET)
        except AssertionError:
            pass
        else:
            raise AssertionError("ELSET.__new__ made an ELSET of nothing")
        refused(base_new=lambda: Representable.__new__(ELSET))
    """,
    "iterators": """
        from astrokite.propagators.analytical.sgp4.tle import ELSET
        from astrokite.time import time
        pairs, times, utc = (kind.__new__(kind) for kind in (ELSET._PairwiseGenerator, time.TimeIterator, time.UTC))
        refused(pairs=lambda: next(pairs), times=lambda: next(times), utc=lambda: repr(utc))
    """,
}

HARNESS = """
import faulthandler, warnings
faulthandler.enable()
warnings.simplefilter("ignore")  # nanobind warns about each refused access

def refused(**calls):
    for name, call in calls.items():
        try:
            call()
        except TypeError:
            continue
        raise AssertionError(f"not refused: {name}")
"""


@pytest.mark.parametrize("name", UNINITIALISED)
def test_instances_without_a_constructor_are_refused_not_read(name):
    script = HARNESS + textwrap.dedent(UNINITIALISED[name])
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-2000:]
