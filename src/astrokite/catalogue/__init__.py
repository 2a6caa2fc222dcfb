"""Catalogues and histories of element sets: TLE/3LE text and OMM in and out.

    read_tle(source, ...)      2-line and 3-line text from paths or files, compressed or not
    parse_tle(text, ...)       the same from a str or bytes
    write_tle(catalogue, out)  3-line (or 2-line) text
    read_omm(source, ...)      CCSDS OMM as XML, KVN, JSON or CSV
    write_omm(catalogue, out, format=...)
    Catalogue                  read-only mapping of catalogue number to ELSET; from_pandas, merge
"""

from astrokite.catalogue.catalogue import Catalogue, Rejection
from astrokite.catalogue.tle_text import parse_tle, read_tle, write_tle

__all__ = ["Catalogue", "Rejection", "parse_tle", "read_omm", "read_tle", "write_omm", "write_tle"]


def __getattr__(name):
    # The OMM readers load their parsers only when asked for.
    if name in ("read_omm", "write_omm"):
        from astrokite.catalogue import omm

        return getattr(omm, name)
    raise AttributeError(f"module 'astrokite.catalogue' has no attribute {name!r}")
