"""What travels between processes pickles compactly and comes back the same: catalogues,
propagators and result tables."""

import io
import json
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pandas as pd
import pytest
from helpers import DATA, ISS1, ISS2

import astrokite as ak
from astrokite.catalogue import omm as omm_module
from astrokite.catalogue.catalogue import Rejection
from astrokite.elements.records import RECORD

TLE = ak.read_tle([*sorted(DATA.glob("*.tle")), io.StringIO(f"ISS (ZARYA)\n{ISS1}\n{ISS2}\nno set\n")],
                  errors="skip")


def _omm():
    """Sets read from OMM with a nine-digit number and fields no record holds."""
    text = io.StringIO()
    ak.write_omm(ak.read_tle([DATA / "hubble.tle", DATA / "tess.tle"]), text, "json")
    messages = [dict(message, CREATION_DATE="2023-03-01T00:00:00") for message in json.loads(text.getvalue())]
    messages[0].update(NORAD_CAT_ID=799501299, GP_ID="223344556", COMMENT="kept")
    messages[-1]["ORIGINATOR"] = "18 SPCS"
    return ak.read_omm(io.BytesIO(json.dumps(messages).encode()), "json")


OMM = _omm()
CATALOGUES = {
    "tle": TLE,
    "omm": OMM,
    "merged": TLE | OMM,  # every set as a record, fields from two readings
    "mixed": ak.Catalogue([*(elset for satno, elset in TLE.items() if satno not in OMM), *OMM.values()],
                          TLE.rejected),
    "parts of two readings": ak.Catalogue([OMM[799501299], _omm()[43435]]),
}


def _values(elset) -> bytes:
    """The records of an ELSET without where their other OMM fields are kept."""
    records = np.frombuffer(elset._records(), RECORD).copy()
    records["extras_row"] = -1
    return records.tobytes()


@pytest.mark.parametrize("name", CATALOGUES)
def test_a_catalogue_comes_back_the_same_at_about_the_size_of_its_rows(name, monkeypatch):
    catalogue = CATALOGUES[name]
    data = pickle.dumps(catalogue)
    back = pickle.loads(data)
    assert len(data) < 150 * catalogue.size + 2000  # the record layout and the kept fields' keys once
    assert list(back) == list(catalogue) and back.rejected == catalogue.rejected
    assert all(type(rejection) is Rejection for rejection in back.rejected)
    assert name != "tle" or back.rejected and back[25544].satname == "ISS (ZARYA)"
    for satno, elset in catalogue.items():
        again = back[satno]
        assert (again.satname, again._lines(), _values(again)) == (elset.satname, elset._lines(), _values(elset))
        # Parts of readings carry only their own other fields: where they are kept is renumbered.
        assert name == "parts of two readings" or again._records() == elset._records()
    pd.testing.assert_frame_equal(back.to_pandas(), catalogue.to_pandas())
    monkeypatch.setattr(omm_module, "_creation_date", lambda: "2000-01-01T00:00:00.000000")
    written = [io.StringIO(), io.StringIO()]
    ak.write_omm(catalogue, written[0], "kvn")
    ak.write_omm(back, written[1], "kvn")
    assert written[0].getvalue() == written[1].getvalue()


TIMES = ak.Time(["2023-01-20", "2023-03-01T12:34:56.789", "2023-03-01T12:35", "2023-07-01"])


@pytest.mark.parametrize("name, gravity, mode",
                         [("tle", "wgs72", "improved"), ("omm", "wgs84", "afspc"), ("mixed", "wgs72old", "improved")])
def test_an_sgp4_comes_back_propagating_bit_for_bit(name, gravity, mode):
    sgp4 = ak.SGP4(CATALOGUES[name], gravity=gravity, mode=mode)
    data = pickle.dumps(sgp4)
    back = pickle.loads(data)
    assert len(data) < 140 * sgp4.size + 1000
    assert (repr(back), len(back), back.size) == (repr(sgp4), len(sgp4), sgp4.size)
    rows = np.arange(len(sgp4)).repeat(len(TIMES))
    pairs = ak.Time(np.tile(TIMES.int64, len(sgp4)))
    # A result's pickle holds its arrays bit for bit (NaN too).
    for call in (lambda p: p.satnos, lambda p: p.propagate(TIMES, select="nearest"),
                 lambda p: p.propagate(TIMES, frame="ITRF"), lambda p: p.propagate(TIMES, select="each"),
                 lambda p: p.propagate_since([0.0, 1e3]), lambda p: p.propagate_lla(TIMES),
                 lambda p: p.propagate_pairs(rows, pairs, select="nearest")):
        assert pickle.dumps(call(back)) == pickle.dumps(call(sgp4))


def _bits(*arrays) -> list:
    return [(array.dtype.str, array.shape, array.tobytes()) for array in arrays]


def test_result_tables_come_back_with_their_columns():
    # A year after most epochs: one satellite fails, which each table records.
    passes = ak.Site(0.85, 0.04, 35.0).passes(TLE, "2024-04-01", "2024-04-02")
    eclipses = ak.eclipses(TLE, "2024-04-01", "2024-04-02")
    conjunctions = ak.screen(TLE, "2024-04-01", "2024-04-02", threshold=2e6)
    assert passes.failed.any() and len(eclipses.failures["satno"]) and len(conjunctions.failed)
    for table in (passes, eclipses, conjunctions):
        back = pickle.loads(pickle.dumps(table))
        assert repr(back) == repr(table)
        pd.testing.assert_frame_equal(back.to_pandas(), table.to_pandas())
    back = pickle.loads(pickle.dumps(passes))
    assert _bits(back.magnitude(-1.8), back.range_rate) == _bits(passes.magnitude(-1.8), passes.range_rate)
    pd.testing.assert_frame_equal(pickle.loads(pickle.dumps(conjunctions)).failed, conjunctions.failed)
    back = pickle.loads(pickle.dumps(eclipses))
    assert _bits(back.failures["satno"], back.failures["at"].int64, back.duration) == _bits(
        eclipses.failures["satno"], eclipses.failures["at"].int64, eclipses.duration)
    assert len(pickle.dumps(eclipses)) < 30 * len(eclipses) + 1000  # a bool for the shadow's name
    ephemeris = ak.SGP4(TLE).propagate(TIMES).to("GCRF")
    data = pickle.dumps(ephemeris)
    back = pickle.loads(data)
    assert back.frame is ak.GCRF and len(data) < 1.1 * (2 * ephemeris.position.nbytes) + 2000
    assert _bits(back.position, back.velocity, back.error, back.satnos, back.time.int64) == _bits(
        ephemeris.position, ephemeris.velocity, ephemeris.error, ephemeris.satnos, ephemeris.time.int64)


def test_a_catalogue_and_an_sgp4_travel_to_a_spawned_process_and_back():
    catalogue = CATALOGUES["mixed"]
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        sgp4 = pool.submit(ak.SGP4, catalogue).result()
        states = pool.submit(sgp4.propagate, TIMES).result()
    assert pickle.dumps(states) == pickle.dumps(ak.SGP4(catalogue).propagate(TIMES))
