import copy
import gc
import pickle
import subprocess
import sys
import weakref

import pytest

from astrokite.propagators.analytical.keplerian.keplerian import Keplerian
from astrokite.propagators.propagators import Propagator
from astrokite.satellite.satellite import Satellite
from astrokite.state.ephemeris import COEEphemeris, StateVectorEphemeris
from astrokite.time.time import Time

EPOCH = "2023-06-01T12:00:00"
TEXTS = ["name", "description"]
PICKLE_REFUSED = "no default __reduce__ due to non-trivial __cinit__"


def incorrect_type(argument, expected, got):
    return f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"


class State:
    """A stand-in for whatever a caller keeps as the satellite's state."""


@pytest.fixture
def satellite():
    return Satellite(EPOCH, State())


class TestConstruction:
    def test_time_and_state_suffice(self, satellite):
        assert satellite.name is None and satellite.description is None
        assert satellite.propagator is None and satellite.ephemeris is None

    def test_given_values_are_kept(self):
        state, propagator, ephemeris = State(), Keplerian(), StateVectorEphemeris()
        satellite = Satellite(EPOCH, state, propagator, ephemeris, "  ISS (ZARYA) ", "\tcrewed station\n")
        assert satellite.state is state
        assert satellite.propagator is propagator
        assert satellite.ephemeris is ephemeris
        assert satellite.name == "ISS (ZARYA)"
        assert satellite.description == "crewed station"

    @pytest.mark.parametrize("value", [EPOCH, Time(EPOCH)])
    def test_time_is_built_by_time_and_kept(self, value):
        satellite = Satellite(value, None)
        assert type(satellite.time) is Time
        assert satellite.time is not value
        assert satellite.time is satellite.time
        assert satellite.time.int64 == Time(EPOCH).int64

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((EPOCH,), {}, "__init__() takes at least 2 positional arguments (1 given)"),
            ((), {"time": EPOCH, "name": "x"}, "__init__() takes at least 2 positional arguments (0 given)"),
            ((EPOCH, 1, None, None, None, None, None), {}, "__init__() takes at most 6 positional arguments (7 given)"),
            ((EPOCH, 1), {"mass": 1}, "__init__() got an unexpected keyword argument 'mass'"),
            ((EPOCH, 1), {"state": 1}, "__init__() got multiple values for argument 'state'"),
        ],
    )
    def test_argument_binding_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            Satellite(*args, **kwargs)
        assert str(excinfo.value) == message

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            (
                {"propagator": "sgp4", "ephemeris": 1, "name": 2, "description": 3},
                incorrect_type("propagator", "astrokite.propagators.propagators.Propagator", "str"),
            ),
            (
                {"ephemeris": COEEphemeris(), "name": 2, "description": 3},
                incorrect_type("ephemeris", "astrokite.state.ephemeris.StateVectorEphemeris", "COEEphemeris"),
            ),
            ({"name": b"ISS", "description": 3}, incorrect_type("name", "str", "bytes")),
            ({"name": type("Name", (str,), {})("ISS")}, incorrect_type("name", "str", "Name")),
            ({"description": 3}, incorrect_type("description", "str", "int")),
        ],
    )
    def test_checks_report_the_first_failure_in_order(self, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            Satellite(EPOCH, None, **kwargs)
        assert str(excinfo.value) == message

    def test_subclass_from_python(self):
        class Spacecraft(Satellite):
            def __init__(self, time, state, mass):
                super().__init__(time, state, name=" probe ")
                self.mass = mass

        craft = Spacecraft(EPOCH, None, 420e3)
        assert craft.mass == 420e3
        assert craft.name == "probe"


@pytest.mark.parametrize("module, name", [("astrokite.time.time", "Time"), ("astrokite.typing", "DatetimeLike")])
def test_missing_sibling_name_fails_the_import(module, name):
    # tle and astrokite.typing bind Time too, so they are loaded before the name goes.
    script = (
        f"import astrokite.propagators.analytical.sgp4.tle, astrokite.typing, {module} as sibling\n"
        f"del sibling.{name}\nimport astrokite.satellite.satellite\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    # The import fails with ImportError, caused by the ImportError of the name.
    lines = result.stderr.splitlines()
    assert lines[-1].startswith("ImportError: ")
    assert f"ImportError: cannot import name '{name}' from '{module}'" in lines


class TestTexts:
    @pytest.mark.parametrize("attribute", TEXTS)
    @pytest.mark.parametrize(
        "value, stored", [("  ISS ", "ISS"), ("\t\u2003 \n", ""), ("NOAA 19", "NOAA 19"), (None, "None")]
    )
    def test_written_text_is_converted_and_trimmed(self, satellite, attribute, value, stored):
        setattr(satellite, attribute, value)
        assert getattr(satellite, attribute) == stored

    @pytest.mark.parametrize("attribute", TEXTS)
    @pytest.mark.parametrize("value, got", [(3, "int"), (b"x", "bytes"), (type("Text", (str,), {})("x"), "Text")])
    def test_only_exact_str_or_none_is_written(self, satellite, attribute, value, got):
        setattr(satellite, attribute, "kept")
        with pytest.raises(TypeError) as excinfo:
            setattr(satellite, attribute, value)
        assert str(excinfo.value) == incorrect_type("value", "str", got)
        assert getattr(satellite, attribute) == "kept"

    @pytest.mark.parametrize("attribute", TEXTS)
    def test_delete_is_refused(self, satellite, attribute):
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(satellite, attribute)

    def test_docstrings(self):
        assert Satellite.time.__doc__ == "Satellite.time: Time"
        assert Satellite.name.__doc__ == "Satellite.name: str | None"
        assert Satellite.description.__doc__ == "Satellite.description: str | None"


class TestObjectProtocol:
    @pytest.mark.parametrize("attribute", ["time", "state", "propagator", "ephemeris"])
    def test_held_members_are_read_only(self, satellite, attribute):
        with pytest.raises(AttributeError):
            setattr(satellite, attribute, None)
        with pytest.raises(AttributeError):
            delattr(satellite, attribute)

    def test_no_instance_dictionary(self, satellite):
        with pytest.raises(AttributeError):
            satellite.mass = 1.0

    @pytest.mark.parametrize(
        "refuse",
        [pickle.dumps, copy.copy, lambda s: s.__setstate__({})],
    )
    def test_pickling_is_refused(self, satellite, refuse):
        with pytest.raises(TypeError, match=f"^{PICKLE_REFUSED}$"):
            refuse(satellite)

    def test_cycle_through_the_state_is_collected(self):
        state = State()
        state.satellite = Satellite(EPOCH, state)
        alive = weakref.ref(state)
        del state
        gc.collect()
        assert alive() is None
