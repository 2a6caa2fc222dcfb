"""The ``astrokite screen`` command: close approaches among satellites, or of some against others."""

from __future__ import annotations

import sys

import click

from astrokite.cli import output
from astrokite.cli.params import DISTANCE, INSTANT
from astrokite.cli.reading import FILES, read_catalogue, reading_options
from astrokite.cli.terminal import echo_columns

# Rows printed on the terminal; the whole table goes to --out.
SHOWN = 100

@click.command()
@FILES
@click.option("--against", "against_files", multiple=True, type=click.Path(dir_okay=False),
              help="Screen the satellites of FILE against those of this file (repeat for more) "
                   "instead of all against all.")
@click.option("--start", type=INSTANT, required=True, help="Start of the window (ISO 8601 UTC).")
@click.option("--stop", type=INSTANT, required=True, help="End of the window (ISO 8601 UTC).")
@click.option("--threshold", type=DISTANCE, default="5km", show_default=True,
              help="Report minima of the distance below this (5km, 500m, ...).")
@click.option("--out", type=click.Path(dir_okay=False), callback=output.check_path,
              help="Also write every approach to OUT.csv or OUT.parquet; - writes them as CSV to standard output.")
@reading_options
def screen(files, against_files, start, stop, threshold, out, strict, skip_bad):
    """Find close approaches: every local minimum of the distance between two satellites below
    the threshold, with its time (UTC), miss distance and relative speed."""
    if stop <= start:
        raise click.BadParameter(f"--stop {stop.utc!r} must lie after --start {start.utc!r}")
    from tqdm import tqdm

    from astrokite.conjunctions import screen as find

    primary = read_catalogue(files, strict, skip_bad)
    against = read_catalogue(against_files, strict, skip_bad) if against_files else None
    with tqdm(total=1, unit="step", file=sys.stderr, disable=None, leave=False) as bar:
        def progress(done, total):
            bar.total = total
            bar.n = done
            bar.refresh()

        try:
            table = find(primary, start, stop, against=against, threshold=threshold, progress=progress)
        except ValueError as error:
            raise click.ClickException(str(error)) from None
    frame = table.to_pandas()
    if out:
        with output.TableWriter(out) as writer:
            writer.write(frame)
    for row in table.failed.itertuples():
        click.echo(f"satellite {row.satno} failed from {row.time.isoformat()}: {row.reason}", err=True)
    if out == output.STDOUT:
        return
    if not len(frame):
        click.echo("no close approaches")
        return
    shown = frame.nsmallest(SHOWN, "miss_distance").sort_values("tca", kind="stable") if len(frame) > SHOWN else frame
    header = ("primary", "secondary", "TCA (UTC)", "miss m", "speed m/s", "note")
    rows = [(str(row.primary), str(row.secondary), row.tca.strftime("%Y-%m-%d %H:%M:%S.%f")[:-3],
             f"{row.miss_distance:.1f}", f"{row.relative_speed:.1f}",
             "at start" if row.at_start else "at stop" if row.at_stop else "") for row in shown.itertuples()]
    if not any(row[-1] for row in rows):
        header, rows = header[:-1], [row[:-1] for row in rows]
    echo_columns(header, rows)
    if len(frame) > SHOWN:
        click.echo(f"{len(frame):,} approaches; the {SHOWN} closest shown" + (f", all in {out}" if out else ""))
