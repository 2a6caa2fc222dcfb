import erfa
import numpy as np
import pytest

from astrokite.bodies.bodies import CelestialBody, Earth, Moon, Sun
from astrokite.time.time import Time

AU = 1.495978707e11


def minutes(start, stop, step_minutes):
    """An array-valued Time from start (inclusive) to stop (exclusive)."""
    counts = np.arange(np.datetime64(start, "ns"), np.datetime64(stop, "ns"),
                       np.timedelta64(step_minutes, "m")).astype(np.int64)
    return Time(counts)


def distances(body):
    return np.linalg.norm(body.position, axis=-1)


def test_constants_are_read_from_the_types():
    assert Earth.GM == 3.986004418e14 and Earth.Re == 6378137.0
    for body in (Earth, Sun, Moon):
        assert issubclass(body, CelestialBody)
        assert type(body.GM) is float and type(body.Re) is float
    assert Sun.GM > 3e5 * Earth.GM > Earth.GM > 80 * Moon.GM
    assert Sun.Re > 100 * Earth.Re > Earth.Re > 3 * Moon.Re


@pytest.mark.parametrize("body", [Earth, Sun, Moon])
def test_body_holds_its_time_and_a_position_per_instant(body):
    instant = Time("2023-03-05T12:00")
    scalar = body(instant)
    assert scalar.time is instant
    assert scalar.position.shape == (3,)

    times = minutes("2023-03-05", "2023-03-06", 360)
    array = body(times)
    assert array.position.shape == (4, 3)
    assert array.position[2] == pytest.approx(scalar.position, abs=1e-3)


def test_earth_is_at_the_origin():
    assert np.all(Earth(Time("2023-01-01")).position == 0.0)


def test_sun_distance_over_a_year():
    sun = Sun(minutes("2023-01-01", "2024-01-01", 24 * 60))
    assert np.all((distances(sun) > 0.983 * AU) & (distances(sun) < 1.017 * AU))


@pytest.mark.parametrize(
    "start, stop, published_km, find",
    [
        # Perihelion 2023-01-04 16:17 UTC at 147,098,925 km, aphelion 2023-07-06
        # 20:06 UTC at 152,093,251 km (published almanac values).
        ("2023-01-04T13:00", "2023-01-04T20:00", 147_098_925, np.argmin),
        ("2023-07-06T17:00", "2023-07-07T00:00", 152_093_251, np.argmax),
    ],
)
def test_sun_at_perihelion_and_aphelion(start, stop, published_km, find):
    d = distances(Sun(minutes(start, stop, 1)))
    # The distance is flat around the extremum: its value is precise, its time less so.
    assert d[find(d)] == pytest.approx(published_km * 1e3, abs=20e3)
    assert 60 < find(d) < 360


def test_moon_distance_over_months():
    moon = Moon(minutes("2023-01-01", "2023-07-01", 60))
    assert np.all((distances(moon) > 356_000e3) & (distances(moon) < 407_000e3))


def test_moon_at_a_close_perigee():
    # Perigee of 2023-01-21 20:57 UTC at 356,568 km (published almanac value).
    d = distances(Moon(minutes("2023-01-21T18:00", "2023-01-22T00:00", 1)))
    assert d.min() == pytest.approx(356_568e3, abs=20e3)
    assert 120 < np.argmin(d) < 240


def test_sun_agrees_with_erfa_for_the_same_tt():
    jd = erfa.taitt(*erfa.utctai(*erfa.dtf2d("UTC", 2023, 5, 4, 6, 30, 15.5)))
    earth_heliocentric, _ = erfa.epv00(*jd)
    sun = Sun(Time("2023-05-04T06:30:15.5"))
    assert sun.position == pytest.approx(-earth_heliocentric["p"] * AU, rel=1e-14)


def test_base_class_has_no_position():
    with pytest.raises(NotImplementedError):
        CelestialBody(Time("2023-01-01"))
