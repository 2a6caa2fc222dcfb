"""Long fuzz run of TLE and Time, outside the test suite (pytest does not collect it).

Feeds libFuzzer-mutated input (through atheris) to TLE and Time and checks each
call as tests/elements/test_properties.py does: it returns or raises TypeError or
ValueError, and a TLE reads its columns as the C library does. Any other
exception stops the run with the input that caused it; a crash of the
interpreter stops it too. The seeds are the real element sets of data/.

atheris is the project's `fuzz` extra. `make fuzz-atheris` installs it, builds
the extensions with clang's libFuzzer coverage (-fsanitize=fuzzer-no-link) and
ASan and UBSan into a copy of the package in build/atheris/site, so that
coverage includes the native code, and runs both targets for FUZZ_RUNS inputs
each (default 100000):

    make fuzz-atheris FUZZ_RUNS=1000000

To run one target by hand after that build (the sanitizer runtimes with
libFuzzer come from atheris):

    LD_PRELOAD="$(.venv/bin/python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so" \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    PYTHONPATH=build/atheris/site nice -n 10 .venv/bin/python tests/fuzz/fuzz_tle_time.py tle -runs=1000000

Against a plain `make dev` build (PYTHONPATH=src, no LD_PRELOAD) it runs too,
with coverage of the harness alone. Further arguments go to libFuzzer
(-seed=N, -max_len=N, ...); libFuzzer's last line, "Done N runs in S
second(s)", gives the count.
"""

import random
import sys
import tempfile
from pathlib import Path

import atheris

TESTS = Path(__file__).resolve().parent.parent
# The checks of test_properties and the shared test helpers it imports.
sys.path[:0] = [str(TESTS / "elements"), str(TESTS)]

import numpy as np  # noqa: E402
from test_properties import check_time, reference_fields, same  # noqa: E402

from astrokite.propagators.analytical.sgp4.tle import TLE  # noqa: E402
from astrokite.time.time import Time  # noqa: E402


LINES = [line for path in sorted((TESTS.parent / "data").glob("*.tle")) for line in path.read_text().splitlines()]


@atheris.instrument_func
def tle_lines(provider):
    """A real element set after up to eight edits, or two lines of any text."""
    if not provider.ConsumeBool():
        line1, _, line2 = provider.ConsumeUnicode(provider.remaining_bytes()).partition("\n")
        return line1, line2
    first = provider.ConsumeIntInRange(0, len(LINES) // 2 - 1) * 2
    lines = LINES[first : first + 2]
    for _ in range(provider.ConsumeIntInRange(0, 8)):
        which = provider.ConsumeIntInRange(0, 1)
        line = lines[which]
        at = provider.ConsumeIntInRange(0, len(line))
        edit = provider.ConsumeIntInRange(0, 4)
        piece = provider.ConsumeUnicode(provider.ConsumeIntInRange(1, 4))  # any code point, surrogates too
        if edit == 0:
            line = line[:at] + piece + line[at + len(piece) :]
        elif edit == 1:
            line = line[:at] + piece + line[at:]
        elif edit == 2:
            line = line[:at] + line[at + 1 :]
        elif edit == 3:
            line = line[:at]
        else:
            line = line + piece * provider.ConsumeIntInRange(1, 2000)
        lines[which] = line
    return lines[0], lines[1]


@atheris.instrument_func
def fuzz_tle(data):
    provider = atheris.FuzzedDataProvider(data)
    strict = provider.ConsumeBool()
    line1, line2 = tle_lines(provider)
    try:
        tle = TLE(line1, line2, strict)
    except ValueError:  # an epoch outside Time, a lone surrogate, a refused strict check
        return
    expected = reference_fields(line1, line2)
    for name in ("inc", "raa", "ecc", "arp", "mea", "mnm"):
        assert same(getattr(tle, name), expected[name]), (name, line1, line2)
    assert tle.satno == expected["satno"], (line1, line2)
    epoch = Time(Time(str(expected["year"])).jd - 1.0 + expected["day"], format="jd")
    assert tle.epoch.int64 == epoch.int64, (line1, line2)


FORMATS = [None, "jd", "mjd", "unix", "int64", "JD", ""]
DTYPES = [np.dtype(code) for code in ("i8", "u8", "i4", "u1", "f8", "f4", "f2", ">i8", ">f8", "?", "c16")] + [
    np.dtype(f"M8[{unit}]") for unit in ("Y", "M", "D", "h", "s", "ms", "us", "ns", "ps", "as", "10s")
]


@atheris.instrument_func
def time_value(provider):
    kind = provider.ConsumeIntInRange(0, 6)
    if kind == 0:
        return provider.ConsumeUnicode(provider.ConsumeIntInRange(0, 40))
    if kind == 1:
        return provider.ConsumeInt(provider.ConsumeIntInRange(1, 10))
    if kind == 2:
        return provider.ConsumeRegularFloat() if provider.ConsumeBool() else provider.ConsumeFloat()
    if kind == 3:
        dtype = DTYPES[provider.ConsumeIntInRange(0, len(DTYPES) - 1)]
        raw = provider.ConsumeBytes(dtype.itemsize * provider.ConsumeIntInRange(0, 8))
        array = np.frombuffer(raw[: len(raw) // dtype.itemsize * dtype.itemsize], dtype=dtype)
        return array if provider.ConsumeBool() else array[::-1]
    if kind == 4:
        dtype = DTYPES[provider.ConsumeIntInRange(0, len(DTYPES) - 1)]
        raw = provider.ConsumeBytes(dtype.itemsize)
        return np.frombuffer(raw.ljust(dtype.itemsize, b"\0"), dtype=dtype)[0]
    if kind == 5:
        return [time_value(provider) for _ in range(provider.ConsumeIntInRange(0, 3))]
    return np.datetime64(provider.ConsumeInt(8), ("s", "ns", "D", "Y", "as")[provider.ConsumeIntInRange(0, 4)])


@atheris.instrument_func
def fuzz_time(data):
    provider = atheris.FuzzedDataProvider(data)
    format = FORMATS[provider.ConsumeIntInRange(0, len(FORMATS) - 1)]
    try:
        value = time_value(provider)
    except (ValueError, OverflowError):  # NumPy refusing to make the input itself
        return
    try:
        t = Time(value, format=format)
    except (TypeError, ValueError):
        return
    check_time(t)


def seed_corpus():
    """A folder of random inputs of many lengths to start from: only the harness
    is instrumented, so libFuzzer would grow short inputs only slowly."""
    folder = Path(tempfile.mkdtemp(prefix="astrokite-fuzz-"))
    generator = random.Random(0)
    for number in range(256):
        (folder / f"seed-{number}").write_bytes(generator.randbytes(generator.randrange(8, 2048)))
    return str(folder)


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in ("tle", "time"):
        sys.exit(f"usage: {sys.argv[0]} tle|time [libFuzzer arguments] [input files or folders]")
    target = sys.argv.pop(1)
    inputs = [argument for argument in sys.argv[1:] if not argument.startswith("-")]
    options = ["-max_len=4096", "-len_control=0", "-reduce_inputs=0"]
    arguments = sys.argv + options + ([] if inputs else [seed_corpus()])
    atheris.Setup(arguments, fuzz_tle if target == "tle" else fuzz_time)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
