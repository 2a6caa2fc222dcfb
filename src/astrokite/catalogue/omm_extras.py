"""The OMM fields a record does not hold, kept beside the records: one table per reading.

A table maps each key to (codes, texts): one int32 code per row into the distinct texts, -1
where a row lacks the key. A record's ``extras_row`` names its row (-1: none). This is the shape
the OMM reader gives; ``joined`` puts the tables of several readings into one.
"""

from __future__ import annotations

import numpy as np

Table = dict[str, tuple[np.ndarray, list[str]]]


def joined(pieces: list[tuple[Table | None, np.ndarray]]) -> tuple[Table | None, list[np.ndarray]]:
    """One table of the rows that `pieces` use: each piece is a table and the extras_row column of
    its records. Returns the table (None when no record has a row) and each piece's column
    renumbered into it."""
    total = sum(int((rows >= 0).sum()) for table, rows in pieces if table is not None)
    if total == 0:
        return None, [np.full(len(rows), -1, np.int32) for _, rows in pieces]
    if len(pieces) == 1 and _uses_all_rows(*pieces[0]):
        return pieces[0][0], [pieces[0][1]]  # a single reading's own table is already that table
    codes: dict[str, np.ndarray] = {}
    texts: dict[str, dict[str, int]] = {}
    renumbered, start = [], 0
    for table, rows in pieces:
        used = (rows >= 0) if table is not None else np.zeros(len(rows), bool)
        count = int(used.sum())
        new_rows = np.full(len(rows), -1, np.int32)
        new_rows[used] = np.arange(start, start + count, dtype=np.int32)
        renumbered.append(new_rows)
        for key, (piece_codes, piece_texts) in (table or {}).items():
            index = texts.setdefault(key, {})
            remap = np.array([index.setdefault(text, len(index)) for text in piece_texts] + [-1], np.int32)
            column = codes.setdefault(key, np.full(total, -1, np.int32))
            column[start:start + count] = remap[piece_codes[rows[used]]]  # -1 stays -1 (the last entry)
        start += count
    return {key: (codes[key], list(texts[key])) for key in codes}, renumbered


def _uses_all_rows(table: Table, rows: np.ndarray) -> bool:
    """Whether the rows that use a table are all its rows, in order (its texts distinct)."""
    used = rows[rows >= 0]
    return (all(len(codes) == len(used) for codes, _ in table.values())
            and bool((used == np.arange(len(used), dtype=used.dtype)).all()))


def fields_of_row(table: Table | None, row: int) -> dict[str, str]:
    """The fields a row of a table holds, key -> text."""
    if table is None or row < 0:
        return {}
    return {key: texts[codes[row]] for key, (codes, texts) in table.items() if codes[row] >= 0}
