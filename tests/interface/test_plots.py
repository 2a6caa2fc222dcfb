"""Plots: what is drawn (line data, labels, axes), rendered with the Agg backend."""

import importlib.util
import math

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from helpers import history  # noqa: E402

from astrokite.datamodel.structured import AER_dtype, LLA_dtype  # noqa: E402
from astrokite.plots import plot_elements, plot_ground_track, plot_sky  # noqa: E402
from astrokite.propagators.analytical.sgp4.tle import ELSET  # noqa: E402


@pytest.fixture(scope="module")
def iss():
    return ELSET(*history("iss.tle"), satname="ISS (ZARYA)")


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def records(dtype, **fields):
    out = np.zeros(len(next(iter(fields.values()))), dtype)
    for name, values in fields.items():
        out[name] = values
    return out


def test_elements_draw_the_history_in_km_against_epochs(iss):
    ax = plot_elements(iss)
    perigee, apogee = ax.get_lines()
    assert [perigee.get_label(), apogee.get_label()] == ["perigee altitude", "apogee altitude"]
    assert np.allclose(perigee.get_ydata(), iss.pge / 1e3)
    assert np.allclose(apogee.get_ydata(), iss.apg / 1e3)
    assert np.array_equal(np.asarray(perigee.get_xdata(), "datetime64[ns]"), iss.epoch.datetime64)
    assert ax.get_ylabel() == "perigee altitude, apogee altitude [km]"
    assert ax.get_title() == "ISS (ZARYA) (25544)"


def test_elements_of_a_second_unit_go_on_a_twin_axes(iss):
    ax = plot_elements(iss, ("sma", "inc"))
    twin = [other for other in ax.figure.axes if other is not ax]
    assert len(twin) == 1
    assert ax.get_ylabel() == "semi-major axis [km]" and twin[0].get_ylabel() == "inclination [deg]"
    assert np.allclose(twin[0].get_lines()[0].get_ydata(), np.degrees(iss.inc))


def test_angles_break_where_they_wrap_round(iss):
    (line,) = plot_elements(iss, "raa").get_lines()
    raan = line.get_ydata()
    gaps = np.flatnonzero(np.isnan(raan))
    # The node regresses through 0 deg twice in four months: two gaps, no line across the plot.
    assert len(gaps) == 2
    assert np.allclose(np.delete(raan, gaps), np.degrees(iss.raa))
    assert np.nanmax(np.abs(np.diff(raan))) < 180


@pytest.mark.parametrize("elements, message", [
    (("pge", "nonsense"), "unknown element"),
    ((), "no element given"),
    (("sma", "inc", "mnm"), "at most two"),
])
def test_elements_refuses_what_it_cannot_draw(iss, elements, message):
    with pytest.raises(ValueError, match=message):
        plot_elements(iss, elements)


def test_plots_draw_into_given_axes(iss):
    fig, ax = plt.subplots()
    assert plot_elements(iss, "ecc", ax=ax) is ax
    assert plot_ground_track(records(LLA_dtype, lat=[0.0, 0.1], lon=[0.0, 0.1]), ax=ax) is ax
    polar = fig.add_subplot(2, 1, 2, projection="polar")
    assert plot_sky(records(AER_dtype, azimuth=[0.0], elevation=[0.5]), ax=polar) is polar


def test_ground_track_breaks_at_the_antimeridian_and_wraps_longitudes():
    lon = np.radians([170.0, 179.0, 181.0, -170.0, -160.0])  # 181 deg is -179 deg
    lat = np.radians([10.0, 11.0, 12.0, 13.0, 14.0])
    ax = plot_ground_track(records(LLA_dtype, lat=lat, lon=lon))
    (line,) = ax.get_lines()
    x, y = line.get_xdata(), line.get_ydata()
    assert np.allclose(x, [170, 179, np.nan, -179, -170, -160], equal_nan=True)
    assert np.allclose(y, [10, 11, 12, 12, 13, 14])
    assert ax.get_xlim() == (-180, 180) and ax.get_ylim() == (-90, 90)
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("longitude [deg]", "latitude [deg]")
    tracks = np.zeros((3, 4), LLA_dtype)  # one line per row
    assert len(plot_ground_track(tracks).get_lines()) == 3


def test_sky_plot_puts_the_zenith_at_the_centre_and_hides_samples_below_the_horizon():
    aer = records(AER_dtype, azimuth=np.radians([0.0, 90.0, 180.0, 270.0]),
                  elevation=np.radians([-5.0, 30.0, 90.0, 10.0]), range=[1e6] * 4)
    ax = plot_sky(aer)
    (line,) = ax.get_lines()
    assert np.allclose(line.get_xdata(), np.radians([0, 90, 180, 270]))
    assert np.allclose(line.get_ydata(), [np.nan, 60, 0, 80], equal_nan=True)
    assert ax.get_theta_direction() == -1 and ax.get_theta_offset() == pytest.approx(math.pi / 2)
    assert [t.get_text() for t in ax.get_xticklabels()] == ["N", "E", "S", "W"]


@pytest.mark.parametrize("call", [
    lambda: plot_sky(records(AER_dtype, azimuth=[0.0], elevation=[0.5]), ax=plt.subplots()[1]),
    lambda: plot_sky(np.zeros(3)),
    lambda: plot_ground_track(np.zeros(3)),
    lambda: plot_ground_track(np.zeros((2, 2, 2), LLA_dtype)),
])
def test_plots_refuse_wrong_input(call):
    with pytest.raises((TypeError, ValueError)):
        call()


@pytest.mark.skipif(importlib.util.find_spec("astrokite.sites") is None, reason="sites are not in this tree yet")
def test_sky_plot_of_passes_draws_each_pass_up_to_its_culmination(iss):
    from astrokite.sites import Site

    paris = Site(math.radians(48.8566), math.radians(2.3522), 35.0)
    passes = paris.passes(iss, "2023-03-01", "2023-03-02", min_elevation=math.radians(10))
    ax = plot_sky(passes, site=paris, source=iss)
    lines = ax.get_lines()
    assert len(lines) == len(passes) > 0
    for line, top in zip(lines, passes.max_elevation):
        # Sampled from rise to set: the highest sample lies within a degree of the culmination.
        assert 90 - np.nanmin(line.get_ydata()) == pytest.approx(math.degrees(top), abs=1.0)
    assert lines[0].get_label().startswith("25544 2023-03-01T")
    with pytest.raises(TypeError, match="site and the source"):
        plot_sky(passes)
