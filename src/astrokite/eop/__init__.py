"""Earth orientation: UT1 - UTC and polar motion from the IERS.

Every Earth-fixed result (ITRF, geodetic coordinates, look angles, passes, the
rotation to the GCRF) uses the table in force. By default it is built from the
`astropy-iers-data` package (IERS finals2000A, Bulletin A with a year of
predictions, with the final C04 values over the days they cover), read once
when first needed: offline, and updated by ``pip install -U astropy-iers-data``.

>>> from astrokite import eop
>>> table = eop.load("finals2000A.all")      # doctest: +SKIP
>>> eop.use(table)                           # doctest: +SKIP
>>> eop.use(None)   # the model without data: UT1 = UTC, no polar motion
>>> eop.current()
<no Earth orientation data: UT1 = UTC, no polar motion>
>>> eop.use("default")
"""

from __future__ import annotations

import os

import numpy as np

from astrokite.eop import iers
from astrokite.eop.table import EarthOrientationWarning, EOPTable, NoEarthOrientation

__all__ = ["EOPTable", "EarthOrientationWarning", "NO_EOP", "current", "default", "load", "orientation", "use"]

#: The model without Earth orientation data: UT1 = UTC and no polar motion.
NO_EOP = NoEarthOrientation()

_in_force = None  # None until first asked for: the default table is then read


def load(path) -> EOPTable:
    """An ``EOPTable`` read from an IERS file: finals2000A (or its .daily and
    .data forms) or a C04 series, told apart by the content. A ValueError
    names the line of a file that does not fit either."""
    with open(path, "rb") as f:
        data = f.read()
    return EOPTable(iers.read(data), os.path.basename(os.fspath(path)))


def default() -> EOPTable:
    """The table of the installed astropy-iers-data: its finals2000A with the
    final C04 values over the days those cover."""
    import astropy_iers_data as data

    finals = load(data.IERS_A_FILE)
    return finals.updated_with(load(data.IERS_B_FILE))


def use(table) -> None:
    """Put ``table`` in force: an ``EOPTable``, None (or ``NO_EOP``) for the
    model without data (UT1 = UTC, no polar motion), or "default"."""
    global _in_force
    if table is None:
        table = NO_EOP
    elif isinstance(table, str) and table == "default":
        table = default()
    elif not isinstance(table, (EOPTable, NoEarthOrientation)):
        raise TypeError(f"eop.use takes an EOPTable, None or 'default', not {type(table).__name__}")
    _in_force = table


def current():
    """The table in force (an ``EOPTable``), or ``NO_EOP``."""
    global _in_force
    if _in_force is None:
        _in_force = default()
    return _in_force


def orientation(counts) -> np.ndarray:
    """UT1 - UTC [s], x and y [rad] of the table in force at ``counts`` (int64
    ns since 1970 UTC): a C-contiguous float64 array of shape ``(n, 3)``."""
    counts = np.atleast_1d(np.asarray(counts, np.int64)).reshape(-1)
    return np.ascontiguousarray(current().orientation(counts), np.float64)
