import numpy as np
import pytest

from astrokite.frames.frames import TEME
from astrokite.propagators.analytical.keplerian.keplerian import Keplerian
from astrokite.satellite.satellite import Satellite
from astrokite.state.ephemeris import COEEphemeris, StateVectorEphemeris
from astrokite.time.time import Time

EPOCH = "2023-06-01T12:00:00"


def incorrect_type(argument, expected, got):
    return f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"


class State:
    """A stand-in for whatever a caller keeps as the satellite's state."""


def test_time_and_state_suffice():
    satellite = Satellite(EPOCH, State())
    assert satellite.name is None and satellite.description is None
    assert satellite.propagator is None and satellite.ephemeris is None


def test_given_values_are_kept_and_texts_trimmed():
    state, propagator, ephemeris = State(), Keplerian(), StateVectorEphemeris(Time(EPOCH), np.zeros((1, 1, 3)), frame=TEME)
    satellite = Satellite(EPOCH, state, propagator, ephemeris, "  ISS (ZARYA) ", "\tcrewed station\n")
    assert satellite.state is state and satellite.propagator is propagator and satellite.ephemeris is ephemeris
    assert (satellite.name, satellite.description) == ("ISS (ZARYA)", "crewed station")


@pytest.mark.parametrize("value", [EPOCH, Time(EPOCH)])
def test_time_is_built_by_time_and_kept(value):
    satellite = Satellite(value, None)
    assert type(satellite.time) is Time and satellite.time is not value and satellite.time is satellite.time
    assert satellite.time.int64 == Time(EPOCH).int64


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((EPOCH,), {}, "__init__() takes at least 2 positional arguments (1 given)"),
        ((), {"time": EPOCH, "name": "x"}, "__init__() takes at least 2 positional arguments (0 given)"),
        ((EPOCH, 1, None, None, None, None, None), {}, "__init__() takes at most 6 positional arguments (7 given)"),
        ((EPOCH, 1), {"mass": 1}, "__init__() got an unexpected keyword argument 'mass'"),
        ((EPOCH, 1), {"state": 1}, "__init__() got multiple values for argument 'state'"),
        # Argument checks report the first failure, in argument order.
        ((EPOCH, None), {"propagator": "sgp4", "ephemeris": 1, "name": 2, "description": 3},
         incorrect_type("propagator", "astrokite.propagators.propagators.Propagator", "str")),
        ((EPOCH, None), {"ephemeris": COEEphemeris(), "name": 2, "description": 3},
         incorrect_type("ephemeris", "astrokite.state.ephemeris.StateVectorEphemeris", "COEEphemeris")),
        ((EPOCH, None), {"name": b"ISS", "description": 3}, incorrect_type("name", "str", "bytes")),
        ((EPOCH, None), {"name": type("Name", (str,), {})("ISS")}, incorrect_type("name", "str", "Name")),
        ((EPOCH, None), {"description": 3}, incorrect_type("description", "str", "int")),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as error:
        Satellite(*args, **kwargs)
    assert str(error.value) == message


def test_subclass_with_a_constructor_of_its_own():
    class Spacecraft(Satellite):
        def __init__(self, time, state, mass):
            super().__init__(time, state, name=" probe ")
            self.mass = mass

    craft = Spacecraft(EPOCH, None, 420e3)
    assert (craft.mass, craft.name) == (420e3, "probe")


@pytest.mark.parametrize("attribute", ["name", "description"])
@pytest.mark.parametrize("value, stored", [("  ISS ", "ISS"), ("\t\u2003 \n", ""), (None, "None")])
def test_written_text_is_converted_and_trimmed(attribute, value, stored):
    satellite = Satellite(EPOCH, State())
    setattr(satellite, attribute, value)
    assert getattr(satellite, attribute) == stored
