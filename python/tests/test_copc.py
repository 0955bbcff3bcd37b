"""orvterdep.copc.read: areas and levels of a cloud-optimised file, as orvterdep.read gives."""

import subprocess

import numpy as np
import pytest

import orvterdep
from conftest import ORVTER, TESTDATA, gen_cloud


@pytest.fixture(scope="module")
def copc_file(tmp_path_factory):
    folder = tmp_path_factory.mktemp("copc")
    las = gen_cloud(folder / "in.las", 80_000, seed=4)
    out = folder / "out.copc.laz"
    subprocess.run([str(ORVTER), "las", "copc", "--quiet", str(las), str(out)], check=True)
    return out


def key(points):
    return np.sort(points, order=["x", "y", "z", "gps_time"])


@pytest.mark.parametrize("bounds", [
    (512100.0, 4180100.0, 512300.0, 4180250.0),
    (512000.0, 4180000.0, 100.0, 512500.0, 4180500.0, 120.0),
])
def test_bounds_equal_a_filter_of_the_whole_file(copc_file, bounds):
    _, everything = orvterdep.read(copc_file)
    header, points = orvterdep.copc.read(copc_file, bounds=bounds)
    axes = len(bounds) // 2
    inside = np.ones(len(everything), bool)
    for axis, name in enumerate("xyz"[:axes]):
        inside &= (everything[name] >= bounds[axis]) & (everything[name] <= bounds[axes + axis])
    assert header.point_format == 6
    assert points.dtype == everything.dtype
    assert len(points) > 0
    assert np.array_equal(key(points), key(everything[inside]))


def test_resolution_gives_more_points_at_finer_levels(copc_file):
    header, coarse = orvterdep.copc.read(copc_file, max_level=0)
    _, fine = orvterdep.copc.read(copc_file, resolution=0.001)
    assert 0 < len(coarse) < len(fine) == 80_000


def test_reads_a_sample_written_by_another_program():
    path = TESTDATA / "laz" / "1.2-with-color.copc.laz"
    header, points = orvterdep.copc.read(str(path))
    assert len(points) == 1065 == header.point_count
