"""The ``astrokite`` command: summaries, ephemerides and passes from element-set files.

Heavy modules (NumPy, pandas, the extensions) are imported inside the commands, so that
``astrokite --help`` answers at once.
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

import click

from astrokite import __version__
from astrokite.cli import output
from astrokite.cli.params import DURATION, INSTANT, SITE

# Satellites propagated together: large enough for the propagator's batches, small enough
# that a chunk's states (satellites x times x 6 doubles) stay a bounded allocation.
SATELLITES_PER_CHUNK = 256
# Instants per satellite one run accepts; a mistyped step must not ask for terabytes.
MAX_TIMES = 10_000_000

FILES = click.argument("files", nargs=-1, required=True, metavar="FILE...",
                       type=click.Path(exists=True, dir_okay=False, readable=True))


def reading_options(command):
    """The options of every command that reads element-set files: --strict and --skip-bad."""
    command = click.option("--skip-bad", is_flag=True,
                           help="Skip element sets that cannot be read (each is reported) instead of stopping.")(command)
    return click.option("--strict", is_flag=True,
                        help="Refuse element sets whose line numbers, checksums or catalogue numbers "
                             "do not check out.")(command)


def progress(iterable, total: int, unit: str):
    """A progress bar on standard error, shown only when standard error is a terminal."""
    from tqdm import tqdm

    return tqdm(iterable, total=total, unit=unit, file=sys.stderr, disable=None, leave=False)


# OMM files are told by their extension (before any compression's); anything else is TLE text.
OMM_SUFFIXES = {".xml", ".kvn", ".json", ".csv", ".omm"}
COMPRESSION_SUFFIXES = {".gz", ".bz2", ".xz", ".zip"}


def is_omm(path) -> bool:
    suffixes = [suffix.lower() for suffix in Path(path).suffixes]
    while suffixes and suffixes[-1] in COMPRESSION_SUFFIXES:
        suffixes.pop()
    return bool(suffixes) and suffixes[-1] in OMM_SUFFIXES


def read_catalogue(paths, strict: bool = False, skip_bad: bool = False):
    """The element sets of the files as one catalogue (satellite number -> ELSET).

    TLE/3LE text is read by ``read_tle``, OMM files (by extension) by ``read_omm``; one run
    reads one kind. `strict` applies the line checks of TLE text. A file that cannot be read,
    or a bad element set unless `skip_bad`, stops the command with the reader's message;
    skipped sets are reported on standard error.
    """
    from astrokite.catalogue import read_omm, read_tle

    omm = [is_omm(path) for path in paths]
    if any(omm) and not all(omm):
        raise click.UsageError("give either TLE text files or OMM files (.xml, .kvn, .json, .csv), not both")
    if all(omm) and strict:
        raise click.UsageError("--strict checks the lines of TLE text; OMM files have none")
    errors = "skip" if skip_bad else "raise"
    try:
        if all(omm):
            catalogue = read_omm(list(paths), errors=errors)
        else:
            catalogue = read_tle(list(paths), strict=strict, errors=errors, progress=sys.stderr.isatty())
    except (OSError, ValueError) as error:
        raise click.ClickException(str(error)) from None
    for record in catalogue.rejected:
        click.echo(f"skipped {record.source}, line {record.line}: {record.reason}", err=True)
    if not catalogue:
        raise click.ClickException(f"no element sets in {', '.join(paths)}")
    return catalogue


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


def chunks(catalogue):
    """The catalogue's ELSETs in lists of SATELLITES_PER_CHUNK, with a progress bar over satellites."""
    satnos = list(catalogue)
    groups = (satnos[i:i + SATELLITES_PER_CHUNK] for i in range(0, len(satnos), SATELLITES_PER_CHUNK))
    bar = progress(None, total=len(satnos), unit="sat")
    with bar:
        for group in groups:
            yield [catalogue[satno] for satno in group]
            bar.update(len(group))


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


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(__version__, prog_name="astrokite")
def main():
    """Satellite element sets from the command line: summaries, ephemerides and passes.

    FILE is a text file of 2-line or 3-line element sets (TLE/3LE), or OMM as XML, KVN, JSON
    or CSV (told by the extension: .xml, .kvn, .json, .csv); compressed files are read as they
    are. Times are ISO 8601 UTC.
    Run `astrokite COMMAND --help` for each command's options.
    """


@main.command()
@FILES
@reading_options
def info(files, strict, skip_bad):
    """Summarise each satellite: name, number, element sets, first and last epoch, latest
    perigee and apogee altitudes (km above the Earth's equatorial radius)."""
    from astrokite.utils.quantities import summary

    catalogue = read_catalogue(files, strict, skip_bad)
    rows = []
    for satno in catalogue:
        row = summary(catalogue[satno])
        rows.append((str(row.satno), row.name or "-", str(row.sets), _second(row.first), _second(row.last),
                     f"{row.perigee / 1000:.1f}", f"{row.apogee / 1000:.1f}"))
    header = ("number", "name", "sets", "first epoch (UTC)", "last epoch (UTC)", "perigee km", "apogee km")
    echo_columns(header, rows, left=(1, 3, 4))
    click.echo(f"{len(rows)} satellites, {sum(int(row[2]) for row in rows)} element sets")


def echo_columns(header, rows, left=()):
    """Print rows of text cells as aligned columns under a header; numbers right-aligned, the
    columns in `left` left-aligned."""
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    for row in [header, *rows]:
        cells = [cell.ljust(width) if i in left else cell.rjust(width)
                 for i, (cell, width) in enumerate(zip(row, widths))]
        click.echo("  ".join(cells).rstrip())


def _second(time) -> str:
    """ISO 8601 text of a scalar Time to the second."""
    return repr(time.utc)[:19] + "Z"


def _pass_time(instant) -> str:
    """ISO 8601 text to the second of a pandas timestamp; "-" for none (NaT)."""
    return "-" if instant is None or instant != instant else f"{instant:%Y-%m-%dT%H:%M:%S}Z"


@main.command()
@FILES
@click.option("--start", type=INSTANT, required=True, help="First instant (ISO 8601 UTC).")
@click.option("--stop", type=INSTANT, required=True, help="Last instant (ISO 8601 UTC), included when on the grid.")
@click.option("--step", type=DURATION, default="60s", show_default=True,
              help="Time between samples: seconds, or with a unit: 30s, 5min, 2h, 1d.")
@click.option("--frame", type=click.Choice(["teme", "gcrf", "itrf", "lla"], case_sensitive=False),
              default="teme", show_default=True,
              help="TEME, GCRF or ITRF positions [m] and velocities [m/s], or geodetic latitude, "
                   "longitude [deg] and altitude [m] on WGS84.")
@click.option("--out", required=True, type=click.Path(dir_okay=False), callback=output.check_path,
              help="Output table: OUT.csv, or OUT.parquet (needs astrokite[parquet]).")
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
    click.echo(f"wrote {satellites * instants:,} rows ({satellites} satellite{'s' * (satellites != 1)} x "
               f"{instants:,} instant{'s' * (instants != 1)}) to {out}", err=True)


@main.command()
@FILES
@click.option("--site", type=SITE, required=True,
              help="Observer: geodetic latitude and longitude [deg], optional altitude [m] on WGS84.")
@click.option("--start", type=INSTANT, required=True, help="Start of the search (ISO 8601 UTC).")
@click.option("--stop", type=INSTANT, required=True, help="End of the search (ISO 8601 UTC).")
@click.option("--min-elevation", type=click.FloatRange(-90, 90), default=0.0, show_default=True,
              help="Elevation [deg] above which a satellite counts as in view.")
@click.option("--out", type=click.Path(dir_okay=False), callback=output.check_path,
              help="Also write the passes to OUT.csv or OUT.parquet.")
@reading_options
def passes(files, site, start, stop, min_elevation, out, strict, skip_bad):
    """List the passes of every satellite over a site: rise, culmination and set (UTC), and the
    maximum elevation."""
    if stop <= start:
        raise click.BadParameter(f"--stop {stop.utc!r} must lie after --start {start.utc!r}")
    import pandas as pd

    from astrokite.propagators.analytical.sgp4.sgp4 import SGP4
    from astrokite.sites import Site

    observer = Site(*site)
    catalogue = read_catalogue(files, strict, skip_bad)
    tables = [observer.passes(SGP4(elsets), start, stop, min_elevation=math.radians(min_elevation)).to_pandas()
              for elsets in chunks(catalogue)]
    table = pd.concat(tables, ignore_index=True).sort_values("culmination", kind="stable", ignore_index=True)
    if out:
        with output.TableWriter(out) as writer:
            writer.write(table)
    if not len(table):
        click.echo("no passes")
        return
    header = ("number", "rise (UTC)", "culmination (UTC)", "set (UTC)", "max el deg", "note")
    rows = [(str(row.satno), _pass_time(row.rise), _pass_time(row.culmination), _pass_time(row.set),
             f"{row.max_elevation_deg:.1f}", _pass_note(row)) for row in table.itertuples()]
    if not any(row[-1] for row in rows):
        header, rows = header[:-1], [row[:-1] for row in rows]
    echo_columns(header, rows, left=(5,))


def _pass_note(row) -> str:
    """Why a pass row has no rise or set: under way at the ends of the search, or a failed propagation."""
    notes = [text for flag, text in ((row.rises_before_start, "up at start"), (row.sets_after_stop, "up at stop"),
                                     (row.failed, "propagation failed")) if flag]
    return ", ".join(notes)


from astrokite.cli.screen import screen  # noqa: E402  (the command module imports this one's helpers)
main.add_command(screen)
