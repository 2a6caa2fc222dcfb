"""Sphinx configuration of the astrokite documentation site (`make docs`)."""

import os
import re
from pathlib import Path

import astrokite

# Examples read the bundled data by paths relative to the project root.
ROOT = Path(__file__).resolve().parent.parent

project = "astrokite"
author = "astrokite developers"
copyright = "2026, astrokite developers"
release = version = astrokite.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.napoleon",
    "matplotlib.sphinxext.plot_directive",
]
myst_enable_extensions = ["colon_fence"]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build"]

html_theme = "furo"
html_title = f"astrokite {release}"

# Document the extensions as they run, with the docstrings help() shows: the stubs are for
# type checkers, and executing one in place of its module would hide the real module from
# the examples that run in the same build.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"
autodoc_member_order = "bysource"
autodoc_typehints = "description"
napoleon_google_docstring = True

# The guides' examples run; the docstrings' own examples are checked with the modules.
doctest_test_doctest_blocks = ""
doctest_global_setup = f"import os; os.chdir({str(ROOT)!r})"
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.figsize": (8, 3.6)}
plot_working_directory = str(ROOT)


# Docstrings are written for help(): plain text whose continuation lines are indented.
# Read as reStructuredText, an indented block that ends without a blank line is an error,
# and so is an inline literal with a letter glued to it ("``ELSET``s"). This makes both
# valid without changing what help() shows.
_LITERAL = re.compile(r"(``[^`]+``)(\w?)")


def _indent(line: str) -> int:
    return len(line) - len(line.lstrip())


def _docstring_as_rest(app, what, name, obj, options, lines):
    text = []
    for line in lines:
        if line.strip() and text and text[-1].strip() and _indent(line) < _indent(text[-1]):
            text.append("")
        text.append(_LITERAL.sub(lambda m: m[1] + (f"\\ {m[2]}" if m[2] else ""), line))
    lines[:] = text


def setup(app):
    app.connect("autodoc-process-docstring", _docstring_as_rest, priority=900)  # after napoleon
