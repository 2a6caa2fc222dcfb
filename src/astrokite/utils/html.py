"""HTML tables of the package's objects, as notebooks show them (``_repr_html_``).

``render(obj)`` gives one ``<div>`` holding a ``<table>`` with a caption. Lengths show in km,
angles in degrees and rates in rev/day, as ``astrokite.utils.quantities`` sets out; long
tables show their first and last rows around a row that counts the ones left out. All text
taken from the objects (names, lines) is escaped.
"""

from __future__ import annotations

import functools
import sys
from html import escape

import numpy as np

from astrokite.utils.quantities import DISPLAY, DRAG, ELEMENTS, count, heading, summary, text

_TLE_MODULE = "astrokite.propagators.analytical.sgp4.tle"


def render(obj, *, max_rows: int = 10) -> str:
    """HTML table of a TLE, ELSET, Catalogue, StateVectorEphemeris or any table with ``to_pandas()``.

    Tables longer than `max_rows` show their first and last rows only.

    >>> from astrokite.utils.html import render
    >>> render(tle)[:40]                                  # doctest: +SKIP
    '<div class="astrokite"><pre>1 25544U 98'

    Raises TypeError for any other object.
    """
    if max_rows < 2:
        raise ValueError(f"max_rows must be at least 2, not {max_rows}")
    if _is(obj, _TLE_MODULE, "TLE"):
        return _tle(obj)
    if _is(obj, _TLE_MODULE, "ELSET"):
        return _elset(obj, max_rows)
    if _is(obj, "astrokite.catalogue", "Catalogue"):
        return _catalogue(obj, max_rows)
    if _is(obj, "astrokite.state.ephemeris", "StateVectorEphemeris"):
        return _ephemeris(obj, max_rows)
    if callable(getattr(obj, "to_pandas", None)):
        return _dataframe(type(obj).__name__, obj.to_pandas(), max_rows)
    raise TypeError(f"cannot render {type(obj).__name__} as HTML")


def _is(obj, module: str, name: str) -> bool:
    """isinstance(obj, module.name), without importing a module that no object can come from yet."""
    loaded = sys.modules.get(module)
    return loaded is not None and isinstance(obj, getattr(loaded, name))


def _iso(times) -> np.ndarray:
    """ISO 8601 UTC text to the microsecond of datetime64 values; blank for NaT."""
    times = np.asarray(times, "datetime64[ns]")
    text = np.char.add(np.datetime_as_string(times, unit="us"), "Z")
    return np.where(np.isnat(times), "", text)


def _number(value) -> str:
    return f"{value:.6g}" if isinstance(value, (float, np.floating)) else str(value)


def _table(caption: str, headings, columns, size: int, max_rows: int, before: str = "") -> str:
    """The HTML of a table of `size` rows; ``columns[j](i)`` is the text of row i, column j."""
    if size > max_rows:
        head = (max_rows + 1) // 2
        shown_rows = [*range(head), None, *range(size - (max_rows - head), size)]
    else:
        shown_rows = range(size)
    out = [f'<div class="astrokite">{before}<table>',
           f"<caption>{escape(caption)}</caption>",
           "<thead><tr>" + "".join(f"<th>{escape(h)}</th>" for h in headings) + "</tr></thead>",
           "<tbody>"]
    for i in shown_rows:
        if i is None:
            left_out = size - max_rows
            out.append(f'<tr><td colspan="{len(headings)}">\N{VERTICAL ELLIPSIS} '
                       f'{count(left_out, "more row")}</td></tr>')
        else:
            out.append("<tr>" + "".join(f"<td>{escape(cell(i))}</td>" for cell in columns) + "</tr>")
    out.append("</tbody></table></div>")
    return "\n".join(out)


def _tle(tle) -> str:
    lines = f"<pre>{escape(tle.line1)}\n{escape(tle.line2)}</pre>"
    caption = f"TLE {tle.satno}, epoch {tle.epoch.utc!r}"
    names = ELEMENTS + DRAG
    values = [getattr(tle, name) for name in names]
    columns = [lambda i: names[i], lambda i: text(names[i], values[i]), lambda i: DISPLAY[names[i]].unit,
               lambda i: DISPLAY[names[i]].label]
    return _table(caption, ("element", "value", "unit", "meaning"), columns, len(names), len(names), before=lines)


def _elset(elset, max_rows: int) -> str:
    name = f"{elset.satname} ({elset.satno})" if elset.satname else str(elset.satno)
    caption = f"ELSET {name}: {count(elset.size, 'element set')}"
    epochs = _iso(elset.epoch.datetime64)
    columns = [lambda i: epochs[i]]
    names = ELEMENTS + DRAG
    for element in names:
        values = getattr(elset, element)
        columns.append(lambda i, element=element, values=values: text(element, values[i]))
    return _table(caption, ["epoch (UTC)"] + [heading(e) for e in names], columns, elset.size, max_rows)


def _catalogue(catalogue, max_rows: int) -> str:
    satnos = list(catalogue)
    caption = f"Catalogue: {count(len(satnos), 'satellite')}, {count(catalogue.size, 'element set')}"
    if catalogue.rejected:
        caption += f", {len(catalogue.rejected):,} rejected"

    @functools.cache
    def row(i):  # summarised only for the rows shown: a catalogue may hold 10^5 satellites
        return summary(catalogue[satnos[i]])

    columns = [lambda i: str(row(i).satno), lambda i: row(i).name or "", lambda i: str(row(i).sets),
               lambda i: repr(row(i).first.utc), lambda i: repr(row(i).last.utc),
               lambda i: f"{row(i).perigee / 1e3:.3f}", lambda i: f"{row(i).apogee / 1e3:.3f}"]
    headings = ("number", "name", "element sets", "first epoch (UTC)", "last epoch (UTC)",
                "latest perigee [km]", "latest apogee [km]")
    return _table(caption, headings, columns, len(satnos), max_rows)


def _ephemeris(ephemeris, max_rows: int) -> str:
    m, n = ephemeris.shape
    caption = f"StateVectorEphemeris: {count(m, 'satellite')} x {count(n, 'time')} in {ephemeris.frame.name}"
    times = _iso(np.atleast_1d(ephemeris.time.datetime64))
    position = ephemeris.position.reshape(-1, 3) / 1e3
    headings = ["satno", "time (UTC)", "x [km]", "y [km]", "z [km]"]
    columns = [lambda i: str(ephemeris.satnos[i // n]), lambda i: times[i % n]]
    columns += [lambda i, k=k: f"{position[i, k]:.6f}" for k in range(3)]
    if ephemeris.velocity is not None:
        velocity = ephemeris.velocity.reshape(-1, 3) / 1e3
        headings += ["vx [km/s]", "vy [km/s]", "vz [km/s]"]
        columns += [lambda i, k=k: f"{velocity[i, k]:.9f}" for k in range(3)]
    error = ephemeris.error.ravel()
    headings.append("error")
    columns.append(lambda i: str(error[i]))
    return _table(caption, headings, columns, m * n, max_rows)


def _dataframe(name: str, frame, max_rows: int) -> str:
    columns = []
    for column in frame.columns:
        series = frame[column]
        if getattr(series.dtype, "tz", None) is not None:
            series = series.dt.tz_convert("UTC").dt.tz_localize(None)
        values = series.to_numpy()
        if np.issubdtype(values.dtype, np.datetime64):
            values = _iso(values)
        columns.append(lambda i, values=values: _number(values[i]))
    caption = f"{name}: {count(len(frame), 'row')}"
    return _table(caption, [str(c) for c in frame.columns], columns, len(frame), max_rows)
