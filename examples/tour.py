"""A tour of astrokite's flat API on real data: read histories, propagate, a ground track,
passes over a city, and plots of each written to examples/plots/.

Run with `make demo` (after the demo), or `python examples/tour.py` where astrokite is installed.
"""

from pathlib import Path

import numpy as np

import astrokite as ak

HERE = Path(__file__).resolve().parent
HISTORIES = sorted((HERE.parent / "data").glob("*.tle"))
PLOTS = HERE / "plots"
PARIS = ak.Site(np.radians(48.8566), np.radians(2.3522), 35.0, name="Paris")


def main() -> None:
    catalogue = ak.read_tle(HISTORIES)
    print(f"Read {catalogue.size:,} element sets of {len(catalogue)} satellites from {len(HISTORIES)} files.")
    iss = catalogue[25544]
    print(f"ISS: {iss.size} element sets from {iss.epoch[0].utc!r} to {iss.epoch[-1].utc!r}\n")

    # Where the ISS is over one day, from the element set in force at each instant.
    times = ak.Time(ak.Time("2023-03-01").int64 + np.arange(0, 86_400, 60) * 1_000_000_000)
    teme = ak.SGP4(iss).propagate(times)
    lla = teme.lla()[0]
    print("The ISS on 2023-03-01 (WGS84):")
    for k in range(0, 360, 90):
        print(f"  {times[k].utc!r}  lat {np.degrees(lla['lat'][k]):+8.3f} deg  "
              f"lon {np.degrees(lla['lon'][k]):+9.3f} deg  alt {lla['alt'][k] / 1e3:7.1f} km")

    passes = PARIS.passes(iss, "2023-03-01", "2023-03-02", min_elevation=np.radians(10))
    print(f"\nPasses of the ISS over {PARIS.name} above 10 deg on 2023-03-01 (UTC):")
    for row in passes.to_pandas().itertuples():
        print(f"  rise {clock(row.rise)}  culmination {clock(row.culmination)}  set {clock(row.set)}  "
              f"max elevation {row.max_elevation_deg:4.1f} deg")

    write_plots(iss, teme, passes)


def clock(instant) -> str:
    """The time of day of a pandas timestamp to the second; dashes for a rise or set outside the search."""
    return "--:--:--" if instant is None or instant != instant else f"{instant:%H:%M:%S}"


def write_plots(iss, teme, passes) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
    except ImportError:
        print("\n(no plots: pip install 'astrokite[plot]')")
        return
    from astrokite.plots import plot_elements, plot_ground_track, plot_sky

    PLOTS.mkdir(exist_ok=True)
    one_orbit = ak.StateVectorEphemeris(teme.time[:93], teme.position[:, :93], frame=teme.frame,
                                        satnos=teme.satnos)
    drawn = {
        "iss-perigee-apogee.png": plot_elements(iss["2023-02-20":"2023-03-20"], ("pge", "apg")),
        "iss-ground-track.png": plot_ground_track(one_orbit),
        "iss-passes-paris.png": plot_sky(passes, site=PARIS, source=iss),
    }
    for name, ax in drawn.items():
        ax.figure.savefig(PLOTS / name, dpi=110)
    print(f"\nPlots written to {PLOTS.relative_to(HERE.parent)}/: {', '.join(drawn)}")


if __name__ == "__main__":
    main()
