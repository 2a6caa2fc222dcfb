"""The element-set record as NumPy sees it: the layout of ``elements/record.hpp``."""

from __future__ import annotations

import numpy as np

#: One element set as values (128 bytes), in the native record's layout. Units: rad, rad/s,
#: rad/s^2, rad/s^3; bstar in 1/Earth radii; the epoch as the start of its UTC day [ns since
#: 1970] plus the time into the day [ps], and the same as a fraction of the day.
RECORD = np.dtype([
    ("epoch_midnight_ns", "<i8"), ("epoch_ps", "<i8"), ("epoch_fraction", "<f8"),
    ("ecc", "<f8"), ("inc", "<f8"), ("raa", "<f8"), ("arp", "<f8"), ("mea", "<f8"), ("mnm", "<f8"),
    ("bstar", "<f8"), ("ndot", "<f8"), ("nddot", "<f8"),
    ("satno", "<i4"), ("elnum", "<i4"), ("revnum", "<i4"), ("extras_row", "<i4"),
    ("epoch_decimals", "i1"), ("ephtype", "i1"), ("classification", "S1"), ("intldes", "S13"),
])
assert RECORD.itemsize == 128
