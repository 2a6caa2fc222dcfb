"""Native parts of close-approach screening: the sieve and collision probabilities."""

import numpy
import numpy.typing

FEW_PRIMARIES: int
"""Screens of at most this many primaries test each against every object instead of hashing."""

def sieve(
    position: numpy.typing.NDArray[numpy.float64],
    step: numpy.typing.NDArray[numpy.float64],
    group: numpy.typing.NDArray[numpy.uint8],
    threshold: float,
    threads: int,
) -> tuple[numpy.typing.NDArray[numpy.int32], numpy.typing.NDArray[numpy.int32], numpy.typing.NDArray[numpy.int32]]:
    """(first, second, interval) rows of every pair and grid interval that may hold an approach within
    threshold (m), from positions (objects, samples, 3) in m, interval lengths in s and group flags
    (1 primary, 2 against)."""

def probability(
    primary_position: numpy.typing.NDArray[numpy.float64],
    primary_velocity: numpy.typing.NDArray[numpy.float64],
    relative_position: numpy.typing.NDArray[numpy.float64],
    relative_velocity: numpy.typing.NDArray[numpy.float64],
    sigma: numpy.typing.NDArray[numpy.float64],
    radius: float,
    maximum: bool,
) -> numpy.typing.NDArray[numpy.float64]:
    """Short-encounter collision probability per row (or its maximum over the covariance's scale)."""
