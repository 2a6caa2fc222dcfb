"""What a site sees of its passes: sunlight, darkness and range rate at rise,
culmination and set, and the part of each pass that can be seen.

A satellite is visible while it is sunlit (outside the umbra: any part of the
Sun's disc seen) and the site's Sun is below ``lighting.DARK``. Darkness is
the same for every pass: its beginnings and ends over the search's window
are found once, from the exact Sun, by a bracketing search on its elevation
(whose rate the Earth's turn bounds), and each pass is cut there and at its
culmination. Within a stretch darkness then holds or not throughout, and
sunlight's ends are found on the umbra's edge: a stretch where it changes
sign is narrowed to 1 ms (at its middle and by false position beside it),
one the eclipse search's own test (the rates at the ends, bounds from the
osculating orbits) cannot settle is halved until it can or it is shorter
than a second (a graze of the shadow's edge shorter than that is ignored).
All passes go through each round together: columns, not a loop per pass.
"""

from __future__ import annotations

import numpy as np

from astrokite.lighting import shadow
from astrokite.lighting.brightness import DARK, elevation_of, sun_elevation
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


def _darkness(site, start_ns: int, stop_ns: int) -> tuple[bool, np.ndarray]:
    """Whether the site's Sun is below ``DARK`` at ``start_ns``, and the
    instants [ns] in order at which that changes (each the first instant, to
    1 ms, of the new state) up to ``stop_ns``."""
    def light(times):
        return sun_elevation(site, Time(times)) - DARK

    grid = np.append(np.arange(start_ns, stop_ns, _SUN_STEP, dtype=np.int64), np.int64(stop_ns))
    values = light(grid)
    a, b, fa, fb = grid[:-1], grid[1:], values[:-1], values[1:]
    changes = []
    while len(a):
        h = b - a
        turns = (fa > 0) != (fb > 0)
        open_ = ~turns & (np.abs(fa) + np.abs(fb) <= _ELEVATION_RATE * h * 1e-9) & (h > _SHORTEST)
        done = turns & (h <= _REFINED)
        changes.append(b[done])
        keep = (turns & ~done) | open_
        a, b, fa, fb, turns = a[keep], b[keep], fa[keep], fb[keep], turns[keep]
        # Cut at the middles, and 0.5 ms either side of the straight line's zero where the sign changes.
        half, index = _REFINED // 2, np.flatnonzero(turns)
        guess = a[index] + ((b - a)[index] * (fa / (fa - fb))[index]).astype(np.int64)
        guess = np.clip(guess, a[index] + half, np.maximum(a[index] + half, b[index] - half))
        cuts = np.concatenate([a + (b - a) // 2, guess - half, guess + half])
        stretch = np.concatenate([np.arange(len(a)), np.arange(len(a)), np.arange(len(a)), index, index])
        t = np.concatenate([a, b, cuts])
        f = np.concatenate([fa, fb, light(cuts)])
        order = np.lexsort((t, stretch))
        same = stretch[order[:-1]] == stretch[order[1:]]
        a, b = t[order[:-1][same]], t[order[1:][same]]
        fa, fb = f[order[:-1][same]], f[order[1:][same]]
    return bool(values[0] < 0), np.sort(np.concatenate(changes))


class _Samples:
    """The states of satellites at (row, time) pairs and the umbra's edge
    there [rad, positive outside]."""

    def __init__(self, states, sun: _Sun, rows: np.ndarray, times: np.ndarray):
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

    def take(self, index) -> dict:
        return {"t": self.times[index], "umbra": self.umbra[index], "valid": self.valid[index],
                "position": self.position[index], "velocity": self.velocity[index], "sun": self.sun_teme[index]}


def _sunlight_edges(states, sun, rows, a: dict, b: dict, owner: np.ndarray, dark: np.ndarray):
    """Refined (pass, start) and (pass, stop) instants where sunlight begins
    or ends inside the stretches from ``a`` to ``b`` (one per entry, of the
    pass ``owner``) that are dark throughout (``dark``)."""
    starts, stops = [], []
    keep = dark
    a, b, owner = ({key: value[keep] for key, value in a.items()}, {key: value[keep] for key, value in b.items()},
                   owner[keep])
    while len(owner):
        h = b["t"] - a["t"]
        lit_a, lit_b = a["umbra"] > 0, b["umbra"] > 0
        turns = lit_a != lit_b
        usable = a["valid"] & b["valid"] & (h > 0)
        settled = usable & turns & (h <= _REFINED)
        starts.append((owner[settled & lit_b], b["t"][settled & lit_b]))
        stops.append((owner[settled & lit_a], a["t"][settled & lit_a]))
        split = usable & ((turns & (h > _REFINED)) | (~turns & (h > _SHORTEST)))
        if split.any():
            check = np.flatnonzero(split & ~turns)
            split[check] = ~shadow.umbra_settled(*(a[key][check] for key in ("t", "sun", "position", "velocity")),
                                                 *(b[key][check] for key in ("t", "sun", "position", "velocity"))
                                                 ).astype(bool)
        if not split.any():
            break
        a, b, owner = _cut(states, sun, rows, {key: value[split] for key, value in a.items()},
                           {key: value[split] for key, value in b.items()}, owner[split], turns[split])
    return (np.concatenate([o for o, _ in starts] or [np.zeros(0, np.int64)]),
            np.concatenate([t for _, t in starts] or [np.zeros(0, np.int64)]),
            np.concatenate([o for o, _ in stops] or [np.zeros(0, np.int64)]),
            np.concatenate([t for _, t in stops] or [np.zeros(0, np.int64)]))


def _cut(states, sun, rows, a: dict, b: dict, owner, turns):
    """The stretches from ``a`` to ``b`` cut at their middles, and those where
    the umbra's edge changes sign also 0.5 ms either side of where it would
    be zero were it straight between the ends: the edge is then found in a
    round or two, and never in more rounds than by halving."""
    h = b["t"] - a["t"]
    middle = a["t"] + h // 2
    f_a, f_b = a["umbra"][turns], b["umbra"][turns]
    half = _REFINED // 2
    low, high = a["t"][turns] + half, b["t"][turns] - half
    guess = a["t"][turns] + (h[turns] * (f_a / (f_a - f_b))).astype(np.int64)
    guess = np.clip(guess, low, np.maximum(low, high))
    index = np.flatnonzero(turns)
    cut_owner = np.concatenate([np.arange(len(h)), index, index])
    cuts = _Samples(states, sun, rows[owner[cut_owner]],
                    np.concatenate([middle, guess - half, guess + half])).take(slice(None))
    # Each stretch's ends and cuts as a row of five samples in time order (a stretch cut at its
    # middle only repeats its end: the empty stretches this makes are let go); consecutive
    # samples of a row are the new stretches.
    n, k = len(h), len(index)
    slot = np.column_stack([np.arange(n), 2 * n + np.arange(n), n + np.arange(n), n + np.arange(n),
                            n + np.arange(n)])
    slot[index, 2] = 3 * n + np.arange(k)
    slot[index, 3] = 3 * n + k + np.arange(k)
    points = {key: np.concatenate([a[key], b[key], cuts[key]]) for key in a}
    slot = np.take_along_axis(slot, np.argsort(points["t"][slot], axis=1, kind="stable"), axis=1)
    first, last = slot[:, :-1].ravel(), slot[:, 1:].ravel()
    return ({key: value[first] for key, value in points.items()},
            {key: value[last] for key, value in points.items()}, owner[np.repeat(np.arange(n), 4)])


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
    rise, culmination, set = (np.asarray(column, np.int64) for column in (rise, culmination, set))
    sun = _Sun(start_ns, stop_ns)
    dark_at_start, changes = _darkness(site, start_ns, stop_ns)

    def dark(times):
        return dark_at_start ^ (np.searchsorted(changes, times, side="right") % 2 == 1)

    # The events, then each pass cut where darkness begins or ends within it.
    within = [np.flatnonzero((rise < change) & (change < set)) for change in changes]
    cut_owner = np.concatenate(within + [np.zeros(0, np.int64)])
    cut_times = np.concatenate([np.full(len(passes), change) for passes, change in zip(within, changes)]
                               + [np.zeros(0, np.int64)])
    owner = np.concatenate([np.tile(np.arange(n), 3), cut_owner])
    times = np.concatenate([rise, culmination, set, cut_times])
    samples = _Samples(states, sun, rows[owner], times)

    events = slice(0, 3 * n)
    sunlit = shadow.illumination(samples.sun_teme[events], samples.position[None, events])[0]
    # The satellites and the Sun turned into the ITRF together, one rotation per instant.
    both = StateVectorEphemeris(Time(times[events]), np.stack([samples.position[events], samples.sun_teme[events]]),
                                np.stack([samples.velocity[events], np.zeros_like(samples.sun_teme[events])]),
                                frame=TEME).to(ITRF)
    itrf, sun_itrf = both.position[0], both.position[1]
    _, range_rate = site.look(StateVectorEphemeris(both.time, both.position[:1], both.velocity[:1], frame=ITRF))

    def by_event(values):
        return np.ascontiguousarray(np.asarray(values, np.float64).reshape(3, n).T)

    # Consecutive samples of a pass bound its stretches.
    order = np.lexsort((times, owner))
    same = owner[order[:-1]] == owner[order[1:]]
    first, last = order[:-1][same], order[1:][same]
    start_owner, start_at, stop_owner, stop_at = _sunlight_edges(
        states, sun, rows, samples.take(first), samples.take(last), owner[first], dark(times[first]))
    # Where darkness begins with the satellite sunlit, visibility begins; where it ends, the last
    # dark millisecond is the visible part's end.
    lit = samples.valid & (samples.umbra > 0)
    cut_lit, cut_dark = lit[3 * n:], dark(cut_times)
    start_owner = np.concatenate([start_owner, cut_owner[cut_lit & cut_dark]])
    start_at = np.concatenate([start_at, cut_times[cut_lit & cut_dark]])
    stop_owner = np.concatenate([stop_owner, cut_owner[cut_lit & ~cut_dark]])
    stop_at = np.concatenate([stop_at, cut_times[cut_lit & ~cut_dark] - _REFINED])

    never = np.iinfo(np.int64).max
    visible_at = (lit[events] & dark(times[events])).reshape(3, n)
    visible_start = np.where(visible_at[0], rise, never)
    np.minimum.at(visible_start, start_owner, start_at)
    visible_stop = np.where(visible_at[2], set, -never)
    np.maximum.at(visible_stop, stop_owner, stop_at)
    # Both edges found: a stretch lost to failed states leaves none rather than half a part.
    visible = (visible_start < never) & (visible_stop > -never)
    return {
        "sunlit": by_event(sunlit),
        "sun_elevation": by_event(elevation_of(site, sun_itrf)),
        "range_rate": by_event(range_rate[0]),
        "visible": visible,
        "visible_start": np.where(visible, visible_start, rise),
        "visible_stop": np.where(visible, visible_stop, rise),
        "culmination_position": np.ascontiguousarray(itrf[n:2 * n]),
        "culmination_sun": np.ascontiguousarray(sun_itrf[n:2 * n]),
    }
