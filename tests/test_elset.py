import ctypes
import gc
import random
import subprocess
import sys
import types

import numpy as np
import pytest
from conftest import ISS1, ISS2, history, made

from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE
from astrokite.time.time import Time

COLUMNS = ["ecc", "sma", "inc", "raa", "arp", "tra", "mnm", "orp", "eca", "mea", "pge", "apg"]
ISS = history("iss.tle")
ISS_ORDERED = sorted(ISS, key=lambda t: t.epoch.int64)


def held(elset):
    return [elset[i] for i in range(elset.size)]


@pytest.fixture
def three():
    return [made(1.5), made(2.5), made(3.5)]


@pytest.fixture
def iss():
    return ELSET(*ISS, satname="ISS")


class TestConstruction:
    def test_real_history_comes_out_ascending_in_every_column(self):
        shuffled = ISS[:]
        random.Random(5).shuffle(shuffled)
        elset = ELSET(*shuffled)
        assert elset.size == 609 and elset.satno == 25544 and elset.satname is None
        assert all(a is b for a, b in zip(held(elset), ISS_ORDERED))
        assert type(elset.epoch) is Time and elset.epoch is elset.epoch
        assert np.array_equal(elset.epoch.int64, [t.epoch.int64 for t in ISS_ORDERED])
        assert np.all(np.diff(elset.epoch.int64) >= 0)
        for name in COLUMNS:
            column = getattr(elset, name)
            assert column.dtype == np.float64 and column.shape == (609,)
            expected = np.array([getattr(t, name) for t in ISS_ORDERED])
            assert np.array_equal(column.view(np.int64), expected.view(np.int64)), name

    @pytest.mark.parametrize("reverse", [False, True])
    def test_equal_epochs_keep_argument_order(self, reverse):
        tles = history("iridium-71.tle")
        given = tles[::-1] if reverse else tles
        elset = ELSET(*given)
        pairs = [i for i in range(elset.size - 1) if elset[i].epoch.int64 == elset[i + 1].epoch.int64]
        assert len(pairs) == 24
        assert all(a is b for a, b in zip(held(elset), sorted(given, key=lambda t: t.epoch.int64)))

    def test_one_element_set_and_duplicates(self, three):
        one = ELSET(three[0])
        assert one.size == 1 and one.satno == 25544 and one.sma.shape == (1,)
        twice = ELSET(three[1], three[0], three[1])
        assert held(twice) == [three[0], three[1], three[1]]

    def test_name_lives_in_the_instance_dictionary(self, three):
        assert ELSET(*three).__dict__ == {"_satname": None}
        elset = ELSET(*three, satname="ISS")
        assert elset.satname == "ISS" and elset._satname == "ISS" and "index" not in elset.__dict__

    @pytest.mark.parametrize(
        "entries, kwargs, error, message",
        [
            (["tle"], {"satname": b"ISS"}, TypeError,
             r"^Argument 'satname' has incorrect type \(expected str, got bytes\)$"),
            (["tle"], {"satname": type("Name", (str,), {})("ISS")}, TypeError, "expected str, got Name"),
            (["tle"], {"name": "ISS"}, TypeError, "unexpected keyword argument 'name'"),
            (["tle", "number epoch"], {}, TypeError, "'<' not supported"),
            (["tle", "no satno"], {}, AttributeError, "satno"),
            (["lettered"], {}, TypeError, "^an integer is required$"),
            (["huge satno"], {}, OverflowError, "^value too large to convert to int$"),
            (["not a TLE"], {}, TypeError,
             "^Cannot convert types.SimpleNamespace to astrokite.propagators.analytical.sgp4.tle.TLE$"),
            (["fractional epoch"], {}, TypeError, "integer"),
        ],
    )
    def test_failures(self, three, entries, kwargs, error, message):
        tle = three[0]

        class FractionalEpoch(TLE):
            epoch = types.SimpleNamespace(int64=1.5)

        stand_ins = {
            "tle": tle,
            "number epoch": types.SimpleNamespace(epoch=5, satno=25544),
            "no satno": types.SimpleNamespace(epoch=tle.epoch),
            "lettered": made(2.0, "I0001"),  # I is no alpha-5 letter
            "huge satno": types.SimpleNamespace(epoch=tle.epoch, satno=2**31),
            "not a TLE": types.SimpleNamespace(epoch=tle.epoch, satno=25544),
            "fractional epoch": FractionalEpoch(tle.line1, tle.line2),
        }
        with pytest.raises(error, match=message):
            ELSET(*[stand_ins[name] for name in entries], **kwargs)

    def test_without_assertions_the_satellite_number_is_not_checked(self):
        script = (
            "import sys\n"
            "from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE\n"
            "line1, line2 = sys.argv[1:]\n"
            "assert False\n"  # skipped when optimised
            "try:\n    ELSET()\nexcept KeyError:\n    pass\nelse:\n    sys.exit('no KeyError')\n"
            "print(ELSET(TLE(line1, line2), TLE(line1[:2] + '25545' + line1[7:], line2)).satno)\n"
        )
        result = subprocess.run([sys.executable, "-O", "-c", script, ISS1, ISS2], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        assert int(result.stdout) in (25544, 25545)


class TestIndexing:
    def test_positions(self, three):
        elset = ELSET(three[2], three[0], three[1])
        assert elset[0] is three[0] and elset[-1] is three[2] and elset[-3] is three[0]
        assert elset[True] is three[1] and elset[np.int16(2)] is three[2]
        for outside in (3, -4, 2**70, -(2**70)):
            with pytest.raises(IndexError):
                elset[outside]

    def test_sequence_protocol_passes_raw_negative_positions(self, three):
        get = ctypes.pythonapi.PySequence_GetItem
        get.restype, get.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_ssize_t]
        elset = ELSET(*three)
        assert get(elset, -1) is three[2] and get(elset, 0) is three[0]
        with pytest.raises(TypeError):
            len(elset)

    @pytest.mark.parametrize(
        "key, expected",
        [
            (slice(-2, 100), [1, 2]),
            (slice(None, None, -1), [0, 1, 2]),
            ([True, False, True], [0, 2]),
            ([-1, 0, 0], [0, 0, 2]),
            (np.array([2, 1, 0], dtype=np.uint8)[::-2], [0, 2]),
            (np.array([True, True, False])[::-1], [1, 2]),
        ],
    )
    def test_selections_are_new_sorted_nameless_elsets(self, three, key, expected):
        elset = ELSET(*three, satname="ISS")
        selected = elset[key]
        assert type(selected) is ELSET and selected.satname is None
        assert held(selected) == [three[i] for i in expected]
        assert np.array_equal(selected.sma, [three[i].sma for i in expected])

    @pytest.mark.parametrize(
        "key, error, message",
        [
            (slice(5, None), AssertionError, "^$"),
            ([False, False, False], AssertionError, "^$"),
            (slice(0, "2023-01-02"), TypeError, "slice indices must be integers"),
            ([True, False], IndexError, "boolean index did not match"),
            ([0, -4], IndexError, "index -4 is out of bounds for axis 0 with size 3"),
            (1.5, IndexError, None),
            (slice("someday", None), ValueError, "someday"),
            (slice("2024-01-01", None), AssertionError, "^$"),
        ],
    )
    def test_failed_selection_leaves_the_source_unchanged(self, three, key, error, message):
        elset = ELSET(*three, satname="ISS")
        before = (held(elset), elset.sma.copy(), dict(elset.__dict__))
        with pytest.raises(error, match=message):
            elset[key]
        assert (held(elset), dict(elset.__dict__)) == (before[0], before[2])
        assert np.array_equal(elset.sma, before[1])

    @pytest.mark.parametrize("item, name", [(1, "int"), (None, "NoneType")])
    def test_integral_slice_method_wants_exactly_a_slice(self, three, item, name):
        with pytest.raises(TypeError, match=rf"^Argument 'item' has incorrect type \(expected slice, got {name}\)$"):
            ELSET(*three)._getitem_integral_slice(item)

    def test_none_reaches_the_integral_method_and_fails_its_comparison(self, three):
        with pytest.raises(TypeError, match="'>=' not supported"):
            ELSET(*three)._getitem_integral(None)


class TestTimeWindow:
    @pytest.mark.parametrize(
        "start, stop",
        [
            ("2023-02-01", "2023-02-08"),
            ("2023-04-20T12:00", None),
            (None, "2023-01-05"),
            (Time("2023-03-01"), np.datetime64("2023-03-02T06:00")),
            (ISS_ORDERED[100].epoch, ISS_ORDERED[200].epoch),  # bounds on epochs
        ],
    )
    def test_window_keeps_exactly_the_epochs_inside(self, iss, start, stop):
        epochs = iss.epoch.int64
        inside = np.ones(iss.size, dtype=bool)
        if start is not None:
            inside &= epochs >= Time(start).int64
        if stop is not None:
            inside &= epochs < Time(stop).int64
        window = iss[start:stop]
        assert window.satname is None
        assert np.array_equal(window.epoch.int64, epochs[inside])
        assert np.array_equal(window.apg, iss.apg[inside])
        assert iss[start:stop:"unused step"].size == window.size


class TestIteration:
    def test_iteration_shares_one_position(self, three):
        elset = ELSET(*three)
        with pytest.raises(AttributeError, match="index"):
            next(elset)
        assert list(elset) == three and elset.index == 3
        assert list(elset) == three
        assert list(zip(elset, elset)) == [(three[0], three[1])]
        iterator = iter(elset)
        next(iterator)
        assert three[0] in elset and elset.index == 1
        assert next(iterator) is three[1]

    def test_pairwise(self, three):
        elset = ELSET(*three)
        assert list(ELSET(three[0]).pairwise()) == []
        pairs = elset.pairwise()
        assert "index" not in elset.__dict__
        assert list(pairs) == [(three[0], three[1]), (three[1], three[2])]
        assert list(pairs) == [] and "index" not in elset.__dict__


class TestColumns:
    def test_columns_share_memory_and_are_writable(self, three):
        elset = ELSET(*three)
        first, second = elset.ecc, elset.ecc
        assert first is not second and np.shares_memory(first, second)
        first[0] = 0.5
        assert elset.ecc[0] == 0.5 and elset[0].ecc == three[0].ecc != 0.5

    def test_columns_outlive_the_elset(self):
        elset = ELSET(*ISS)
        sma, expected = elset.sma, [t.sma for t in ISS_ORDERED]
        del elset
        gc.collect()
        np.zeros(10**6)  # reuse freed memory, if any
        assert sma.tolist() == expected


class TestText:
    @pytest.mark.parametrize("satname, header", [("ISS", "ELSET ISS (25544)"), (None, "ELSET None (25544)")])
    def test_header_and_body(self, three, satname, header):
        elset = ELSET(*three, satname=satname)
        assert elset._get_header() == header and elset._get_body() == "3 elements"
        assert header in str(elset) and "3 elements" in str(elset)


class TestSubclass:
    def test_overrides_take_effect(self, three):
        class Shifted(ELSET):
            satname = "shifted"

            def _getitem_integral(self, item):
                return super()._getitem_integral(item + 1)

            @property
            def size(self):
                return 2

        elset = Shifted(*three, satname="ISS")
        assert elset[0] is three[1]
        assert list(elset) == [three[1], three[2]]
        assert list(elset.pairwise()) == [(three[1], three[2])]
        assert elset._get_header() == "ELSET shifted (25544)" and elset._get_body() == "3 elements"
        assert type(elset[0:2]) is ELSET and type(elset[[0]]) is ELSET

    def test_instance_attribute_shadows_a_method(self, three):
        elset = ELSET(*three)
        elset._getitem_integral = lambda item: item
        assert elset[1] == 1 and list(elset) == [0, 1, 2]
