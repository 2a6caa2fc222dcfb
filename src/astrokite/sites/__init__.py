"""Ground sites: look angles and passes of satellites."""

from astrokite.sites.passes import PassTable, find_passes
from astrokite.sites.site import Site

__all__ = ["PassTable", "Site", "find_passes"]
