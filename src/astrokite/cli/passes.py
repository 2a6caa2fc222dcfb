"""``astrokite passes``: the passes of every satellite over a site."""

from __future__ import annotations

import contextlib
import math

import click

from astrokite.cli import output
from astrokite.cli.params import INSTANT, SITE
from astrokite.cli.reading import FILES, chunks, read_catalogue, reading_options
from astrokite.cli.terminal import echo_columns


def _pass_time(instant) -> str:
    """ISO 8601 text to the second of a pandas timestamp; "-" for none (NaT)."""
    return "-" if instant is None or instant != instant else f"{instant:%Y-%m-%dT%H:%M:%S}Z"


def _pass_note(row) -> str:
    """Why a pass row has no rise or set: under way at the ends of the search, or a failed propagation."""
    notes = [text for flag, text in ((row.rises_before_start, "up at start"), (row.sets_after_stop, "up at stop"),
                                     (row.failed, "propagation failed")) if flag]
    return ", ".join(notes)


@click.command()
@FILES
@click.option("--site", type=SITE, required=True,
              help="Observer: geodetic latitude and longitude [deg], optional altitude [m] on WGS84.")
@click.option("--start", type=INSTANT, required=True, help="Start of the search (ISO 8601 UTC).")
@click.option("--stop", type=INSTANT, required=True, help="End of the search (ISO 8601 UTC).")
@click.option("--min-elevation", type=click.FloatRange(-90, 90), default=0.0, show_default=True,
              help="Elevation [deg] above which a satellite counts as in view.")
@click.option("--out", type=click.Path(dir_okay=False, allow_dash=True), callback=output.check_path,
              help="Also write the passes to OUT.csv or OUT.parquet; - writes them as CSV to standard "
                   "output instead of the list.")
@reading_options
def passes(files, site, start, stop, min_elevation, out, strict, skip_bad):
    """List the passes of every satellite over a site: rise, culmination and set (UTC), and the
    maximum elevation."""
    if stop <= start:
        raise click.BadParameter(f"--stop {stop.utc!r} must lie after --start {start.utc!r}")
    import pandas as pd

    from astrokite.sites import Site

    observer = Site(*site)
    catalogue = read_catalogue(files, strict, skip_bad)
    writer = output.TableWriter(out) if out else None
    with writer or contextlib.nullcontext():
        tables = [observer.passes(elsets, start, stop, min_elevation=math.radians(min_elevation)).to_pandas()
                  for elsets in chunks(catalogue)]
        table = pd.concat(tables, ignore_index=True).sort_values("culmination", kind="stable", ignore_index=True)
        if writer:
            writer.write(table)
    if out == output.STDOUT:
        return
    if not len(table):
        click.echo("no passes")
        return
    header = ("number", "rise (UTC)", "culmination (UTC)", "set (UTC)", "max el deg", "note")
    rows = [(str(row.satno), _pass_time(row.rise), _pass_time(row.culmination), _pass_time(row.set),
             f"{row.max_elevation_deg:.1f}", _pass_note(row)) for row in table.itertuples()]
    if not any(row[-1] for row in rows):
        header, rows = header[:-1], [row[:-1] for row in rows]
    echo_columns(header, rows, left=(5,))
