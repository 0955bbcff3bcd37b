import subprocess
import sys

import numpy as np
import pytest

import orvterdep
from orvterdep import tiles

from conftest import gen_cloud


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


def test_summary_on_a_cluster_equals_a_serial_loop(tile_paths, client):
    serial = tiles.merge([tiles.stats(p) for p in tile_paths])
    assert tiles.summary(tile_paths, client=client) == serial
    points = np.concatenate([orvterdep.read(p)[1] for p in tile_paths])
    assert serial["points"] == len(points) and serial["tiles"] == 8
    # At the scale's precision (gen writes thousandths), without the noise of the scaling.
    assert serial["min"] == pytest.approx([points[c].min() for c in "xyz"], abs=5e-4)
    assert all(len(repr(v).partition(".")[2]) <= 3 for v in serial["min"] + serial["max"])
    assert serial["classes"] == {int(c): int(n) for c, n in zip(*np.unique(points["classification"],
                                                                            return_counts=True))}
    assert tiles.map(len, [], client=client) == []


def test_convert_writes_one_filtered_output_per_tile(tile_paths, client, tmp_path):
    done = tiles.convert(tile_paths, tmp_path / "out", keep_classes=[2, 6], client=client)
    assert [d["out"] for d in done] == [str(tmp_path / "out" / p.name) for p in tile_paths]
    for p, d in zip(tile_paths, done):
        header, points = orvterdep.read(p)
        out_header, kept = orvterdep.read(d["out"])
        expected = points[np.isin(points["classification"], [2, 6])]
        assert kept.tobytes() == expected.tobytes() and d["written"] == len(expected)
        assert out_header.point_format == header.point_format and out_header.vlrs == header.vlrs
    with pytest.raises(ValueError, match="share a name"):
        tiles.convert([tile_paths[0], tile_paths[0]], tmp_path / "twice", client=client)


def test_map_without_a_client_starts_its_own_cluster(tile_paths):
    assert tiles.map(tiles.stats, tile_paths[:2], workers=2) == [tiles.stats(p) for p in tile_paths[:2]]


def test_command_line_converts_on_a_running_scheduler(tile_paths, client, tmp_path):
    run = subprocess.run([sys.executable, "-m", "orvterdep.tiles", "--scheduler",
                          client.scheduler.address, "convert", "--drop-class", "2",
                          "--out", str(tmp_path), *map(str, tile_paths[:3])],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(f"3 tiles written to {tmp_path}")
    assert all(2 not in orvterdep.read(tmp_path / p.name)[1]["classification"] for p in tile_paths[:3])
