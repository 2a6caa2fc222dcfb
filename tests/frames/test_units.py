import math

import pytest

from astrokite.units import units


@pytest.mark.parametrize(
    "name, value",
    [
        ("rad", 1.0), ("deg", math.pi / 180), ("rev", 2 * math.pi),
        ("m", 1.0), ("km", 1000.0), ("kg", 1.0),
        ("s", 1.0), ("sec", 1.0), ("second", 1.0),
        ("minute", 60.0), ("hour", 3600.0), ("day", 86400.0), ("sday", 86164.0905),
    ],
)
def test_factor_is_the_unit_in_base_units(name, value):
    factor = getattr(units, name)
    assert type(factor) is float
    assert factor == value

