"""Reference ellipsoids of revolution."""

import math
from dataclasses import dataclass


@dataclass(frozen=True)
class Ellipsoid:
    """An oblate ellipsoid of revolution from its defining constants.

    ``a`` is the equatorial radius [m] and ``f`` the flattening; ``b`` (the
    polar radius [m]) and ``e2`` (the square of the first eccentricity) follow.
    ``WGS84``, ``WGS72`` and ``GRS80`` are the standard ones.

    Example:
        >>> import astrokite as ak
        >>> ak.WGS84.a, round(1 / ak.WGS84.f, 9), round(ak.WGS84.b, 4)  # m, -, m
        (6378137.0, 298.257223563, 6356752.3142)
        >>> ak.WGS72
        Ellipsoid(a=6378135.0, f=0.003352779454167505)
        >>> ak.Ellipsoid(6371000.0, 0.0).e2  # a sphere
        0.0
    """

    a: float
    f: float

    def __post_init__(self):
        object.__setattr__(self, "a", float(self.a))
        object.__setattr__(self, "f", float(self.f))
        if not (math.isfinite(self.a) and self.a > 0):
            raise ValueError(f"equatorial radius must be a positive finite number, got {self.a!r}")
        if not (0 <= self.f < 1):
            raise ValueError(f"flattening must lie in [0, 1), got {self.f!r}")

    @property
    def b(self) -> float:
        """Polar radius [m]: a (1 - f)."""
        return self.a * (1 - self.f)

    @property
    def e2(self) -> float:
        """Square of the first eccentricity: f (2 - f)."""
        return self.f * (2 - self.f)


WGS84 = Ellipsoid(6378137.0, 1 / 298.257223563)
WGS72 = Ellipsoid(6378135.0, 1 / 298.26)
GRS80 = Ellipsoid(6378137.0, 1 / 298.257222101)
