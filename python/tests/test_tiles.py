import pytest

import orvterdep
from orvterdep import tiles

from conftest import gen_cloud


def count_points(path):
    return sum(len(b) for b in orvterdep.blocks(path, 10_000))


@pytest.fixture(scope="module")
def tile_paths(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tiles")
    return [gen_cloud(folder / f"tile{i}.las", 2_000 + 500 * i, seed=i) for i in range(8)]


@pytest.fixture(scope="module")
def client():
    from dask.distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as c:
        yield c


def test_map_runs_each_tile_on_the_cluster_in_order(tile_paths, client):
    assert tiles.map(count_points, tile_paths, client=client) == [count_points(p) for p in tile_paths]
    assert tiles.map(count_points, [], client=client) == []


def test_map_without_a_client_starts_its_own_cluster(tile_paths):
    assert tiles.map(count_points, tile_paths[:2], workers=2) == [count_points(p) for p in tile_paths[:2]]
