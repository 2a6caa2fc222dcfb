"""Console text of the package's objects: a framed, optionally styled box made of
a header and a body, with the look read from ``settings.json`` beside this module."""

from typing import Any, Mapping

import pandas

class Representable:
    """Objects with a nice representation on console"""

    _available_colors: dict[str, str]
    """Colour name -> format template, "{}" standing for the styled text."""

    def __init__(self) -> None: ...
    def _get_header(self) -> str:
        """The header of the report representation"""
    def _get_body(self) -> str:
        """The body of the report representation"""
    def __str__(self) -> str:
        """The header and body framed by walls and a fence"""
    def __repr__(self) -> str:
        """The same text as str()"""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...
    @staticmethod
    def _Representable__get_option(option_tag: str) -> Any:
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
        """Turns the colours and bold of the settings on or off in the console text of every object of this process (on by default); returns the previous setting. Programs writing to a file or pipe, or run with NO_COLOR set, turn it off."""
    @staticmethod
    def parse_color(color: str) -> str:
        """Parses color name"""
    @staticmethod
    def _create_formatted_form(
        data: dict[Any, Any],
        order: list[str] | None = None,
        min_gap: int = 4,
        uppercase: bool = False,
        capitalise: bool = False,
        capitalize: bool = False,
    ) -> str:
        """Name-value lines with the values in one column."""
    @staticmethod
    def _create_formatted_frame(
        data: dict[Any, Any] | pandas.DataFrame,
        columns: list[str] | None = None,
        sort_values_by: str | list[str] | None = None,
        alignment: dict[Any, Mapping[str, str]] | None = None,
        index: bool = True,
        index_offset: int = 1,
        max_colwidth: int = 50,
        max_rows: int = 30,
    ) -> str:
        """Table text of the data, laid out by pandas, its heading line styled as property names."""

def _reconstruct_representable(type: type[Representable], checksum: int, state: tuple[Any, ...] | None) -> Representable:
    """Rebuilds a pickled Representable (or Python subclass of it) from its type, checksum and state."""
