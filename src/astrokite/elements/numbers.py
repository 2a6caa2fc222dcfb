"""Catalogue numbers and their TLE text: five digits, or alpha-5 from 100000 to 339999."""

from __future__ import annotations

# Alpha-5's first character stands for the leading two digits: A is 10 ... Z is 33, without I
# and O (which read like 1 and 0).
_LETTERS = "ABCDEFGHJKLMNPQRSTUVWXYZ"
#: The largest number TLE text holds (alpha-5 "Z9999").
MAX_TLE_SATNO = 339_999
#: The largest number an element-set record holds (nine digits, as OMM writes them).
MAX_SATNO = 999_999_999


def satno_of_text(text: str) -> int:
    """The catalogue number written in a TLE's number field: digits, or alpha-5 ("A0000" is
    100000, "Z9999" is 339999). ValueError for anything else.

    >>> satno_of_text("25544"), satno_of_text("A0000"), satno_of_text("Z9999")
    (25544, 100000, 339999)
    """
    field = text.strip()
    if len(field) == 5 and field[0] in _LETTERS and field[1:].isdigit():
        return (10 + _LETTERS.index(field[0])) * 10_000 + int(field[1:])
    if field.isdigit() and field.isascii():
        return int(field)
    raise ValueError(f"not a catalogue number: {text!r}")


def tle_text_of_satno(satno: int) -> str:
    """The five characters a TLE writes for a catalogue number: digits below 100000, alpha-5 up
    to 339999. ValueError for numbers TLE text cannot hold.

    >>> tle_text_of_satno(25544), tle_text_of_satno(100000), tle_text_of_satno(339999)
    ('25544', 'A0000', 'Z9999')
    """
    if not 0 <= satno <= MAX_TLE_SATNO:
        raise ValueError(f"catalogue number {satno} lies outside 0 to {MAX_TLE_SATNO}, which TLE text holds")
    if satno < 100_000:
        return f"{satno:05d}"
    return _LETTERS[satno // 10_000 - 10] + f"{satno % 10_000:04d}"
