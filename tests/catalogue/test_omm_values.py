"""Element sets read from OMM as values: full precision, nine-digit numbers, and every consumer."""

import io
import pickle

import numpy as np
import orjson
import pytest
from helpers import DATA
from sgp4 import omm as sgp4_omm
from sgp4.api import Satrec

import astrokite as ak
from astrokite.elements.element_set import ElementSet
from astrokite.elements.records import RECORD

FRAME = ak.read_tle(sorted(DATA.glob("*.tle"))).to_pandas()
RNG = np.random.default_rng(21)
DEG = 180 / np.pi
REV_PER_DAY = 86400 / (2 * np.pi)


def _digits(value: float, extra: float) -> str:
    """A value with digits beyond what its TLE column holds."""
    return repr(float(value) + extra)


def _messages(frame=FRAME, numbers=None) -> list[dict]:
    """The sets of `frame` as OMM messages with extra digits in every value and the epoch."""
    messages = []
    for i, row in enumerate(frame.itertuples()):
        # To the microsecond, the finest the reference's OMM route reads.
        epoch = np.datetime64(row.epoch, "us") + np.timedelta64(int(RNG.integers(0, 999)), "us")
        messages.append({
            "OBJECT_NAME": row.satname or "X", "OBJECT_ID": "2000-001A",
            "EPOCH": str(epoch),
            "MEAN_MOTION": _digits(row.mnm * REV_PER_DAY, RNG.uniform(-1e-9, 1e-9)),
            "ECCENTRICITY": _digits(row.ecc, RNG.uniform(0, 1e-9)),
            "INCLINATION": _digits(row.inc * DEG, RNG.uniform(0, 1e-6)),
            "RA_OF_ASC_NODE": _digits(row.raa * DEG, RNG.uniform(0, 1e-6)),
            "ARG_OF_PERICENTER": _digits(row.arp * DEG, RNG.uniform(0, 1e-6)),
            "MEAN_ANOMALY": _digits(row.mea * DEG, RNG.uniform(0, 1e-6)),
            "EPHEMERIS_TYPE": 0, "CLASSIFICATION_TYPE": "U",
            "NORAD_CAT_ID": int(numbers[i] if numbers is not None else row.satno),
            "ELEMENT_SET_NO": 999, "REV_AT_EPOCH": int(row.revnum),
            "BSTAR": _digits(row.bstar, RNG.uniform(0, 1e-12)),
            "MEAN_MOTION_DOT": _digits(row.ndot / 2 * REV_PER_DAY * 86400, 0.0),
            "MEAN_MOTION_DDOT": "0",
        })
    return messages


def _reference(fields: dict) -> Satrec:
    """The reference's OMM route. It refuses numbers above 339999 (the TLE limit of its
    initialiser); the number takes no part in the theory, so such sets are given another."""
    text = {key: str(value) for key, value in fields.items()}
    if int(text["NORAD_CAT_ID"]) > 339_999:
        text["NORAD_CAT_ID"] = "99999"
    satrec = Satrec()
    sgp4_omm.initialize(satrec, text)
    return satrec


def _agreement(messages: list[dict], catalogue) -> float:
    """Largest distance [m] between our propagation of each set and the reference's OMM route,
    three days either side of its epoch. Both are asked for minutes since the epoch: the
    reference keeps its epoch as one double of days since 1950 (about 0.3 microseconds, 2 mm
    along track), while ours is the instant written."""
    worst = 0.0
    offsets = np.linspace(-3 * 1440, 3 * 1440, 25)
    for message in messages:
        satrec = _reference(message)
        elset = catalogue[message["NORAD_CAT_ID"]]
        at = np.datetime64(message["EPOCH"], "ns").astype(np.int64)
        states = ak.SGP4(elset[int(np.flatnonzero(elset.epoch.int64 == at)[0])]).propagate_since(offsets)
        reference = np.array([satrec.sgp4_tsince(t)[1] for t in offsets]) * 1e3
        good = states.error[0] == 0
        worst = max(worst, float(np.abs(states.position[0][good] - reference[good]).max(initial=0.0)))
    return worst


def test_values_keep_every_digit_and_the_epoch_as_written():
    messages = _messages(FRAME.iloc[:200])
    catalogue = ak.read_omm(io.BytesIO(orjson.dumps(messages)), "json")
    for message in messages[:50]:
        elset = catalogue[message["NORAD_CAT_ID"]]
        at = np.datetime64(message["EPOCH"], "ns").astype(np.int64)
        one = next(s for s in elset if s.epoch.int64 == at)
        satrec = _reference(message)
        assert one.ecc == float(message["ECCENTRICITY"]) == satrec.ecco
        assert one.inc == pytest.approx(satrec.inclo, rel=2e-16)
        assert one.mnm * 60 == pytest.approx(satrec.no_kozai, rel=4e-16)
        assert one.bstar == satrec.bstar
        assert one.epoch.int64 == np.datetime64(message["EPOCH"], "ns").astype(np.int64)
    # Finer than the microsecond: the epoch is the text's instant to the nanosecond, and it is
    # written back as it was written.
    finer = dict(messages[0], EPOCH="2023-01-01T06:28:40.123456789")
    one = ak.read_omm(io.BytesIO(orjson.dumps([finer])), "json")[finer["NORAD_CAT_ID"]]
    assert one.epoch.int64 == np.datetime64("2023-01-01T06:28:40.123456789", "ns").astype(np.int64)
    out = io.StringIO()
    ak.write_omm(one, out, "kvn")
    assert "EPOCH = 2023-01-01T06:28:40.123456789\n" in out.getvalue()


@pytest.mark.parametrize("form", ["json", "csv", "xml", "kvn"])
def test_propagation_agrees_with_the_references_omm_route_within_a_millimetre(form):
    messages = _messages(FRAME.iloc[::40])
    text = io.StringIO()
    ak.write_omm(ak.read_omm(io.BytesIO(orjson.dumps(messages)), "json"), text, form)
    catalogue = ak.read_omm(io.StringIO(text.getvalue()), form)
    assert catalogue.size == len(messages)
    assert _agreement(messages, catalogue) < 1e-3


def test_six_and_nine_digit_numbers_through_every_consumer():
    numbers = [100_000 + i * 11 for i in range(10)] + [799_501_299]
    messages = _messages(FRAME[FRAME.satno == 25544].iloc[:11], numbers)
    catalogue = ak.read_omm(io.BytesIO(orjson.dumps(messages)), "json")
    assert list(catalogue) == sorted(numbers) and catalogue[799501299].satno == 799501299
    assert _agreement(messages, catalogue) < 1e-3
    states = ak.SGP4(catalogue).propagate(ak.Time("2023-01-02"))
    assert sorted(states.satnos.tolist()) == sorted(numbers)
    passes = ak.Site(0.85, 0.04, 35).passes(catalogue, "2023-01-02", "2023-01-03")
    assert set(passes.satno.tolist()) <= set(numbers) and 799501299 in passes.satno.tolist()
    frame = catalogue.to_pandas()
    assert frame.satno.max() == 799501299
    for form in ("json", "csv", "xml", "kvn"):
        out = io.StringIO()
        ak.write_omm(catalogue, out, form)
        again = ak.read_omm(io.StringIO(out.getvalue()), form)
        for satno in numbers:
            assert _values(again[satno]) == _values(catalogue[satno]), (form, satno)


def _values(elset) -> bytes:
    """The records of an ELSET without where their other OMM fields are kept."""
    records = np.frombuffer(elset._records(), RECORD).copy()
    records["extras_row"] = -1
    return records.tobytes()


@pytest.mark.parametrize("form", ["json", "csv", "xml", "kvn"])
def test_the_other_fields_of_a_message_are_kept_and_written_back(form):
    published = dict(_messages(FRAME.iloc[:1])[0], ORIGINATOR="18 SPCS", CREATION_DATE="2023-01-02T03:04:05",
                     REF_FRAME="TEME", SEMIMAJOR_AXIS="6795.123", GP_ID="223344556", COMMENT="from a catalogue")
    first = ak.read_omm(io.BytesIO(orjson.dumps([published])), "json")
    merged = first | ak.read_tle(DATA / "hubble.tle")  # kept through a merge and a selection too
    elset = merged[published["NORAD_CAT_ID"]][[0]]
    out = io.StringIO()
    ak.write_omm(elset, out, form)
    again = ak.read_omm(io.StringIO(out.getvalue()), form)[published["NORAD_CAT_ID"]]
    table = again._extras()
    row = int(np.frombuffer(again._records(), RECORD)["extras_row"][0])
    kept = {key: texts[codes[row]] for key, (codes, texts) in table.items() if codes[row] >= 0}
    for key in ("ORIGINATOR", "CREATION_DATE", "SEMIMAJOR_AXIS", "GP_ID", "COMMENT"):
        assert kept[key] == published[key], key
    assert _values(again) == _values(first[published["NORAD_CAT_ID"]])


def test_tle_text_only_where_the_columns_hold_the_set():
    messages = _messages(FRAME[FRAME.satno == 25544].iloc[:3], [25544, 339999, 340000])
    catalogue = ak.read_omm(io.BytesIO(orjson.dumps(messages)), "json")
    with pytest.raises(ValueError, match="satellite 340000 at .*: satno lies outside 0 to 339999"):
        ak.write_tle(catalogue, io.StringIO())
    out = io.StringIO()
    skipped = ak.write_tle(catalogue, out, errors="skip")
    assert [r.reason for r in skipped] == ["satno lies outside 0 to 339999, which a line holds"]
    back = ak.parse_tle(out.getvalue())
    assert list(back) == [25544, 339999]
    # Written as TLE, the values are rounded to the columns: what the format holds.
    assert back[25544].ecc[0] == pytest.approx(catalogue[25544].ecc[0], abs=5e-8)
    assert back[25544].ecc[0] != catalogue[25544].ecc[0]
    fast = dict(messages[0], MEAN_MOTION="120.5")
    with pytest.raises(ValueError, match="mnm lies outside"):
        ak.read_omm(io.BytesIO(orjson.dumps([fast])), "json")[25544][0].to_tle()


def test_an_elset_of_values_selects_iterates_and_pickles_its_sets():
    messages = _messages(FRAME[FRAME.satno == 25544].iloc[:20])
    elset = ak.read_omm(io.BytesIO(orjson.dumps(messages[::-1])), "json")[25544]
    assert np.all(np.diff(elset.epoch.int64) >= 0)  # put in epoch order
    picked = elset[elset.inc > np.median(elset.inc)]
    assert picked.size == 10 and picked._lines() is None
    assert np.array_equal(np.frombuffer(picked._records(), RECORD)["ecc"], picked.ecc)
    sets = list(elset)
    assert all(isinstance(s, ElementSet) for s in sets) and sets[3] is elset[3]
    assert [s.ecc for s in sets] == elset.ecc.tolist() and [s.sma for s in sets] == elset.sma.tolist()
    assert pickle.loads(pickle.dumps(sets[3])) == sets[3]
    assert ak.SGP4(sets[3]).propagate_since([0.0]).error.tolist() == [[0]]


def test_merging_sets_with_and_without_text():
    tle = ak.read_tle(DATA / "iss.tle")
    omm = ak.read_omm(io.BytesIO(orjson.dumps(_messages(FRAME[FRAME.satno == 25544].iloc[:5]))), "json")
    both = tle.merge(omm)
    assert both[25544].size == tle[25544].size + 5
    assert both[25544]._lines() is None and np.all(np.diff(both[25544].epoch.int64) >= 0)


def test_alpha5_text_and_numbers_map_both_ways_as_the_lines_do():
    from astrokite.elements.numbers import satno_of_text, tle_text_of_satno

    numbers = [0, 99999, 100000, 109999, 179999, 180000, 229999, 230000, 339999]
    messages = _messages(FRAME[FRAME.satno == 25544].iloc[: len(numbers)], numbers)
    catalogue = ak.read_omm(io.BytesIO(orjson.dumps(messages)), "json")
    for number in numbers:
        text = tle_text_of_satno(number)
        line1 = catalogue[number][0].to_tle().line1
        assert line1[2:7] == text and satno_of_text(text) == number
        # The reader of TLE text finds the same number, and the catalogue takes either key.
        assert list(ak.parse_tle(line1 + "\n" + catalogue[number][0].to_tle().line2)) == [number]
        assert catalogue[text] is catalogue[number]
    for bad in ("I0000", "O1234", "A123", "", "2554x"):
        with pytest.raises(ValueError):
            satno_of_text(bad)
    with pytest.raises(ValueError, match="340000 lies outside 0 to 339999"):
        tle_text_of_satno(340000)
    assert "I0000" not in catalogue


def test_records_from_elsewhere_with_an_epoch_no_time_holds_are_refused():
    from astrokite.propagators.analytical.sgp4.tle import ELSET

    catalogue = ak.read_omm(io.BytesIO(orjson.dumps(_messages(FRAME.iloc[:1]))), "json")
    one = np.frombuffer(next(iter(catalogue.values()))._records(), RECORD).copy()
    one["epoch_midnight_ns"] = -(2**63)
    one["epoch_ps"] = -(10**18)
    with pytest.raises(ValueError, match="outside the range of Time"):
        ELSET._from_grouped_records(one, [(0, 1, None)])
    # The propagator takes them and reports each sample as failed, never a crash.
    from astrokite.elements.sources import Satellites

    states = ak.SGP4._from_groups(Satellites(one, np.array([1]))).propagate_since([0.0])
    assert states.error.shape == (1, 1)


def test_fields_no_form_can_hold_are_refused_or_left_out_of_every_form():
    base = _messages(FRAME.iloc[:1])[0]
    bad = dict(base, OBJECT_ID="1998-067\u00e9")
    catalogue = ak.read_omm(io.BytesIO(orjson.dumps([bad, base])), "json", errors="skip")
    assert catalogue.size == 1 and "OBJECT_ID is not printable ASCII" in catalogue.rejected[0].reason
    odd = dict(base, **{"A KEY": "x", "norad_cat_id": "5", "LINES": "a\nb", "BELL": "\x07", "FINE": "kept"})
    catalogue = ak.read_omm(io.BytesIO(orjson.dumps([odd])), "json")
    for form in ("json", "csv", "xml", "kvn"):
        out = io.StringIO()
        ak.write_omm(catalogue, out, form)
        again = ak.read_omm(io.StringIO(out.getvalue()), form)
        elset = next(iter(again.values()))
        assert _values(elset) == _values(next(iter(catalogue.values()))), form
        table = elset._extras()
        assert "FINE" in table and not {"A KEY", "norad_cat_id", "LINES", "BELL"} & set(table), form


def test_many_satellites_of_records_keep_their_own_sets_in_epoch_order():
    # Tens of thousands of sets, their epochs in more than one shared array: each ELSET holds its
    # satellite's records in epoch order, as one built from those records alone.
    from astrokite.propagators.analytical.sgp4.tle import ELSET

    catalogue = ak.read_omm(io.BytesIO(orjson.dumps(_messages(FRAME.iloc[::40]))), "json")
    records = np.concatenate([np.frombuffer(elset._records(), RECORD) for elset in catalogue.values()])
    many = np.tile(records[::-1], 1000)
    many["extras_row"] = -1
    elsets = ELSET._from_records(many, {}, None)
    assert [elset.satno for elset in elsets] == list(catalogue)
    for elset, alone in zip(elsets, catalogue.values()):
        np.testing.assert_array_equal(elset.epoch.int64, np.repeat(alone.epoch.int64, 1000))
        np.testing.assert_array_equal(elset.mnm, np.repeat(alone.mnm, 1000))
