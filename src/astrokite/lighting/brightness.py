"""Whether and how brightly a site sees a satellite: the Sun's elevation at the
site, and an estimated visual magnitude."""

from __future__ import annotations

import numpy as np

from astrokite.lighting.sunlight import illumination, sun_position
from astrokite.time.time import Time

#: The Sun's elevation below which the sky counts as dark enough to see a
#: satellite: civil twilight's end [rad].
DARK = np.radians(-6.0)


def sun_elevation(site, time) -> np.ndarray:
    """The Sun's geometric elevation [rad] at ``site`` at each instant of
    ``time`` (anything ``Time`` takes): shape (times,). No refraction."""
    from astrokite.frames.frames import ITRF

    time = time if isinstance(time, Time) else Time(time)
    return elevation_of(site, sun_position(time, ITRF))


def elevation_of(site, sun: np.ndarray) -> np.ndarray:
    """The geometric elevation [rad] at ``site`` of the Sun at ITRF positions
    ``sun`` (..., 3) [m]."""
    sun = sun - np.asarray(site.position)
    up = np.asarray(site.enu["u_up"], np.float64)
    return np.arcsin(np.clip(sun @ up / np.linalg.norm(sun, axis=-1), -1.0, 1.0))


def magnitude(site, ephemeris, standard: float) -> np.ndarray:
    """Estimated visual magnitude at ``site`` of the satellites of a
    ``StateVectorEphemeris``, each of standard magnitude ``standard`` (its
    magnitude at 1,000 km and half illuminated, a phase angle of 90 degrees):
    shape (satellites, times).

    The satellite is taken as a diffusely reflecting sphere::

        m = standard + 5 log10(range / 1000 km) - 2.5 log10(sin(a) + (pi - a) cos(a))
            - 2.5 log10(sunlit fraction)

    with ``a`` the phase angle (at the satellite, between the Sun and the site),
    so that ``m = standard`` at 1,000 km and ``a`` = 90 degrees; the last term
    dims it through the penumbra and makes it +inf in the umbra. The satellite
    may lie below the horizon: mask with the elevation as needed.

    >>> m = magnitude(paris, ak.SGP4(iss).propagate(times), -1.3)   # doctest: +SKIP
    """
    from astrokite.frames.frames import ITRF

    itrf = ephemeris.to(ITRF)
    sun = sun_position(Time(itrf._counts()), ITRF)
    return magnitude_of(site, itrf.position, sun[None], illumination(itrf), standard)


def magnitude_of(site, position: np.ndarray, sun: np.ndarray, sunlit: np.ndarray, standard: float) -> np.ndarray:
    """``magnitude`` from ITRF positions [m] of the satellites and of the Sun
    (broadcast together, (..., 3)) and the sunlit fractions (...)."""
    to_site = np.asarray(site.position) - position
    to_sun = sun - position
    distance = np.linalg.norm(to_site, axis=-1)
    cosine = np.sum(to_site * to_sun, -1) / (distance * np.linalg.norm(to_sun, axis=-1))
    phase = np.arccos(np.clip(cosine, -1.0, 1.0))
    reflected = np.sin(phase) + (np.pi - phase) * np.cos(phase)
    with np.errstate(divide="ignore"):
        return (float(standard) + 5 * np.log10(distance / 1e6) - 2.5 * np.log10(reflected)
                - 2.5 * np.log10(sunlit))
