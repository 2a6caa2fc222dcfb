import erfa
import numpy as np
import pytest

from astrokite import eop
from astrokite.frames import frames
from astrokite.frames.rotations import rot_GCRF_from_ITRF
from astrokite.time.time import Time


@pytest.mark.parametrize("name, frame_type", [("GCRF", frames._GCRF), ("ITRF", frames._ITRF),
                                              ("TEME", frames._TEME)])
def test_frame_instances(name, frame_type):
    frame = getattr(frames, name)
    assert type(frame) is frame_type
    assert isinstance(frame, frames.Frame)
    assert frame.name == name


INSTANTS = [
    (2000, 1, 1, 12, 0, 0.0),
    (2016, 12, 31, 23, 59, 59.5),  # just before a leap second
    (2017, 1, 1, 0, 0, 0.25),
    (2023, 3, 5, 12, 0, 7.25),
    (2024, 2, 29, 18, 45, 0.0),
]


def iso(year, month, day, hour, minute, second):
    return f"{year:04d}-{month:02d}-{day:02d}T{hour:02d}:{minute:02d}:{second:012.9f}"


def erfa_itrf_to_gcrf(instant):
    # UT1 - UTC and the pole of the table in force; TT from UTC through erfa's leap-second table.
    utc = erfa.dtf2d("UTC", *instant)
    tt = erfa.taitt(*erfa.utctai(*utc))
    ut1_utc, xp, yp = eop.orientation(Time(iso(*instant)).int64)[0]
    ut1 = erfa.utcut1(*utc, ut1_utc)
    return erfa.c2t06a(*tt, *ut1, xp, yp).T


@pytest.mark.parametrize("instant", INSTANTS)
def test_rotation_is_the_transpose_of_erfa_c2t06a(instant):
    rotation = rot_GCRF_from_ITRF(Time(iso(*instant)))
    assert type(rotation) is np.ndarray and rotation.shape == (3, 3)
    np.testing.assert_allclose(rotation, erfa_itrf_to_gcrf(instant), rtol=0, atol=1e-15)
    np.testing.assert_allclose(rotation @ rotation.T, np.eye(3), rtol=0, atol=1e-15)
    assert np.linalg.det(rotation) == pytest.approx(1.0, abs=1e-15)


def test_array_time_gives_a_stack_of_rotations():
    rotations = rot_GCRF_from_ITRF(Time([iso(*instant) for instant in INSTANTS]))
    assert rotations.shape == (len(INSTANTS), 3, 3)
    for rotation, instant in zip(rotations, INSTANTS):
        np.testing.assert_allclose(rotation, erfa_itrf_to_gcrf(instant), rtol=0, atol=1e-15)


def test_rotation_follows_the_earth_turning():
    # Over one sidereal day the Earth-fixed frame comes back to where it was,
    # up to precession and nutation; over half of one its x axis turns round.
    sday_ns = int(86164.0905e9)
    start = Time("2023-03-05T00:00").int64
    r0, r_half, r_full = rot_GCRF_from_ITRF(Time(np.array([start, start + sday_ns // 2, start + sday_ns])))
    assert np.dot(r0[:, 0], r_full[:, 0]) > 1 - 1e-9
    assert np.dot(r0[:, 0], r_half[:, 0]) < -0.99
    # The Earth's axis stays put (within precession since 2000).
    assert r0[2, 2] > np.cos(np.radians(0.2))


def test_bulk_conversions_split_across_threads_give_the_values_of_one_row_at_a_time():
    """Large arrays are split across threads at arbitrary samples; each value is
    the one a small (single-threaded) call gives, bit for bit."""
    import numpy as np

    from astrokite.frames.frames import GCRF, ITRF, TEME
    from astrokite.state.ephemeris import StateVectorEphemeris
    from astrokite.time.time import Time

    rng = np.random.default_rng(5)
    m, n = 61, 1201  # rows that do not divide evenly between threads
    position = rng.normal(size=(m, n, 3)) * 7e6
    velocity = rng.normal(size=(m, n, 3)) * 7e3
    time = Time(Time("2023-07-01").int64 + np.arange(n) * 61 * 10**9)
    whole = StateVectorEphemeris(time, position, velocity, frame=TEME)
    for row in (0, 30, 60):
        one = StateVectorEphemeris(time, position[row:row + 1], velocity[row:row + 1], frame=TEME)
        assert np.array_equal(whole.lla()[row], one.lla()[0])
        for frame in (ITRF, GCRF):
            a, b = whole.to(frame), one.to(frame)
            assert np.array_equal(a.position[row], b.position[0]) and np.array_equal(a.velocity[row], b.velocity[0])
            assert np.array_equal(a.lla()[row], b.lla()[0])
