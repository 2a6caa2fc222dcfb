"""A local cluster of two worker processes, one thread each, for the tests of each file of this
folder: closed after the file, so that no thread of it runs on (allocating) under the tests that
follow, such as those that watch the memory."""

import pytest


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        yield client
