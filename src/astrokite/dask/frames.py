"""Being written."""

def read_omm(*args, **kwargs):
    raise NotImplementedError("astrokite.dask.read_omm is being written")


def read_tle(*args, **kwargs):
    raise NotImplementedError("astrokite.dask.read_tle is being written")


def rejected(*args, **kwargs):
    raise NotImplementedError("astrokite.dask.rejected is being written")


def to_catalogue(*args, **kwargs):
    raise NotImplementedError("astrokite.dask.to_catalogue is being written")


