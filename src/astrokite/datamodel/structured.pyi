"""NumPy structured record types of the package (packed, native byte order)."""

import numpy as numpy
from numpy import dtype as dtype

SurfCoord_dtype: dtype
LLA_dtype: dtype
ENU_dtype: dtype
AER_dtype: dtype
DTF_dtype: dtype
GeoState_dt: dtype
COE_dt: dtype
