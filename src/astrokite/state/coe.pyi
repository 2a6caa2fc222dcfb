"""Classical orbital elements."""



def c_eca_from_mea(mea: float, ecc: float) -> float:
    """
    Eccentric anomaly E [rad] from mean anomaly M [rad] and eccentricity e: the
    solution of Kepler's equation E - e sin E = M, to within a few ulp. E lies in
    the same revolution as M (no reduction to [0, 2 pi)); e = 0 gives M itself.
    An eccentricity outside [0, 1) or a non-finite input gives NaN.
    """
