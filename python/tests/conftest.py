"""Shared scaffolding: where the build, the tool and the shared samples are; generated clouds."""

import os
import pathlib
import subprocess

import pytest

BUILD = pathlib.Path(os.environ.get("ORV_BUILD_DIR", pathlib.Path(__file__).parents[2] / "build/release"))
SOURCE = pathlib.Path(os.environ.get("ORV_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
TESTDATA = pathlib.Path(os.environ.get("ORV_TESTDATA_DIR", SOURCE.parent / "shared/testdata"))
ORVTER = BUILD / "tools" / "orvter"


def gen_cloud(path, points, seed=1):
    """A deterministic synthetic tile written by the tool."""
    subprocess.run([str(ORVTER), "las", "gen", "--quiet", "--points", str(points), "--seed", str(seed),
                    str(path)], check=True)
    return path


@pytest.fixture(scope="session")
def cloud(tmp_path_factory):
    return gen_cloud(tmp_path_factory.mktemp("cloud") / "cloud.las", 25_000)


def shared_las():
    folder = TESTDATA / "las"
    return sorted(folder.glob("*.las")) if folder.is_dir() else []
