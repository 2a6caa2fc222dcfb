import copy
import json
import os
import pickle
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from helpers import ISS1, ISS2, PLAIN, SETTINGS_FILE, SGR, Box

from astrokite.utils import representable
from astrokite.utils.representable import Representable as R

BLUE, BOLD, RESET = "\x1b[94m", "\x1b[1m", "\x1b[0m"


def test_shipped_settings_hold_every_option_and_render():
    shipped = json.loads(SETTINGS_FILE.read_text(encoding="utf-8"))
    assert set(shipped) == set(PLAIN)
    lines = str(Box("Title", "a\n{fence}\nbcd")).split("\n")
    assert [SGR.sub("", line).strip() for line in lines[1:6:2]] == ["Title", "a", "bcd"]


# ---------------------------------------------------------------- the box


def test_box_width(settings):
    assert str(Box("H", "a\n{fence}\nabcd")) == "====\nH\n----\na\n----\nabcd\n====\n"
    # A line holding the fence placeholder never widens the box.
    assert str(Box("H", "a\nxx{fence}xxxxxxxx")) == "=\nH\n-\na\nxx-xxxxxxxx\n=\n"
    assert str(Box("Header", "ab")) == "======\nHeader\n------\nab\n======\n"
    assert str(Box("", "αβγ")).startswith("===\n")  # characters, not bytes
    assert str(Box("", "")) == "\n\n\n\n\n"


def test_styling_sequences_are_left_out_of_the_width(settings):
    settings.use(header_color="blue", header_bold=True)
    assert str(Box("abc", "x")).split("\n")[:2] == ["===", BOLD + BLUE + "abc" + RESET + RESET]
    assert str(Box("", BLUE + "ab" + RESET)).startswith("==\n")
    assert str(Box("", "\x1b[31mab")).startswith("=======\n")  # not ours: 5 characters + 2
    assert str(Box("", "\x1b[\x1b[0m1mab")).startswith("==\n")  # forms once the reset is gone


@pytest.mark.parametrize(
    "alignment, line",
    [("centre", "   abc    "), ("right", "       abc"), ("left", "abc"), ("center", "abc"), ("Centre", "abc"), (True, "abc")],
)
def test_header_alignment(settings, alignment, line):
    settings.use(header_alignment=alignment)
    assert str(Box("abc", "0123456789")).split("\n")[1] == line
    # Styled, the visible header sits in the same place.
    settings.use(header_alignment=alignment, header_color="blue", header_bold="yes")
    assert str(Box("abc", "0123456789")).split("\n")[1].replace(BOLD + BLUE, "").replace(RESET, "") == line


def test_body_braces_and_placeholders(settings):
    # A doubled brace prints, and is measured, as one; other placeholders are measured as written.
    assert str(Box("H", "{{x}} {{")) == "=====\nH\n-----\n{x} {\n=====\n"
    wall, fence = "=" * 15, "-" * 15
    assert str(Box("Hd", "{header}|{wall}")) == f"{wall}\nHd\n{fence}\nHd|{wall}\n{wall}\n"
    assert str(Box("{x}", "abc")).split("\n")[1] == "{x}"  # the header is not a template
    # An escaped placeholder is text: it prints as written and widens the box like any text.
    assert str(Box("H", "a\n{fence}\nxx{{fence}}xx")) == "=" * 11 + "\nH\n" + "-" * 11 + "\na\n" + "-" * 11 + \
        "\nxx{fence}xx\n" + "=" * 11 + "\n"


@pytest.mark.parametrize("text", ["{fence}", "{wall}{header}", "{{fence}}", "{0}{", "}"])
def test_element_set_lines_print_as_written_in_a_box_that_fits_them(settings, text):
    from helpers import put

    from astrokite.propagators.analytical.sgp4.tle import TLE

    tle = TLE(put(ISS1, 10, text), put(ISS2, 40, text))
    lines = str(tle).split("\n")
    assert lines[3:5] == [tle.line1, tle.line2]
    assert len(lines[0]) == max(len(line) for line in lines) == 69


def test_protocol_of_the_base_type(settings):
    for convert in (str, repr):
        with pytest.raises(NotImplementedError):
            convert(R())
    box = Box("H", "b")
    assert repr(box) == str(box)

    class Custom(Box):
        def __str__(self):
            return "custom"

    assert repr(Custom("H", "b")) == "custom"


def test_rendering_follows_edits_of_the_settings_file(settings):
    box = Box("H", "ab")
    assert str(box).startswith("==\n")
    settings.use(wall_char="#", wall_color="red")
    assert str(box).startswith("\x1b[91m##\x1b[0m\n")


# ---------------------------------------------------------------- options and colours


def test_settings_file_faults(settings):
    settings.use(wall_bold=None, header_bold=2.5, properties_color=["red"], without=["fence_bold"])
    assert R._Representable__get_option("wall_bold") is None
    assert R._Representable__get_option("header_bold") == 2.5
    R._Representable__get_option("properties_color").append("blue")  # every lookup gets its own value
    assert R._Representable__get_option("properties_color") == ["red"]
    assert R._Representable__wall(2) == "=="
    with pytest.raises(KeyError, match="fence_bold"):
        str(Box("H", "b"))
    settings.write_text("{ not json")
    with pytest.raises(json.JSONDecodeError):
        str(Box("H", "b"))
    SETTINGS_FILE.unlink()
    with pytest.raises(FileNotFoundError):
        str(Box("H", "b"))


def test_settings_file_is_read_as_utf8_whatever_the_locale(settings):
    settings.use(wall_char="━")
    script = "from astrokite.utils.representable import Representable as R; print(ascii(R._Representable__wall(2)))"
    env = {**os.environ, "LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0",
           "PYTHONPATH": str(Path(representable.__file__).parents[2])}
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert result.stdout.strip() == ascii("━━"), result.stderr


def test_colours_and_bold():
    assert list(R._available_colors) == ["blue", "cyan", "darkcyan", "green", "purple", "red", "yellow"]
    codes = [94, 96, 36, 92, 95, 91, 93]
    assert list(R._available_colors.values()) == ["\x1b[%dm{}\x1b[0m" % code for code in codes]
    assert R._Representable__get_color_formatted_text("x", "darkcyan") == "\x1b[36mx\x1b[0m"
    assert R._Representable__get_bold_formatted_text("x") == "\x1b[1mx\x1b[0m"
    with pytest.raises(KeyError, match="Blue"):
        R._Representable__get_color_formatted_text("x", "Blue")
    assert R.parse_color("BLUE") == "blue"
    with pytest.raises(ValueError, match=r"^There is no color named Blue  available$"):
        R.parse_color("Blue ")


@pytest.mark.parametrize("unset", ["", False, 0, None])
def test_false_values_leave_rules_unstyled(settings, unset):
    settings.use(wall_color=unset, wall_bold=unset)
    assert R._Representable__wall(3) == "==="


def test_rule_styling(settings):
    settings.use(wall_bold="false")  # any non-empty text counts as set
    assert R._Representable__wall(2) == BOLD + "==" + RESET
    settings.use(wall_color="blue", wall_char="<>")
    assert R._Representable__wall(3) == BLUE + "<><><>" + RESET
    assert R._Representable__wall(0) == R._Representable__wall(-4) == BLUE + RESET
    assert R._Representable__wall(2.9) == BLUE + "<><>" + RESET
    settings.use(fence_color="Blue")
    with pytest.raises(KeyError, match="Blue"):
        R._Representable__fence(1)
    settings.use(fence_char=7)
    with pytest.raises(TypeError):
        R._Representable__fence(1)


def test_property_styling_puts_bold_around_colour(settings):
    assert R._format_as_property("name") == "name"
    settings.use(properties_color="blue", properties_bold=True)
    assert R._format_as_property("name") == BOLD + BLUE + "name" + RESET + RESET


@pytest.mark.parametrize(
    "call",
    [
        lambda: R._format_as_property(type("Text", (str,), {})("x")),
        lambda: R._Representable__get_option(5),
        lambda: R.parse_color(None),
        lambda: R._Representable__wall("3"),
        lambda: R._create_formatted_form(type("Dict", (dict,), {})(a=1)),
        lambda: R._create_formatted_form({"a": 1}, order=("a",)),
        lambda: R._create_formatted_frame({"a": [1]}, columns=("a",)),
        lambda: R._create_formatted_frame({"a": [1]}, alignment=[("a", {})]),
        lambda: R._create_formatted_frame({"a": [1]}, max_rows="9"),
    ],
)
def test_arguments_of_the_wrong_type_are_refused(settings, call):
    with pytest.raises(TypeError, match="^Argument '.*' has incorrect type"):
        call()


def test_argument_counts_get_the_standard_message():
    with pytest.raises(TypeError, match=r"^_format_as_property\(\) takes exactly 1 positional argument \(2 given\)$"):
        R._format_as_property("a", "b")
    with pytest.raises(TypeError, match=r"^_create_formatted_form\(\) takes at least 1 positional argument \(0 given\)$"):
        R._create_formatted_form()


# ---------------------------------------------------------------- forms


def test_form_puts_values_in_one_column(settings):
    assert R._create_formatted_form({"a": 1, "abc": 2.5}) == "a:      1\nabc:    2.5"
    assert R._create_formatted_form({"a": 1, "abc": 2}, min_gap=-1) == "a: 1\nabc:2"
    assert R._create_formatted_form({"a": 1}, min_gap=2.7) == "a:  1"
    settings.use(properties_color="green", properties_bold=True)
    lines = R._create_formatted_form({"a": 1, "abcd": [2]}, min_gap=2).split("\n")
    assert [SGR.sub("", line) for line in lines] == ["a:     1", "abcd:  [2]"]


@pytest.mark.parametrize(
    "flags, names",
    [
        ({}, ["mean motion", "ECC"]),
        ({"uppercase": True}, ["MEAN MOTION", "ECC"]),
        ({"capitalise": 1}, ["Mean motion", "Ecc"]),
        ({"capitalize": "yes"}, ["Mean motion", "Ecc"]),
        ({"uppercase": True, "capitalise": True}, ["MEAN MOTION", "ECC"]),
    ],
)
def test_form_name_transforms(settings, flags, names):
    form = R._create_formatted_form({"mean motion": 1, "ECC": 2}, **flags)
    assert [line.split(":")[0] for line in form.split("\n")] == names


def test_form_order_merged_names_and_faults(settings):
    data = {"b": 1, "a": 2, "c": 3}
    assert R._create_formatted_form(data, order=["c", "a"], min_gap=1) == "c: 3\na: 2"
    # Names that come out alike keep the first place and the later value.
    assert R._create_formatted_form({"x": 1, "y": 0, "X": 2}, uppercase=True, min_gap=1) == "X: 2\nY: 0"
    with pytest.raises(KeyError, match="z"):
        R._create_formatted_form(data, order=["a", "z"])
    with pytest.raises(ValueError):
        R._create_formatted_form({})


# ---------------------------------------------------------------- tables


def test_frame_without_alignment_is_pandas_layout_with_styled_heading(settings):
    data = {"n": [3, 10], "name": ["x", "yy"]}
    expected = pd.DataFrame(data).astype(str).to_string()
    assert R._create_formatted_frame(data) == expected
    settings.use(properties_color="blue")
    heading, rest = expected.split("\n", 1)
    assert R._create_formatted_frame(data) == BLUE + heading + RESET + "\n" + rest


@pytest.mark.parametrize(
    "entry, lines",
    [
        ({"header": "right", "values": "r"}, ["    x", "    a", "   bb", "  ccc"]),
        ({"values": "R"}, ["    x", "    a", "   bb", "  ccc"]),
        ({"header": "Left", "values": "l"}, ["x  ", "a  ", "bb ", "ccc"]),
        ({"header": "CENTRE", "values": "center"}, [" x ", " a ", "bb ", "ccc"]),
        ({}, ["  x", "  a", " bb", "ccc"]),  # an empty entry is no entry
    ],
)
def test_frame_alignment_templates(settings, entry, lines):
    text = R._create_formatted_frame({"x": ["a", "bb", "ccc"]}, alignment={"x": entry}, index=False)
    assert text.split("\n") == lines


def test_frame_width_is_the_longest_cell_not_the_name(settings):
    alignment = {"long name": {"header": "c", "values": "c"}, "k": {"header": "l", "values": "c"}}
    text = R._create_formatted_frame({"long name": ["x", "abcd"], "k": ["p", "q"]}, alignment=alignment, index=False)
    # Centred in 4: " x  " and "abcd", right-justified by pandas under the longer name.
    assert text.split("\n") == ["long name k", "      x   p", "     abcd q"]


def test_frame_refuses_unknown_alignment_words(settings):
    with pytest.raises(ValueError, match="^Unexpected value for header alignment: middle$"):
        R._create_formatted_frame({"x": ["a"]}, alignment={"x": {"header": "Middle"}})
    with pytest.raises(ValueError, match="values alignment: up"):
        R._create_formatted_frame({"x": ["a"]}, alignment={"x": {"values": "up"}})
    # No width without rows, no label for a name that is not text.
    for data, name in (({"x": []}, "x"), ({0: ["a"]}, 0)):
        with pytest.raises(ValueError):
            R._create_formatted_frame(data, alignment={name: {"values": "l"}})


def test_frame_leaves_the_alignment_mapping_unchanged(settings):
    alignment = {"x": {"header": "l", "values": "c"}, "other": {"values": "r"}}
    snapshot = copy.deepcopy(alignment)
    first = R._create_formatted_frame({"x": ["a", "bbb"]}, alignment=alignment)
    second = R._create_formatted_frame({"x": ["a", "bbb"]}, alignment=alignment)
    assert alignment == snapshot
    assert first == second and first.split("\n")[1].endswith(" a ")  # still centred


def test_frame_sorts_as_text_and_renumbers_nullable_integer_index(settings):
    data = {"v": [10, 9, 100]}
    # Range index: rows keep their labels; text order puts 10 before 100 before 9.
    rows = R._create_formatted_frame(data, sort_values_by="v").split("\n")[1:]
    assert [row.split() for row in rows] == [["0", "10"], ["2", "100"], ["1", "9"]]
    frame = pd.DataFrame(data, index=pd.Index([7, 8, 9], dtype="Int64"))
    rows = R._create_formatted_frame(frame, sort_values_by="v", index_offset=1).split("\n")[1:]
    assert [row.split() for row in rows] == [["1", "10"], ["2", "100"], ["3", "9"]]
    rows = R._create_formatted_frame(frame, index_offset=5.5).split("\n")[1:]
    assert [row.split()[0] for row in rows] == ["5", "6", "7"]


def test_frame_columns_and_pandas_options(settings):
    data = {"a": ["1", "2", "3"], "b": ["x", "y", "z"]}
    assert R._create_formatted_frame(data, columns=["b"], index=False).split() == ["b", "x", "y", "z"]
    assert len(R._create_formatted_frame(data, max_rows=2).split("\n")) == 4  # heading, 2 rows, ellipsis
    with pytest.raises(KeyError):
        R._create_formatted_frame(data, sort_values_by="c")


def test_frame_with_a_missing_cell_renders(settings):
    data = {"a": ["x", None, "zzz"], "b": [1.5, np.nan, 3.0]}
    text = R._create_formatted_frame(data, alignment={"a": {"values": "l"}, "b": {"values": "c"}})
    # The missing cells read as pandas shows them ("NaN" in pandas 3, "None"/"nan" before).
    plain = pd.DataFrame(data).astype(str).to_string().split("\n")[2].split()
    assert text.split("\n")[2].split() == plain


# ---------------------------------------------------------------- instances and pickling


@pytest.mark.parametrize("attributes", [{}, {"name": "ISS", "numbers": [1, 2]}])
def test_pickle_round_trip(attributes):
    obj = R()
    obj.__dict__.update(attributes)
    for clone in (pickle.loads(pickle.dumps(obj)), copy.copy(obj)):
        assert type(clone) is R and clone.__dict__ == attributes
    reconstruct = representable._reconstruct_representable
    if attributes:
        assert obj.__reduce__() == (reconstruct, (R, 0xE3B0C44, None), (attributes,))
    else:
        assert obj.__reduce__() == (reconstruct, (R, 0xE3B0C44, ()))


def test_reconstruction(settings):
    reconstruct = representable._reconstruct_representable
    for checksum in (0xE3B0C44, 0xDA39A3E, 0xD41D8CD):
        assert reconstruct(R, checksum, ({"y": 2},)).__dict__ == {"y": 2}
    rebuilt = reconstruct(Box, 0xE3B0C44, None)
    assert type(rebuilt) is Box and rebuilt.__dict__ == {}
    message = "Incompatible checksums (0xbad vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())"
    with pytest.raises(pickle.PickleError, match=re.escape(message)):
        reconstruct(R, 0xBAD, None)
    for bad in (lambda: reconstruct(R, 0xE3B0C44, {"x": 1}), lambda: reconstruct(dict, 0xE3B0C44, None),
                lambda: R().__setstate__([{"x": 1}])):
        with pytest.raises(TypeError):
            bad()


def test_second_initialisation_is_refused():
    name = representable.__name__
    del sys.modules[name]
    try:
        with pytest.raises(ImportError, match="initialised twice"):
            __import__(name)
    finally:
        sys.modules[name] = representable
    assert pickle.loads(pickle.dumps(R())).__dict__ == {}  # the loaded module still works


def test_base_initialiser_refuses_native_derived_layouts():
    tle = pytest.importorskip("astrokite.propagators.analytical.sgp4.tle", exc_type=ImportError)

    class Later(tle.ELSET):
        pass

    one = tle.TLE(ISS1, ISS2)
    for kind in (tle.ELSET, Later):  # built by __new__: the base cannot initialise it again
        with pytest.raises(TypeError):
            R.__init__(kind.__new__(kind, one))
    assert Box("h", "b").header == "h"  # Python subclasses of the base keep its initialiser


def test_counts_in_reprs_read_in_the_singular_for_one():
    import astrokite as ak
    from astrokite.sites.passes import PassTable

    tle = ak.TLE(ISS1, ISS2)
    assert repr(ak.SGP4(tle)).startswith("<SGP4 of 1 satellite, 1 element set, ")
    assert repr(ak.parse_tle(ISS1 + "\n" + ISS2)) == "Catalogue(1 satellite, 1 element set, 0 rejected)"
    one = PassTable([25544], [0], [1], [2], [0.5], [0])
    assert repr(one) == "<PassTable 1 pass of 1 satellite>"
    none = PassTable(*([] for _ in range(6)), searched=3)  # satellites searched without finding a pass
    assert repr(none) == "<PassTable 0 passes of 3 satellites>"
    # A search of one satellite that finds no pass still says it searched one.
    site = ak.Site(-1.5, 0.0)  # near the South Pole, which the ISS never rises over
    for source in (tle, ak.SGP4(tle)):
        assert repr(site.passes(source, "2023-01-01T06:30", "2023-01-01T06:31")) == "<PassTable 0 passes of 1 satellite>"
