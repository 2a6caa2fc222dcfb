"""Reference frames, known by name."""


class Frame:
    """A reference frame; ``name`` is the text it is shown as."""

    def __init__(self, name: str):
        self.name = name

    def __repr__(self):
        return f"<Frame {self.name}>"


class _GCRF(Frame):
    """Geocentric Celestial Reference Frame: inertial, Earth-centred."""

    def __init__(self):
        super().__init__("GCRF")


class _ITRF(Frame):
    """International Terrestrial Reference Frame: Earth-fixed."""

    def __init__(self):
        super().__init__("ITRF")


class _TEME(Frame):
    """True equator, mean equinox: the frame of SGP4 states."""

    def __init__(self):
        super().__init__("TEME")


class ENU(Frame):
    """A local east-north-up frame."""

    def __init__(self, name: str = "ENU"):
        super().__init__(name)


GCRF = _GCRF()
ITRF = _ITRF()
TEME = _TEME()
