"""``astrokite propagate``: a table of states, one row per satellite and instant."""

from __future__ import annotations

import click

from astrokite.cli import output
from astrokite.cli.params import DURATION, INSTANT
from astrokite.cli.reading import FILES, chunks, read_catalogue, reading_options

# Instants per satellite one run accepts; a mistyped step must not ask for terabytes.
MAX_TIMES = 10_000_000


def sample_times(start, stop, step: float):
    """start, start + step, ... up to stop (included when it falls on the grid), as a Time."""
    import numpy as np

    from astrokite.time.time import Time

    if stop < start:
        raise click.BadParameter(f"--stop {stop.utc!r} lies before --start {start.utc!r}")
    step_ns = round(step * 1e9)
    if step_ns < 1:
        raise click.BadParameter("--step must be at least one nanosecond")
    count = (stop.int64 - start.int64) // step_ns + 1
    if count > MAX_TIMES:
        raise click.BadParameter(
            f"--start, --stop and --step give {count:,} instants per satellite; at most {MAX_TIMES:,}")
    return Time(start.int64 + np.arange(count, dtype=np.int64) * step_ns)


def ephemeris_frame(ephemeris, frame: str):
    """One row per satellite and instant: satno, time (UTC), the state, error.

    Cartesian frames give x_m, y_m, z_m and vx_m_s, vy_m_s, vz_m_s; "lla" gives geodetic
    lat_deg, lon_deg and alt_m on WGS84.
    """
    import numpy as np
    import pandas as pd

    m, n = ephemeris.shape
    times = np.tile(np.atleast_1d(ephemeris.time.datetime64), m)
    columns = {"satno": np.repeat(ephemeris.satnos, n), "time": pd.DatetimeIndex(times).tz_localize("UTC")}
    if frame == "lla":
        lla = ephemeris.lla()
        columns |= {"lat_deg": np.degrees(lla["lat"]).ravel(), "lon_deg": np.degrees(lla["lon"]).ravel(),
                    "alt_m": lla["alt"].ravel()}
    else:
        columns |= dict(zip(("x_m", "y_m", "z_m"), ephemeris.position.reshape(-1, 3).T))
        if ephemeris.velocity is not None:
            columns |= dict(zip(("vx_m_s", "vy_m_s", "vz_m_s"), ephemeris.velocity.reshape(-1, 3).T))
    columns["error"] = ephemeris.error.ravel()
    return pd.DataFrame(columns)


@click.command()
@FILES
@click.option("--start", type=INSTANT, required=True, help="First instant (ISO 8601 UTC).")
@click.option("--stop", type=INSTANT, required=True, help="Last instant (ISO 8601 UTC), included when on the grid.")
@click.option("--step", type=DURATION, default="60s", show_default=True,
              help="Time between samples: seconds, or with a unit: 30s, 5min, 2h, 1d.")
@click.option("--frame", type=click.Choice(["teme", "gcrf", "itrf", "lla"], case_sensitive=False),
              default="teme", show_default=True,
              help="TEME, GCRF or ITRF positions [m] and velocities [m/s], or geodetic latitude, "
                   "longitude [deg] and altitude [m] on WGS84.")
@click.option("--out", required=True, type=click.Path(dir_okay=False, allow_dash=True), callback=output.check_path,
              help="Output table: OUT.csv, OUT.parquet (needs astrokite[parquet]), or - for CSV on "
                   "standard output.")
@reading_options
def propagate(files, start, stop, step, frame, out, strict, skip_bad):
    """Propagate every satellite with SGP4/SDP4 from its element set in force at each instant,
    and write one row per satellite and instant."""
    times = sample_times(start, stop, step)
    from astrokite.frames import frames
    from astrokite.propagators.analytical.sgp4.sgp4 import SGP4

    frame = frame.lower()
    catalogue = read_catalogue(files, strict, skip_bad)
    with output.TableWriter(out) as writer:
        for elsets in chunks(catalogue):
            ephemeris = SGP4(elsets).propagate(times)
            if frame in ("gcrf", "itrf"):
                ephemeris = ephemeris.to(getattr(frames, frame.upper()))
            writer.write(ephemeris_frame(ephemeris, frame))
    satellites, instants = len(catalogue), len(times)
    where = "standard output" if out == output.STDOUT else out
    click.echo(f"wrote {satellites * instants:,} rows ({satellites} satellite{'s' * (satellites != 1)} x "
               f"{instants:,} instant{'s' * (instants != 1)}) to {where}", err=True)
