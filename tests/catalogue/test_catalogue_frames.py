"""Catalogue.from_pandas at full precision: values and nine-digit numbers, text where lines hold it;
to_pandas of some of the columns."""

import io

import numpy as np
import pandas as pd
import pytest
from helpers import DATA

import astrokite as ak
from astrokite.catalogue import Catalogue

TLE_FRAME = ak.read_tle(sorted(DATA.glob("*.tle"))).to_pandas()
FLOATS = ["ecc", "inc", "raa", "arp", "mea", "mnm", "ndot", "nddot", "bstar"]


def test_a_catalogue_read_from_omm_comes_back_from_its_frame_bit_for_bit():
    # Values finer than the line columns, epochs to the nanosecond, nine-digit numbers: read from OMM.
    rng = np.random.default_rng(8)
    fine = TLE_FRAME.assign(satno=TLE_FRAME.satno * 10_007 + 3,
                            epoch=TLE_FRAME.epoch + pd.to_timedelta(rng.integers(0, 10**6, len(TLE_FRAME)), "ns"),
                            **{name: TLE_FRAME[name] * (1 + rng.uniform(0, 1e-12, len(TLE_FRAME))) for name in FLOATS})
    text = io.StringIO()
    ak.write_omm(Catalogue.from_pandas(fine), text, "kvn")
    omm = ak.read_omm(io.StringIO(text.getvalue()), "kvn")
    frame = omm.to_pandas()
    assert np.array_equal(np.sort(frame.epoch.to_numpy()), np.sort(fine.epoch.to_numpy()))  # written to the ns
    back = Catalogue.from_pandas(frame.sample(frac=1.0, random_state=3))
    assert list(back) == list(omm) and all(elset._lines() is None for elset in back.values())
    again = back.to_pandas()
    pd.testing.assert_frame_equal(again, frame, check_exact=True)
    assert again[FLOATS].to_numpy().tobytes() == frame[FLOATS].to_numpy().tobytes()
    times = ak.Time(np.arange(np.datetime64("2022-12-20"), np.datetime64("2023-06-10"), np.timedelta64(5, "h")))
    ours, theirs = ak.SGP4(back).propagate(times), ak.SGP4(omm).propagate(times)
    for name in ("position", "velocity", "error", "satnos"):
        assert np.asarray(getattr(ours, name)).tobytes() == np.asarray(getattr(theirs, name)).tobytes(), name


def test_a_mixed_frame_gives_text_where_every_set_of_a_satellite_has_it():
    iss, tess = TLE_FRAME[TLE_FRAME.satno == 25544], TLE_FRAME[TLE_FRAME.satno == 43435]
    hubble = TLE_FRAME[TLE_FRAME.satno == 20580].copy()
    hubble.loc[hubble.index[3], "inc"] += 1e-12  # one set finer than the line columns
    odd = tess.iloc[:4].assign(satno=123_456_789, intldes="2018-038A", ephtype=[0, 2, 0, 0], inc=[1.0, -0.5, 1, 1],
                               epoch=pd.to_datetime(["1950-01-01", "2070-01-01", "2023-01-01", "2023-01-02"]))
    frame = pd.concat([iss, hubble, odd, tess])
    for duplicates in ("keep", "drop"):
        given = frame if duplicates == "keep" else pd.concat([frame, frame.iloc[::2]])
        catalogue = Catalogue.from_pandas(given, duplicates=duplicates)
        assert [(satno, elset.size, elset._lines() is None) for satno, elset in catalogue.items()] == [
            (20580, len(hubble), True), (25544, len(iss), False), (43435, len(tess), False), (123_456_789, 4, True)]
        got = catalogue.to_pandas().set_index(["satno", "epoch"]).sort_index()
        pd.testing.assert_frame_equal(got, frame.set_index(["satno", "epoch"]).sort_index()[got.columns],
                                      check_exact=True)
    # Sets with text are those the TLE route makes of the frame alone.
    assert catalogue[25544]._lines() == Catalogue.from_pandas(iss)[25544]._lines()


def test_a_frame_of_some_columns_is_those_columns_of_the_whole():
    catalogue = ak.read_tle(sorted(str(path) for path in DATA.glob("*.tle")))
    whole = catalogue.to_pandas()
    for names in (["satno"], ["intldes", "epoch", "satname"], ["tra", "revnum", "satno"]):
        pd.testing.assert_frame_equal(catalogue.to_pandas(names), whole[names])
    assert list(ak.Catalogue().to_pandas(["epoch", "satname"]).columns) == ["epoch", "satname"]
    with pytest.raises(ValueError, match="no column named 'name'"):
        catalogue.to_pandas(["satno", "name"])
