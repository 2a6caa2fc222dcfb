"""Being written."""

def screen(*args, **kwargs):
    raise NotImplementedError("astrokite.dask.screen is being written")


