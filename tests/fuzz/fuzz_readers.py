"""Fuzzing of the catalogue readers through Python, outside the test suite (pytest does not collect it).

Targets (the fuzzed input is a whole file):
    omm_xml, omm_kvn, omm_json, omm_csv
        read_omm with its format told and with the format recognised from the content, from
        a binary and from a text file object; what it reads is written back in one of the
        four forms and read again.
    iers
        the IERS Earth orientation readers (finals2000A and C04, told apart by the content):
        a ValueError, or columns that make a table whose interpolation gives finite values.
    tle_blocks
        the blocks astrokite.dask reads a large file in: each block's boundary is the start of a
        line (or the file's end) and comes no earlier than the one before; when the whole file
        reads without a rejection, the blocks together read exactly its sets.
    tle
        parse_tle on the bytes and on their text; read_tle on the raw bytes, on a text file
        object, and on the bytes wrapped in gzip, bzip2, xz and zip, whole and truncated;
        what it reads is written back as TLE text and read again.

Every read runs with errors="skip" and errors="raise". The only outcomes allowed: a Catalogue
(errors="skip" always gives one, with every fault in `rejected`), or a ValueError under
errors="raise" exactly where errors="skip" rejected something, and the same catalogue
whatever way the same content arrives. Any other exception, a broken property, a crash, an
input slower than -timeout or heavier than -rss_limit_mb stops the run with its input.

atheris is the project's `fuzz` extra. `make fuzz` runs each target for FUZZ_SECONDS (after
the native targets); by hand, against a `make dev` build:

    PYTHONPATH=src nice -n 10 .venv/bin/python tests/fuzz/fuzz_readers.py omm_xml \
        -max_total_time=600 build/fuzz/corpus/readers_omm_xml tests/fuzz/seeds/readers_omm_xml

Seeds are tests/fuzz/seeds/readers_<target>/. Further arguments go to libFuzzer.
"""

import bz2
import gzip
import io
import lzma
import sys
import tempfile
import zipfile
import warnings
import zlib

import numpy as np

import atheris

with atheris.instrument_imports(include=["astrokite.catalogue", "astrokite.eop", "astrokite.dask"]):
    from astrokite.catalogue import Catalogue, omm, parse_tle, read_omm, read_tle, write_omm, write_tle
    from astrokite.catalogue import sources
    from astrokite.catalogue.catalogue import elset_rows
    from astrokite.elements.records import RECORD
    from astrokite.dask.frames import Part, _TLEReader, set_start
    from astrokite.eop import EOPTable, iers

# Chunks of 1 kB instead of 4 MB: inputs of a few kB then cross chunk boundaries (read_tle must
# give what parse_tle gives from one piece), and each read no longer pays for a 4 MB buffer.
sources.CHUNK = 1 << 10
# Fuzzed tables lie far in the past: the warning about a stale table is expected.
warnings.simplefilter("ignore")

MAGIC = (b"\x1f\x8b", b"BZh", b"\xfd7zXZ\x00", b"PK\x03\x04")


def zipped(data: bytes) -> bytes:
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("sets.txt", data)
    return out.getvalue()


# The fastest level of each: the harness compresses every input.
WRAPPERS = {"gzip": lambda data: gzip.compress(data, 1), "bzip2": lambda data: bz2.compress(data, 1),
            "xz": lambda data: lzma.compress(data, preset=0), "zip": zipped}


def contents(catalogue):
    """What a catalogue holds, comparable across sources: its sets (their records, the TLE text
    of those read from it, and names) and rejections."""
    assert isinstance(catalogue, Catalogue), type(catalogue)
    sets = []
    for satno, elset in catalogue.items():
        assert elset.satno == satno and elset.size > 0, (satno, elset.satno, elset.size)
        records = np.frombuffer(elset._records(), RECORD).copy()
        records["extras_row"] = -1  # where a set's other OMM fields are kept, not what they are
        sets.append((satno, elset.satname, records.tobytes(), elset_rows(elset)))
    assert catalogue.size == sum(len(records) // RECORD.itemsize for _, _, records, _ in sets)
    return sets, [(r.line, r.text, r.reason) for r in catalogue.rejected]


def read_both(read):
    """contents() of read(errors="skip"), checked against read(errors="raise")."""
    sets, rejected = contents(read("skip"))
    try:
        raised = read("raise")
    except ValueError as error:
        assert rejected, f"errors='raise' raised ({error}) where errors='skip' rejected nothing"
        return sets, rejected
    assert not rejected, f"errors='raise' read on past {rejected[0]}"
    assert contents(raised) == (sets, rejected)
    return sets, rejected


def text_of(data: bytes) -> io.StringIO:
    return io.StringIO(data.decode("utf-8", "surrogateescape"), newline="")


@atheris.instrument_func
def fuzz_omm(form, data):
    told = read_both(lambda errors: read_omm(io.BytesIO(data), form, errors=errors))
    recognised = read_both(lambda errors: read_omm(io.BytesIO(data), errors=errors))
    if data.startswith(MAGIC):
        return
    assert read_both(lambda errors: read_omm(text_of(data), form, errors=errors)) == told
    try:
        form_of_content = omm._recognise(data[:4096]) if data.strip() else None
    except ValueError:
        form_of_content = None
    if form_of_content == form:
        assert recognised == told
    sets, _ = told
    if sets:
        # Written back in a form drawn from the input's checksum, every set reads back as it was.
        written_form = omm.FORMATS[zlib.crc32(data) % len(omm.FORMATS)]
        out = io.BytesIO()
        write_omm(read_omm(io.BytesIO(data), form, errors="skip"), out, format=written_form)
        again, rejected = read_both(lambda errors: read_omm(io.BytesIO(out.getvalue()), errors=errors))
        assert not rejected and again == sets, (written_form, rejected, again, sets)


@atheris.instrument_func
def fuzz_tle(data):
    # The text of a str is its UTF-8 bytes (lone surrogates carry undecodable bytes back).
    base = read_both(lambda errors: parse_tle(data, errors=errors))
    assert read_both(lambda errors: parse_tle(data.decode("utf-8", "surrogateescape"), errors=errors)) == base
    raw = read_both(lambda errors: read_tle(io.BytesIO(data), errors=errors))
    if not data.startswith(MAGIC):
        assert raw == base
        assert read_both(lambda errors: read_tle(text_of(data), errors=errors)) == base
    # One wrapper and one cut an input, both drawn from its checksum: each read costs the
    # allocation of a whole chunk buffer, and mutations draw every wrapper and cut soon enough.
    draw = zlib.crc32(data)
    name = list(WRAPPERS)[draw % len(WRAPPERS)]
    packed = WRAPPERS[name](data)
    assert contents(read_tle(io.BytesIO(packed), errors="skip")) == base, name
    # Cut anywhere: what was decompressed before the cut is read, the cut itself is a rejection.
    truncated = packed[: draw // len(WRAPPERS) % len(packed)]
    read_both(lambda errors: read_tle(io.BytesIO(truncated), errors=errors))
    sets, _ = base
    if sets:
        out = io.BytesIO()
        write_tle(parse_tle(data, errors="skip"), out)
        again, rejected = read_both(lambda errors: parse_tle(out.getvalue(), errors=errors))
        assert not rejected and again == sets, (rejected, again, sets)


def fuzz_tle_blocks(data):
    blocksize, data = 1 + data[0] * 7 if data else 1, data[1:]
    file = io.BytesIO(data)
    starts = [set_start(file, offset, len(data)) for offset in range(0, len(data) + blocksize, blocksize)]
    assert starts == sorted(starts) and starts[0] == 0, starts
    assert all(start == len(data) or start == 0 or data[start - 1:start] == b"\n" for start in starts), starts
    whole, rejected = contents(parse_tle(data, errors="skip"))
    if rejected:
        return
    with tempfile.NamedTemporaryFile(suffix=".tle") as path:
        path.write(data)
        path.flush()
        reader = _TLEReader(False, "skip", None, None)
        parts = [reader.catalogue(Part(path.name, first, first + blocksize)) for first in range(0, len(data), blocksize)]
    records = sorted(record.tobytes() for part in parts for elset in part.values()
                     for record in np.frombuffer(elset._records(), RECORD))
    assert not any(part.rejected for part in parts)
    assert records == sorted(record.tobytes() for _, _, blob, _ in whole for record in np.frombuffer(blob, RECORD))


def fuzz_iers(data):
    try:
        columns = iers.read(data)
    except ValueError:
        return
    table = EOPTable(columns, "fuzzed")
    counts = (np.array([table.mjd[0], table.mjd[-1], 0.5 * (table.mjd[0] + table.mjd[-1])]) - 40587.0) * 86400e9
    assert np.isfinite(table.orientation(counts.astype(np.int64))).all()


TARGETS = {
    "omm_xml": lambda data: fuzz_omm("xml", data),
    "omm_kvn": lambda data: fuzz_omm("kvn", data),
    "omm_json": lambda data: fuzz_omm("json", data),
    "omm_csv": lambda data: fuzz_omm("csv", data),
    "tle": fuzz_tle,
    "tle_blocks": fuzz_tle_blocks,
    "iers": fuzz_iers,
}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        sys.exit(f"usage: {sys.argv[0]} {'|'.join(TARGETS)} [libFuzzer arguments] [corpus and seed folders]")
    target = sys.argv.pop(1)
    # Inputs of any length up to 8 kB from the start (several read chunks of 1 kB).
    options = ["-max_len=8192", "-len_control=0", "-timeout=10", "-rss_limit_mb=1536"]
    atheris.Setup(sys.argv[:1] + options + sys.argv[1:], TARGETS[target])
    atheris.Fuzz()


if __name__ == "__main__":
    main()
