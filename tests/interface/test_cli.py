"""The astrokite command, run as a user runs it: in a subprocess, reading its output and exit code."""

import gzip
import importlib.util
import io
import lzma
import os
import re
import subprocess
import sys
import venv
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from helpers import DATA, ISS1, ISS2, ROOT, SGR, history

import astrokite
from astrokite.propagators.analytical.sgp4.tle import ELSET

IMPORTED_FROM = Path(astrokite.__file__).resolve().parent.parent
ISS = str(DATA / "iss.tle")
TESS = str(DATA / "tess.tle")

needs_sgp4 = pytest.mark.skipif(importlib.util.find_spec("astrokite.propagators.analytical.sgp4.sgp4") is None,
                                reason="the SGP4 propagator is not in this tree yet")
needs_catalogue = pytest.mark.skipif(importlib.util.find_spec("astrokite.catalogue") is None,
                                     reason="the catalogue reader is not in this tree yet")
needs_sites = pytest.mark.skipif(importlib.util.find_spec("astrokite.sites") is None,
                                 reason="sites and passes are not in this tree yet")


def astrokite_cli(*args, command=(sys.executable, "-m", "astrokite")):
    """Run the command line on the astrokite under test; (exit code, stdout, stderr)."""
    env = dict(os.environ, PYTHONPATH=str(IMPORTED_FROM))
    done = subprocess.run([*command, *map(str, args)], capture_output=True, text=True, env=env, timeout=600)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def one_set(tmp_path):
    """A file holding the first ISS element set as a 3-line set."""
    path = tmp_path / "iss1.tle"
    path.write_text(f"ISS (ZARYA)\n{ISS1}\n{ISS2}\n")
    return path


COMMANDS = ("info", "propagate", "passes")


@pytest.mark.parametrize("args", [(), *((command,) for command in COMMANDS)])
def test_help_everywhere(args):
    code, out, _ = astrokite_cli(*args, "--help")
    assert code == 0
    assert out.startswith("Usage: ")


def test_version_is_the_package_version():
    code, out, _ = astrokite_cli("--version")
    assert (code, out) == (0, f"astrokite, version {astrokite.__version__}\n")


def test_info_summarises_each_satellite():
    code, out, err = astrokite_cli("info", ISS, TESS)
    assert code == 0, err
    lines = out.splitlines()
    assert lines[0].split()[:3] == ["number", "name", "sets"]
    iss = ELSET(*history("iss.tle"))
    row = lines[1].split()
    assert row == ["25544", "-", "609", "2023-01-01T06:28:40Z", "2023-04-30T23:49:16Z",
                   f"{iss.pge[-1] / 1e3:.1f}", f"{iss.apg[-1] / 1e3:.1f}"]
    assert lines[2].split()[0] == "43435"
    assert lines[-1] == "2 satellites, 616 element sets"


def test_info_reads_omm_as_it_reads_the_same_sets_as_text(tmp_path):
    from astrokite.catalogue import read_tle, write_omm

    path = tmp_path / "iss.json.gz"
    write_omm(read_tle(ISS), tmp_path / "iss.json")
    path.write_bytes(gzip.compress((tmp_path / "iss.json").read_bytes()))
    assert astrokite_cli("info", path)[1] == astrokite_cli("info", ISS)[1]
    code, _, err = astrokite_cli("info", path, ISS)
    assert code == 2 and "not both" in err


@pytest.mark.parametrize("form", ["xml", "kvn", "json", "csv"])
def test_the_content_tells_the_format_when_the_extension_does_not(form, tmp_path):
    from astrokite.catalogue import read_tle, write_omm

    write_omm(read_tle(TESS), tmp_path / f"tess.{form}")
    unnamed = tmp_path / "tess-elements.dat.xz"
    unnamed.write_bytes(lzma.compress((tmp_path / f"tess.{form}").read_bytes()))
    text = tmp_path / "iss-elements"
    text.write_text("\n" + (DATA / "iss.tle").read_text())
    assert astrokite_cli("info", text) == astrokite_cli("info", ISS)
    code, out, err = astrokite_cli("info", unnamed)
    assert (code, out) == (0, astrokite_cli("info", tmp_path / f"tess.{form}")[1]), err
    assert out.splitlines()[-1] == "1 satellite, 7 element sets"


def test_info_shows_the_names_of_three_line_sets(one_set):
    assert astrokite_cli("info", one_set)[1].splitlines()[1].split()[:4] == ["25544", "ISS", "(ZARYA)", "1"]


@pytest.mark.parametrize("args, message", [
    (("info",), "Missing argument"),
    (("propagate", ISS, "--start", "yesterday", "--stop", "2023-03-02", "--out", "x.csv"),
     "not an ISO 8601"),
    (("propagate", ISS, "--start", "2023-03-02", "--stop", "2023-03-01", "--out", "x.csv"), "lies before"),
    (("propagate", ISS, "--start", "2023-03-01", "--stop", "2023-03-02", "--step", "0", "--out", "x.csv"),
     "positive duration"),
    (("propagate", ISS, "--start", "2023-03-01", "--stop", "2023-03-02", "--step", "1 fortnight",
      "--out", "x.csv"), "not a duration"),
    (("propagate", ISS, "--start", "1990-01-01", "--stop", "2200-01-01", "--step", "1s", "--out", "x.csv"),
     "at most 10,000,000"),
    (("propagate", ISS, "--start", "2023-03-01", "--stop", "2023-03-02", "--out", "x.txt"),
     "must end in .csv or .parquet"),
    (("propagate", ISS, "--start", "2023-03-01", "--stop", "2023-03-02", "--out", DATA), "is a directory"),
    (("propagate", ISS, "--start", "2023-03-01", "--stop", "2023-03-02", "--frame", "icrf", "--out", "x.csv"),
     "'icrf' is not one of"),
    (("passes", ISS, "--site", "91,0", "--start", "2023-03-01", "--stop", "2023-03-02"), "outside [-90, 90]"),
    (("passes", ISS, "--site", "45", "--start", "2023-03-01", "--stop", "2023-03-02"), "LAT,LON"),
    (("passes", ISS, "--site", "45,nan", "--start", "2023-03-01", "--stop", "2023-03-02"), "finite"),
    (("passes", ISS, "--site", "45,7", "--start", "2023-03-01", "--stop", "2023-03-01"), "must lie after"),
    (("passes", ISS, "--site", "45,7", "--start", "2023-03-01", "--stop", "2023-03-02",
      "--min-elevation", "95"), "95"),
])
def test_bad_input_is_a_usage_error_with_a_clear_message(args, message, tmp_path):
    code, out, err = astrokite_cli(*args)
    assert code == 2
    assert message in err
    assert out == "" and "Traceback" not in err


@pytest.mark.parametrize("text, message", [("", "no element sets"), ("nothing to see\n", "Error: "),
                                           (None, "cannot read {path}: No such file or directory")])
def test_a_file_without_element_sets_fails_with_a_message(text, message, tmp_path):
    path = tmp_path / "empty.tle"
    if text is not None:
        path.write_text(text)
    span = ("--start", "2023-03-01", "--stop", "2023-03-02")
    for args in [("info",), ("propagate", *span, "--out", tmp_path / "out.csv"), ("passes", *span, "--site", "45,7")]:
        code, out, err = astrokite_cli(*args, path)
        assert (code, out) == (1, ""), err
        assert err.count("\n") == 1 and message.format(path=path) in err


@pytest.mark.parametrize("place", ["missing/out.csv", "file.tle/out.csv", "/proc/out.parquet"])
@pytest.mark.parametrize("command", ["propagate", "passes"])
def test_an_output_that_cannot_be_written_is_one_line_naming_it(command, place, one_set, tmp_path):
    out = tmp_path / place if not place.startswith("/") else Path(place)
    (tmp_path / "file.tle").write_text("")
    args = ("--site", "45,7") if command == "passes" else ()
    code, stdout, err = astrokite_cli(command, one_set, "--start", "2023-01-01T06:00", "--stop", "2023-01-01T07:00",
                                      *args, "--out", out)
    assert (code, stdout) == (1, "")
    assert err.startswith(f"Error: cannot write {out}: ") and err.count("\n") == 1
    assert not out.parent.is_dir() or list(out.parent.glob("out*")) == []


@needs_sgp4
def test_propagate_writes_teme_states_of_the_reference_propagator(one_set, tmp_path):
    from sgp4.api import Satrec

    out = tmp_path / "iss.csv"
    code, _, err = astrokite_cli("propagate", one_set, "--start", "2023-01-01T06:00", "--stop", "2023-01-01T08:00",
                                 "--step", "30min", "--out", out)
    assert code == 0, err
    assert "\r" not in err  # no progress bar when standard error is no terminal
    table = pd.read_csv(out)
    assert list(table.columns) == ["satno", "time", "x_m", "y_m", "z_m", "vx_m_s", "vy_m_s", "vz_m_s", "error"]
    assert list(table.time) == [f"2023-01-01T{h}:{m}:00.000000Z" for h, m in
                                [("06", "00"), ("06", "30"), ("07", "00"), ("07", "30"), ("08", "00")]]
    satrec = Satrec.twoline2rv(ISS1, ISS2)
    jd = pd.to_datetime(table.time).map(lambda t: t.to_julian_date()).to_numpy()
    _, r, v = satrec.sgp4_array(np.floor(jd - 0.5) + 0.5, jd - np.floor(jd - 0.5) - 0.5)
    assert np.abs(table[["x_m", "y_m", "z_m"]].to_numpy() - r * 1e3).max() < 1.0
    assert np.abs(table[["vx_m_s", "vy_m_s", "vz_m_s"]].to_numpy() - v * 1e3).max() < 1e-3
    assert (table.error == 0).all()


def on_terminal(*args, stream="stdout", env=None):
    """Run `args` with standard output or standard error on a terminal; (exit code, what it showed)."""
    import fcntl
    import pty
    import struct
    import termios

    terminal, end = pty.openpty()
    fcntl.ioctl(end, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a new pty is 0 wide
    environment = {key: value for key, value in os.environ.items() if key != "NO_COLOR"}
    process = subprocess.Popen(list(map(str, args)), **{stream: end}, stdin=subprocess.DEVNULL,
                               env=dict(environment, PYTHONPATH=str(IMPORTED_FROM), **(env or {})))
    os.close(end)
    shown = b""
    while True:  # read as it comes: a full terminal would stop the program
        try:
            chunk = os.read(terminal, 4096)
        except OSError:  # the terminal closed with the process
            break
        if not chunk:
            break
        shown += chunk
    os.close(terminal)
    return process.wait(timeout=600), shown


@needs_sgp4
def test_progress_bar_shows_on_a_terminal(one_set, tmp_path):
    code, shown = on_terminal(sys.executable, "-m", "astrokite", "propagate", one_set, "--start", "2023-01-01",
                              "--stop", "2023-01-02", "--out", tmp_path / "out.csv", stream="stderr")
    assert code == 0
    assert re.search(rb"\d/1 \[\d\d:\d\d.*sat/s\]", shown)  # tqdm's "0/1 [00:00<?, ?sat/s]"


@pytest.mark.parametrize("program", [("-m", "astrokite", "info", ISS), (ROOT / "examples/demo.py",)])
def test_colours_only_on_a_terminal_and_never_with_no_color(program):
    command = (sys.executable, *program)
    code, coloured = on_terminal(*command)
    assert code == 0 and b"\x1b[" in coloured
    for no_color in ("1", ""):
        code, plain = on_terminal(*command, env={"NO_COLOR": no_color})
        assert code == 0 and b"\x1b[" not in plain
        assert plain == SGR.sub("", coloured.decode()).encode()
    piped = subprocess.run(command, capture_output=True, env=dict(os.environ, PYTHONPATH=str(IMPORTED_FROM)))
    assert piped.returncode == 0 and b"\x1b[" not in piped.stdout
    assert piped.stdout.replace(b"\n", b"\r\n") == plain  # the terminal writes each line end as \r\n


@needs_sgp4
@pytest.mark.parametrize("frame", ["itrf", "lla"])
def test_propagate_in_other_frames_matches_the_library(frame, tmp_path):
    import astrokite as ak

    out = tmp_path / "out.parquet"
    code, _, err = astrokite_cli("propagate", ISS, TESS, "--start", "2023-03-01", "--stop", "2023-03-01T01:00",
                                 "--step", "10min", "--frame", frame, "--out", out)
    assert code == 0, err
    table = pd.read_parquet(out)
    times = ak.Time(ak.Time("2023-03-01").int64 + np.arange(7) * 600 * 10**9)
    ephemeris = ak.SGP4([ELSET(*history("iss.tle")), ELSET(*history("tess.tle"))]).propagate(times)
    assert list(table.satno) == [25544] * 7 + [43435] * 7
    if frame == "lla":
        lla = ephemeris.lla()
        assert np.allclose(table.lat_deg, np.degrees(lla["lat"]).ravel(), rtol=0, atol=1e-12)
        assert np.allclose(table.alt_m, lla["alt"].ravel(), rtol=0, atol=1e-6)
    else:
        expected = ephemeris.to(ak.ITRF).position.reshape(-1, 3)
        assert np.array_equal(table[["x_m", "y_m", "z_m"]].to_numpy(), expected)


@needs_sites
def test_passes_lists_the_passes_the_library_finds(tmp_path):
    import astrokite as ak

    out = tmp_path / "passes.csv"
    code, stdout, err = astrokite_cli("passes", ISS, "--site", "48.8566,2.3522,35", "--start", "2023-03-01",
                                      "--stop", "2023-03-02", "--min-elevation", "10", "--out", out)
    assert code == 0, err
    site = ak.Site(np.radians(48.8566), np.radians(2.3522), 35.0)
    expected = site.passes(ELSET(*history("iss.tle")), ak.Time("2023-03-01"), ak.Time("2023-03-02"),
                           min_elevation=np.radians(10)).to_pandas()
    assert len(pd.read_csv(out)) == len(expected) > 0
    lines = stdout.splitlines()
    assert lines[0].split()[:3] == ["number", "rise", "(UTC)"]
    assert [line.split()[2] for line in lines[1:]] == [f"{t:%Y-%m-%dT%H:%M:%S}Z" for t in expected.culmination]


@needs_catalogue
def test_strict_reading_refuses_a_bad_checksum_and_skip_bad_reports_it(tmp_path):
    bad = ISS1[:68] + str((int(ISS1[68]) + 1) % 10)
    path = tmp_path / "mixed.tle"
    path.write_text(f"{bad}\n{ISS2}\n" + (DATA / "tess.tle").read_text())
    code, _, err = astrokite_cli("info", "--strict", path)
    assert code == 1 and "line 1" in err and "Traceback" not in err
    code, out, err = astrokite_cli("info", "--strict", "--skip-bad", path)
    assert code == 0
    assert "skipped" in err and "line 1" in err
    assert [line.split()[0] for line in out.splitlines()[1:-1]] == ["43435"]
    code, out, _ = astrokite_cli("info", path)  # tolerant reading keeps the set
    assert out.splitlines()[-1] == "2 satellites, 8 element sets"


@pytest.mark.skipif(not os.environ.get("ASTROKITE_WHEEL"),
                    reason="slow: set ASTROKITE_WHEEL to a built wheel (make wheel-check does)")
def test_console_script_from_a_fresh_venv_with_the_wheel(tmp_path):
    wheel = Path(os.environ["ASTROKITE_WHEEL"]).resolve()
    venv.create(tmp_path / "venv", with_pip=True)
    python, script = tmp_path / "venv/bin/python", tmp_path / "venv/bin/astrokite"
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", wheel], check=True)
    # Run away from the working tree, so that only the installed package can be imported.
    env = {"PATH": f"{python.parent}:/usr/bin:/bin", "HOME": str(tmp_path)}
    version = subprocess.run([python, "-c", "import importlib.metadata as m, astrokite; "
                              "print(m.version('astrokite'), astrokite.__version__, astrokite.__file__)"],
                             capture_output=True, text=True, env=env, cwd=tmp_path, check=True).stdout.split()
    assert version[0] == version[1] == astrokite.__version__
    assert Path(version[2]).is_relative_to(tmp_path / "venv")
    def run(*args):
        return subprocess.run([script, *map(str, args)], capture_output=True, text=True, env=env, cwd=tmp_path)

    info = run("info", ISS)
    assert info.returncode == 0, info.stderr
    assert info.stdout.splitlines()[1].split()[:3] == ["25544", "-", "609"]
    span = ("--start", "2023-03-01", "--stop", "2023-03-01T01:00", "--frame", "lla")
    assert run("propagate", ISS, *span, "--out", "iss.csv").returncode == 0
    assert len((tmp_path / "iss.csv").read_text().splitlines()) == 62
    # The core install has no pyarrow: Parquet output says which extra brings it.
    parquet = run("propagate", ISS, *span, "--out", "iss.parquet")
    assert parquet.returncode == 1 and "astrokite[parquet]" in parquet.stderr
