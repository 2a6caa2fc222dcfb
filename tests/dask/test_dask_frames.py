"""Element-set files as lazy frames on a local cluster: the same rows, filters and rejections as
the single-process readers, whatever the partitions."""

import gzip
import io

import numpy as np
import pandas as pd
import pytest
from helpers import DATA

import astrokite as ak
import astrokite.dask as akd
from astrokite.catalogue import sources
from astrokite.dask.frames import _parts, _TLEReader, set_start

FILES = sorted(str(path) for path in DATA.glob("*.tle"))
ORDER = ["satno", "epoch"]


def in_order(frame):
    return frame.sort_values(ORDER, kind="stable").reset_index(drop=True)


@pytest.fixture(scope="module")
def history(tmp_path_factory):
    """The bundled sets as one 3-line file (names on), one 2-line file and a gzip copy."""
    folder = tmp_path_factory.mktemp("history")
    catalogue = ak.read_tle(FILES)
    named = {satno: elset for satno, elset in catalogue.items()}
    text = io.StringIO()
    ak.write_tle(catalogue, text)
    (folder / "all.3le").write_text(text.getvalue())
    (folder / "two.tle").write_bytes(b"".join(open(path, "rb").read().rstrip(b"\n") + b"\n" for path in FILES[:5]))
    (folder / "some.tle.gz").write_bytes(gzip.compress(open(FILES[7], "rb").read()))
    return folder, named


def test_files_and_blocks_give_the_rows_of_read_tle(client, history):
    folder, _ = history
    paths = [str(folder / "all.3le"), str(folder / "two.tle"), str(folder / "some.tle.gz")]
    want = in_order(ak.read_tle(paths).to_pandas())
    for blocksize, partitions in ((None, 3), (7_000, None), ("20 kB", None)):
        frame = akd.read_tle(paths, blocksize=blocksize)
        if partitions:
            assert frame.npartitions == partitions
        else:
            assert frame.npartitions > 20
        pd.testing.assert_frame_equal(in_order(frame.compute()), want)
    assert akd.read_tle(str(DATA / "*.tle")).npartitions == len(FILES)


def test_a_computation_reads_only_the_columns_it_uses(client, history, tmp_path):
    folder, _ = history
    path = str(folder / "all.3le")
    full = ak.read_tle(path).to_pandas()
    omm = str(tmp_path / "all.json")
    ak.write_omm(ak.read_tle(path), omm)

    def rows(frame):
        return frame.sort_values(list(frame.columns), kind="stable").reset_index(drop=True)

    for frame, whole in ((akd.read_tle(path, blocksize=9_000), full), (akd.read_omm(omm), ak.read_omm(omm).to_pandas())):
        for names in (["satno"], ["intldes", "satname"], ["revnum", "tra", "epoch"]):
            pd.testing.assert_frame_equal(rows(frame[names].compute()), rows(whole[names]))
    counts = akd.read_tle(path, blocksize=9_000).groupby("satno").size().compute()
    assert counts.sort_index().to_dict() == full.groupby("satno").size().to_dict()


def test_blocks_are_of_one_size_none_above_blocksize(history):
    folder, _ = history
    path = str(folder / "all.3le")
    size = len(open(path, "rb").read())
    blocks = [part.stop - part.first for part in _parts([path], size // 2 + 1)]
    assert blocks in ([size // 2, size - size // 2], [size - size // 2, size // 2])
    blocks = [part.stop - part.first for part in _parts([path], 10_000)]
    assert max(blocks) <= 10_000 and max(blocks) - min(blocks) < len(blocks) and sum(blocks) == size


def test_a_partition_is_read_in_its_task_thread_alone(history, monkeypatch):
    # A worker's one thread is the parallelism: the file is read chunk after chunk in that thread,
    # with no reading ahead in a second one, and every set of every chunk is kept.
    def no_thread(*args, **kwargs):
        raise AssertionError("a partition started a thread of its own")

    folder, _ = history
    path = str(folder / "all.3le")
    want = in_order(ak.read_tle(path).to_pandas())
    monkeypatch.setattr(sources, "CHUNK", 4999)
    monkeypatch.setattr(sources, "ThreadPoolExecutor", no_thread)
    reader = _TLEReader(False, "raise", None, None)
    for parts in (_parts([path], None), _parts([path], 30_000)):
        got = pd.concat([reader(part) for part in parts], ignore_index=True)
        pd.testing.assert_frame_equal(in_order(got), want)


def test_block_boundaries_fall_between_sets(history):
    folder, _ = history
    data = (folder / "all.3le").read_bytes()
    with open(folder / "all.3le", "rb") as file:
        starts = sorted({set_start(file, offset, len(data)) for offset in range(0, len(data), 97)})
    for start in starts[:-1]:
        head = data[start:start + 300].split(b"\n")
        if not head[0].startswith(b"1 "):  # a set's name line, then its line 1 and line 2
            head = head[1:]
        assert head[0].startswith(b"1 ") and head[1].startswith(b"2 ")
    # Every set starts one block (offsets 97 bytes apart meet each), and the end closes the last.
    assert starts[-1] == len(data) and len(starts) == ak.parse_tle(data).size + 1


def test_filters_run_in_the_partitions(client, history):
    folder, _ = history
    window = ("2023-03-01", "2023-04-01")
    frame = akd.read_tle(str(folder / "all.3le"), blocksize=10_000, satnos=[25544, 20580], window=window)
    want = ak.read_tle(str(folder / "all.3le"), satnos=[25544, 20580], window=window).to_pandas()
    pd.testing.assert_frame_equal(in_order(frame.compute()), in_order(want))
    counts = frame.groupby("satno").size().compute().sort_index()
    assert counts.to_dict() == want.groupby("satno").size().to_dict()


def test_bad_lines_raise_or_are_kept_as_read_tle_does(client, tmp_path):
    text = open(FILES[7], "rb").read().split(b"\n")
    del text[300]  # a line 1 lost, deep in the file
    path = tmp_path / "bad.tle"
    path.write_bytes(b"\n".join(text))
    with pytest.raises(ValueError) as single:
        ak.read_tle(str(path))
    for blocksize in (None, 5_000):
        with pytest.raises(ValueError) as spread:
            akd.read_tle(str(path), blocksize=blocksize).compute()
        assert str(spread.value) == str(single.value)
        frame = akd.read_tle(str(path), blocksize=blocksize, errors="skip")
        kept = ak.read_tle(str(path), errors="skip")
        pd.testing.assert_frame_equal(in_order(frame.compute()), in_order(kept.to_pandas()))
        rejections = akd.rejected(frame).compute()
        assert [tuple(row) for row in rejections.itertuples(index=False)] == [tuple(r) for r in kept.rejected]
    with pytest.raises(ValueError, match="rejected"):
        akd.rejected(frame[frame.inc > 0])


def test_omm_files_and_their_filters(client, tmp_path):
    catalogue = ak.read_tle(FILES)
    paths = []
    for k, form in enumerate(("json", "xml", "csv", "kvn")):
        path = tmp_path / f"part{k}.{form}"
        part = ak.Catalogue([catalogue[satno] for satno in list(catalogue)[k::4]])
        ak.write_omm(part, str(path), format=form)
        paths.append(str(path))
    want = ak.read_omm(paths[0]).to_pandas()
    for path in paths[1:]:
        want = pd.concat([want, ak.read_omm(path).to_pandas()])
    frame = akd.read_omm(str(tmp_path / "part*"))
    assert frame.npartitions == 4
    pd.testing.assert_frame_equal(in_order(frame.compute()), in_order(want))
    picked = akd.read_omm(paths, satnos=[25544], window=("2023-06-01", None)).compute()
    expected = want[(want.satno == 25544) & (want.epoch >= np.datetime64("2023-06-01"))]
    pd.testing.assert_frame_equal(in_order(picked), in_order(expected))


def test_to_catalogue_and_argument_checks(client, history):
    folder, _ = history
    frame = akd.read_tle(str(folder / "all.3le"), blocksize=10_000)
    catalogue = akd.to_catalogue(frame[frame.satno == 25544])
    assert list(catalogue) == [25544] and catalogue.size == ak.read_tle(FILES[7]).size
    with pytest.raises(ValueError, match="errors must be"):
        akd.read_tle(FILES, errors="ignore")
    with pytest.raises(ValueError, match="blocksize must be positive"):
        akd.read_tle(FILES, blocksize=0)
    with pytest.raises(FileNotFoundError, match="no file matches"):
        akd.read_tle(str(folder / "*.nothing"))
