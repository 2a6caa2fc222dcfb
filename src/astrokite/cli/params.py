"""Command-line parameter types: instants, durations and sites, checked when parsed."""

from __future__ import annotations

import math
import re

import click

_NUMBER_AND_UNIT = r"\s*([0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*({})?\s*$"


class InstantType(click.ParamType):
    """An ISO 8601 instant in UTC ("2023-03-01", "2023-03-01T12:00:00Z"), read as a ``Time``."""

    name = "TIME"

    def convert(self, value, param, ctx):
        from astrokite.time.time import Time

        if not isinstance(value, str):
            return value
        try:
            return Time(value)
        except (TypeError, ValueError):
            self.fail(f"{value!r} is not an ISO 8601 date and time (e.g. 2023-03-01T12:00:00Z)", param, ctx)


class QuantityType(click.ParamType):
    """A positive number with an optional unit, converted to the base unit by ``factors`` (the
    factor of each unit; None for a bare number)."""

    def __init__(self, name: str, kind: str, factors: dict, examples: str):
        self.name, self.kind, self.factors, self.examples = name, kind, factors, examples
        units = "|".join(sorted((unit for unit in factors if unit), key=len, reverse=True))
        self.pattern = re.compile(_NUMBER_AND_UNIT.format(units))

    def convert(self, value, param, ctx):
        if isinstance(value, float):
            return value
        match = self.pattern.match(value)
        if not match:
            self.fail(f"{value!r} is not a {self.kind} such as {self.examples}", param, ctx)
        amount = float(match[1]) * self.factors[match[2]]
        if not (math.isfinite(amount) and amount > 0):
            self.fail(f"{value!r} must be a positive {self.kind}", param, ctx)
        return amount


class SiteType(click.ParamType):
    """An observing site as "LAT,LON[,ALT]": geodetic degrees and metres above the WGS84 ellipsoid.

    Gives (latitude [rad], longitude [rad], altitude [m]).
    """

    name = "LAT,LON[,ALT]"

    def convert(self, value, param, ctx):
        if isinstance(value, tuple):
            return value
        parts = value.split(",")
        if len(parts) not in (2, 3):
            self.fail(f"{value!r} is not LAT,LON or LAT,LON,ALT (degrees, degrees, metres)", param, ctx)
        try:
            lat, lon, alt = (float(p) for p in parts + ["0"] * (3 - len(parts)))
        except ValueError:
            self.fail(f"{value!r}: latitude, longitude and altitude must be numbers", param, ctx)
        if not all(map(math.isfinite, (lat, lon, alt))):
            self.fail(f"{value!r}: latitude, longitude and altitude must be finite", param, ctx)
        if not -90.0 <= lat <= 90.0:
            self.fail(f"latitude {lat:g} deg lies outside [-90, 90]", param, ctx)
        return math.radians(lat), math.radians(lon), alt


INSTANT = InstantType()
#: A positive duration in seconds: "60", "30s", "5min", "2h" or "1d".
DURATION = QuantityType("DURATION", "duration", {None: 1.0, "s": 1.0, "sec": 1.0, "m": 60.0, "min": 60.0,
                                                 "h": 3600.0, "hour": 3600.0, "d": 86400.0, "day": 86400.0},
                        "60, 30s, 5min, 2h or 1d")
#: A positive distance in metres: "5000", "5000m" or "5km".
DISTANCE = QuantityType("DISTANCE", "distance", {None: 1.0, "m": 1.0, "km": 1000.0}, "5km or 500m")
SITE = SiteType()
