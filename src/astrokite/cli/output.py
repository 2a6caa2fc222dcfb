"""Tables written chunk by chunk to CSV or Parquet, the format told by the file's extension."""

from __future__ import annotations

from pathlib import Path

import click

FORMATS = (".csv", ".parquet")


def check_path(ctx, param, value):
    """Click callback: the output path, refused at once when its extension names no format."""
    if value is not None and Path(value).suffix.lower() not in FORMATS:
        raise click.BadParameter(f"{value!r}: the file name must end in .csv or .parquet", ctx, param)
    return value


class TableWriter:
    """Appends pandas DataFrames of one layout to a CSV or Parquet file; use as a context manager.

    Times are written as ISO 8601 UTC text in CSV and as timestamps in Parquet. The rows go to a
    temporary file beside the target, which takes its name only when the block ends without an
    error, so that a failed run never leaves a truncated table that looks complete.
    """

    def __init__(self, path: str | Path):
        self.path = Path(path)
        self.partial = self.path.with_name(self.path.name + ".part")
        self.parquet = self.path.suffix.lower() == ".parquet"
        self._sink = None
        if self.parquet:
            try:
                import pyarrow.parquet  # noqa: F401
            except ImportError:
                raise click.ClickException(
                    "writing Parquet needs pyarrow: pip install 'astrokite[parquet]'") from None

    def __enter__(self) -> TableWriter:
        return self

    def write(self, frame) -> None:
        if self.parquet:
            import pyarrow as pa
            import pyarrow.parquet as pq

            table = pa.Table.from_pandas(frame, preserve_index=False)
            if self._sink is None:
                self._sink = pq.ParquetWriter(self.partial, table.schema)
            self._sink.write_table(table)
        else:
            if self._sink is None:
                self._sink = open(self.partial, "w", newline="")
                header = True
            else:
                header = False
            frame.to_csv(self._sink, index=False, header=header, date_format="%Y-%m-%dT%H:%M:%S.%fZ")

    def __exit__(self, kind, value, traceback) -> None:
        if self._sink is None:
            return
        self._sink.close()
        if kind is None:
            self.partial.replace(self.path)
        else:
            self.partial.unlink(missing_ok=True)
