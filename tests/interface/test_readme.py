"""README.md's examples run and print what they show."""

import doctest
import tempfile

from helpers import ROOT


def test_readme_examples_show_their_real_output(monkeypatch, tmp_path):
    # Run as `doctest.testfile` runs it; the examples read data/ from the project root, and the
    # folder they write to is one of the test's.
    monkeypatch.chdir(ROOT)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    readme = ROOT / "README.md"
    test = doctest.DocTestParser().get_doctest(readme.read_text(encoding="utf-8"), {"__name__": "README"},
                                               "README.md", str(readme), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report = []
    runner.run(test, out=report.append)
    assert runner.tries > 50
    assert runner.failures == 0, "".join(report)
