"""SGP4 over chunks on a local cluster: the states of SGP4.propagate bit for bit, from catalogues
and from frames, when a worker dies too."""

import os
import signal
import time

import dask
import numpy as np
import pytest
from helpers import DATA

import astrokite as ak
import astrokite.dask as akd

FILES = sorted(str(path) for path in DATA.glob("*.tle"))
# Three days of 2023 every ten minutes: NUTSAT decays within them (errors), the others are fine.
TIMES = ak.Time(np.datetime64("2023-03-30") + np.arange(0, 3 * 86400, 600).astype("timedelta64[s]"))


@pytest.fixture(scope="module")
def catalogue():
    return ak.read_tle(FILES)


def same(states, want):
    position, velocity, error = dask.compute(states.position, states.velocity, states.error)
    assert np.array_equal(position, want.position, equal_nan=True)
    assert np.array_equal(velocity, want.velocity, equal_nan=True)
    assert np.array_equal(error, want.error)
    assert np.array_equal(states.satnos, want.satnos)


@pytest.mark.parametrize("chunks", [4, (3, 100), 1000])
def test_catalogues_and_propagators(client, catalogue, chunks):
    want = ak.SGP4(catalogue).propagate(TIMES)
    assert want.error.any() and not want.error.all()
    same(akd.propagate(catalogue, TIMES, chunks=chunks), want)
    wgs84 = ak.SGP4(catalogue, gravity="wgs84")
    same(akd.propagate(wgs84, TIMES, chunks=chunks), wgs84.propagate(TIMES))


def test_frames_are_gathered_by_satellite(client, catalogue):
    frame = akd.read_tle(FILES, blocksize=40_000)
    for chunks in (1, 4, (2, 50)):
        states = akd.propagate(frame, TIMES, chunks=chunks)
        assert states.position.chunks[0][0] == (chunks if isinstance(chunks, int) else chunks[0])
        same(states, ak.SGP4(catalogue).propagate(TIMES))
    itrf = akd.propagate(catalogue, TIMES[:5], frame="ITRF", velocity=False, chunks=6)
    assert itrf.velocity is None
    assert np.array_equal(itrf.position.compute(), ak.SGP4(catalogue).propagate(TIMES[:5], frame="ITRF").position,
                          equal_nan=True)


def test_a_worker_killed_mid_job_changes_nothing(client, catalogue):
    many = ak.Time(np.datetime64("2023-03-01") + np.arange(0, 20 * 86400, 30).astype("timedelta64[s]"))
    want = ak.SGP4(catalogue).propagate(many, velocity=False)
    states = akd.propagate(catalogue, many, chunks=(1, 60_000), velocity=False)
    future = client.compute(states.position)
    pids = client.run(os.getpid)
    deadline = time.monotonic() + 30
    while not any(client.processing().values()) and time.monotonic() < deadline:
        time.sleep(0.01)
    busy = next(address for address, tasks in client.processing().items() if tasks)
    os.kill(pids[busy], signal.SIGKILL)
    assert np.array_equal(future.result(), want.position, equal_nan=True)
    client.wait_for_workers(2, timeout=60)


def test_chunks_and_select_are_checked(catalogue):
    with pytest.raises(ValueError, match="chunks must be"):
        akd.propagate(catalogue, TIMES, chunks=0)
    with pytest.raises(ValueError, match="select must be"):
        akd.propagate(catalogue, TIMES, select="each")
