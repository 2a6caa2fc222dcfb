"""Reference frames, known by name."""


class Frame:
    """A reference frame; ``name`` is the text it is shown as."""

    def __init__(self, name: str):
        self.name = name

    def __repr__(self):
        return f"<Frame {self.name}>"

    def __reduce_ex__(self, protocol):
        # TEME, ITRF and GCRF are told apart by identity (``frame is TEME``): they unpickle as
        # this module's own instances.
        if globals().get(self.name) is self:
            return self.name
        return super().__reduce_ex__(protocol)


class _GCRF(Frame):
    """The Geocentric Celestial Reference Frame, inertial and Earth-centred (``astrokite.GCRF``).

    States turn into it from TEME through ITRF and the IAU 2006/2000A precession-nutation;
    positions stay in metres, velocities in metres per second.

    Example:
        >>> import astrokite as ak
        >>> iss = ak.read_tle("data/iss.tle")[25544]
        >>> gcrf = ak.SGP4(iss).propagate(ak.Time("2023-03-01")).to(ak.GCRF)
        >>> gcrf.frame.name, (gcrf.position[0, 0] / 1e3).round(3)  # km here
        ('GCRF', array([-4876.584,  -970.117,  4619.306]))
    """

    def __init__(self):
        super().__init__("GCRF")


class _ITRF(Frame):
    """The International Terrestrial Reference Frame, fixed to the Earth (``astrokite.ITRF``).

    Velocities in it are relative to the turning Earth; positions in metres, velocities in
    metres per second.

    Example:
        >>> import astrokite as ak
        >>> iss = ak.read_tle("data/iss.tle")[25544]
        >>> itrf = ak.SGP4(iss).propagate(ak.Time("2023-03-01")).to(ak.ITRF)
        >>> itrf.frame.name, (itrf.position[0, 0] / 1e3).round(3)  # km here
        ('ITRF', array([4179.339, 2712.22 , 4608.381]))
    """

    def __init__(self):
        super().__init__("ITRF")


class _TEME(Frame):
    """The frame of SGP4 states, true equator and mean equinox (``astrokite.TEME``).

    Example:
        >>> import astrokite as ak
        >>> iss = ak.read_tle("data/iss.tle")[25544]
        >>> teme = ak.SGP4(iss).propagate(ak.Time("2023-03-01"))
        >>> teme.frame is ak.TEME, (teme.position[0, 0] / 1e3).round(3)  # km here
        (True, array([-4881.795,  -995.56 ,  4608.376]))
    """

    def __init__(self):
        super().__init__("TEME")


class ENU(Frame):
    """A local east-north-up frame."""

    def __init__(self, name: str = "ENU"):
        super().__init__(name)


GCRF = _GCRF()
ITRF = _ITRF()
TEME = _TEME()
