"""What a site sees of its passes: sunlight, darkness and range rate at rise,
culmination and set, and the part of each pass that can be seen.

A satellite is visible while it is sunlit (outside the umbra: any part of the
Sun's disc seen) and the site's Sun is below ``lighting.DARK``. Darkness is
the same for every pass: its beginnings and ends over the search's window
are found once, by a bracketing search on the Sun's elevation (whose rate
the Earth's turn bounds), and each pass is cut there and at its culmination.
Within a stretch darkness then holds or not throughout, and sunlight's ends
are found on the umbra's edge: a stretch where it changes sign is narrowed
to 1 ms (at its middle and by false position beside it), one the eclipse
search's own test (the rates at the ends, bounds from the osculating orbits)
cannot settle is halved until it can or it is shorter than a second (a graze
of the shadow's edge shorter than that is ignored). The Sun is that of
``sun_position``, sampled every ten minutes in TEME and interpolated (its
direction is then off by far under a nanoradian), turned Earth-fixed with
the satellites. The search is native (``astrokite.sites.search``): for SGP4
element sets it runs inside the pass search's own call, on every core.
"""

from __future__ import annotations

import numpy as np

from astrokite.lighting.brightness import DARK
from astrokite.lighting.sunlight import sun_position
from astrokite.time.time import Time

#: The order of the events in the (passes, 3) columns.
EVENTS = ("rise", "culmination", "set")

#: The visibility columns the native search gives per pass.
COLUMNS = ("sunlit", "sun_elevation", "range_rate", "visible", "visible_start", "visible_stop",
           "culmination_position", "culmination_sun")

_NS = 1_000_000_000
# The Sun is sampled every ten minutes and interpolated linearly: its path
# bends by under 2e-9 rad over a step.
_SUN_STEP = 600 * _NS


def sky(start_ns: int, stop_ns: int) -> dict:
    """The Sun's TEME path over a window [ns since 1970] and the darkness
    threshold, as the native searches take them: ``sun`` (points, 3) [m], one
    point every ``sun_step`` ns from ``sun_start``, and ``dark_below`` [rad]."""
    from astrokite.frames.frames import TEME

    times = np.arange(start_ns - _SUN_STEP, stop_ns + 2 * _SUN_STEP, _SUN_STEP, dtype=np.int64)
    return {"sun": sun_position(Time(times), TEME), "sun_start": int(times[0]), "sun_step": _SUN_STEP,
            "dark_below": float(DARK)}


def columns(site, states, rows, rise, culmination, set, start_ns: int, stop_ns: int) -> dict:
    """The visibility columns of passes (one per entry of the int64 arrays
    ``rows``, satellite rows of ``states``, and ``rise``, ``culmination``,
    ``set`` [ns since 1970]) found between ``start_ns`` and ``stop_ns``.

    Returns arrays ``sunlit``, ``sun_elevation`` [rad], ``range_rate`` [m/s]
    of shape (passes, 3) (``EVENTS``, NaN where the states failed);
    ``visible`` (bool), ``visible_start`` and ``visible_stop`` [ns]; and what
    the culmination's magnitude needs: ``culmination_position`` and
    ``culmination_sun`` (ITRF [m], (passes, 3)).
    """
    from astrokite import eop
    from astrokite.sites.passes import _contiguous, _site_axes
    from astrokite.sites.search import Visibility

    search = Visibility(*_site_axes(site), **sky(start_ns, stop_ns), start=start_ns, stop=stop_ns,
                        row=np.ascontiguousarray(rows, np.int64),
                        rise=np.ascontiguousarray(rise, np.int64),
                        culmination=np.ascontiguousarray(culmination, np.int64),
                        set=np.ascontiguousarray(set, np.int64), earth=eop.current().columns_for(start_ns, stop_ns))
    while True:
        wanted_rows, wanted_times = search.requests()
        if len(wanted_rows) == 0:
            break
        search.supply(*_contiguous(*states.at(wanted_rows, wanted_times)))
    return search.seen()
