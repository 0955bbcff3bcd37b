"""CRS values of headers, and points moved between CRSs, checked against PROJ's cs2cs."""

import json
import subprocess

import numpy as np
import pytest

import orvterdep
from orvterdep import tiles
from conftest import TESTDATA, shared_las

CROP = TESTDATA / "las" / "4_6_crop.las"


def cs2cs(source, target, x, y, z):
    """What PROJ's own cs2cs makes of the points (both CRSs easting first here)."""
    text = "\n".join(f"{a!r} {b!r} {c!r}" for a, b, c in zip(x, y, z))
    out = subprocess.run(["cs2cs", "-f", "%.12f", source, target], input=text, text=True,
                         capture_output=True, check=True).stdout
    return np.array([[float(v) for v in line.split()[:3]] for line in out.splitlines()])


@pytest.mark.skipif(not CROP.exists(), reason="shared LAS samples not found")
def test_header_crs_is_a_value_pyproj_and_proj_read():
    head = orvterdep.header(CROP)
    crs = head.crs
    assert crs.epsg == 2903 and head.epsg == 2903
    assert crs.name == "NAD83(HARN) / New Mexico Central (ftUS)"
    assert crs.to_wkt().startswith("PROJCRS[") and crs.to_wkt("WKT1_GDAL").startswith("PROJCS[")
    assert json.loads(crs.to_json())["type"] == "ProjectedCRS"
    assert orvterdep.CRS(crs.to_wkt()).equivalent_to("EPSG:2903")
    assert orvterdep.header(TESTDATA / "las" / "simple.las").crs is None
    pyproj = pytest.importorskip("pyproj")
    assert pyproj.CRS(crs.to_wkt()).to_epsg() == 2903


@pytest.mark.skipif(not CROP.exists(), reason="shared LAS samples not found")
def test_read_and_convert_to_crs_match_cs2cs(tmp_path):
    _, before = orvterdep.read(CROP)
    head, moved = orvterdep.read(CROP, to_crs="EPSG:32613")
    expected = cs2cs("EPSG:2903", "EPSG:32613", before["x"], before["y"], before["z"])
    got = np.column_stack([moved["x"], moved["y"], moved["z"]])
    assert np.abs(got - expected).max() < 1e-3
    assert head.crs.epsg == 32613 and head.scale[0] == 0.001  # 0.01 US foot is 3 mm
    assert head.min[0] == moved["x"].min()

    # Written and read back, and through the tile converter: the same points to the scale.
    orvterdep.write(tmp_path / "w.las", moved, head)
    tiles.convert_tile(CROP, tmp_path / "t.las", to_crs="EPSG:32613")
    for name in ("w.las", "t.las"):
        back_head, back = orvterdep.read(tmp_path / name)
        assert back_head.crs.equivalent_to("EPSG:32613"), name
        assert np.abs(back["x"] - expected[:, 0]).max() <= 0.0005 + 1e-9, name


def test_refusals(tmp_path, cloud):
    with pytest.raises(ValueError, match="no CRS"):
        orvterdep.read(cloud, to_crs="EPSG:4326")
    with pytest.raises(ValueError):
        orvterdep.CRS("nonsense")
    head, points = orvterdep.read(cloud)
    # A CRS without an EPSG code has no GeoTIFF form: a 1.2 header refuses it, 1.4 takes WKT.
    own = "+proj=tmerc +lon_0=7.5 +ellps=GRS80 +type=crs"
    with pytest.raises(ValueError, match="no EPSG code"):
        orvterdep.write(tmp_path / "a.las", points, dict(head, crs=own))
    orvterdep.write(tmp_path / "b.las", points, dict(head, crs=own, version=(1, 4)))
    written = orvterdep.header(tmp_path / "b.las")
    assert written.crs.equivalent_to(own) and written.global_encoding & 16


@pytest.mark.parametrize("path", shared_las(), ids=lambda p: p.name)
def test_writing_a_read_header_keeps_its_crs_records(tmp_path, path):
    try:
        head, points = orvterdep.read(path)
    except (ValueError, OSError):
        pytest.skip("records the reader refuses")
    orvterdep.write(tmp_path / "o.las", points, head)
    again = orvterdep.header(tmp_path / "o.las")
    assert [v["payload"] for v in again.vlrs] == [v["payload"] for v in head.vlrs]
    assert again.global_encoding == head.global_encoding


@pytest.mark.skipif(not CROP.exists(), reason="shared LAS samples not found")
def test_writing_format_6_turns_geotiff_keys_into_wkt(tmp_path):
    head, points = orvterdep.read(TESTDATA / "las" / "epsg_4326.las")
    head = dict(head, version=(1, 4), point_format=6)
    del head["record_length"]
    orvterdep.write(tmp_path / "o.las", points, head)
    again = orvterdep.header(tmp_path / "o.las")
    assert [v["record_id"] for v in again.vlrs if v["user_id"] == "LASF_Projection"] == [2112]
    assert again.global_encoding & 16 and again.crs.equivalent_to("EPSG:4326")
