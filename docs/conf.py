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

# The guides' examples run here; the docstrings' own examples run in the tests (tests/interface/test_api.py).
doctest_test_doctest_blocks = ""
doctest_global_setup = f"import os; os.chdir({str(ROOT)!r})"
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.figsize": (8, 3.6)}
plot_working_directory = str(ROOT)


# Docstrings are written for help(): plain text, with indented continuation lines and
# indented tables under a line ending in a colon. Read as reStructuredText, some of that is
# an error. This makes it valid without changing what help() shows: an indented table
# under "...:" becomes a literal block, other indented blocks are set off by a blank line,
# an inline literal glued to a word ("``ELSET``s") is split with an escaped space, and a
# lone "*" (as in "ELSET(*tles)") is escaped outside literals and examples.
_LITERAL = re.compile(r"(``[^`]+``)(\w?)")
_STAR = re.compile(r"(?<![\\*])\*(?!\*)")


def _indent(line: str) -> int:
    return len(line) - len(line.lstrip())


def _escape(line: str) -> str:
    if line.lstrip().startswith((">>>", "...")):  # doctest blocks are shown as written
        return line
    parts = _LITERAL.split(line)  # text, literal, glued word, text, literal, glued word, ...
    out = []
    for i in range(0, len(parts), 3):
        out.append(_STAR.sub(r"\\*", parts[i]))
        if i + 1 < len(parts):
            out.append(parts[i + 1] + (f"\\ {parts[i + 2]}" if parts[i + 2] else ""))
    return "".join(out)


def _docstring_as_rest(app, what, name, obj, options, lines):
    text = []
    in_literal = None  # the indentation of the literal block being copied, if any
    for line in lines:
        if in_literal is not None:
            if not line.strip() or _indent(line) >= in_literal:
                text.append(line)
                continue
            in_literal = None
            text.append("")
        previous = text[-1] if text else ""
        if line.strip() and previous.strip() and _indent(line) != _indent(previous):
            if _indent(line) > _indent(previous) and previous.rstrip().endswith(":") and not \
                    previous.lstrip().startswith(":"):
                text[-1] = previous.rstrip() + ":"
                in_literal = _indent(line)
                text.append("")
                text.append(line)
                continue
            text.append("")
        text.append(_escape(line))
    lines[:] = text


def setup(app):
    app.connect("autodoc-process-docstring", _docstring_as_rest, priority=900)  # after napoleon
