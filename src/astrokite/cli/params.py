"""Command-line parameter types: instants, durations and sites, checked when parsed."""

from __future__ import annotations

import math
import re

import click

_DURATION = re.compile(r"\s*([0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*(s|sec|min|m|h|hour|d|day)?\s*$")
_SECONDS = {None: 1.0, "s": 1.0, "sec": 1.0, "m": 60.0, "min": 60.0, "h": 3600.0, "hour": 3600.0,
            "d": 86400.0, "day": 86400.0}


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


class DurationType(click.ParamType):
    """A positive duration in seconds: "60", "30s", "5min", "2h" or "1d"."""

    name = "DURATION"

    def convert(self, value, param, ctx):
        if isinstance(value, float):
            return value
        match = _DURATION.match(value)
        if not match:
            self.fail(f"{value!r} is not a duration such as 60, 30s, 5min, 2h or 1d", param, ctx)
        seconds = float(match[1]) * _SECONDS[match[2]]
        if not (math.isfinite(seconds) and seconds > 0):
            self.fail(f"{value!r} must be a positive duration", param, ctx)
        return seconds


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
DURATION = DurationType()
SITE = SiteType()
