"""Being written."""

def propagate(*args, **kwargs):
    raise NotImplementedError("astrokite.dask.propagate is being written")


Propagation = None
