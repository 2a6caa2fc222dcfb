"""Plots of element-set histories, ground tracks and passes (matplotlib: ``astrokite[plot]``).

Each function draws into the axes it is given, or into a new figure's, and returns the
axes so that the caller can style, annotate or save the figure.
"""

from __future__ import annotations

import numpy as np

from astrokite.utils.quantities import DISPLAY


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("astrokite's plots need matplotlib: pip install 'astrokite[plot]'") from None
    return plt


# Angles that run around the circle: their lines break where they wrap, not jump across.
_PERIODIC = {"raa", "arp", "tra", "mea", "eca"}


def _cut_where_wrapping(angle, other):
    """(angle [deg], other) with a gap (a NaN angle) where the angle wraps round, so that
    the line does not cross the whole plot."""
    cut = np.flatnonzero(np.abs(np.diff(angle)) > 180.0) + 1
    return np.insert(angle, cut, np.nan), np.insert(other, cut, other[cut])


def plot_elements(elset, elements=("pge", "apg"), ax=None):
    """Plot chosen elements of an ELSET over its epochs, in display units (km, deg, rev/day, min).

    The history shows what happened to the orbit: a reboost as a step up of perigee and
    apogee, decay as their steady fall. Elements of one unit share the axes; a second unit
    gets a twin axes on the right. Returns the (left) axes.

    >>> ax = plot_elements(iss["2023-03-01":"2023-03-15"], ("pge", "apg"))   # doctest: +SKIP
    """
    elements = (elements,) if isinstance(elements, str) else tuple(elements)
    unknown = [name for name in elements if name not in DISPLAY or not hasattr(elset, name)]
    if unknown or not elements:
        what = "no element given" if not elements else f"unknown {'element' if len(unknown) == 1 else 'elements'} {unknown}"
        raise ValueError(f"{what}: choose from {', '.join(sorted(DISPLAY))}")
    units = list(dict.fromkeys(DISPLAY[name].unit for name in elements))
    if len(units) > 2:
        raise ValueError(f"the elements {elements} have {len(units)} units ({', '.join(units)}): one axes "
                         "shows at most two; plot them in groups")
    if ax is None:
        ax = _pyplot().subplots(figsize=(9, 4), layout="constrained")[1]
    axes = {units[0]: ax}
    if len(units) == 2:
        axes[units[1]] = ax.twinx()
    epochs = elset.epoch.datetime64
    lines = []
    for number, name in enumerate(elements):
        display = DISPLAY[name]
        values, times = getattr(elset, name) / display.scale, epochs
        if name in _PERIODIC:
            values, times = _cut_where_wrapping(values, times)
        lines += axes[display.unit].plot(times, values, ".-", markersize=3, color=f"C{number}",
                                         label=display.label)
    for unit, axis in axes.items():
        labels = [DISPLAY[n].label for n in elements if DISPLAY[n].unit == unit]
        axis.set_ylabel(", ".join(labels) + (f" [{unit}]" if unit else ""))
    import matplotlib.dates as mdates

    locator = mdates.AutoDateLocator()
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    ax.set_xlabel("epoch (UTC)")
    ax.set_title(f"{elset.satname} ({elset.satno})" if elset.satname else f"{elset.satno}")
    ax.legend(handles=lines, loc="best")
    ax.grid(True, alpha=0.3)
    return ax


def _rows(values):
    """A 1-D record array as one row, a 2-D one as its rows."""
    values = np.asarray(values)
    if values.ndim not in (1, 2):
        raise ValueError(f"expected one track (1-D) or one per satellite (2-D), got shape {values.shape}")
    return values.reshape(-1, values.shape[-1])


def plot_ground_track(track, ax=None):
    """Plot ground tracks: longitude and latitude [deg] of each satellite of an ephemeris.

    `track` is a ``StateVectorEphemeris`` (its ``lla()`` on WGS84 is drawn, one line per
    satellite, labelled with its number) or an array of ``LLA_dtype`` records in radians,
    one track (1-D) or one per row (2-D). Lines break where a track crosses the
    antimeridian and at failed (NaN) samples. Returns the axes.
    """
    if callable(getattr(track, "lla", None)):
        labels = [str(satno) for satno in track.satnos]
        track = track.lla()
    else:
        labels = None
    rows = _rows(track)
    if rows.dtype.names is None or not {"lat", "lon"} <= set(rows.dtype.names):
        raise TypeError("plot_ground_track takes an ephemeris or LLA records (fields lat, lon)")
    if ax is None:
        ax = _pyplot().subplots(figsize=(9, 4.8), layout="constrained")[1]
    for number, row in enumerate(rows):
        lon, lat = np.degrees(row["lon"]), np.degrees(row["lat"])
        # Wrap into [-180, 180) and cut the line where it jumps across the map.
        lon, lat = _cut_where_wrapping((lon + 180.0) % 360.0 - 180.0, lat)
        ax.plot(lon, lat, color=f"C{number % 10}", label=labels[number] if labels else None)
    ax.set_xlim(-180, 180)
    ax.set_ylim(-90, 90)
    ax.set_xticks(np.arange(-180, 181, 60))
    ax.set_yticks(np.arange(-90, 91, 30))
    ax.set_aspect("equal")
    ax.set_xlabel("longitude [deg]")
    ax.set_ylabel("latitude [deg]")
    ax.grid(True, alpha=0.3)
    if labels:
        ax.legend(loc="lower left", fontsize="small")
    return ax


def _pass_tracks(passes, site, source, samples: int):
    """Look angles from rise to set of each pass of a pass table, with a label each."""
    from collections.abc import Mapping

    from astrokite.propagators.analytical.sgp4.sgp4 import SGP4
    from astrokite.time.time import Time

    if site is None or source is None:
        raise TypeError("plot_sky of a pass table needs the site and the source the passes were found for")
    rise, set_ = np.atleast_1d(passes.rise.int64), np.atleast_1d(passes.set.int64)
    tracks, labels = [], []
    for satno, start, stop in zip(np.atleast_1d(passes.satno), rise, set_):
        satellite = source[int(satno)] if isinstance(source, Mapping) else source
        propagator = satellite if isinstance(satellite, SGP4) else SGP4(satellite)
        times = Time(np.linspace(start, stop, samples).astype(np.int64))
        ephemeris = propagator.propagate(times)
        aer, _ = site.look(ephemeris)
        tracks.append(aer[np.flatnonzero(ephemeris.satnos == satno)[0]])
        labels.append(f"{satno} {np.datetime_as_string(np.datetime64(int(start), 'ns'), unit='m')}Z")
    return tracks, labels


def plot_sky(aer, ax=None, *, site=None, source=None, samples: int = 181):
    """Polar sky plot of look angles: azimuth clockwise from north, elevation 90 deg at the centre.

    `aer` is an array of ``AER_dtype`` records (azimuth and elevation in radians), one
    track (1-D) or one per row (2-D), or a pass table from ``Site.passes`` with the `site`
    and `source` it was found for: each pass is drawn from rise to set through `samples`
    look angles and labelled with its satellite and rise time. Only samples above the
    horizon are drawn. `ax` must be polar when given. Returns the axes.
    """
    labels = None
    if hasattr(aer, "culmination"):
        rows, labels = _pass_tracks(aer, site, source, samples)
    else:
        rows = _rows(aer)
        if rows.dtype.names is None or not {"azimuth", "elevation"} <= set(rows.dtype.names):
            raise TypeError("plot_sky takes AER records (fields azimuth, elevation) or a pass table")
    if ax is None:
        ax = _pyplot().subplots(figsize=(5, 5), subplot_kw={"projection": "polar"}, layout="constrained")[1]
    elif ax.name != "polar":
        raise ValueError("plot_sky draws on polar axes: make them with projection='polar'")
    for number, row in enumerate(rows):
        zenith_distance = 90.0 - np.degrees(row["elevation"])
        zenith_distance[zenith_distance > 90.0] = np.nan
        ax.plot(row["azimuth"], zenith_distance, color=f"C{number % 10}", label=labels[number] if labels else None)
    ax.set_theta_zero_location("N")
    ax.set_theta_direction(-1)
    ax.set_rlim(0, 90)
    ax.set_rticks([0, 30, 60, 90], labels=["90°", "60°", "30°", "0°"])
    ax.set_xticks(np.radians([0, 90, 180, 270]), labels=["N", "E", "S", "W"])
    ax.grid(True, alpha=0.3)
    if labels:
        ax.legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), fontsize="small")
    return ax
