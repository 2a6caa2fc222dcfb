"""Unit factors: the size of each unit in base units (radian, metre, second, kilogram).

Multiply to read a value into base units (``30 * deg`` is in radians), divide to
show it in a unit (``sma / km``).
"""

rad: float
deg: float
rev: float
m: float
km: float
kg: float
s: float
sec: float
second: float
minute: float
hour: float
day: float
sday: float
"""Sidereal day, 86164.0905 s."""
