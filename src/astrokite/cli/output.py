"""Tables written chunk by chunk to CSV or Parquet (told by the file's extension), or as CSV to
standard output for the path "-"."""

from __future__ import annotations

import io
import os
import sys
from pathlib import Path

import click

FORMATS = (".csv", ".parquet")
STDOUT = "-"


def check_path(ctx, param, value):
    """Click callback: the output path, checked before any work is done.

    An extension that names no format is a usage error (exit code 2); a directory that is
    missing or cannot be written stops the command (exit code 1) with one line naming the path.
    """
    if value is None or value == STDOUT:
        return value
    if Path(value).suffix.lower() not in FORMATS:
        raise click.BadParameter(f"{value!r}: the file name must end in .csv or .parquet, or be - "
                                 "(CSV on standard output)", ctx, param)
    directory = Path(value).parent
    if not directory.exists():
        raise click.ClickException(f"cannot write {value}: the directory {directory} does not exist")
    if not directory.is_dir():
        raise click.ClickException(f"cannot write {value}: {directory} is not a directory")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise click.ClickException(f"cannot write {value}: the directory {directory} is not writable")
    return value


def _cannot_write(path, error: OSError) -> click.ClickException:
    return click.ClickException(f"cannot write {path}: {error.strerror or error}")


class TableWriter:
    """Appends pandas DataFrames of one layout to a CSV or Parquet file; use as a context manager.

    Times are written as ISO 8601 UTC text in CSV and as timestamps in Parquet. The rows go to a
    temporary file beside the target, opened on entry (so that an unwritable place fails before
    any work) and given the target's name only when the block ends without an error, so that a
    failed run never leaves a truncated table that looks complete. The path "-" writes CSV to
    standard output as the rows come.
    """

    def __init__(self, path: str | Path):
        self.path = path
        self.to_stdout = path == STDOUT
        self.parquet = not self.to_stdout and Path(path).suffix.lower() == ".parquet"
        self.partial = None if self.to_stdout else Path(path).with_name(Path(path).name + ".part")
        self._file = None  # the partial file, binary
        self._sink = None  # what the rows are written through: a text stream or a Parquet writer
        self._header = True
        if self.parquet:
            try:
                import pyarrow.parquet  # noqa: F401
            except ImportError:
                raise click.ClickException(
                    "writing Parquet needs pyarrow: pip install 'astrokite[parquet]'") from None

    def __enter__(self) -> TableWriter:
        if self.to_stdout:
            self._sink = sys.stdout
            return self
        try:
            self._file = open(self.partial, "wb")
        except OSError as error:
            raise _cannot_write(self.path, error) from None
        return self

    def write(self, frame) -> None:
        try:
            if self.parquet:
                import pyarrow as pa
                import pyarrow.parquet as pq

                table = pa.Table.from_pandas(frame, preserve_index=False)
                if self._sink is None:
                    self._sink = pq.ParquetWriter(self._file, table.schema)
                self._sink.write_table(table)
                return
            if self._sink is None:
                self._sink = io.TextIOWrapper(self._file, encoding="utf-8", newline="")
            frame.to_csv(self._sink, index=False, header=self._header, date_format="%Y-%m-%dT%H:%M:%S.%fZ")
            self._header = False
        except OSError as error:
            if self.to_stdout:
                raise
            raise _cannot_write(self.path, error) from None

    def __exit__(self, kind, value, traceback) -> None:
        if self.to_stdout:
            self._sink.flush()
            return
        try:
            if self._sink is not None:
                self._sink.close()
            self._file.close()
            if kind is None:
                self.partial.replace(self.path)
        except OSError as error:
            self.partial.unlink(missing_ok=True)
            raise _cannot_write(self.path, error) from None
        if kind is not None:
            self.partial.unlink(missing_ok=True)
