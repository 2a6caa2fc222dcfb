import erfa
import numpy as np
import pytest

from astrokite import eop
from astrokite.bodies.bodies import Earth, Moon, Sun
from astrokite.mathtools.ellipsoid.ellipsoid import WGS72, WGS84, Ellipsoid
from astrokite.scenario import scenario as scenario_module
from astrokite.scenario.scenario import Scenario
from astrokite.time.time import Time

EPOCH = "2023-06-01T12:00:00"


@pytest.fixture
def calls(monkeypatch):
    """Replace the module's rotation function by one that records its calls and
    returns what the test puts in `calls.result`."""

    class Calls(list):
        result = None

    recorded = Calls()

    def rotation(time):
        recorded.append(time)
        return recorded.result

    monkeypatch.setattr(scenario_module, "rot_GCRF_from_ITRF", rotation)
    return recorded


@pytest.mark.parametrize("value", [EPOCH, Time(EPOCH)])
def test_time_bodies_and_default_ellipsoid(value):
    scenario = Scenario(value)
    assert type(scenario.time) is Time and scenario.time is not value
    assert scenario.time.int64 == Time(EPOCH).int64
    for body, kind in [(scenario.sun, Sun), (scenario.moon, Moon), (scenario.earth, Earth)]:
        assert type(body) is kind and body.time is scenario.time
    assert scenario.ellipsoid is WGS84
    with pytest.raises(ValueError):
        Scenario("not a date")


def test_ellipsoid_given_is_kept():
    sphere = type("Sphere", (Ellipsoid,), {})(6371e3, 0)
    assert Scenario(EPOCH, sphere).ellipsoid is sphere
    assert Scenario(ellipsoid=WGS72, time=EPOCH).ellipsoid is WGS72


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "__init__() takes at least 1 positional argument (0 given)"),
        ((EPOCH, WGS84, 1), {}, "__init__() takes at most 2 positional arguments (3 given)"),
        ((EPOCH,), {"frame": 1}, "__init__() got an unexpected keyword argument 'frame'"),
        ((EPOCH,), {"time": EPOCH}, "__init__() got multiple values for argument 'time'"),
        ((EPOCH, None), {}, "Argument 'ellipsoid' has incorrect type "
                            "(expected astrokite.mathtools.ellipsoid.ellipsoid.Ellipsoid, got NoneType)"),
        ((EPOCH, (6378137.0, 0.0033)), {}, "Argument 'ellipsoid' has incorrect type "
                                           "(expected astrokite.mathtools.ellipsoid.ellipsoid.Ellipsoid, got tuple)"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as error:
        Scenario(*args, **kwargs)
    assert str(error.value) == message


@pytest.mark.parametrize("attribute", ["name", "author", "description"])
def test_texts_read_none_as_the_text_none(attribute):
    scenario = Scenario(EPOCH)
    assert getattr(scenario, attribute) == "None"
    setattr(scenario, attribute, "  LEO survey ")
    assert getattr(scenario, attribute) == "  LEO survey "
    setattr(scenario, attribute, None)
    assert getattr(scenario, attribute) == "None"


class TestRotation:
    def test_computed_once_and_cached(self, calls):
        scenario = Scenario(EPOCH)
        calls.result = np.eye(3)
        first = scenario.rot_GCRF_from_ITRF
        assert scenario.rot_GCRF_from_ITRF is first is calls.result
        assert len(calls) == 1 and calls[0] is scenario.time

    def test_none_is_returned_and_not_cached(self, calls):
        scenario = Scenario(EPOCH)
        assert scenario.rot_GCRF_from_ITRF is None
        assert scenario.rot_GCRF_from_ITRF is None
        assert len(calls) == 2

    @pytest.mark.parametrize("result, name", [([[1.0, 0, 0], [0, 1, 0], [0, 0, 1]], "list"), (1.0, "float")])
    def test_other_result_is_refused_and_not_cached(self, calls, result, name):
        scenario = Scenario(EPOCH)
        calls.result = result
        with pytest.raises(TypeError) as error:
            scenario.rot_GCRF_from_ITRF
        assert str(error.value) == f"Cannot convert {name} to numpy.ndarray"
        calls.result = np.eye(3)
        assert scenario.rot_GCRF_from_ITRF is calls.result
        assert len(calls) == 2

    def test_initialising_again_drops_the_rotation_of_the_old_time(self, calls):
        scenario = Scenario(EPOCH)
        calls.result = np.eye(3)
        scenario.rot_GCRF_from_ITRF
        scenario.name = "kept"
        scenario.__init__("2024-01-01")
        with pytest.raises(ValueError):
            scenario.__init__("not a date")  # fails before anything changes
        assert scenario.time == Time("2024-01-01") and scenario.name == "kept"
        assert scenario.rot_GCRF_from_ITRF is calls.result
        assert len(calls) == 2 and calls[1] is scenario.time

    def test_agrees_with_pyerfa(self):
        scenario = Scenario(EPOCH)
        days, nanoseconds = divmod(int(scenario.time.int64), 86_400 * 10**9)
        utc = (2440587.5 + days, nanoseconds / (86_400 * 10**9))
        tt = erfa.taitt(*erfa.utctai(*utc))
        ut1_utc, xp, yp = eop.orientation(scenario.time.int64)[0]
        expected = erfa.c2t06a(*tt, *erfa.utcut1(*utc, ut1_utc), xp, yp).T
        np.testing.assert_allclose(scenario.rot_GCRF_from_ITRF, expected, rtol=0, atol=1e-14)
