"""astrokite: satellite element sets, their histories, propagation and where satellites are.

The names users reach for live at the top level::

    >>> import astrokite as ak
    >>> iss = ak.read_tle("data/iss.tle")[25544]
    >>> states = ak.SGP4(iss).propagate(ak.Time("2023-03-01T12:00"))

Each is imported on first use, so ``import astrokite`` stays light: NumPy,
pandas and the native extensions load only when a name that needs them is
asked for.
"""

import importlib

# typing.TYPE_CHECKING without importing typing; checkers read the name the same way.
TYPE_CHECKING = False

# The one place the version is written; the build reads it from here into the
# package metadata, so an installed wheel and the in-place developer tree agree.
__version__ = "0.1.0"

# Public name -> module that defines it.
_LAZY = {
    "TLE": "astrokite.propagators.analytical.sgp4.tle",
    "ELSET": "astrokite.propagators.analytical.sgp4.tle",
    "Time": "astrokite.time.time",
    "read_tle": "astrokite.catalogue",
    "parse_tle": "astrokite.catalogue",
    "write_tle": "astrokite.catalogue",
    "read_omm": "astrokite.catalogue",
    "write_omm": "astrokite.catalogue",
    "Catalogue": "astrokite.catalogue",
    "SGP4": "astrokite.propagators.analytical.sgp4.sgp4",
    "Site": "astrokite.sites",
    "PassTable": "astrokite.sites",
    "illumination": "astrokite.lighting",
    "eclipses": "astrokite.lighting",
    "EclipseTable": "astrokite.lighting",
    "screen": "astrokite.conjunctions",
    "ConjunctionTable": "astrokite.conjunctions",
    "StateVectorEphemeris": "astrokite.state.ephemeris",
    "TEME": "astrokite.frames.frames",
    "ITRF": "astrokite.frames.frames",
    "GCRF": "astrokite.frames.frames",
    "Ellipsoid": "astrokite.mathtools.ellipsoid.ellipsoid",
    "WGS84": "astrokite.mathtools.ellipsoid.ellipsoid",
    "WGS72": "astrokite.mathtools.ellipsoid.ellipsoid",
    "GRS80": "astrokite.mathtools.ellipsoid.ellipsoid",
}

__all__ = sorted(_LAZY) + ["__version__"]


def __getattr__(name: str):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'astrokite' has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value  # later lookups skip this function
    return value


def __dir__() -> list[str]:
    return list(__all__)


if TYPE_CHECKING:  # what type checkers and editors see; never run
    from astrokite.catalogue import Catalogue, parse_tle, read_omm, read_tle, write_omm, write_tle
    from astrokite.frames.frames import GCRF, ITRF, TEME
    from astrokite.lighting import EclipseTable, eclipses, illumination
    from astrokite.mathtools.ellipsoid.ellipsoid import GRS80, WGS72, WGS84, Ellipsoid
    from astrokite.propagators.analytical.sgp4.sgp4 import SGP4
    from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE
    from astrokite.sites import PassTable, Site
    from astrokite.state.ephemeris import StateVectorEphemeris
    from astrokite.time.time import Time
