"""Sphinx configuration of the astrokite documentation site (`make docs`)."""

import os
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

doctest_global_setup = f"import os; os.chdir({str(ROOT)!r})"
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.figsize": (8, 3.6)}
plot_working_directory = str(ROOT)
