"""Sunlight and the Earth's shadow: sunlit fractions and eclipses."""

from astrokite.lighting.crossings import EclipseTable, eclipses, find_eclipses
from astrokite.lighting.sunlight import illumination, sun_position

__all__ = ["EclipseTable", "eclipses", "find_eclipses", "illumination", "sun_position"]
