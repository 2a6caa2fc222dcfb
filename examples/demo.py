"""astrokite demo: the element-set histories of 15 satellites in early 2023, read in one
call and summed up; the ISS's history shown, propagated, its ground track and passes over Paris.

Run with `make demo`.
"""

import math
import sys
from pathlib import Path

import numpy as np

from astrokite.bodies.bodies import Earth, Moon, Sun
from astrokite.catalogue import Catalogue, read_tle
from astrokite.cli.terminal import style_console_text
from astrokite.frames.rotations import rot_GCRF_from_ITRF
from astrokite.propagators.analytical.sgp4.sgp4 import SGP4
from astrokite.propagators.analytical.sgp4.tle import TLE
from astrokite.sites import Site
from astrokite.time.time import Time
from astrokite.units import units

DATA = Path(__file__).resolve().parent.parent / "data"


def summary(catalogue: Catalogue) -> None:
    """One line per satellite: its element sets, first and last epoch, latest perigee and apogee."""
    print(f"  {'number':>6} {'sets':>5}  {'first epoch (UTC)':<28} {'last epoch (UTC)':<28} "
          f"{'perigee km':>10} {'apogee km':>10}")
    for satno, history in catalogue.items():
        print(f"  {satno:>6} {history.size:>5}  {history.epoch[0].utc!r:<28} {history.epoch[-1].utc!r:<28} "
              f"{history.pge[-1] / units.km:10.1f} {history.apg[-1] / units.km:10.1f}")


def main() -> None:
    style_console_text(sys.stdout)  # the boxes are coloured on a terminal only, never with NO_COLOR set
    files = sorted(DATA.glob("*.tle"))
    catalogue = read_tle(files)
    print(f"Read {catalogue.size:,} element sets of {len(catalogue)} satellites from {len(files)} files:")
    summary(catalogue)
    iss = catalogue[25544]
    newest = iss[-1]
    print(f"\nThe ISS (25544): {iss.size} element sets.\n")
    print("The newest element set:")
    print(newest)
    print("The whole history:")
    print(iss)

    epoch = newest.epoch
    sun, moon = Sun(epoch), Moon(epoch)
    print(f"At the newest epoch, {epoch.utc!r}:")
    print(f"  Sun distance  {np.linalg.norm(sun.position) / 1.495978707e11:.6f} au")
    print(f"  Moon distance {np.linalg.norm(moon.position) / units.km:,.0f} km")
    print(f"  Earth GM {Earth.GM:.9e} m^3/s^2, Re {Earth.Re:.1f} m")
    with np.printoptions(precision=9, suppress=True):
        print("  ITRF to GCRF rotation:")
        print("  " + str(rot_GCRF_from_ITRF(epoch)).replace("\n", "\n  "))

    week = iss[Time("2023-03-01"):Time("2023-03-08")]
    print(f"\nOne week, 2023-03-01 to 2023-03-08: {week.size} element sets")
    print(f"  {'epoch (UTC)':<28} {'sma [km]':>10} {'perigee [km]':>13} {'apogee [km]':>12}")
    for tle in week:
        print(f"  {tle.epoch.utc!r:<28} {tle.sma / units.km:10.3f} {tle.pge / units.km:13.3f} "
              f"{tle.apg / units.km:12.3f}")
    sma, pge, apg = week.sma / units.km, week.pge / units.km, week.apg / units.km
    print(f"  change over the week: sma {sma[-1] - sma[0]:+.3f} km, perigee {pge[-1] - pge[0]:+.3f} km, "
          f"apogee {apg[-1] - apg[0]:+.3f} km")

    # Where the ISS is over one day, each instant from the element set in force at it.
    day = Time(["2023-03-01T00:00", "2023-03-01T06:00", "2023-03-01T12:00", "2023-03-01T18:00",
                "2023-03-02T00:00"])
    states = SGP4(iss).propagate(day)
    print("\nThe ISS over 2023-03-01 (SGP4, TEME, from the element set in force at each instant):")
    print(f"  {'time (UTC)':<28} {'x [km]':>10} {'y [km]':>10} {'z [km]':>10} {'|r| [km]':>9} {'|v| [km/s]':>10}")
    for instant, r, v in zip(day, states.position[0], states.velocity[0]):
        print(f"  {instant.utc!r:<28} {r[0] / units.km:10.3f} {r[1] / units.km:10.3f} {r[2] / units.km:10.3f} "
              f"{np.linalg.norm(r) / units.km:9.3f} {np.linalg.norm(v) / units.km:10.4f}")

    ground_track_and_passes(iss["2023-03-01":"2023-03-02"][0])


def ground_track_and_passes(tle: TLE) -> None:
    times = Time("2023-03-01T06:00").int64 + np.arange(0, 93 * 60 + 1, 600) * 10**9
    track = SGP4(tle).propagate(Time(times)).lla()[0]
    print(f"\nGround track for one orbit from the element set of {tle.epoch.utc!r}:")
    print(f"  {'time (UTC)':<28} {'lat [deg]':>9} {'lon [deg]':>9} {'alt [km]':>8}")
    for t, point in zip(Time(times), track):
        print(f"  {t.utc!r:<28} {math.degrees(point['lat']):9.3f} {math.degrees(point['lon']):9.3f} "
              f"{point['alt'] / units.km:8.1f}")
    paris = Site(math.radians(48.8566), math.radians(2.3522), 35.0, name="Paris")
    table = paris.passes(tle, "2023-03-01T06:00", "2023-03-02T06:00", min_elevation=math.radians(10))
    print(f"\nPasses over {paris.name} above 10 deg, 2023-03-01 06:00 to 2023-03-02 06:00 UTC:")
    print(f"  {'rise':<28} {'culmination':<28} {'set':<28} {'max elev [deg]':>14}")
    for rise, top, set_, highest in zip(table.rise, table.culmination, table.set, table.max_elevation):
        print(f"  {rise.utc!r:<28} {top.utc!r:<28} {set_.utc!r:<28} {math.degrees(highest):14.1f}")
    visible_passes(tle, paris)


def _clock(time: Time, date: bool = False) -> str:
    text = repr(time.utc)
    return f"{text[:10]} {text[11:19]}" if date else text[11:19]


def visible_passes(tle: TLE, site: Site) -> None:
    # Sunlit overhead while the sky here is dark: the passes one can see, with an estimated
    # brightness at culmination (the ISS: standard magnitude -1.8, at 1,000 km and half lit).
    table = site.passes(tle, "2023-03-01", "2023-03-04", min_elevation=math.radians(10), visible_only=True)
    print(f"\nVisible passes of the ISS over {site.name} above 10 deg, 2023-03-01 to 2023-03-04 UTC:")
    print(f"  {'rise':<19}  {'culmination':<11} {'set':<8}  {'visible':<17} {'max elev [deg]':>14} "
          f"{'mag at culmination':>18}")
    for k, magnitude in enumerate(table.magnitude(-1.8)):
        brightness = f"{magnitude:18.1f}" if np.isfinite(magnitude) else f"{'(in shadow)':>18}"
        print(f"  {_clock(table.rise[k], date=True):<19}  {_clock(table.culmination[k]):<11} "
              f"{_clock(table.set[k]):<8}  {_clock(table.visible_start[k])}-{_clock(table.visible_stop[k])} "
              f"{math.degrees(table.max_elevation[k]):14.1f} {brightness}")


if __name__ == "__main__":
    main()
