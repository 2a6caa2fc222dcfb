"""Ground sites: where they are, what they see."""

from __future__ import annotations

import math

import numpy as np

from astrokite.datamodel.structured import AER_dtype, ENU_dtype
from astrokite.frames import frames, transforms
from astrokite.mathtools.ellipsoid.ellipsoid import WGS84


def _surface_radius(lat: float, ellipsoid) -> float:
    """Distance [m] from the Earth's centre of the ellipsoid's surface at geodetic latitude `lat`."""
    sin, cos = math.sin(lat), math.cos(lat)
    normal = ellipsoid.a / math.sqrt(1 - ellipsoid.e2 * sin * sin)  # prime vertical radius
    return math.hypot(normal * cos, normal * (1 - ellipsoid.e2) * sin)


class Site:
    """A place on the Earth: geodetic latitude and longitude [rad] and height [m]
    above ``ellipsoid`` (any ``Ellipsoid``, WGS84 by default), with an optional name.

    Attributes ``position`` (its ITRF position [m]) and ``enu`` (its east, north
    and up axes in ITRF, one ``ENU_dtype`` record) follow from the coordinates.
    Latitudes outside [-pi/2, pi/2], longitudes outside [-2 pi, 2 pi] (degrees
    given for radians), heights that reach the Earth's centre and non-finite
    coordinates are a ValueError.
    ``look`` gives azimuth, elevation [rad], range [m] and range rate [m/s] of an
    ephemeris, ``passes`` the passes over the site.

    Example:
        >>> import astrokite as ak, math
        >>> paris = ak.Site(math.radians(48.8566), math.radians(2.3522), 35.0, name="Paris")
        >>> paris.position.round(1)  # ITRF [m]
        array([4200937.8,  172560.7, 4780107.7])
        >>> iss = ak.read_tle("data/iss.tle")[25544]
        >>> aer, range_rate = paris.look(ak.SGP4(iss).propagate(ak.Time("2023-03-01T03:09:12")))
        >>> round(math.degrees(aer["elevation"][0, 0]), 1), round(float(aer["range"][0, 0]) / 1e3, 1)  # deg, km
        (88.6, 420.3)
    """

    def __init__(self, lat: float, lon: float, alt: float = 0.0, ellipsoid=WGS84, name: str | None = None):
        lat, lon, alt = float(lat), float(lon), float(alt)
        if not all(map(math.isfinite, (lat, lon, alt))):
            raise ValueError(f"site coordinates must be finite, got lat={lat!r}, lon={lon!r}, alt={alt!r}")
        if abs(lat) > math.pi / 2:
            raise ValueError(f"site latitude must lie within +-pi/2 rad (+-90 deg), got {lat!r} rad")
        if abs(lon) > 2 * math.pi:
            raise ValueError(f"site longitude must lie within +-2 pi rad (+-360 deg), got {lon!r} rad: "
                             f"angles are in radians")
        radius = _surface_radius(lat, ellipsoid)
        if alt <= -radius:
            raise ValueError(f"site height {alt!r} m puts it at or below the Earth's centre "
                             f"(the surface is {radius:.1f} m from the centre there)")
        self.lat, self.lon, self.alt = lat, lon, alt
        self.ellipsoid = ellipsoid
        self.name = name
        self.position, axes = transforms.site_frame(lat, lon, alt, ellipsoid.a, ellipsoid.f)
        self.enu = np.zeros((), ENU_dtype)
        self.enu["u_east"], self.enu["u_north"], self.enu["u_up"] = axes

    def __repr__(self) -> str:
        name = f"{self.name!r}, " if self.name else ""
        return (f"<Site {name}lat {math.degrees(self.lat):.6f} deg, lon {math.degrees(self.lon):.6f} deg, "
                f"alt {self.alt:.1f} m>")

    def look(self, ephemeris) -> tuple[np.ndarray, np.ndarray]:
        """Look angles of every sample of a ``StateVectorEphemeris`` (any frame).

        Returns ``(aer, range_rate)``: an ``AER_dtype`` array of shape
        (satellites, times) with the azimuth [rad, from north through east, in
        [0, 2 pi)], the elevation [rad] and the range [m]; and the range rate
        [m/s] of the same shape (NaN when the ephemeris has no velocity).
        Failed samples give NaN.
        """
        itrf = ephemeris.to(frames.ITRF)
        velocity = None if itrf.velocity is None else np.ascontiguousarray(itrf.velocity)
        columns, range_rate = transforms.look(self.lat, self.lon, self.alt, self.ellipsoid.a, self.ellipsoid.f,
                                              np.ascontiguousarray(itrf.position), velocity)
        aer = np.empty(columns.shape[:-1], AER_dtype)
        aer["azimuth"], aer["elevation"], aer["range"] = columns[..., 0], columns[..., 1], columns[..., 2]
        return aer, range_rate

    def doppler(self, ephemeris, frequency: float):
        """The Doppler shift here of a carrier of ``frequency`` [Hz] sent by the
        satellites of ``ephemeris``: a ``Doppler`` of ``range_rate`` [m/s, positive
        away], ``received`` and ``shift`` [Hz, positive approaching], each of shape
        (satellites, times). See ``astrokite.sites.doppler.doppler``."""
        from astrokite.sites.doppler import doppler

        return doppler(self, ephemeris, frequency)

    def passes(self, source, start, stop, min_elevation: float = 0.0, *, step: float = 1200.0,
               visibility: bool = True, visible_only: bool = False):
        """Every pass of the satellites of ``source`` above ``min_elevation`` [rad]
        between ``start`` and ``stop`` (anything ``Time`` takes).

        ``source``: a ``TLE``, an ``ELSET``, a ``Catalogue``, a list of these, or
        an ``SGP4``; states come from SGP4. Returns a ``PassTable``. ``step`` [s]
        is the spacing of the first common sampling; it sets the cost only, not
        which passes are found (see ``find_passes``). With ``visibility`` the
        table carries sunlight, the Sun's elevation, range rates and the
        visible part of each pass; ``visible_only`` keeps only the passes with
        a visible part (satellite sunlit, the Sun here below -6 degrees).
        """
        from astrokite.sites.passes import find_passes, sgp4_states

        return find_passes(self, sgp4_states(source), start, stop, min_elevation, step=step,
                           visibility=visibility, visible_only=visible_only)
