"""The flat API: every name resolves to its defining object, lazily, and says what it is."""

import doctest
import importlib
import importlib.util
import inspect
import json
import subprocess
import sys
from pathlib import Path

import pytest
from helpers import ROOT

import astrokite as ak

SRC = ROOT / "src"
# Where the astrokite under test was imported from: the working tree or site-packages.
IMPORTED_FROM = Path(ak.__file__).resolve().parent.parent


def run(code):
    """Run Python code in a fresh interpreter importing the same astrokite; its standard output."""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={"PYTHONPATH": str(IMPORTED_FROM), "PATH": "/usr/bin:/bin"})
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_import_loads_no_heavy_module():
    loaded = json.loads(run("import sys, json, astrokite; print(json.dumps(sorted(sys.modules)))"))
    heavy = [name for name in loaded
             if name.split(".")[0] in ("numpy", "pandas", "erfa", "matplotlib", "click", "tqdm")
             or (name.startswith("astrokite.") and name != "astrokite")]
    assert heavy == []


@pytest.mark.parametrize("name", [n for n in ak.__all__ if n != "__version__"])
def test_every_name_is_its_defining_object(name):
    if importlib.util.find_spec(ak._LAZY[name]) is None:
        pytest.skip(f"{ak._LAZY[name]} is not in this tree yet")
    module = importlib.import_module(ak._LAZY[name])
    assert getattr(ak, name) is getattr(module, name)
    assert name in dir(ak)
    documented = getattr(ak, name)
    if inspect.isclass(documented) or inspect.isroutine(documented):
        assert (documented.__doc__ or "").strip(), f"{name} has no docstring"


@pytest.mark.parametrize("name", [n for n in ak.__all__ if n != "__version__"])
def test_every_name_shows_an_example_that_runs(name, monkeypatch):
    if importlib.util.find_spec(ak._LAZY[name]) is None:
        pytest.skip(f"{ak._LAZY[name]} is not in this tree yet")
    documented = getattr(ak, name)
    if not (inspect.isclass(documented) or inspect.isroutine(documented)):
        documented = type(documented)  # TEME, WGS84, ...: the docstring of what they are
    # Its own examples and those of its methods, run as doctest runs a module's: in the namespace of
    # the module that defines it. The examples read data/ from the project root.
    namespace = vars(importlib.import_module(ak._LAZY[name]))
    examples = [test for test in doctest.DocTestFinder().find(documented, f"astrokite.{name}", module=False,
                                                              globs=namespace) if test.examples]
    assert ">>>" in inspect.getdoc(documented), f"{name} shows no example"
    monkeypatch.chdir(ROOT)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    report = []
    for example in examples:
        runner.run(example, out=report.append)
    assert runner.failures == 0, "".join(report)


def test_unknown_names_are_attribute_errors():
    with pytest.raises(AttributeError, match="no attribute 'nonsense'"):
        ak.nonsense
    assert not hasattr(ak, "_private")


def test_version_is_the_built_metadata_version():
    from importlib.metadata import PackageNotFoundError, version

    try:
        installed = version("astrokite")
    except PackageNotFoundError:
        pytest.skip("astrokite is not installed: the working tree has no metadata")
    if IMPORTED_FROM == SRC:
        pytest.skip("the working tree, not the installed package, is imported")
    assert installed == ak.__version__
