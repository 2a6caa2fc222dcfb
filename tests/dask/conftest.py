"""A local cluster of two worker processes, one thread each, shared by the tests of this folder."""

import pytest


@pytest.fixture(scope="session")
def client():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        yield client
