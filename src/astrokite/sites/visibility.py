"""What a site sees of its passes: sunlight, darkness and range rate at rise,
culmination and set, and the part of each pass that can be seen.

A satellite is visible while it is sunlit (outside the umbra: any part of the
Sun's disc seen) and the site's Sun is below ``lighting.DARK``. Both are signs
of functions continuous in time: the umbra's edge, settled over a stretch by
the eclipse search's own test (the rates at the ends and bounds from the
osculating orbits), and the Sun's elevation, whose rate the Earth's turn
bounds. Each pass is cut into stretches at its culmination; a stretch
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
    visibility: the umbra's edge [rad, positive outside], and the Sun's
    elevation less ``DARK`` [rad, positive while too light]."""

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
        self.umbra = shadow.umbra_edge(self.sun_teme, position)
        self.sun_itrf = StateVectorEphemeris(Time(times), self.sun_teme[None], frame=TEME).to(ITRF).position[0]
        self.light = elevation_of(site, self.sun_itrf) - DARK

    @property
    def visible(self) -> np.ndarray:
        return self.valid & (self.umbra > 0) & (self.light < 0)


def _take(samples: _Samples, index: np.ndarray) -> dict:
    return {"t": samples.times[index], "umbra": samples.umbra[index], "light": samples.light[index],
            "valid": samples.valid[index], "position": samples.position[index],
            "velocity": samples.velocity[index], "sun": samples.sun_teme[index]}


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
        umbra_open = ~umbra_turns & ~shadow.umbra_settled(a["t"], a["sun"], a["position"], a["velocity"],
                                                          b["t"], b["sun"], b["position"], b["velocity"]).astype(bool)
        light_open = np.abs(a["light"]) + np.abs(b["light"]) <= _ELEVATION_RATE * h * 1e-9
        usable = a["valid"] & b["valid"] & (h > 0)
        a_visible = (a["umbra"] > 0) & (a["light"] < 0)
        b_visible = (b["umbra"] > 0) & (b["light"] < 0)
        settled = usable & turns & (h <= _REFINED)
        starts.append((owner[settled & b_visible & ~a_visible], b["t"][settled & b_visible & ~a_visible]))
        stops.append((owner[settled & a_visible & ~b_visible], a["t"][settled & a_visible & ~b_visible]))
        # A stretch with one condition settled against visibility, or both settled, has no edge to find.
        umbra_kept, light_kept = ~umbra_turns & ~umbra_open, ~light_turns & ~light_open
        moot = (umbra_kept & (a["umbra"] <= 0)) | (light_kept & (a["light"] >= 0)) | (umbra_kept & light_kept)
        split = usable & ~moot & ((turns & (h > _REFINED)) | (~turns & (h > _SHORTEST)))
        if not split.any():
            break
        a, b, owner = _cut(site, states, sun, rows, {key: value[split] for key, value in a.items()},
                           {key: value[split] for key, value in b.items()}, owner[split], umbra_turns[split],
                           light_turns[split])
    return (np.concatenate([o for o, _ in starts]), np.concatenate([t for _, t in starts]),
            np.concatenate([o for o, _ in stops]), np.concatenate([t for _, t in stops]))


def _cut(site, states, sun, rows, a: dict, b: dict, owner, umbra_turns, light_turns):
    """The stretches from ``a`` to ``b`` cut at their middles, and those where
    a condition turns also 0.5 ms either side of where its function, taken
    as straight between the ends, is zero: the edge is then found in a round
    or two, and never in more rounds than by halving."""
    turns = umbra_turns | light_turns
    h = b["t"] - a["t"]
    middle = a["t"] + h // 2
    f_a = np.where(umbra_turns, a["umbra"], a["light"])[turns]
    f_b = np.where(umbra_turns, b["umbra"], b["light"])[turns]
    half = _REFINED // 2
    low, high = a["t"][turns] + half, b["t"][turns] - half
    guess = a["t"][turns] + (h[turns] * (f_a / (f_a - f_b))).astype(np.int64)
    guess = np.clip(guess, low, np.maximum(low, high))
    index = np.flatnonzero(turns)
    cut_owner = np.concatenate([np.arange(len(h)), index, index])
    cut_times = np.concatenate([middle, guess - half, guess + half])
    cuts = _take(_Samples(site, states, sun, rows[owner[cut_owner]], cut_times), slice(None))
    # Each stretch's ends and cuts as a row of five samples in time order (a stretch cut at its
    # middle only repeats its end: the empty stretches this makes are let go); consecutive
    # samples of a row are the new stretches.
    n, k = len(h), len(index)
    slot = np.column_stack([np.arange(n), np.full(n, -1), np.full(n, -1), np.full(n, -1), n + np.arange(n)])
    slot[:, 1] = 2 * n + np.arange(n)
    slot[index, 2] = 3 * n + np.arange(k)
    slot[index, 3] = 3 * n + k + np.arange(k)
    slot[slot < 0] = (n + np.arange(n))[np.nonzero(slot < 0)[0]]
    points = {key: np.concatenate([a[key], b[key], cuts[key]]) for key in a}
    slot = np.take_along_axis(slot, np.argsort(points["t"][slot], axis=1, kind="stable"), axis=1)
    first, last = slot[:, :-1].ravel(), slot[:, 1:].ravel()
    stretch = np.repeat(np.arange(n), 4)
    return ({key: value[first] for key, value in points.items()},
            {key: value[last] for key, value in points.items()}, owner[stretch])


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
