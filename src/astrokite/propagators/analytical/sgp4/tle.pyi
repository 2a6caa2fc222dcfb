from collections.abc import Buffer, Sequence
import numbers
import types
from typing import Any, Iterator, NoReturn, overload

import numpy
import numpy.typing
import pandas

from astrokite.bodies.bodies import (
    CelestialBody as CelestialBody,
    Earth as Earth,
    Moon as Moon,
    Sun as Sun
)
import astrokite.frames.frames
from astrokite.frames.frames import (
    ENU as ENU,
    Frame as Frame,
    _GCRF as _GCRF,
    _ITRF as _ITRF,
    _TEME as _TEME
)
import astrokite.mathtools.ellipsoid.ellipsoid
from astrokite.mathtools.ellipsoid.ellipsoid import (
    Ellipsoid as Ellipsoid
)
from astrokite.mathtools.misc.misc import (
    atan2_asymmetric as atan2_asymmetric
)
from astrokite.state.coe import c_eca_from_mea as c_eca_from_mea
from astrokite.time.time import Time as Time
import astrokite.utils.representable
from astrokite.utils.representable import (
    Representable as Representable
)



GCRF: astrokite.frames.frames._GCRF = ...

ITRF: astrokite.frames.frames._ITRF = ...

TEME: astrokite.frames.frames._TEME = ...

WGS72: astrokite.mathtools.ellipsoid.ellipsoid.Ellipsoid = ...

WGS84: astrokite.mathtools.ellipsoid.ellipsoid.Ellipsoid = ...

GRS80: astrokite.mathtools.ellipsoid.ellipsoid.Ellipsoid = ...

day: float = 86400.0

deg: float = 0.017453292519943295

hour: float = 3600.0

kg: float = 1.0

km: float = 1000.0

m: float = 1.0

minute: float = 60.0

rad: float = 1.0

rev: float = 6.283185307179586

s: float = 1.0

sday: float = 86164.0905

sec: float = 1.0

second: float = 1.0

class TLE(astrokite.utils.representable.Representable):
    """
    TLE(line1, line2, strict_validation=False)

    One two-line element set of an Earth satellite, read once at construction
    and immutable afterwards (attributes of your own may be added).

    Both lines are stored as their first 69 characters, blank-filled when
    shorter; line1 and line2 give them back. Fields are read by column as the C
    library's atoi and atof read them, so a blank or non-numeric field reads as
    0 and nothing is checked. With strict_validation true, lines that depart
    from the published format (line numbers, lengths, the characters of each
    field, checksums, differing satellite numbers, an epoch day outside its
    year, a mean motion of 0) raise ValueError naming the line, the columns and
    the problem.

    Line 1 gives satno (int, or the text when it is not a decimal number) and
    epoch, a Time (UTC) made from the year and day of the year through their
    Julian date: within about 20 us of the instant the text writes.

    Elements, in SI units:
        inc, raa, arp, mea  inclination, right ascension of the ascending node,
                            argument of perigee, mean anomaly [rad]
        ecc                 eccentricity
        mnm                 mean motion [rad/s]
        sma                 semi-major axis [m], from mnm and Earth.GM
        orp                 orbital period [s]
        eca, tra            eccentric and true anomaly [rad]
        pge, apg            perigee and apogee altitude above Earth.Re [m]
    The rest of the line, read from the stored text when asked for:
    classification, intldes, ndot [rad/s^2], nddot [rad/s^3], bstar
    [1/Earth radii], ephtype, elnum, revnum.

    Example:
        >>> tle = TLE("1 25544U 98067A   23001.26991367  .00015968  00000-0  28903-3 0  9993",
        ...           "2 25544  51.6448  75.3411 0005204 209.5406 257.0907 15.49811030375904")
        >>> tle.satno, tle.intldes, round(tle.sma / 1000.0, 3)
        (25544, '98067A', 6795.415)
        >>> tle.epoch.utc
        2023-01-01T06:28:40.541100Z
    """

    def __init__(self, line1: str, line2: str, strict_validation: object = False) -> None: ...

    def _get_header(self) -> str:
        """TLE._get_header(self) -> str"""

    def _get_body(self) -> str:
        """TLE._get_body(self) -> str"""

    def _repr_html_(self) -> str:
        """
        TLE._repr_html_(self) -> str

        The element set as HTML, for notebooks.
        """

    @property
    def line1(self) -> str:
        """TLE.line1: str"""

    @property
    def line2(self) -> str:
        """TLE.line2: str"""

    @property
    def satno(self) -> int | str:
        """TLE.satno: int | str"""

    @property
    def epoch(self) -> Time: ...

    @property
    def inc(self) -> float: ...

    @property
    def raa(self) -> float: ...

    @property
    def ecc(self) -> float: ...

    @property
    def mea(self) -> float: ...

    @property
    def arp(self) -> float: ...

    @property
    def mnm(self) -> float: ...

    @property
    def sma(self) -> float: ...

    @property
    def orp(self) -> float: ...

    @property
    def eca(self) -> float: ...

    @property
    def tra(self) -> float: ...

    @property
    def pge(self) -> float: ...

    @property
    def apg(self) -> float: ...

    @property
    def classification(self) -> str:
        """
        TLE.classification: str

        Security classification, column 8 of line 1 (U for unclassified).
        """

    @property
    def intldes(self) -> str:
        """
        TLE.intldes: str

        International designator, columns 10-17 of line 1 (launch year, launch number
        and piece, as in 98067A), blanks at either end removed.
        """

    @property
    def ndot(self) -> float:
        """
        TLE.ndot: float

        First derivative of the mean motion [rad/s^2]: twice columns 34-43 of line 1,
        which hold ndot/2 in rev/day^2.
        """

    @property
    def nddot(self) -> float:
        """
        TLE.nddot: float

        Second derivative of the mean motion [rad/s^3]: six times columns 45-52 of
        line 1, which hold nddot/6 in rev/day^3 with an implied point and a power of ten.
        """

    @property
    def bstar(self) -> float:
        """
        TLE.bstar: float

        SGP4 drag term B* [1/Earth radii], columns 54-61 of line 1, with an implied
        point and a power of ten (" 28903-3" is 0.28903e-3).
        """

    @property
    def ephtype(self) -> int:
        """
        TLE.ephtype: int

        Ephemeris type, column 63 of line 1 (0 for the element sets SGP4 reads).
        """

    @property
    def elnum(self) -> int:
        """
        TLE.elnum: int

        Element set number, columns 65-68 of line 1.
        """

    @property
    def revnum(self) -> int:
        """
        TLE.revnum: int

        Revolution number at epoch, columns 64-68 of line 2.
        """

    def __reduce__(self, *args: object, **kwargs: object) -> NoReturn:
        """Refused: these objects cannot be pickled or copied (TypeError)."""

    def __setstate__(self, *args: object, **kwargs: object) -> NoReturn:
        """Refused: these objects cannot be pickled or copied (TypeError)."""

class ELSET(astrokite.utils.representable.Representable):
    """
    Element sets of one satellite in ascending order of epoch, with one NumPy column per element.

    ELSET(*tles, satname=None): built from TLE objects, passed unpacked, that share one satellite
    number (alpha-5 numbers such as A0001 count as their integer, 100001); equal epochs keep their
    argument order. No len(): the number of element sets is `size`.

    Columns (float64 arrays in epoch order, SI units; each read is a new array over the stored
    column, and writing into it changes the column, not the TLE objects):
        ecc    eccentricity                 sma  semi-major axis [m]
        inc    inclination [rad]            raa  right ascension of the ascending node [rad]
        arp    argument of perigee [rad]    tra  true anomaly [rad]
        mnm    mean motion [rad/s]          orp  orbital period [s]
        eca    eccentric anomaly [rad]      mea  mean anomaly [rad]
        pge    perigee altitude [m]         apg  apogee altitude [m]
        bstar  drag term [1/Earth radii]    ndot first derivative of the mean motion [rad/s^2]
        nddot  second derivative of the mean motion [rad/s^3]
    epoch is an array-valued Time; satno an int; satname the name given or None.

    Reading: e[i] is the TLE at position i (e[-1] the latest); e[1:3] a positional slice;
    e[t0:t1] a time window (start included, stop excluded, either end open; each bound one
    instant); e[mask] or e[[0, 2]] a selection. Every selection is a new ELSET without a name.
    Iteration keeps its position in the attribute index; pairwise() is a generator of
    consecutive pairs with its own position. to_pandas() gives one row per element set.

    Example:
        >>> from astrokite import ELSET, TLE
        >>> lines = open("data/iss.tle").read().splitlines()
        >>> iss = ELSET(*(TLE(a, b) for a, b in zip(lines[0::2], lines[1::2])), satname="ISS")
        >>> iss.size, iss.satno, iss[-1] is iss[iss.size - 1]
        (609, 25544, True)
        >>> round(float(iss.sma[0]) / 1000, 1)  # km
        6795.4
    """

    def __init__(self, *args: TLE, satname: str | None = None) -> None: ...
    index: int
    """Position of the element set that iteration returns next; set by __iter__."""

    @property
    def size(self) -> int:
        """ELSET.size: int"""

    @property
    def satname(self) -> str | None:
        """ELSET.satname: str | None"""

    @property
    def satno(self) -> int:
        """ELSET.satno: int"""

    @property
    def ecc(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.ecc: ndarray"""

    @property
    def sma(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.sma: ndarray"""

    @property
    def inc(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.inc: ndarray"""

    @property
    def raa(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.raa: ndarray"""

    @property
    def arp(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.arp: ndarray"""

    @property
    def tra(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.tra: ndarray"""

    @property
    def mnm(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.mnm: ndarray"""

    @property
    def orp(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.orp: ndarray"""

    @property
    def eca(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.eca: ndarray"""

    @property
    def mea(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.mea: ndarray"""

    @property
    def pge(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.pge: ndarray"""

    @property
    def apg(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.apg: ndarray"""

    @property
    def bstar(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.bstar: ndarray"""

    @property
    def ndot(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.ndot: ndarray"""

    @property
    def nddot(self) -> numpy.typing.NDArray[numpy.float64]:
        """ELSET.nddot: ndarray"""

    @property
    def epoch(self) -> Time:
        """ELSET.epoch: Time"""

    class _LineTable:
        """The lines of an ELSET read from lines, shared with its selections."""

    @classmethod
    def _from_lines(cls, buffer: bytes, satname: str | None = None) -> ELSET:
        """
        An ELSET of the element sets in `buffer`: rows of 138 bytes, line 1 then line 2 (69 bytes each,
        as a TLE stores them), in any order. No TLE object is made until one is asked for.
        """

    @classmethod
    def _from_grouped_lines(cls, buffer: bytes | types.CapsuleType, groups: Sequence[tuple[int, int, str | None]]) -> list[ELSET]:
        """
        One ELSET per (first row, end row, satname) tuple of `groups`, each what _from_lines gives for
        rows [first, end) of `buffer`; the rows of all are read together, on every core. `buffer` may
        instead be the row source of a catalogue reader's scanner (its rows and epochs copied straight
        into each ELSET).
        """

    @classmethod
    def _from_grouped_records(cls, buffer: Buffer, groups: Sequence[tuple[int, int, str | None]], extras: object | None = None) -> list[ELSET]:
        """
        One ELSET per (first record, end record, satname) tuple of `groups`, from element-set records
        (astrokite.elements.records.RECORD): the values as the records hold them, with no TLE text;
        `extras`, what the records' extras_row index (the other OMM fields), is kept with them.
        """

    @classmethod
    def _from_records(cls, buffer: Buffer, names: dict[int, str], extras: object | None = None) -> list[ELSET]:
        """
        One ELSET per catalogue number of the element-set records in `buffer`
        (astrokite.elements.records.RECORD, in reading order), in ascending number, each named by
        `names` (number -> name) and its sets in epoch order, equal epochs in reading order; grouped
        and copied on every core. Otherwise as _from_grouped_records.
        """

    @staticmethod
    def _records_of_many(elsets: Sequence[ELSET]) -> tuple[bytes, numpy.typing.NDArray[numpy.int64]]:
        """
        The records of many ELSETs one after another (astrokite.elements.records.RECORD, 128 bytes
        each, each ELSET's in epoch order) and the number of each, int64; read on every core.
        """

    @staticmethod
    def _columns_of_many(elsets: Sequence[ELSET]) -> dict[str, numpy.typing.NDArray[Any]]:
        """
        The columns of many ELSETs one after another, by name: ecc, sma, ... as the properties
        (float64), epoch (int64 counts of Time) and satno (int64); read on every core.
        """

    @staticmethod
    def _columns_of_lines(rows: bytes) -> dict[str, numpy.typing.NDArray[Any]]:
        """
        The columns of line pairs (rows of 138 bytes, line 1 then line 2) as _columns_of_many
        gives those of ELSETs read from them, without satno; no ELSET is made.
        """

    def _extras(self) -> object | None:
        """
        What the records' extras_row index (the other OMM fields of sets read from OMM), or None.
        """

    def _records(self) -> bytes:
        """
        The element sets as records (astrokite.elements.records.RECORD, 128 bytes each), in epoch order.
        """

    def _lines(self) -> bytes | None:
        """
        The element sets as rows of 138 bytes (line 1, then line 2, 69 bytes each), in epoch order;
        None for sets that came without TLE text.
        """

    @overload
    def __getitem__(self, item: int | numbers.Integral) -> TLE: ...
    @overload
    def __getitem__(self, item: slice | numpy.ndarray | list[Any] | tuple[Any, ...]) -> ELSET: ...

    def _getitem_integral(self, item: numbers.Integral) -> TLE:
        """ELSET._getitem_integral(self, item: numbers.Integral) -> TLE"""

    def _getitem_integral_slice(self, item: slice) -> ELSET:
        """ELSET._getitem_integral_slice(self, slice item: slice) -> ELSET"""

    def _getitem_selection(self, selection: numpy.ndarray) -> ELSET:
        """
        ELSET._getitem_selection(self, selection: ndarray[bool | int]) -> ELSET
        """

    def __iter__(self) -> ELSET: ...

    def __next__(self) -> TLE: ...

    class _PairwiseGenerator:
        def __iter__(self) -> object: ...

        def __next__(self) -> tuple: ...

        def send(self, value: object | None) -> tuple: ...

        def throw(self, type: object | None, value: object | None = None, traceback: object | None = None) -> object: ...

        def close(self) -> None: ...

    def pairwise(self) -> Iterator[tuple[TLE, TLE]]:
        """
        ELSET.pairwise(self) -> Iterator[tuple[TLE, TLE]]: consecutive element sets in pairs
        """

    def _get_header(self) -> str:
        """ELSET._get_header(self) -> str"""

    def _get_body(self) -> str:
        """ELSET._get_body(self) -> str"""

    def to_pandas(self) -> pandas.DataFrame:
        """
        One row per element set: satno, satname, epoch (datetime64[ns], UTC) and every element column.
        """

    def _repr_html_(self) -> str:
        """HTML for notebooks, from astrokite.utils.html.render."""

    def __reduce__(self, *args: object, **kwargs: object) -> NoReturn:
        """Refused: these objects cannot be pickled or copied (TypeError)."""

    def __setstate__(self, *args: object, **kwargs: object) -> NoReturn:
        """Refused: these objects cannot be pickled or copied (TypeError)."""

def _records_of_lines(rows: bytes) -> bytes:
    """
    The records (astrokite.elements.records.RECORD) of line pairs: rows of 138 bytes, line 1 then
    line 2, each read as a TLE reads its lines.
    """
