"""The ``astrokite`` command: summaries, ephemerides and passes from element-set files.

Each command lives in a module of its own and is registered below by one line. Heavy modules
(NumPy, pandas, the extensions) are imported inside the commands, so that ``astrokite --help``
answers at once.
"""

from __future__ import annotations

import click

from astrokite import __version__
from astrokite.cli import info, passes, propagate, screen


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(__version__, prog_name="astrokite")
def main():
    """Satellite element sets from the command line: summaries, ephemerides and passes.

    FILE is a text file of 2-line or 3-line element sets (TLE/3LE), or OMM as XML, KVN, JSON
    or CSV, compressed (gzip, bzip2, xz, zip) or not. The extension tells which (.tle, .txt;
    .xml, .kvn, .json, .csv); without one of those, the content does. Times are ISO 8601 UTC.
    Output is coloured only on a terminal, and never with NO_COLOR set.
    Run `astrokite COMMAND --help` for each command's options.
    """


main.add_command(info.info)
main.add_command(propagate.propagate)
main.add_command(passes.passes)
main.add_command(screen.screen)
