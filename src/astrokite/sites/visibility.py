"""What a site sees of its passes: sunlight, darkness and range rate at rise,
culmination and set, and the part of each pass that can be seen.

A satellite is visible while it is sunlit (outside the umbra: any part of the
Sun's disc seen) and the site's Sun is below ``lighting.DARK``. Both are signs
of functions continuous in time, whose rates are bounded: the umbra's edge
(the eclipse search's) by the osculating orbit, the Sun's elevation by the
Earth's turn. Each pass is cut into stretches at its culmination; a stretch
where either function changes sign is bisected down to 1 ms, one where a
bound cannot rule a sign change out is split until it can or the stretch is
shorter than a second (a graze of the shadow's edge shorter than that is
ignored), and any other is settled. All passes go through each round
together: columns, not a loop per pass.
"""

from __future__ import annotations

import numpy as np

from astrokite.lighting import shadow
from astrokite.lighting.brightness import DARK, elevation_of
from astrokite.lighting.sunlight import sun_position
from astrokite.time.time import Time

#: The order of the events in the (passes, 3) columns.
EVENTS = ("rise", "culmination", "set")

_NS = 1_000_000_000
# The Sun is sampled every ten minutes and interpolated linearly: its path
# bends by under 2e-9 rad over a step.
_SUN_STEP = 600 * _NS
# The Sun's elevation at a site changes at most at the Earth's rate of turn
# (7.292e-5 rad/s) plus the Sun's own motion (2e-7 rad/s), with a margin.
_ELEVATION_RATE = 7.35e-5
_REFINED = 1_000_000          # ns: the edges of the visible part
_SHORTEST = _NS               # ns: undecided stretches shorter than this are let go


class _Sun:
    """The Sun's TEME position over a window, sampled every ten minutes."""

    def __init__(self, start_ns: int, stop_ns: int):
        from astrokite.frames.frames import TEME

        self.times = np.arange(start_ns - _SUN_STEP, stop_ns + 2 * _SUN_STEP, _SUN_STEP, dtype=np.int64)
        self.teme = sun_position(Time(self.times), TEME)

    def at(self, times: np.ndarray) -> np.ndarray:
        x = (times - self.times[0]).astype(np.float64)
        grid = (self.times - self.times[0]).astype(np.float64)
        return np.stack([np.interp(x, grid, self.teme[:, i]) for i in range(3)], axis=-1)


class _Samples:
    """The states of satellites at (row, time) pairs and what decides their
    visibility: the umbra's edge [rad, positive outside] with its rate bound,
    and the Sun's elevation less ``DARK`` [rad, positive while too light]."""

    def __init__(self, site, states, sun: _Sun, rows: np.ndarray, times: np.ndarray):
        from astrokite.frames.frames import ITRF, TEME
        from astrokite.state.ephemeris import StateVectorEphemeris

        self.times = times
        position, velocity, valid = states.at(rows, times)
        position = np.ascontiguousarray(position, np.float64)
        velocity = np.ascontiguousarray(velocity, np.float64)
        self.valid = np.asarray(valid, bool) & np.isfinite(position).all(-1) & np.isfinite(velocity).all(-1)
        position[~self.valid] = np.nan
        velocity[~self.valid] = np.nan
        self.position, self.velocity = position, velocity
        self.sun_teme = sun.at(times)
        self.umbra, self.umbra_rate = shadow.umbra_edge(self.sun_teme, position, velocity)
        self.sun_itrf = StateVectorEphemeris(Time(times), self.sun_teme[None], frame=TEME).to(ITRF).position[0]
        self.light = elevation_of(site, self.sun_itrf) - DARK

    @property
    def visible(self) -> np.ndarray:
        return self.valid & (self.umbra > 0) & (self.light < 0)


def _take(samples: _Samples, index: np.ndarray) -> dict:
    return {"t": samples.times[index], "umbra": samples.umbra[index], "rate": samples.umbra_rate[index],
            "light": samples.light[index], "valid": samples.valid[index]}


def _visible_edges(site, states, sun, rows, first: dict, last: dict, owner: np.ndarray):
    """Refined (pass, start) and (pass, stop) instants of visibility's changes
    inside the stretches from ``first`` to ``last`` (one per entry, of the
    pass ``owner``)."""
    starts, stops = [], []
    a, b = first, last
    while len(owner):
        h = b["t"] - a["t"]
        umbra_turns = (a["umbra"] > 0) != (b["umbra"] > 0)
        light_turns = (a["light"] > 0) != (b["light"] > 0)
        turns = umbra_turns | light_turns
        with np.errstate(invalid="ignore"):  # an infinite rate bound over an empty stretch
            umbra_open = np.abs(a["umbra"]) + np.abs(b["umbra"]) <= np.maximum(a["rate"], b["rate"]) * h * 1e-9
        light_open = np.abs(a["light"]) + np.abs(b["light"]) <= _ELEVATION_RATE * h * 1e-9
        usable = a["valid"] & b["valid"] & (h > 0)
        a_visible = (a["umbra"] > 0) & (a["light"] < 0)
        b_visible = (b["umbra"] > 0) & (b["light"] < 0)
        settled = usable & turns & (h <= _REFINED)
        starts.append((owner[settled & b_visible & ~a_visible], b["t"][settled & b_visible & ~a_visible]))
        stops.append((owner[settled & a_visible & ~b_visible], a["t"][settled & a_visible & ~b_visible]))
        split = usable & ((turns & (h > _REFINED)) | (~turns & (umbra_open | light_open) & (h > _SHORTEST)))
        if not split.any():
            break
        a = {key: value[split] for key, value in a.items()}
        b = {key: value[split] for key, value in b.items()}
        owner = owner[split]
        middle = _take(_Samples(site, states, sun, rows[owner], a["t"] + (b["t"] - a["t"]) // 2),
                       slice(None))
        a = {key: np.concatenate([a[key], middle[key]]) for key in a}
        b = {key: np.concatenate([middle[key], b[key]]) for key in b}
        owner = np.concatenate([owner, owner])
    return (np.concatenate([o for o, _ in starts]), np.concatenate([t for _, t in starts]),
            np.concatenate([o for o, _ in stops]), np.concatenate([t for _, t in stops]))


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
    from astrokite.frames.frames import ITRF, TEME
    from astrokite.state.ephemeris import StateVectorEphemeris

    rows = np.asarray(rows, np.int64)
    n = len(rows)
    sun = _Sun(start_ns, stop_ns)
    times = np.concatenate([np.asarray(rise, np.int64), np.asarray(culmination, np.int64),
                            np.asarray(set, np.int64)])
    events = _Samples(site, states, sun, np.tile(rows, 3), times)
    sunlit = shadow.illumination(events.sun_teme, events.position[None])[0]
    teme = StateVectorEphemeris(Time(times), events.position[None], events.velocity[None], frame=TEME)
    itrf = teme.to(ITRF)
    _, range_rate = site.look(itrf)

    def by_event(values):
        return np.ascontiguousarray(np.asarray(values, np.float64).reshape(3, n).T)

    owner = np.concatenate([np.arange(n), np.arange(n)])
    first = _take(events, np.arange(2 * n))
    last = _take(events, np.arange(n, 3 * n))
    start_owner, start_at, stop_owner, stop_at = _visible_edges(site, states, sun, rows, first, last, owner)
    visible_at = events.visible.reshape(3, n)
    never = np.iinfo(np.int64).max
    visible_start = np.where(visible_at[0], times[:n], never)
    np.minimum.at(visible_start, start_owner, start_at)
    visible_stop = np.where(visible_at[2], times[2 * n:], -never)
    np.maximum.at(visible_stop, stop_owner, stop_at)
    # Both edges found: a stretch lost to failed states leaves none rather than half a part.
    visible = (visible_start < never) & (visible_stop > -never)
    return {
        "sunlit": by_event(sunlit),
        "sun_elevation": by_event(events.light + DARK),
        "range_rate": by_event(range_rate[0]),
        "visible": visible,
        "visible_start": np.where(visible, visible_start, times[:n]),
        "visible_stop": np.where(visible, visible_stop, times[:n]),
        "culmination_position": np.ascontiguousarray(itrf.position[0, n:2 * n]),
        "culmination_sun": np.ascontiguousarray(events.sun_itrf[n:2 * n]),
    }
