"""Sunlight and the Earth's shadow: sunlit fractions and eclipses."""

from astrokite.lighting.brightness import DARK, magnitude, sun_elevation
from astrokite.lighting.crossings import EclipseTable, eclipses, find_eclipses
from astrokite.lighting.sunlight import illumination, sun_position

__all__ = ["DARK", "EclipseTable", "eclipses", "find_eclipses", "illumination", "magnitude", "sun_elevation",
           "sun_position"]
