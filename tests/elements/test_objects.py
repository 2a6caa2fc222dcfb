"""The native types as Python objects: pickling and copying refused, held members
read-only, instance dictionaries where the type has one, text attributes of
exact str, and reference cycles through any of them collected."""

import copy
import gc
import pickle
import subprocess
import sys
import weakref

import numpy as np
import pytest
from helpers import ISS1, ISS2, PICKLE_REFUSED, Box, Marker, made

from astrokite.frames.frames import TEME
from astrokite.mathtools.ellipsoid.ellipsoid import WGS84, Ellipsoid
from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE
from astrokite.propagators.propagators import Propagator
from astrokite.satellite.satellite import Satellite
from astrokite.scenario import scenario as scenario_module
from astrokite.scenario.scenario import Scenario
from astrokite.state.ephemeris import StateVectorEphemeris
from astrokite.time.time import Time
from astrokite.utils.representable import Representable

EPOCH = "2023-06-01T12:00:00"
ELEMENTS = ("inc", "raa", "ecc", "mea", "arp", "mnm", "sma", "orp", "eca", "tra", "pge", "apg")

# Each native type: how to build one of it (or of a subclass), the members it
# holds read-only, whether its instances have a dictionary.
KINDS = {
    "TLE": (TLE, lambda cls: cls(ISS1, ISS2), ("line1", "line2", "satno", "epoch") + ELEMENTS, True),
    "ELSET": (ELSET, lambda cls: cls(made(1.5), made(2.5)), ("size", "satname", "satno", "epoch", "sma"), True),
    "Scenario": (Scenario, lambda cls: cls(EPOCH), ("time", "sun", "earth", "moon", "ellipsoid", "rot_GCRF_from_ITRF"),
                 False),
    "Satellite": (Satellite, lambda cls: cls(EPOCH, Marker()), ("time", "state", "propagator", "ephemeris"), False),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("operation", [pickle.dumps, copy.copy, copy.deepcopy, lambda obj: obj.__setstate__({})])
def test_pickling_and_copying_are_refused(kind, operation):
    cls, build, _, _ = KINDS[kind]
    with pytest.raises(TypeError, match=f"^{PICKLE_REFUSED}$"):
        operation(build(cls))


@pytest.mark.parametrize("kind", KINDS)
def test_setstate_refuses_any_state(kind):
    cls, build, _, _ = KINDS[kind]
    obj = build(cls)
    for state in [(None,), (), ({}, 1), ((1, 2),)]:
        with pytest.raises(TypeError, match=f"^{PICKLE_REFUSED}$"):
            obj.__setstate__(*state)


# Members of an instance made without running __init__, as read, and the
# arguments that build one.
UNBUILT = {
    "Scenario": (Scenario, dict.fromkeys(["time", "sun", "earth", "moon", "ellipsoid", "rot_GCRF_from_ITRF"]) |
                 dict.fromkeys(["name", "author", "description"], "None"), (EPOCH,)),
    "Satellite": (Satellite, dict.fromkeys(["time", "state", "propagator", "ephemeris", "name", "description"]),
                  (EPOCH, Marker())),
}


@pytest.mark.parametrize("kind", UNBUILT)
def test_made_without_init_reads_none_until_initialised(kind):
    cls, members, arguments = UNBUILT[kind]

    class Skipping(cls):
        def __init__(self, *args):  # does not call the base initialiser
            pass

    for obj in (cls.__new__(cls), Skipping(*arguments)):
        assert {name: getattr(obj, name) for name in members} == members
        with pytest.raises(TypeError, match=f"^{PICKLE_REFUSED}$"):
            pickle.dumps(obj)
        obj.name = "probe"
        assert obj.name == "probe"
        cls.__init__(obj, *arguments)
        assert obj.time == Time(EPOCH)
    with pytest.raises(TypeError, match="^descriptor '__init__' requires"):
        cls.__init__(Marker(), *arguments)  # not an instance to fill
    gc.collect()  # traversal and clearing of such instances


def test_second_initialisation_is_refused_by_every_extension():
    # Each extension of the package, loaded as usual and then from its file a
    # second time, as importlib does after the module left sys.modules.
    script = """if True:
        import importlib, importlib.machinery, importlib.util, pathlib, astrokite
        root = pathlib.Path(astrokite.__file__).parent
        paths = {path for suffix in importlib.machinery.EXTENSION_SUFFIXES for path in root.rglob("*" + suffix)}
        for path in sorted(paths):
            name = ".".join(path.relative_to(root.parent).parent.parts + (path.name.split(".")[0],))
            first = importlib.import_module(name)
            again = importlib.util.spec_from_file_location(name, path)
            try:
                again.loader.exec_module(importlib.util.module_from_spec(again))
                print(name, "loaded twice")
            except ImportError as error:
                print(name, error)
            assert importlib.import_module(name) is first
        from astrokite.propagators.analytical.sgp4.tle import TLE
        from astrokite.time.time import Time
        assert TLE(*%r).epoch < Time("2262")  # the first loads still work
    """ % ((ISS1, ISS2),)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 0 and run.stderr == "", run.stderr  # nanobind warns of types registered twice
    results = dict(line.split(" ", 1) for line in run.stdout.splitlines())
    assert {"astrokite.time.time", "astrokite.units.units", "astrokite.datamodel.structured",
            "astrokite.propagators.analytical.sgp4.tle", "astrokite.utils.representable",
            "astrokite.scenario.scenario", "astrokite.satellite.satellite"} <= results.keys()
    assert results == {name: f"{name} cannot be initialised twice in one process" for name in results}


def test_failed_initialisation_may_be_tried_again():
    script = """if True:
        import astrokite.typing as typing
        hint = typing.DatetimeLike
        del typing.DatetimeLike
        try:
            import astrokite.scenario.scenario
        except ImportError:
            pass
        typing.DatetimeLike = hint
        from astrokite.scenario.scenario import Scenario
        print(Scenario("2024").time)
    """
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.stdout == "2024-01-01T00:00:00.000000000Z\n", run.stderr


@pytest.mark.parametrize("kind", KINDS)
def test_held_members_are_read_only(kind):
    cls, build, members, _ = KINDS[kind]
    obj = build(cls)
    for name in members:
        with pytest.raises(AttributeError):
            setattr(obj, name, None)
        with pytest.raises(AttributeError):
            delattr(obj, name)


@pytest.mark.parametrize("kind", KINDS)
def test_instance_dictionary_and_python_subclass(kind):
    cls, build, _, has_dictionary = KINDS[kind]
    obj = build(cls)
    if has_dictionary:
        obj.label = "survey"
        assert obj.label == "survey"
    else:
        with pytest.raises(AttributeError):
            obj.label = "survey"
    sub = build(type("Sub", (cls,), {}))  # a Python subclass has a dictionary of its own
    sub.label = "survey"
    assert isinstance(sub, cls) and sub.label == "survey"


TEXTS = [("Scenario", name) for name in ("name", "author", "description")] + [
    ("Satellite", name) for name in ("name", "description")]


@pytest.mark.parametrize("kind, attribute", TEXTS)
def test_text_attributes_take_exactly_str_or_none_and_refuse_deletion(kind, attribute):
    cls, build, _, _ = KINDS[kind]
    obj = build(cls)
    setattr(obj, attribute, "kept")
    for value, got in [(3, "int"), (b"x", "bytes"), (type("Text", (str,), {})("x"), "Text")]:
        with pytest.raises(TypeError) as error:
            setattr(obj, attribute, value)
        assert str(error.value) == f"Argument 'value' has incorrect type (expected str, got {got})"
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(obj, attribute)
    assert getattr(obj, attribute) == "kept"


@pytest.mark.parametrize(
    "target, module, name",
    [
        ("scenario.scenario", "astrokite.frames.rotations", "rot_GCRF_from_ITRF"),
        ("scenario.scenario", "astrokite.typing", "DatetimeLike"),
        ("satellite.satellite", "astrokite.time.time", "Time"),
        ("satellite.satellite", "astrokite.typing", "DatetimeLike"),
    ],
)
def test_missing_sibling_name_fails_the_import(target, module, name):
    # tle and astrokite.typing bind Time too, so they are loaded before the name goes.
    script = (f"import astrokite.propagators.analytical.sgp4.tle, astrokite.typing, {module} as sibling\n"
              f"del sibling.{name}\nimport astrokite.{target}\n")
    lines = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True).stderr.splitlines()
    # The import fails with ImportError, caused by the ImportError of the name.
    assert lines[-1].startswith("ImportError: ")
    assert f"ImportError: cannot import name '{name}' from '{module}'" in lines


# ---------------------------------------------------------------------------
# Reference cycles


class Remembering(TLE):
    pass


class Holding(Ellipsoid):
    """An ellipsoid that can hold an attribute (the base is a frozen dataclass)."""


class Rotation(np.ndarray):
    """A rotation that can hold attributes: NumPy's own arrays take no part in
    cycle collection, so a cycle through one is NumPy's to break."""


def dictionary_cycle(build):
    def make(marker):
        obj = build()
        obj.me, obj.marker = obj, marker

    return make


def elset_cycle(marker):
    # ELSET -> element set -> its dictionary -> ELSET.
    tle = Remembering(ISS1, ISS2)
    holder = ELSET(tle, tle)
    tle.holder, holder.marker = holder, marker


def tle_dict_cycle(marker):
    # A TLE leaves the collector's view until it is given attributes: through
    # __dict__ it is taken back as surely as through assignment.
    tle = TLE(ISS1, ISS2)
    tle.__dict__.update(me=tle, marker=marker)


def pairs_cycle(marker):
    holder = ELSET(made(1.5), made(2.5))
    holder.pairs, holder.marker = holder.pairwise(), marker
    next(holder.pairs)


def scenario_member_cycle(member):
    def make(marker):
        scenario = Scenario(EPOCH, ellipsoid=Holding(WGS84.a, WGS84.f))
        held = getattr(scenario, member)
        held.scenario, held.marker = scenario, marker

    return make


def scenario_rotation_cycle(marker):
    scenario = Scenario(EPOCH)
    rotation = np.eye(3).view(Rotation)
    rotation.scenario, rotation.marker = scenario, marker
    original = scenario_module.rot_GCRF_from_ITRF
    scenario_module.rot_GCRF_from_ITRF = lambda time: rotation
    try:
        assert scenario.rot_GCRF_from_ITRF is rotation
    finally:
        scenario_module.rot_GCRF_from_ITRF = original


def satellite_cycle(argument):
    def make(marker):
        held = {"state": Marker(), "propagator": Propagator(), "ephemeris": StateVectorEphemeris(Time(EPOCH), np.zeros((1, 1, 3)), frame=TEME)}[argument]
        satellite = Satellite(Time(EPOCH), **{"state": held, argument: held})
        held.satellite, held.marker = satellite, marker

    return make


CYCLES = {
    "TLE instance dictionary": (dictionary_cycle(lambda: TLE(ISS1, ISS2)), TLE),
    "TLE through __dict__": (tle_dict_cycle, TLE),
    "ELSET instance dictionary": (dictionary_cycle(lambda: ELSET(made(1.5))), ELSET),
    "ELSET through an element set": (elset_cycle, ELSET),
    "ELSET pairwise iteration": (pairs_cycle, ELSET),
    "Representable": (dictionary_cycle(Representable), Representable),
    "Representable subclass": (dictionary_cycle(lambda: Box("H", "")), Box),
    **{f"Scenario {m}": (scenario_member_cycle(m), Scenario) for m in ("sun", "earth", "moon", "ellipsoid")},
    "Scenario rotation cache": (scenario_rotation_cycle, Scenario),
    **{f"Satellite {a}": (satellite_cycle(a), Satellite) for a in ("state", "propagator", "ephemeris")},
}


@pytest.mark.parametrize("case", CYCLES)
def test_cycles_are_collected(case):
    make, kind = CYCLES[case]
    gc.collect()
    alive = sum(isinstance(obj, kind) for obj in gc.get_objects())
    markers = []
    gc.disable()  # so that only the collection below can free a cycle
    try:
        for _ in range(200):
            marker = Marker()
            make(marker)
            markers.append(weakref.ref(marker))
            del marker
        assert all(ref() is not None for ref in markers), "no cycle was made"
    finally:
        gc.enable()
    gc.collect()
    assert all(ref() is None for ref in markers)
    assert sum(isinstance(obj, kind) for obj in gc.get_objects()) == alive
    assert not gc.garbage


def test_tle_traversal_reaches_its_epoch():
    tle = TLE(ISS1, ISS2)
    assert tle.epoch in gc.get_referents(tle) and tle.epoch is tle.epoch


@pytest.mark.parametrize("documented", [Time, Scenario, Satellite, "astrokite.units.units"])
def test_docstring_examples_run(documented):
    import doctest
    import importlib

    obj = importlib.import_module(documented) if isinstance(documented, str) else documented
    finder, runner = doctest.DocTestFinder(recurse=False), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    tests = finder.find(obj, getattr(obj, "__name__", None), globs={})
    assert sum(len(test.examples) for test in tests) >= 3
    for test in tests:
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
