"""
Console text of the package's objects: a framed, optionally styled box made of a header and a body, with the look read from settings.json beside this module.
"""

from typing import Any

import pandas


class Representable:
    """Objects with a nice representation on console"""

    def __init__(self) -> None: ...

    _available_colors: dict = ...

    def _get_header(self) -> str:
        """The header of the report representation"""

    def _get_body(self) -> str:
        """The body of the report representation"""

    def __str__(self) -> str:
        """The header and body framed by walls and a fence"""

    def __repr__(self) -> str:
        """The same text as str()"""

    @staticmethod
    def _Representable__get_option(option_tag: str) -> object:
        """Value of an option of settings.json, read anew at every call"""

    @staticmethod
    def _Representable__get_color_formatted_text(text: str, color: str) -> str:
        """Text wrapped in the sequences of a colour of _available_colors"""

    @staticmethod
    def _Representable__get_bold_formatted_text(text: str) -> str:
        """Text wrapped in the bold sequences"""

    @staticmethod
    def _Representable__wall(length: int) -> str:
        """The wall (top and bottom rule) of a box of the given width"""

    @staticmethod
    def _Representable__fence(length: int) -> str:
        """The fence (separator rule) of a box of the given width"""

    @staticmethod
    def _format_as_property(text: str) -> str:
        """Formats text as property"""

    @staticmethod
    def set_styling(enabled: bool) -> bool:
        """
        Turns the colours and bold of the settings on or off in the console text of every object of this process (on by default); returns the previous setting. Programs writing to a file or pipe, or run with NO_COLOR set, turn it off.
        """

    @staticmethod
    def parse_color(color: str) -> str:
        """Parses color name"""

    @staticmethod
    def _create_formatted_form(data: dict, order: list[str] | None = None, min_gap: int = 4, uppercase: bool = False, capitalise: bool = False, capitalize: bool = False) -> str:
        """
        Name-value lines with the values in one column.

        data: Data to be represented as form
        order: List of field names in the desired order
        min_gap: Minimum number of white spaces between field names and values
        uppercase: Uppercase the field names
        capitalise, capitalize: Capitalise the field names
        """

    @staticmethod
    def _create_formatted_frame(data: dict | pandas.DataFrame, columns: list[str] | None = None, sort_values_by: str | list[str] | None = None, alignment: dict | None = None, index: bool = True, index_offset: int = 1, max_colwidth: int = 50, max_rows: int = 30) -> str:
        """
        Table text of the data, laid out by pandas, its heading line styled as property names.

        data: Data to be represented as table (a DataFrame or what its constructor takes)
        columns: column names in the desired order
        sort_values_by: column or columns to sort the rows by (as text)
        alignment: column name -> {'header': word, 'values': word}, words left/l, centre/center/c, right/r
        index: show the row labels
        index_offset: first row label when a nullable-integer index is renumbered
        max_colwidth, max_rows: passed to DataFrame.to_string
        """

    def __reduce__(self) -> tuple: ...

    def __setstate__(self, state: tuple) -> None: ...

def _reconstruct_representable(*args, **kwargs) -> Any:
    """
    _reconstruct_representable(type, checksum, state)

    Rebuilds a pickled Representable (or Python subclass of it) from its type, checksum and state.
    """
