import copy
import gc
import pickle
import subprocess
import sys
import weakref

import erfa
import numpy as np
import pytest

from astrokite.bodies.bodies import Earth, Moon, Sun
from astrokite.mathtools.ellipsoid.ellipsoid import WGS72, WGS84, Ellipsoid
from astrokite.scenario import scenario as scenario_module
from astrokite.scenario.scenario import Scenario
from astrokite.time.time import Time

EPOCH = "2023-06-01T12:00:00"
TEXTS = ["name", "author", "description"]
HELD = ["time", "sun", "earth", "moon", "ellipsoid", "rot_GCRF_from_ITRF"]
PICKLE_REFUSED = "no default __reduce__ due to non-trivial __cinit__"


@pytest.fixture
def scenario():
    return Scenario(EPOCH)


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


class TestConstruction:
    def test_default_ellipsoid_is_the_wgs84_object(self, scenario):
        assert scenario.ellipsoid is WGS84

    def test_ellipsoid_given_is_kept(self):
        sphere = type("Sphere", (Ellipsoid,), {})(6371e3, 0)
        assert Scenario(EPOCH, sphere).ellipsoid is sphere
        assert Scenario(ellipsoid=WGS72, time=EPOCH).ellipsoid is WGS72

    @pytest.mark.parametrize("ellipsoid, got", [(None, "NoneType"), ((6378137.0, 0.0033), "tuple")])
    def test_ellipsoid_of_other_type_is_refused(self, ellipsoid, got):
        message = (
            "Argument 'ellipsoid' has incorrect type "
            f"(expected astrokite.mathtools.ellipsoid.ellipsoid.Ellipsoid, got {got})"
        )
        with pytest.raises(TypeError) as excinfo:
            Scenario(EPOCH, ellipsoid)
        assert str(excinfo.value) == message

    @pytest.mark.parametrize("value", [EPOCH, Time(EPOCH)])
    def test_time_is_always_built_by_time(self, value):
        scenario = Scenario(value)
        assert type(scenario.time) is Time
        assert scenario.time is not value
        assert scenario.time.int64 == Time(EPOCH).int64

    def test_bodies_are_built_from_the_scenarios_time(self, scenario):
        for body, kind in [(scenario.sun, Sun), (scenario.moon, Moon), (scenario.earth, Earth)]:
            assert type(body) is kind
            assert body.time is scenario.time

    def test_time_errors_propagate(self):
        with pytest.raises(ValueError):
            Scenario("not a date")

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "__init__() takes at least 1 positional argument (0 given)"),
            ((EPOCH, WGS84, 1), {}, "__init__() takes at most 2 positional arguments (3 given)"),
            ((EPOCH,), {"frame": 1}, "__init__() got an unexpected keyword argument 'frame'"),
            ((EPOCH,), {"time": EPOCH}, "__init__() got multiple values for argument 'time'"),
        ],
    )
    def test_argument_binding_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            Scenario(*args, **kwargs)
        assert str(excinfo.value) == message

    def test_subclass_from_python(self):
        class Mission(Scenario):
            pass

        mission = Mission(EPOCH)
        mission.label = "survey"  # a Python subclass has its own instance dictionary
        assert mission.ellipsoid is WGS84 and isinstance(mission.time, Time)


@pytest.mark.parametrize(
    "module, name", [("astrokite.frames.rotations", "rot_GCRF_from_ITRF"), ("astrokite.typing", "DatetimeLike")]
)
def test_missing_sibling_name_fails_the_import(module, name):
    script = f"import {module} as sibling\ndel sibling.{name}\nimport astrokite.scenario.scenario\n"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    # The import fails with ImportError, caused by the ImportError of the name.
    lines = result.stderr.splitlines()
    assert lines[-1].startswith("ImportError: ")
    assert f"ImportError: cannot import name '{name}' from '{module}'" in lines


class TestTexts:
    @pytest.mark.parametrize("attribute", TEXTS)
    def test_write_read_and_none(self, scenario, attribute):
        assert getattr(scenario, attribute) == "None"
        setattr(scenario, attribute, "  LEO survey ")
        assert getattr(scenario, attribute) == "  LEO survey "
        setattr(scenario, attribute, None)
        assert getattr(scenario, attribute) == "None"

    @pytest.mark.parametrize("attribute", TEXTS)
    @pytest.mark.parametrize("value, got", [(3, "int"), (b"x", "bytes"), (type("Text", (str,), {})("x"), "Text")])
    def test_only_exact_str_or_none_is_written(self, scenario, attribute, value, got):
        setattr(scenario, attribute, "kept")
        with pytest.raises(TypeError) as excinfo:
            setattr(scenario, attribute, value)
        assert str(excinfo.value) == f"Argument 'value' has incorrect type (expected str, got {got})"
        assert getattr(scenario, attribute) == "kept"

    @pytest.mark.parametrize("attribute", TEXTS)
    def test_delete_is_refused(self, scenario, attribute):
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(scenario, attribute)

    def test_docstrings(self):
        assert Scenario.rot_GCRF_from_ITRF.__doc__ == "Scenario.rot_GCRF_from_ITRF: numpy.ndarray"
        for attribute in TEXTS:
            assert getattr(Scenario, attribute).__doc__ == f"Scenario.{attribute}: str"
        for attribute in ["time", "sun", "earth", "moon", "ellipsoid"]:
            assert getattr(Scenario, attribute).__doc__ is None


class TestRotation:
    def test_computed_once_and_cached(self, scenario, calls):
        calls.result = np.eye(3)
        first = scenario.rot_GCRF_from_ITRF
        assert scenario.rot_GCRF_from_ITRF is first is calls.result
        assert len(calls) == 1 and calls[0] is scenario.time

    def test_none_is_returned_and_not_cached(self, scenario, calls):
        assert scenario.rot_GCRF_from_ITRF is None
        assert scenario.rot_GCRF_from_ITRF is None
        assert len(calls) == 2

    @pytest.mark.parametrize("result, name", [([[1.0, 0, 0], [0, 1, 0], [0, 0, 1]], "list"), (1.0, "float")])
    def test_other_result_is_refused_and_not_cached(self, scenario, calls, result, name):
        calls.result = result
        with pytest.raises(TypeError) as excinfo:
            scenario.rot_GCRF_from_ITRF
        assert str(excinfo.value) == f"Cannot convert {name} to numpy.ndarray"
        calls.result = np.eye(3)
        assert scenario.rot_GCRF_from_ITRF is calls.result
        assert len(calls) == 2

    @pytest.mark.parametrize("when", ["2000-01-01T12:00", EPOCH, "2024-12-31T23:59:59.5"])
    def test_agrees_with_pyerfa(self, when):
        scenario = Scenario(when)
        days, nanoseconds = divmod(int(scenario.time.int64), 86_400 * 10**9)
        utc = (2440587.5 + days, nanoseconds / (86_400 * 10**9))
        tt = erfa.taitt(*erfa.utctai(*utc))
        expected = erfa.c2t06a(*tt, *utc, 0.0, 0.0).T  # UT1 = UTC, no polar motion
        rotation = scenario.rot_GCRF_from_ITRF
        assert isinstance(rotation, np.ndarray) and rotation.shape == (3, 3)
        np.testing.assert_allclose(rotation, expected, rtol=0, atol=1e-14)
        np.testing.assert_allclose(rotation @ rotation.T, np.eye(3), rtol=0, atol=1e-14)


class TestObjectProtocol:
    @pytest.mark.parametrize("attribute", HELD)
    def test_held_members_are_read_only(self, scenario, attribute):
        with pytest.raises(AttributeError):
            setattr(scenario, attribute, None)
        with pytest.raises(AttributeError):
            delattr(scenario, attribute)

    def test_no_instance_dictionary(self, scenario):
        with pytest.raises(AttributeError):
            scenario.label = "x"

    @pytest.mark.parametrize(
        "refuse",
        [pickle.dumps, copy.copy, lambda s: s.__setstate__({})],
    )
    def test_pickling_is_refused(self, scenario, refuse):
        with pytest.raises(TypeError, match=f"^{PICKLE_REFUSED}$"):
            refuse(scenario)

    def test_cycle_through_a_body_is_collected(self):
        scenario = Scenario(EPOCH)
        scenario.sun.scenario = scenario
        sun = weakref.ref(scenario.sun)
        del scenario
        gc.collect()
        assert sun() is None
