"""``astrokite info``: one line per satellite of the files."""

from __future__ import annotations

import click

from astrokite.cli.reading import FILES, read_catalogue, reading_options
from astrokite.cli.terminal import echo_columns


def _second(time) -> str:
    """ISO 8601 text of a scalar Time to the second."""
    return repr(time.utc)[:19] + "Z"


@click.command()
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
    sets = sum(int(row[2]) for row in rows)
    click.echo(f"{len(rows)} satellite{'s' * (len(rows) != 1)}, {sets} element set{'s' * (sets != 1)}")
