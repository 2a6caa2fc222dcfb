"""
Native parts of close-approach screening: the sieve and collision probabilities.
"""

from typing import Annotated

import numpy
from numpy.typing import NDArray


FEW_PRIMARIES: int = 16

def sieve(position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], step: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], group: Annotated[NDArray[numpy.uint8], dict(shape=(None,), order='C', device='cpu', writable=False)], threshold: float, threads: int) -> tuple:
    """
    (first, second, interval) int32 rows of every pair and grid interval that may hold an approach within threshold (m), from positions (objects, samples, 3) in m, interval lengths in s and group flags (1 primary, 2 against).
    """

def probability(primary_position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], primary_velocity: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], relative_position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], relative_velocity: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], sigma: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], radius: float, maximum: bool) -> Annotated[NDArray[numpy.float64], dict(shape=(None,))]:
    """
    Short-encounter collision probability per row (or its maximum over the covariance's scale).
    """
