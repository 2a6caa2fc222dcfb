"""Close approaches between satellites: screening and collision probability."""

from astrokite.conjunctions.screening import screen
from astrokite.conjunctions.table import Conjunction, ConjunctionTable

__all__ = ["screen", "ConjunctionTable", "Conjunction"]
