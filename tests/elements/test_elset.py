import collections.abc
import ctypes
import gc
import random
import subprocess
import sys
import types
import weakref

import numpy as np
import pytest
from helpers import DATA, ISS1, ISS2, Marker, element_sets, history, made, put, stored
from sgp4.api import Satrec

from astrokite.bodies.bodies import Earth
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


# ---------------------------------------------------------------------------
# Built at creation

class TestCreation:
    def test_subclass_without_base_init_and_bare_new_are_complete(self, three):
        class Quiet(ELSET):
            def __init__(self, *args, **kwargs):
                pass  # never calls ELSET.__init__

        for elset in (Quiet(*three, satname="ISS"), ELSET.__new__(ELSET, three[2], three[0], satname="ISS")):
            assert elset.satname == "ISS" and elset.satno == 25544 and elset[0] is three[0]
            assert elset.size == len(elset.epoch.int64) == len(elset.sma)

    def test_init_again_changes_nothing(self, three):
        elset = ELSET(three[0], three[1])
        elset.__init__(three[2], satname="other")
        assert held(elset) == three[:2] and elset.satname is None


class TestRobustness:
    @pytest.mark.parametrize("kind", [np.int8, np.int16, np.uint8, np.int32, np.intp])
    def test_small_numpy_integers_index_like_ints(self, iss, kind):
        assert iss[kind(100)] is iss[100]
        if np.iinfo(kind).min < 0:
            assert iss[kind(-1)] is iss[-1] and iss[kind(-100)] is iss[iss.size - 100]

    @pytest.mark.parametrize(
        "start, stop, which",
        [
            (["2023-02-01", "2023-03-01"], None, "start"),
            (None, Time(["2023-02-01", "2023-03-01"]), "stop"),
            ("2023-02-01", np.array(["2023-03-01"], dtype="datetime64[D]"), "stop"),
        ],
    )
    def test_window_bound_must_be_one_instant(self, iss, start, stop, which):
        with pytest.raises(ValueError, match=f"the {which} of a time window must be one instant"):
            iss[start:stop]


class TestPairwiseGenerator:
    def test_is_a_generator_with_its_own_position(self, three):
        elset = ELSET(*three)
        pairs = elset.pairwise()
        assert isinstance(pairs, collections.abc.Generator)
        with pytest.raises(TypeError, match="just-started generator"):
            pairs.send(1)
        assert pairs.send(None) == (three[0], three[1])
        assert next(pairs) == (three[1], three[2]) and "index" not in elset.__dict__
        with pytest.raises(StopIteration):
            pairs.send(None)

    @pytest.mark.parametrize("advance", [0, 1])
    def test_throw_and_close_finish_it(self, three, advance):
        elset = ELSET(*three)
        thrown, closed = elset.pairwise(), elset.pairwise()
        for pairs in (thrown, closed):
            for _ in range(advance):
                next(pairs)
        with pytest.raises(KeyError, match="boom"):
            thrown.throw(KeyError("boom"))
        with pytest.raises(ValueError):
            thrown.throw(ValueError)
        assert closed.close() is None
        assert list(thrown) == [] and list(closed) == []

    def test_lazy(self, three):
        calls = []

        class Counted(ELSET):
            def _getitem_integral(self, item):
                calls.append(item)
                return super()._getitem_integral(item)

        pairs = Counted(*three).pairwise()
        assert calls == []
        next(pairs)
        assert calls == [0, 1]


# ---------------------------------------------------------------------------
# Read from lines: no TLE object until one is asked for

def rows_of(pairs):
    return b"".join(stored(a).ljust(69, b"\0") + stored(b).ljust(69, b"\0") for a, b in pairs)


def real_pairs(name):
    return [(a, b) for _, a, b in element_sets(name)]


ALL_COLUMNS = COLUMNS + ["bstar", "ndot", "nddot"]


def assert_same_elset(lazy, eager):
    assert (lazy.size, lazy.satno, lazy.satname) == (eager.size, eager.satno, eager.satname)
    assert np.array_equal(lazy.epoch.int64, eager.epoch.int64)
    for name in ALL_COLUMNS:
        assert np.array_equal(getattr(lazy, name).view(np.int64), getattr(eager, name).view(np.int64)), name
    assert lazy._lines() == eager._lines()


class GMReads:
    """Earth.GM as a number that counts how often it is read."""

    def __init__(self, value):
        self.value, self.reads = value, 0

    def __float__(self):
        self.reads += 1
        return self.value


class TestFromLines:
    @pytest.mark.parametrize("name", sorted(p.name for p in DATA.glob("*.tle")))
    def test_same_as_built_from_tle_objects(self, name):
        pairs = real_pairs(name)
        random.Random(7).shuffle(pairs)
        tles = [TLE(a, b) for a, b in pairs]
        eager, lazy = ELSET(*tles, satname=name), ELSET._from_lines(rows_of(pairs), name)
        assert_same_elset(lazy, eager)
        for i in range(lazy.size):
            made_now, built = lazy[i], eager[i]
            assert type(made_now) is TLE and made_now is lazy[i]
            assert (made_now.line1, made_now.line2, made_now.satno) == (built.line1, built.line2, built.satno)
            assert made_now.epoch.int64 == built.epoch.int64
            assert [getattr(made_now, c) for c in COLUMNS] == [getattr(built, c) for c in COLUMNS]
        window = slice("2023-03-01", "2023-06-01")
        assert_same_elset(lazy[window], eager[window])
        assert_same_elset(ELSET._from_lines(eager._lines()), ELSET(*tles))

    def test_columns_windows_and_sizes_make_no_tle(self, monkeypatch):
        reads = GMReads(Earth.GM)
        monkeypatch.setattr(Earth, "GM", reads)
        elset = ELSET._from_lines(rows_of(real_pairs("iss.tle")))
        loaded = reads.reads
        window = elset["2023-02-01":"2023-03-01"]
        picked = elset[[5, 3, 3]][elset.size and 1 :][np.array([True, False])]
        for name in ALL_COLUMNS:
            getattr(elset, name), getattr(window, name)
        elset.size, elset.epoch, window.size, elset._lines(), str(elset), elset.to_pandas()
        assert reads.reads == loaded
        assert picked[0] is elset[3] and reads.reads > loaded

    @pytest.mark.parametrize("first_read", ["eca", "tra", "to_pandas", "window", "after writing ecc and mea"])
    def test_anomalies_derived_on_first_read_are_the_tles(self, first_read):
        pairs = real_pairs("tess.tle") * (45_000 // len(real_pairs("tess.tle")) + 1)  # derived on several threads
        lazy, eager = ELSET._from_lines(rows_of(pairs)), ELSET(*[TLE(a, b) for a, b in pairs])
        if first_read == "window":
            window = slice("2023-03-01", "2023-06-01")
            lazy, eager = lazy[window], eager[window]
        elif first_read == "after writing ecc and mea":  # they come from the lines all the same
            lazy.ecc[:], lazy.mea[:] = 0.5, 1.0
        elif first_read == "to_pandas":
            frame = lazy.to_pandas()
            np.testing.assert_array_equal(frame["eca"], eager.eca)
        else:
            getattr(lazy, first_read)
        assert lazy.eca.tobytes() == eager.eca.tobytes() and lazy.tra.tobytes() == eager.tra.tobytes()

    def test_selections_share_their_tles(self):
        elset = ELSET._from_lines(rows_of(real_pairs("iss.tle")))
        window, mask = elset["2023-02-01":], elset[elset.inc > 0]
        first = np.searchsorted(elset.epoch.int64, Time("2023-02-01").int64)
        assert window[0] is elset[first] and mask[7] is elset[7]  # made after or before selecting
        assert elset[::-1][0] is elset[0] and window[[2, 0]][1] is window[2]
        assert [window[i] for i in range(3)] == list(elset)[first : first + 3]

    def test_equal_epochs_keep_row_order(self):
        pairs = real_pairs("iridium-71.tle")[::-1]
        lazy, eager = ELSET._from_lines(rows_of(pairs)), ELSET(*[TLE(a, b) for a, b in pairs])
        assert lazy._lines() == eager._lines()

    def test_alpha5_numbers_and_line_normalisation(self):
        pairs = [(put(a, 3, "A0017"), put(b, 3, "A0017")) for a, b in real_pairs("tess.tle")]
        lazy = ELSET._from_lines(b"".join(a.encode().ljust(69) + b.encode().ljust(69) for a, b in pairs))
        eager = ELSET(*[TLE(a, b) for a, b in pairs])
        assert lazy.satno == eager.satno == 100017 and lazy[0].satno == "A0017"
        # Bytes after a zero byte are dropped, as a TLE drops them.
        cut = pairs[0][0][:40] + "\0" + pairs[0][0][41:]
        assert ELSET._from_lines(rows_of([(cut, pairs[0][1])]))[0].line1 == TLE(cut, pairs[0][1]).line1

    @pytest.mark.parametrize(
        "rows, kwargs, error, message",
        [
            (b"x" * 137, {}, ValueError, "rows of 138 bytes, got 137 bytes"),
            (b"", {}, AssertionError, "^$"),
            ("iss+1", {}, AssertionError, "^$"),
            ("I0001", {}, TypeError, "^an integer is required$"),
            ("iss", {"satname": b"ISS"}, TypeError, r"expected str, got bytes"),
            ("far epoch", {}, ValueError, "outside the range of Time"),
        ],
    )
    def test_failures(self, rows, kwargs, error, message):
        a, b = ISS1, ISS2
        stand_ins = {
            "iss+1": [(a, b), (put(a, 3, "25545"), b)],
            "I0001": [(put(a, 3, "I0001"), b)],
            "iss": [(a, b)],
            "far epoch": [(a, b), (put(a, 19, "99999999.9999"), b)],
        }
        buffer = rows if isinstance(rows, bytes) else rows_of(stand_ins[rows])
        with pytest.raises(error, match=message):
            ELSET._from_lines(buffer, **kwargs)
        if rows == "far epoch":
            with pytest.raises(error, match=message):
                TLE(*stand_ins[rows][1])

    def test_grouped_lines_give_what_each_group_gives_alone(self):
        groups = [(name, real_pairs(name)) for name in ("iss.tle", "tess.tle", "iridium-71.tle")]
        for _, pairs in groups:
            random.Random(3).shuffle(pairs)
        # Enough rows for several threads and for epochs in more than one shared array: the
        # groups again and again.
        many, first = [], 0
        while first < 70_000:
            for name, pairs in groups:
                many.append((first, first + len(pairs), None if name == "tess.tle" else name))
                first += len(pairs)
        rows = b"".join(rows_of(pairs) for _, pairs in groups) * (len(many) // len(groups))
        elsets = ELSET._from_grouped_lines(rows, many)
        assert len(elsets) == len(many) and len({id(e) for e in elsets}) == len(many)
        for elset, (start, end, name) in zip(elsets, many):
            assert_same_elset(elset, ELSET._from_lines(rows[start * 138 : end * 138], name))
            assert elset[0] is elset[0]
        assert ELSET._from_grouped_lines(rows, []) == []
        # An ELSET kept alone keeps its epochs, which nobody can write to.
        last, epochs = elsets[-1], elsets[-1].epoch.int64.copy()
        del elsets
        gc.collect()
        np.testing.assert_array_equal(last.epoch.int64, epochs)
        with pytest.raises(ValueError, match="read-only"):
            last.epoch.int64[0] = 0

    @pytest.mark.parametrize(
        "groups, error, message",
        [
            ([(0, 1, None), (1, 3, None)], ValueError, "outside the range of Time"),  # the first failing group
            ([(0, 1, "ISS"), (1, 1, None)], AssertionError, "^$"),
            ([(0, 4, None)], IndexError, "outside the buffer"),
            ([(0, 1, b"ISS")], TypeError, "expected str, got bytes"),
            ([(0, 1)], TypeError, "tuples"),
        ],
    )
    def test_grouped_lines_failures(self, groups, error, message):
        rows = rows_of([(ISS1, ISS2), (ISS1, ISS2), (put(ISS1, 19, "99999999.9999"), ISS2)])
        with pytest.raises(error, match=message):
            ELSET._from_grouped_lines(rows, groups)

    def test_cycles_through_made_tles_are_collected(self):
        elset = ELSET._from_lines(rows_of(real_pairs("tess.tle")))
        window = elset[1:]
        watched = weakref.ref(elset.__dict__.setdefault("marker", Marker()))
        elset[0].owner, window[0].owner = window, elset
        del elset, window
        gc.collect()
        assert watched() is None


class TestTable:
    def test_to_pandas(self, iss):
        frame = iss.to_pandas()
        assert list(frame.columns) == ["satno", "satname", "epoch"] + ALL_COLUMNS
        assert len(frame) == iss.size and set(frame.satno) == {25544} and set(frame.satname) == {"ISS"}
        assert frame.epoch.dtype == "datetime64[ns]"
        assert np.array_equal(frame.epoch.to_numpy().view(np.int64), iss.epoch.int64)
        assert np.array_equal(frame.bstar.to_numpy(), iss.bstar)
        frame.loc[0, "ecc"] = 0.5
        assert iss.ecc[0] != 0.5

    def test_drag_terms_as_the_reference_reads_them(self, iss):
        for name in ("bstar", "ndot", "nddot"):
            assert np.array_equal(getattr(iss, name), [getattr(t, name) for t in held(iss)]), name
        satrecs = [Satrec.twoline2rv(t.line1, t.line2) for t in held(iss)]
        assert np.array_equal(iss.bstar, [s.bstar for s in satrecs])
        per_minute = 1 / 60.0
        assert np.allclose(iss.ndot, [2 * s.ndot * per_minute**2 for s in satrecs], rtol=1e-12, atol=0)
        assert np.allclose(iss.nddot, [6 * s.nddot * per_minute**3 for s in satrecs], rtol=1e-12, atol=0)

    def test_repr_html_calls_the_renderer(self, iss, monkeypatch):
        module = types.ModuleType("astrokite.utils.html")
        module.render = lambda obj: f"<b>{obj.satname}</b>"
        monkeypatch.setitem(sys.modules, "astrokite.utils.html", module)
        assert iss._repr_html_() == "<b>ISS</b>"


def test_many_epochs_sort_stably_across_centuries():
    """Enough element sets for the radix sort, with ties and epochs before 1970."""
    rng = random.Random(11)
    days = [rng.choice([1.0, 1.5, 200.25]) if rng.random() < 0.2 else rng.uniform(1.0, 365.0) for _ in range(5000)]
    years = [rng.choice(["58", "99", "23", "56"]) for _ in days]
    pairs = [(put(ISS1, 19, f"{year}{day:012.8f}"), put(ISS2, 64, f"{i:5d}")) for i, (year, day) in
             enumerate(zip(years, days))]
    tles = [TLE(a, b) for a, b in pairs]
    expected = sorted(tles, key=lambda t: t.epoch.int64)
    assert held(ELSET(*tles)) == expected
    lazy = ELSET._from_lines(rows_of(pairs))
    assert [t.line2 for t in held(lazy)] == [t.line2 for t in expected]


@pytest.mark.parametrize(
    "change, error",
    [(None, None), ((3, "25545"), AssertionError), ((3, " +544"), AssertionError), ((19, "99999999.999"), ValueError)],
)
def test_rows_read_in_parallel_report_faults_of_any_part(change, error):
    """Enough rows to be read by several threads; the fault lies in the last part."""
    rows = bytearray(rows_of([(ISS1, ISS2)]) * 50_000)
    if change is not None:
        column, text = change
        start = 49_000 * 138 + column - 1
        rows[start : start + len(text)] = text.encode()
    if error is None:
        elset = ELSET._from_lines(bytes(rows))
        assert elset.size == 50_000 and elset.satno == 25544 and elset[49_999].line1 == ISS1
    else:
        with pytest.raises(error):
            ELSET._from_lines(bytes(rows))
