"""
Unit factors: the size of each unit in base units (radian, metre, second,
kilogram), as floats.

Multiply a value by a factor to read it into base units; divide a value in
base units by a factor to show it in that unit.

    angle   rad 1, deg pi/180, rev 2 pi                      [rad]
    length  m 1, km 1000                                     [m]
    mass    kg 1                                             [kg]
    time    s, sec, second 1, minute 60, hour 3600,          [s]
            day 86400, sday 86164.0905 (sidereal day)

Example:

>>> from astrokite.units import units as u
>>> 30 * u.deg                 # rad
0.5235987755982988
>>> 6778137.0 / u.km           # km
6778.137
>>> 15.5 * u.rev / u.day       # a mean motion of 15.5 rev/day in rad/s
0.0011271918085796711
"""



rad: float = 1.0

deg: float = 0.017453292519943295

rev: float = 6.283185307179586

m: float = 1.0

km: float = 1000.0

kg: float = 1.0

s: float = 1.0

sec: float = 1.0

second: float = 1.0

minute: float = 60.0

hour: float = 3600.0

day: float = 86400.0

sday: float = 86164.0905
