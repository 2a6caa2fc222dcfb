"""astrokite on Dask: the same reading, propagation and screening spread over a cluster's workers.

    read_tle(paths, ...)      a lazy dask DataFrame of element sets, one partition per file or block
    read_omm(paths, ...)      the same from OMM files
    rejected(frame)           what the partitions of such a frame did not take, as a lazy DataFrame
    to_catalogue(frame)       a Catalogue of a frame (or a selection of it) that fits in memory
    propagate(source, times)  lazy dask arrays of the states SGP4.propagate gives
    screen(primary, ...)      close approaches, split over workers by time windows and primaries

Each task runs the single-machine code on its part, so the answers are those of one machine, bit
for bit. Needs the ``dask`` extra: ``pip install "astrokite[dask]"``.
"""

try:
    import dask  # noqa: F401
    import dask.array  # noqa: F401
    import dask.dataframe  # noqa: F401
except ImportError as error:  # the extra is not installed
    raise ImportError(
        f"astrokite.dask needs Dask with its array and dataframe parts ({error}): pip install \"astrokite[dask]\""
    ) from None

from astrokite.dask.frames import read_omm, read_tle, rejected, to_catalogue
from astrokite.dask.propagation import Propagation, propagate
from astrokite.dask.screening import screen

__all__ = ["Propagation", "propagate", "read_omm", "read_tle", "rejected", "screen", "to_catalogue"]
