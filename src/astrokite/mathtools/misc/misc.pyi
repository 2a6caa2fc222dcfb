"""Small numerical helpers."""



def atan2_asymmetric(y: float, x: float) -> float:
    """
    The angle of the point (x, y) in radians, in [0, 2 pi); argument order as for
    math.atan2. A NaN coordinate gives NaN.
    """
