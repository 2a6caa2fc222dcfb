"""Element-set files as the commands read them: TLE/3LE text or OMM, told by the extension
where it names one, else recognised from the content."""

from __future__ import annotations

import re
import sys
from pathlib import Path

import click

from astrokite.cli import terminal

# Extensions (before any compression's) that say what a file holds; other files are
# recognised from their first bytes.
OMM_SUFFIXES = {".xml", ".kvn", ".json", ".csv", ".omm"}
TLE_SUFFIXES = {".tle", ".txt", ".2le", ".3le"}
COMPRESSION_SUFFIXES = {".gz", ".bz2", ".xz", ".zip"}
# Bytes looked at to recognise the content.
HEAD = 4096
# A line 1 followed by its line 2: TLE text, whatever the other lines hold.
_LINE_PAIR = re.compile(rb"^1 [^\n]*\n2 ", re.MULTILINE)

FILES = click.argument("files", nargs=-1, required=True, metavar="FILE...",
                       type=click.Path(dir_okay=False))


def reading_options(command):
    """The options of every command that reads element-set files: --strict and --skip-bad."""
    command = click.option("--skip-bad", is_flag=True,
                           help="Skip element sets that cannot be read (each is reported) instead of stopping.")(command)
    return click.option("--strict", is_flag=True,
                        help="Refuse element sets whose line numbers, checksums or catalogue numbers "
                             "do not check out.")(command)


def _told_by_extension(path) -> str | None:
    suffixes = [suffix.lower() for suffix in Path(path).suffixes]
    while suffixes and suffixes[-1] in COMPRESSION_SUFFIXES:
        suffixes.pop()
    if suffixes and suffixes[-1] in OMM_SUFFIXES:
        return "omm"
    if suffixes and suffixes[-1] in TLE_SUFFIXES:
        return "tle"
    return None


def _recognised(path) -> str:
    """"omm" when the first bytes of the (decompressed) content are one of the OMM forms, else "tle"."""
    from astrokite.catalogue import sources
    from astrokite.catalogue.omm import _recognise  # the OMM reader's own test of its four forms

    opened = sources.streams(path)
    try:
        head = next(opened).stream.read(HEAD)
    except StopIteration:  # an archive without members
        return "tle"
    except sources.STREAM_ERRORS:  # damaged compression: the reader reports it
        return "tle"
    finally:
        opened.close()
    if _LINE_PAIR.search(head.replace(b"\r\n", b"\n")):
        return "tle"
    try:
        _recognise(head)
    except ValueError:
        return "tle"
    return "omm"


def kind_of(path) -> str:
    """"tle" or "omm": what the file holds, by its extension or else its content.

    A file that cannot be opened stops the command (exit code 1) with one line naming it.
    """
    try:
        with open(path, "rb"):
            pass
        return _told_by_extension(path) or _recognised(path)
    except OSError as error:
        raise click.ClickException(f"cannot read {path}: {error.strerror or error}") from None


def read_catalogue(paths, strict: bool = False, skip_bad: bool = False):
    """The element sets of the files as one catalogue (satellite number -> ELSET).

    TLE/3LE text is read by ``read_tle``, OMM by ``read_omm``; one run reads one kind.
    `strict` applies the line checks of TLE text. A file that cannot be read, or a bad element
    set unless `skip_bad`, stops the command with the reader's message; skipped sets are
    reported on standard error.
    """
    kinds = [kind_of(path) for path in paths]
    if len(set(kinds)) > 1:
        omm = [path for path, kind in zip(paths, kinds) if kind == "omm"]
        raise click.UsageError(f"give either TLE text files or OMM files, not both (OMM: {', '.join(omm)})")
    omm = kinds[0] == "omm"
    if omm and strict:
        raise click.UsageError("--strict checks the lines of TLE text; OMM files have none")
    from astrokite.catalogue import read_omm, read_tle

    # Console text of objects a command prints (str() of a TLE, ...) follows standard output's colour choice.
    terminal.style_console_text()
    errors = "skip" if skip_bad else "raise"
    try:
        if omm:
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


# Satellites propagated together: large enough for the propagator's batches, small enough
# that a chunk's states (satellites x times x 6 doubles) stay a bounded allocation.
SATELLITES_PER_CHUNK = 256


def chunks(catalogue):
    """The catalogue's ELSETs in lists of SATELLITES_PER_CHUNK, with a progress bar over satellites."""
    satnos = list(catalogue)
    groups = (satnos[i:i + SATELLITES_PER_CHUNK] for i in range(0, len(satnos), SATELLITES_PER_CHUNK))
    bar = terminal.progress(None, total=len(satnos), unit="sat")
    with bar:
        for group in groups:
            yield [catalogue[satno] for satno in group]
            bar.update(len(group))
