"""What goes to the user's terminal: whether to colour it, aligned columns, progress bars.

Colour is for a person reading a terminal: text written to a file or a pipe, or by a process
run with NO_COLOR in its environment (https://no-color.org), carries no escape sequences.
"""

from __future__ import annotations

import os
import sys


def wants_colour(stream) -> bool:
    """Whether text written to `stream` may be coloured: it is a terminal and NO_COLOR is not set.

    NO_COLOR turns colour off whatever its value, even empty.
    """
    if "NO_COLOR" in os.environ:
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # no isatty, or a closed stream
        return False


def style_console_text(stream=None) -> bool:
    """Switch the colours of the objects' console text (str() of a TLE, an ELSET, ...) on or off
    for this process, as `stream` (standard output by default) wants; returns the choice.

    Imports the native text module, so call it where the extensions are loaded anyway.
    """
    from astrokite.utils.representable import Representable

    colour = wants_colour(sys.stdout if stream is None else stream)
    Representable.set_styling(colour)
    return colour


def echo_columns(header, rows, left=()) -> None:
    """Print rows of text cells as aligned columns under a header (bold on a colour terminal);
    numbers right-aligned, the columns in `left` left-aligned."""
    import click

    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    bold = wants_colour(sys.stdout)
    for number, row in enumerate([header, *rows]):
        cells = [cell.ljust(width) if i in left else cell.rjust(width)
                 for i, (cell, width) in enumerate(zip(row, widths))]
        line = "  ".join(cells).rstrip()
        # color=True: the decision is made here, NO_COLOR included, not by click's terminal check.
        click.echo(click.style(line, bold=True) if bold and number == 0 else line, color=bold)


def progress(iterable, total: int, unit: str):
    """A progress bar on standard error, shown only when standard error is a terminal."""
    from tqdm import tqdm

    return tqdm(iterable, total=total, unit=unit, file=sys.stderr, disable=None, leave=False)
