"""Catalogue reading and writing as TLE text: read_tle, parse_tle, write_tle, Catalogue."""

import bz2
import gzip
import io
import lzma
import random
import threading
import zipfile

import numpy as np
import pandas as pd
import pytest
from helpers import DATA, ISS1, ISS2, element_sets, history, put, with_checksum
from sgp4.api import Satrec

from astrokite.catalogue import Catalogue, parse_tle, read_omm, read_tle, write_tle
from astrokite.catalogue import reader, sources
from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE

FILES = sorted(DATA.glob("*.tle"))
COLUMNS = ("ecc", "sma", "inc", "raa", "arp", "tra", "mnm", "orp", "eca", "mea", "pge", "apg")
ALL_TEXT = b"".join(path.read_bytes().rstrip(b"\n") + b"\n" for path in FILES)


def by_hand():
    """The bundled histories as ELSETs built from TLE objects, keyed by catalogue number."""
    elsets = [ELSET(*history(path.name)) for path in FILES]
    return {elset.satno: elset for elset in elsets}


EXPECTED = by_hand()


def assert_same_elset(got, expected):
    assert got.satno == expected.satno and got.size == expected.size
    np.testing.assert_array_equal(got.epoch.int64, expected.epoch.int64)
    for name in COLUMNS:
        np.testing.assert_array_equal(getattr(got, name), getattr(expected, name), err_msg=name)
    assert [(t.line1, t.line2) for t in got] == [(t.line1, t.line2) for t in expected]


def assert_same_catalogue(catalogue, expected=EXPECTED):
    assert list(catalogue) == sorted(expected)
    for satno, elset in expected.items():
        assert_same_elset(catalogue[satno], elset)


def compressed(kind, data):
    if kind == "zip":
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("all.tle", data)
        return out.getvalue()
    return {"gzip": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress}[kind](data)


class Pipe:
    """A binary stream that can only be read, as a pipe or a socket is."""

    def __init__(self, data):
        self._stream = io.BytesIO(data)

    def read(self, size=-1):
        return self._stream.read(min(size, 1000) if size and size > 0 else size)


@pytest.mark.parametrize("form", ["one file", "many files", "gzip", "bz2", "xz", "zip", "gzip pipe", "zip pipe",
                                  "binary file object",
                                  "text file object", "bytes", "str", "CR LF and blanks"])
def test_real_histories_read_as_built_by_hand(form, tmp_path):
    path = tmp_path / "all.tle"
    if form == "one file":
        path.write_bytes(ALL_TEXT)
        source = str(path)
    elif form == "many files":
        source = FILES
    elif form in ("gzip", "bz2", "xz", "zip"):
        path.write_bytes(compressed(form, ALL_TEXT))
        source = path
    elif form in ("gzip pipe", "zip pipe"):
        source = Pipe(compressed(form.split()[0], ALL_TEXT))
    elif form == "binary file object":
        source = io.BytesIO(ALL_TEXT)
    elif form == "text file object":
        source = io.StringIO(ALL_TEXT.decode())
    if form == "bytes":
        catalogue = parse_tle(ALL_TEXT)
    elif form == "str":
        catalogue = parse_tle(ALL_TEXT.decode())
    elif form == "CR LF and blanks":
        catalogue = parse_tle(ALL_TEXT.replace(b"\n", b"   \r\n\r\n"))
    else:
        catalogue = read_tle(source)
    assert catalogue.rejected == []
    assert len(catalogue) == 15 and catalogue.size == 3099
    assert_same_catalogue(catalogue)


def test_chunk_boundaries_anywhere_give_the_same_sets():
    text = b"ISS (ZARYA)\n" + b"\n".join(ALL_TEXT.splitlines()[:40]) + b"\n1 25544U"
    whole = reader.Scanner()
    whole.begin(0)
    whole.feed(text)
    whole.end()
    rng = random.Random(7)
    for _ in range(20):
        pieces = reader.Scanner()
        pieces.begin(0)
        position = 0
        while position < len(text):
            step = rng.randint(1, 90)
            pieces.feed(text[position : position + step])
            position += step
        pieces.end()
        assert pieces.satellites() == whole.satellites() and whole.satellites()[1]
        assert pieces.rejections() == whole.rejections()


def test_runs_of_blank_lines_keep_line_numbers_whatever_the_chunks():
    # Blank lines of every kind between the lines of sets and around faults; a blank line
    # longer than the longest line kept is still refused as one.
    blanks = [b"", b"\r", b" \t ", b"\n" * 20, b"\r\n" * 3 + b"  "]
    rng = random.Random(11)
    lines = []
    for k in range(60):
        lines += [rng.choice(blanks + [b" " * 5000]), ISS1.encode(), rng.choice(blanks), ISS2.encode()]
        if k % 7 == 0:
            lines += [rng.choice([b"", b"\n" * 20, b"\r\n" * 3]) + b"2 orphan"]
    text = b"\n".join(lines) + b"\n" + b"\n" * 10_000 + b"  "
    expected = [i + 1 for i, line in enumerate(text.split(b"\n"))
                if line.startswith(b"2 orphan") or len(line) > 4096]
    whole = reader.Scanner()
    whole.begin(0)
    whole.feed(text)
    whole.end()
    assert [line for _, line, _, _ in whole.rejections()] == expected
    assert whole.satellites()[1] == [(25544, 0, 60, None)]
    for step in (1, 7, 4093, 65536):
        pieces = reader.Scanner()
        pieces.begin(0)
        for start in range(0, len(text), step):
            pieces.feed(text[start : start + step])
        pieces.end()
        assert pieces.rejections() == whole.rejections() and pieces.satellites() == whole.satellites()


@pytest.mark.parametrize("form", ["str", "bytes", "path", "gzip", "text file", "binary file"])
def test_a_byte_order_mark_at_the_start_is_skipped(form, tmp_path):
    text = "\ufeffISS (ZARYA)\n" + ISS1 + "\n" + ISS2 + "\n"
    data = text.encode()
    path = tmp_path / "bom.tle"
    path.write_bytes(gzip.compress(data) if form == "gzip" else data)
    catalogue = {
        "str": lambda: parse_tle(text),
        "bytes": lambda: parse_tle(data),
        "path": lambda: read_tle(path),
        "gzip": lambda: read_tle(path),
        "text file": lambda: read_tle(io.StringIO(text)),
        "binary file": lambda: read_tle(io.BytesIO(data)),
    }[form]()
    assert catalogue.size == 1 and catalogue[25544].satname == "ISS (ZARYA)"
    # Only at the start: anywhere else it is part of a line.
    assert parse_tle(data + data, errors="skip")[25544].satname == "\ufeffISS (ZARYA)"


def test_large_inputs_split_across_threads_keep_every_set():
    # The bundled sets under 20 numbers each: 61,980 sets, enough for several threads per chunk.
    lines = ALL_TEXT.decode().splitlines()
    pairs = list(zip(lines[0::2], lines[1::2]))
    index = {satno: j for j, satno in enumerate(sorted(EXPECTED))}
    text = []
    for k in range(20):
        for line1, line2 in pairs:
            number = f"{60000 + 100 * k + index[int(line1[2:7])]:05d}"
            text += [line1[:2] + number + line1[7:], line2[:2] + number + line2[7:]]
    catalogue = parse_tle("\n".join(text))
    assert catalogue.size == 20 * 3099 and catalogue.rejected == []
    assert len(catalogue) == 20 * 15
    for satno, elset in EXPECTED.items():
        copy = catalogue[60000 + 100 * 19 + index[satno]]
        np.testing.assert_array_equal(copy.epoch.int64, elset.epoch.int64)
        np.testing.assert_array_equal(copy.mnm, elset.mnm)


def test_threads_and_chunking_leave_sets_and_rejections_unchanged():
    # Tens of thousands of named sets with faults of every kind spread through
    # them, so that chunks hold many batches checked while pairing goes on.
    lines = ALL_TEXT.splitlines()
    pairs = list(zip(lines[0::2], lines[1::2])) * 8
    random.Random(3).shuffle(pairs)
    text = []
    for k, (line1, line2) in enumerate(pairs):
        text.append(b"0 SAT %d" % (k % 700))
        if k % 101 == 0:
            text.append(line2)  # a line 2 without its line 1
            continue
        if k % 97 == 0:
            line1 = line1[:20] + b"\x07" + line1[21:]
        elif k % 89 == 0:
            line1 = line1[:2] + b"ABCDE" + line1[7:]
        elif k % 1009 == 0:
            text += [b"\xff garbage", b"\xfe more"]
        text += [line1, line2]
    text = b"\n".join(text) + b"\n"
    assert len(text) > 2 * 1024 * 1024
    satnos = sorted(EXPECTED)[::2]

    def scan(threads, pieces, **options):
        scanner = reader.Scanner(threads=threads, **options)
        scanner.begin(0)
        for start in range(0, len(text), pieces):
            scanner.feed(text[start : start + pieces])
        scanner.end()
        return scanner.satellites(), scanner.rejections()

    for options in ({}, {"satnos": satnos}):
        expected = scan(1, len(text), **options)
        assert expected[0][1] and len(expected[1]) > 300
        for threads, pieces in ((2, len(text)), (4, 1 << 20), (2, 777_777)):
            assert scan(threads, pieces, **options) == expected


def test_shuffled_histories_read_from_the_scanner_give_the_same_catalogue():
    lines = ALL_TEXT.decode().splitlines()
    pairs = list(zip(lines[0::2], lines[1::2]))
    random.Random(11).shuffle(pairs)
    by_number = {}
    for a, b in pairs:
        by_number.setdefault(int(a[2:7]), []).append(TLE(a, b))
    # Equal epochs stay in reading order, as in an ELSET of the TLEs in that order.
    expected = {satno: ELSET(*tles) for satno, tles in by_number.items()}
    assert_same_catalogue(parse_tle("".join(f"{a}\n{b}\n" for a, b in pairs)), expected)
    assert len(expected) == len(EXPECTED)


def test_a_scanner_lending_its_rows_refuses_to_change():
    scanner = reader.Scanner()
    scanner.begin(0)
    scanner.feed(ALL_TEXT[: 2 * 70 * 10])
    scanner.end()
    groups = [(first, end, name) for _, first, end, name in scanner.group()]
    source = scanner.row_source()
    for change in (lambda: scanner.begin(1), lambda: scanner.feed(b"x\n"), scanner.end, scanner.group,
                   scanner.release):
        with pytest.raises(RuntimeError, match="in use by a row source"):
            change()
    del scanner  # the row source keeps what it reads alive
    elsets = ELSET._from_grouped_lines(source, groups)
    with pytest.raises(IndexError, match="outside the buffer"):
        ELSET._from_grouped_lines(source, [(0, 11, None)])
    assert sum(elset.size for elset in elsets) == 10
    del source
    assert_same_catalogue(Catalogue(elsets), dict(parse_tle(ALL_TEXT[: 2 * 70 * 10])))


def test_sets_come_grouped_in_epoch_order_with_ties_in_reading_order():
    tles = history("iss.tle")
    order = list(range(len(tles)))
    random.Random(5).shuffle(order)
    # Two sets share the epoch of the first: they must stay in the order they were read.
    twin = put(tles[0].line2, 64, "99999")
    lines = [(tles[i].line1, tles[i].line2) for i in order] + [(tles[0].line1, twin)]
    # The last name read (not the name of the latest epoch) names the satellite.
    text = "".join(f"{'OLD' if k < len(lines) - 3 else 'NEW'}\n{a}\n{b}\n" for k, (a, b) in enumerate(lines))
    scanner = reader.Scanner()
    scanner.begin(0)
    scanner.feed(text.encode())
    scanner.end()
    rows, groups = scanner.satellites()
    assert groups == [(25544, 0, len(lines), "NEW")]
    ordered = sorted(range(len(lines)), key=lambda k: TLE(*lines[k]).epoch.int64)
    assert rows == b"".join((a + b).encode() for a, b in (lines[k] for k in ordered))
    elset = parse_tle(text)[25544]
    assert elset.satname == "NEW" and elset[0].line2 == tles[0].line2 and elset[1].line2 == twin


def test_three_line_names_are_kept_in_every_form():
    text = "\n".join([
        "ISS (ZARYA)   ", ISS1, ISS2,                  # plain name, trailing blanks
        "0 HST", history("hubble.tle")[0].line1, history("hubble.tle")[0].line2,
        *[line for _, l1, l2 in list(element_sets("tess.tle"))[:2] for line in (l1, l2)],  # no name
        "0 ÉTOILE-1", put(ISS1, 3, "00042"), put(ISS2, 3, "00042"),  # non-ASCII name
    ])
    catalogue = parse_tle(text)
    assert catalogue.rejected == []
    assert {satno: elset.satname for satno, elset in catalogue.items()} == {
        42: "ÉTOILE-1", 20580: "HST", 25544: "ISS (ZARYA)", 43435: None}
    assert catalogue[43435].size == 2


@pytest.mark.skipif(not hasattr(ELSET, "_from_lines"), reason="ELSETs of alpha-5 numbers are built from lines")
def test_alpha5_numbers_are_decoded():
    text = "".join(f"{put(ISS1, 3, number)}\n{put(ISS2, 3, number)}\n" for number in ("A0000", "Z9999", "J1234"))
    catalogue = parse_tle(text)
    assert list(catalogue) == [100000, 181234, 339999]
    assert catalogue[339999].satno == 339999 and catalogue[100000][0].line1[2:7] == "A0000"


BAD_INPUTS = {
    "line 1 without line 2": (f"{ISS1}\nNAME\n{ISS1}\n{ISS2}\n", 1, "line 1 is followed by a name line"),
    "line 2 before line 1": (f"{ISS2}\n{ISS1}\n{ISS2}\n", 1, "line 2 without its line 1"),
    "truncated after line 1": (f"{ISS1}\n{ISS2}\nNAME\n{ISS1[:40]}", 3, "the text ends after line 1"),
    "truncated after a name": (f"{ISS1}\n{ISS2}\nNAME\n", 3, "the text ends after a name line"),
    "two names": (f"A\nB\n{ISS1}\n{ISS2}\n", 1, "the name line is followed by a name line"),
    "NUL in a line": (f"{ISS1[:20]}\0{ISS1[21:]}\n{ISS2}\n{ISS1}\n{ISS2}\n", 1, "not printable ASCII in column 21"),
    "binary garbage": ("\x00\x01\xff\xfe garbage\n" + f"{ISS1}\n{ISS2}\n", 1, "neither an element set line nor a name"),
    "not UTF-8 name": ("\xe9toile\n" + f"{ISS1}\n{ISS2}\n", 1, "not UTF-8"),
    "no number": (f"{put(ISS1, 3, '  -12')}\n{ISS2}\n{ISS1}\n{ISS2}\n", 1, "no catalogue number"),
}


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_bad_input_is_rejected_with_a_trace_or_raised(case):
    text, line, reason = BAD_INPUTS[case]
    data = text.encode("latin-1") if case == "not UTF-8 name" else text.encode("utf-8", "surrogateescape")
    catalogue = parse_tle(data, errors="skip")
    assert catalogue[25544].size >= 1  # the good set after the fault is read
    first = catalogue.rejected[0]
    assert (first.source, first.line) == ("<text>", line)
    assert reason in first.reason
    with pytest.raises(ValueError, match=rf"<text>, line {line}: .*{reason}"):
        parse_tle(data)


def test_pages_of_garbage_make_one_rejection_per_run():
    prose = "".join(f"line {i} of a letter, not a catalogue\n" for i in range(50_000))
    catalogue = parse_tle(f"{ISS1}\n{ISS2}\n" + prose + "\x01\x02\n" * 1000 + f"{ISS1}\n{ISS2}\n", errors="skip")
    assert catalogue[25544].size == 2
    assert [r.line for r in catalogue.rejected] == [3, 50_002, 50_003]
    orphans, last_prose, garbage = (r.reason for r in catalogue.rejected)
    assert orphans.startswith("the name line is followed by a name line") and orphans.endswith(
        "; so are the 49998 lines after it")
    assert last_prose.startswith("the name line is followed by a line that is not text")
    assert garbage.startswith("the line is neither") and garbage.endswith("; so are the 999 lines after it")


def test_an_endless_line_is_rejected_with_bounded_memory(tmp_path):
    path = tmp_path / "long.tle"
    path.write_bytes(b"X" * 5_000_000 + b"\n" + f"{ISS1}\n{ISS2}\n".encode() + b"Y" * 3_000_000)
    catalogue = read_tle(path, errors="skip")
    assert catalogue.size == 1
    assert [(r.line, r.reason) for r in catalogue.rejected] == [
        (1, "the line is longer than 4096 bytes"), (4, "the line is longer than 4096 bytes")]
    assert all(len(r.text) < 200 for r in catalogue.rejected)


@pytest.mark.parametrize("kind", ["gzip", "bz2", "xz"])
def test_a_truncated_compressed_stream_is_never_a_silent_loss(kind, tmp_path):
    path = tmp_path / "cut.tle"
    data = compressed(kind, ALL_TEXT * 4)  # bzip2 decodes whole blocks of 900 kB: more than one
    path.write_bytes(data[: len(data) * 2 // 3])
    catalogue = read_tle(path, errors="skip")
    assert 0 < catalogue.size < 4 * 3099
    assert any("cannot be read to its end" in r.reason for r in catalogue.rejected)
    with pytest.raises(ValueError, match="cut.tle.*cannot be read to its end"):
        read_tle(path)


def test_chunks_read_ahead_keep_every_set_and_every_fault(tmp_path, monkeypatch):
    monkeypatch.setattr(sources, "CHUNK", 4999)  # every source spans many chunks, read in a second thread
    gzipped = compressed("gzip", ALL_TEXT)
    whole, cut, bad = tmp_path / "all.tle.gz", tmp_path / "cut.tle.gz", tmp_path / "bad.tle"
    whole.write_bytes(gzipped)
    cut.write_bytes(gzipped[: len(gzipped) // 2])
    orphan_at = ALL_TEXT.index(b"\n", 50_000) + 1
    bad.write_bytes(ALL_TEXT[:orphan_at] + ISS2.encode() + b"\n" + ALL_TEXT[orphan_at:])
    threads = threading.active_count()
    for source in (FILES, whole, Pipe(gzipped)):
        assert_same_catalogue(read_tle(source))
    catalogue = read_tle(cut, errors="skip")
    assert 0 < catalogue.size < 3099 and "cannot be read to its end" in catalogue.rejected[-1].reason
    with pytest.raises(ValueError, match="line 2 without its line 1"):  # while the next chunk is being read
        read_tle(bad)
    assert read_tle(bad, errors="skip").size == 3099
    assert threading.active_count() == threads



def test_streams_read_at_once_in_threads_never_share_a_buffer(tmp_path, monkeypatch):
    # Full-size buffers go back to a common store when a stream ends and are taken by the next:
    # streams read side by side must each keep their own.
    monkeypatch.setattr(sources, "CHUNK", 1 << 16)
    half = ALL_TEXT[: ALL_TEXT.index(b"\n1 ", len(ALL_TEXT) // 2) + 1]  # ends before a line 1
    texts = {"all": ALL_TEXT, "half": half}
    for name, text in texts.items():
        (tmp_path / f"{name}.tle").write_bytes(text * 3)
    alone = {name: read_tle(tmp_path / f"{name}.tle").size for name in texts}
    found: list[tuple[str, int]] = []

    def read_often(name):
        found.extend((name, read_tle(tmp_path / f"{name}.tle").size) for _ in range(4))

    threads = [threading.Thread(target=read_often, args=(name,)) for name in texts for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(found) == sorted((name, alone[name]) for name in texts for _ in range(8))
    assert alone["all"] == 3 * 3099 and 0 < alone["half"] < alone["all"]

def damaged_zip(damage):
    """An archive of two members, good.tle and bad.tle, the second damaged in its directory entry."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("good.tle", f"{ISS1}\n{ISS2}\n")
        archive.writestr("bad.tle", f"{ISS1}\n{ISS2}\n")
    data = bytearray(out.getvalue())
    entry = data.rfind(b"PK\x01\x02")
    if damage == "truncated":
        return bytes(data[:-10])
    if damage == "unknown method":
        data[entry + 10 : entry + 12] = (99).to_bytes(2, "little")
    elif damage == "encrypted":
        data[entry + 8] |= 1
    elif damage == "offset beyond the start":  # its local header would lie before the archive
        data[entry + 42 : entry + 46] = (1 << 31).to_bytes(4, "little")
    return bytes(data)


@pytest.mark.parametrize("damage", ["truncated", "unknown method", "encrypted", "offset beyond the start"])
def test_a_damaged_zip_archive_is_a_rejection_not_a_crash(damage):
    data = damaged_zip(damage)
    catalogue = read_tle(io.BytesIO(data), errors="skip")
    (rejection,) = catalogue.rejected
    assert "cannot be read to its end (BadZipFile" in rejection.reason
    if damage != "truncated":  # the good member is read all the same
        assert list(catalogue) == [25544] and rejection.source == "<BytesIO>:bad.tle"
    with pytest.raises(ValueError, match="cannot be read to its end"):
        read_tle(Pipe(data))
    assert "cannot be read to its end" in read_omm(io.BytesIO(data), errors="skip").rejected[-1].reason


def test_text_with_a_lone_surrogate_is_a_rejected_line():
    text = f"SAT \ud800\n{ISS1}\n{ISS2}\nNAME \udcff\n"
    for catalogue in (parse_tle(text, errors="skip"), read_tle(io.StringIO(text), errors="skip")):
        assert list(catalogue) == [25544] and catalogue[25544].satname is None
        assert [r.line for r in catalogue.rejected] == [1, 4]
    with pytest.raises(ValueError, match="line 1: .*not UTF-8"):
        read_tle(io.StringIO(text))


def test_strict_rejects_what_the_tolerant_reading_takes():
    bad_checksum = ISS1[:68] + str((int(ISS1[68]) + 1) % 10)
    text = f"{bad_checksum}\n{ISS2}\n{put(ISS1, 3, '00005')}\n{ISS2}\n"
    assert parse_tle(text, errors="skip").size == 2
    strict = parse_tle(text, strict=True, errors="skip")
    assert strict.size == 0
    assert [r.line for r in strict.rejected] == [1, 3]
    assert "checksum" in strict.rejected[0].reason and "checksum" in strict.rejected[1].reason
    with pytest.raises(ValueError, match="line 1: line 1 fails its checksum"):
        parse_tle(text, strict=True)
    # In the real histories only the line cut short fails (data/README.md).
    real = read_tle(FILES, strict=True, errors="skip")
    assert real.size == 3098
    assert [(r.source.rsplit("/", 1)[-1], r.line, "checksum" in r.reason) for r in real.rejected] == [
        ("galaxy-18.tle", 497, True)]
    assert parse_tle(f"{ISS1}   X\n{ISS2}\n", strict=True, errors="skip").rejected[0].reason == (
        "line 1 is 73 characters long without its trailing blanks: the format has 69")
    renumbered = f"{with_checksum(put(ISS1, 3, '00005'))}\n{with_checksum(put(ISS2, 3, '00005'))}\n"
    assert list(parse_tle(renumbered + f"{ISS1}\n{ISS2}\n", strict=True)) == [5, 25544]


def test_filters_select_numbers_and_a_half_open_window():
    iss = EXPECTED[25544]
    start, stop = iss.epoch[100], iss.epoch[200]
    catalogue = read_tle(FILES, satnos=[25544, 20580, 99999], window=(start, stop))
    assert list(catalogue) == [20580, 25544]
    assert_same_elset(catalogue[25544], iss[start:stop])
    assert_same_elset(catalogue[20580], EXPECTED[20580][start:stop])
    before = read_tle(FILES, window=(None, stop))
    assert before.size == sum(int((e.epoch.int64 < stop.int64).sum()) for e in EXPECTED.values())
    assert len(read_tle(FILES, satnos=[])) == 0


def test_duplicates_are_dropped_only_when_asked():
    iss = DATA / "iss.tle"
    lines = iss.read_text().splitlines()
    overlap = io.StringIO("\n".join(lines[200:]))  # a second source repeating most of the history
    kept = read_tle([iss, overlap])
    assert kept[25544].size == 609 + 509
    overlap.seek(0)
    dropped = read_tle([iss, overlap], duplicates="drop")
    assert_same_elset(dropped[25544], EXPECTED[25544])


def test_write_then_read_gives_the_same_bytes_and_catalogue(tmp_path):
    catalogue = read_tle(FILES)
    for path in FILES:
        out = io.BytesIO()
        write_tle(catalogue[int(path.read_text()[2:7])], out, names=False)
        assert out.getvalue() == path.read_bytes().rstrip(b"\n") + b"\n", path.name
    named = parse_tle("ISS (ZARYA)\n" + "\nISS (ZARYA)\n".join(
        f"{l1}\n{l2}" for _, l1, l2 in element_sets("iss.tle")) + "\n")
    write_tle(named, tmp_path / "iss.3le")
    text = (tmp_path / "iss.3le").read_text()
    assert text.count("ISS (ZARYA)\n") == 609
    again = read_tle(tmp_path / "iss.3le")
    assert again[25544].satname == "ISS (ZARYA)"
    assert_same_elset(again[25544], EXPECTED[25544])
    write_tle(catalogue, tmp_path / "all.tle")
    assert_same_catalogue(read_tle(tmp_path / "all.tle"))


@pytest.mark.parametrize("name", ["0 X", "1 X", "2 X", "1X", "0"])
def test_names_that_look_like_lines_read_back_whole(name):
    out = io.StringIO()
    write_tle(parse_tle(f"0 {name}\n{ISS1}\n{ISS2}\n"), out)
    again = parse_tle(out.getvalue())
    assert again[25544].satname == name and again.size == 1


def test_catalogue_is_a_read_only_mapping_in_ascending_order():
    catalogue = read_tle(FILES)
    assert list(catalogue) == sorted(catalogue) and 25544 in catalogue
    assert isinstance(catalogue, Catalogue) and len(catalogue) == 15 and catalogue.size == 3099
    with pytest.raises(TypeError):
        catalogue[1] = catalogue[25544]
    with pytest.raises(KeyError):
        catalogue[1]
    assert repr(catalogue) == "Catalogue(15 satellites, 3,099 element sets, 0 rejected)"


def test_to_pandas_has_one_row_per_set_with_every_field():
    frame = read_tle(FILES).to_pandas()
    assert len(frame) == 3099 and frame["epoch"].dtype == "datetime64[ns]"
    assert frame.groupby("satno").size().to_dict() == {satno: e.size for satno, e in EXPECTED.items()}
    iss = frame[frame.satno == 25544]
    np.testing.assert_array_equal(iss["sma"], EXPECTED[25544].sma)
    np.testing.assert_array_equal(iss["epoch"].to_numpy().astype(np.int64), EXPECTED[25544].epoch.int64)
    # The fields the TLE type does not carry, against the sgp4 package's parser.
    rows = frame.sort_values(["satno", "epoch"], kind="stable")
    sets = sorted(((int(l1[2:7]), TLE(l1, l2).epoch.int64, i), l1, l2)
                  for i, (_, l1, l2) in enumerate(element_sets()))
    satrecs = [Satrec.twoline2rv(l1, l2) for _, l1, l2 in sets]
    np.testing.assert_array_equal(rows["bstar"], [s.bstar for s in satrecs])
    # sgp4 keeps the line's fields (ndot/2, nddot/6) in rad/min^2 and rad/min^3.
    np.testing.assert_allclose(rows["ndot"], [2 * s.ndot / 60**2 for s in satrecs], rtol=1e-12, atol=0)
    np.testing.assert_allclose(rows["nddot"], [6 * s.nddot / 60**3 for s in satrecs], rtol=1e-12, atol=0)
    assert rows["revnum"].tolist() == [s.revnum for s in satrecs]
    assert rows["elnum"].tolist() == [s.elnum for s in satrecs]
    assert rows["intldes"].tolist() == [s.intldesg for s in satrecs]
    assert rows["classification"].tolist() == [s.classification for s in satrecs]
    assert isinstance(frame, pd.DataFrame) and frame["satname"].isna().all()


def test_progress_bar_goes_to_standard_error(capsys):
    read_tle(FILES[:2], progress=True)
    captured = capsys.readouterr()
    assert captured.out == "" and "read_tle" in captured.err


@pytest.mark.parametrize("bad, message", [
    (dict(errors="ignore"), "errors must be"), (dict(duplicates="first"), "duplicates must be")])
def test_policies_are_checked(bad, message):
    with pytest.raises(ValueError, match=message):
        parse_tle("", **bad)
    with pytest.raises(TypeError):
        read_tle(42)


# ---------------------------------------------------------------------------
# Catalogues from frames, and merged


def named_catalogue():
    """The bundled histories with names, Alpha-5 numbers and fields of every kind."""
    text = []
    for k, (_, line1, line2) in enumerate(element_sets()):
        if k % 5 == 0:  # a satellite under an Alpha-5 number too
            line1, line2 = with_checksum(put(line1, 3, "T0042")), with_checksum(put(line2, 3, "T0042"))
        text.append(f"0 SAT {line1[2:7]}\n{line1}\n{line2}\n")
    return parse_tle("".join(text))


def assert_same_sets(got, expected):
    assert list(got) == list(expected) and got.size == expected.size
    for satno in expected:
        assert got[satno].satname == expected[satno].satname
        assert_same_elset_values(got[satno], expected[satno])


def assert_same_elset_values(got, expected):
    np.testing.assert_array_equal(got.epoch.int64, expected.epoch.int64)
    for name in COLUMNS + ("ndot", "nddot", "bstar"):
        np.testing.assert_array_equal(getattr(got, name), getattr(expected, name), err_msg=name)


def test_a_catalogue_comes_back_from_its_frame():
    catalogue = named_catalogue()
    frame = catalogue.to_pandas()
    back = Catalogue.from_pandas(frame)
    assert_same_sets(back, catalogue)
    pd.testing.assert_frame_equal(back.to_pandas(), frame)
    # Rows in any order, epochs with a time zone, only the columns read: the same sets.
    # The name column also under the name it had before it matched ELSET.to_pandas.
    shuffled = frame.sample(frac=1.0, random_state=5)[["satno", "satname", "epoch", "ecc", "inc", "raa", "arp",
                                                         "mea", "mnm", "ndot", "nddot", "bstar", "classification",
                                                         "intldes", "ephtype", "elnum", "revnum"]]
    shuffled = shuffled.rename(columns={"satname": "name"})
    shuffled["epoch"] = shuffled["epoch"].dt.tz_localize("UTC").dt.tz_convert("America/New_York")
    assert_same_sets(Catalogue.from_pandas(shuffled), catalogue)
    # The lines written are what the sgp4 package reads as the same elements.
    tle = next(iter(back[25544]))
    satrec = Satrec.twoline2rv(tle.line1, tle.line2)
    assert satrec.inclo == pytest.approx(back[25544].inc[0], rel=1e-15) and satrec.bstar == back[25544].bstar[0]


def test_a_frame_of_elements_alone_and_its_faults():
    frame = pd.DataFrame({
        "satno": [999_999_999, 999_999_999, 7, 8, 9, 1_000_000_000],
        "epoch": pd.to_datetime(["2023-01-01T12:00", "2023-01-02", "2023-01-01", None, "2023-01-01", "2023-01-01"],
                                format="ISO8601"),
        "ecc": [0.1, 0.1, 1.2, 0.1, 0.1, 0.1],
        "inc": [1.0, 1.0, 1.0, 1.0, np.nan, 1.0], "raa": 2.0, "arp": 3.0, "mea": 4.0, "mnm": 0.001,
    })
    catalogue = Catalogue.from_pandas(frame, errors="skip")
    assert list(catalogue) == [999_999_999] and catalogue.size == 2 and catalogue[999_999_999].satname is None
    # No line pair holds 1 rad exactly: the sets keep the values given, and no text.
    assert catalogue[999_999_999].inc.tolist() == [1.0, 1.0] and catalogue[999_999_999]._lines() is None
    assert [(r.source, r.line, r.reason) for r in catalogue.rejected] == [
        ("<DataFrame>", 3, "ecc lies outside [0, 1)"),
        ("<DataFrame>", 4, "epoch is missing (NaT)"),
        ("<DataFrame>", 5, "inc is not a finite number"),
        ("<DataFrame>", 6, "satno lies outside 0 to 999999999, the catalogue numbers"),
    ]
    with pytest.raises(ValueError, match="row 3 of the frame: ecc lies outside"):
        Catalogue.from_pandas(frame)
    with pytest.raises(ValueError, match="row 2 of the frame: satno lies outside 0 to 999999999"):
        Catalogue.from_pandas(frame.iloc[[0, 5]])
    assert Catalogue.from_pandas(frame[:2].assign(satno=[1, -1]), errors="skip").rejected[0].line == 2
    for texts, reason in ((dict(intldes=["98067A", "1998-067ABCDE"]), "intldes is longer than 12 characters"),
                          (dict(classification=["U", "é"]), "classification is not printable ASCII")):
        assert [(r.line, r.reason) for r in Catalogue.from_pandas(frame[:2].assign(**texts), errors="skip").rejected] \
            == [(2, reason)]
    with pytest.raises(ValueError, match="no column mnm"):
        Catalogue.from_pandas(frame.drop(columns="mnm"))


def test_catalogues_merge_as_if_read_one_after_the_other():
    iss = DATA / "iss.tle"
    lines = iss.read_text().splitlines()
    first, second = parse_tle("\n".join(lines[:300])), parse_tle("\n".join(lines[200:]) + "\n" + ISS1 + "\n" + ISS2)
    for duplicates in ("keep", "drop"):
        read = read_tle([io.StringIO("\n".join(lines[:300])),
                         io.StringIO("\n".join(lines[200:]) + "\n" + ISS1 + "\n" + ISS2)], duplicates=duplicates)
        merged = first.merge(second, duplicates=duplicates)
        assert_same_sets(merged, read)
        assert [(t.line1, t.line2) for t in merged[25544]] == [(t.line1, t.line2) for t in read[25544]]
    union = first | parse_tle((DATA / "tess.tle").read_text())
    assert list(union) == [25544, 43435] and union[25544].size == 150
    assert_same_sets(first | first, first)
    # Names: the later catalogue's when it has one.
    named = parse_tle(f"ISS (ZARYA)\n{ISS1}\n{ISS2}\n")
    assert (named | first)[25544].satname == (first | named)[25544].satname == "ISS (ZARYA)"
    with pytest.raises(TypeError):
        first | {25544: first[25544]}
    with pytest.raises(ValueError, match="duplicates"):
        first.merge(second, duplicates="first")
