"""Many tiles at once on a dask.distributed cluster: one task a tile, each opening its own file."""

import os
from contextlib import contextmanager


@contextmanager
def _client(client, workers):
    if client is not None:
        yield client
        return
    # Imported here: reading one file must not need dask.
    from dask.distributed import Client, LocalCluster

    n = workers or os.cpu_count() or 1
    # Processes, one thread each: the work is CPU-bound and holds the interpreter's lock.
    with LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as local:
        yield local


def map(func, paths, client=None, workers=None, **kwargs):
    """Applies ``func(path, **kwargs)`` to each tile and returns the results in the paths' order.

    With no `client`, a LocalCluster of `workers` processes (default: one a core) is started
    for the call and shut down after it; with one, the same call runs on that cluster.
    """
    paths = [os.fspath(p) for p in paths]
    if not paths:
        return []
    with _client(client, workers) as c:
        # pure=False: a tile read twice may have changed in between.
        futures = c.map(func, paths, pure=False, **kwargs)
        return c.gather(futures)
