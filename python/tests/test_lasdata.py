"""laspy's recipes, through the tuple API and the LasData object alike, checked against files
decoded here from their bytes and, compressed, by laz-perf."""

import os
import shutil
import subprocess

import numpy as np
import pytest

import orvterdep
from conftest import SOURCE, TESTDATA, decode_bytes, descriptor

LAZ_PERF = TESTDATA / "laz" / "decode_laz.js"
NODE_MODULES = SOURCE / "tests" / "js" / "node_modules"


def laz_perf_records(path, out):
    """The raw records laz-perf decodes from a LAZ file."""
    if not shutil.which("node") or not LAZ_PERF.exists() or not NODE_MODULES.is_dir():
        pytest.skip("node, laz-perf or the shared decode_laz.js is absent")
    subprocess.run(["node", str(LAZ_PERF), str(path), "--records", str(out)], check=True,
                   capture_output=True, env=dict(os.environ, NODE_PATH=str(NODE_MODULES)))
    return out.read_bytes()


def records(path):
    raw = path.read_bytes()
    first, length = int.from_bytes(raw[96:100], "little"), int.from_bytes(raw[105:107], "little")
    return raw[first:first + len(decode_bytes(path)[1]["X"]) * length]


# Each recipe twice: today's functions, and laspy's shape. Each writes `out` from `src`.
def read_mask_write_tuple(src, out):
    head, points = orvterdep.read(src)
    orvterdep.write(out, points[points["classification"] == 2], head)


def read_mask_write_object(src, out):
    las = orvterdep.read_las(src)
    las[las.classification == 2].write(out)


def extra_dim_tuple(src, out):
    head, points = orvterdep.read(src)
    head["vlrs"] = head["vlrs"] + [{"user_id": "LASF_Spec", "record_id": 4,
                                    "payload": descriptor("hag", 9) + descriptor("dev", 6, 0.01)}]
    dtype = points.dtype.descr + [("hag", "<f4"), ("dev", "<f8")]
    wider = np.zeros(len(points), [d for d in dtype if d[0] != "extra_bytes"])
    for name in points.dtype.names:
        wider[name] = points[name]
    wider["hag"], wider["dev"] = points["z"] - 400, points["intensity"] / 100
    orvterdep.write(out, wider, head)


def extra_dim_object(src, out):
    las = orvterdep.read_las(src)
    las.add_extra_dim("hag", "f4", description="height above ground")
    las.add_extra_dim(orvterdep.ExtraBytesParams("dev", "i4", scales=[0.01]))
    las.hag, las.dev = las.z - 400, las.intensity / 100
    las.write(out)


def append_tuple(src, out):
    head, points = orvterdep.read(src)
    half = len(points) // 3
    orvterdep.write(out, points[:half], head)
    with orvterdep.Writer(out, append=True) as w:
        w.write(points[half:])


def append_object(src, out):
    las = orvterdep.read_las(src)
    half = len(las) // 3
    las[:half].write(out)
    with orvterdep.open(out, mode="a") as appender:
        appender.append_points(las[half:].points)


def chunked_tuple(src, out):
    head = orvterdep.header(src)
    with orvterdep.Writer(out, head) as w:
        for part in orvterdep.chunks(src, 7_000):
            w.write(part)


def chunked_object(src, out):
    with orvterdep.open(src) as reader, orvterdep.open(out, "w", header=reader.header) as w:
        for part in reader.chunk_iterator(7_000):
            w.write_points(part)


def expected_same(src):
    return decode_bytes(src)[1]


def expected_ground(src):
    f = decode_bytes(src)[1]
    keep = f["classification"] == 2
    return {k: v[keep] for k, v in f.items()}


RECIPES = [
    ("mask", read_mask_write_tuple, read_mask_write_object, expected_ground),
    ("extra dimension", extra_dim_tuple, extra_dim_object, expected_same),
    ("append", append_tuple, append_object, expected_same),
    ("chunked write", chunked_tuple, chunked_object, expected_same),
]


@pytest.mark.parametrize("suffix", [".las", ".laz"])
@pytest.mark.parametrize("api", ["tuple", "object"])
@pytest.mark.parametrize("name, by_tuple, by_object, expected", RECIPES,
                         ids=[r[0] for r in RECIPES])
def test_laspy_recipes_write_what_either_api_means(tmp_path, cloud, name, by_tuple, by_object,
                                                   expected, api, suffix):
    out = tmp_path / f"out{suffix}"
    (by_tuple if api == "tuple" else by_object)(cloud, out)
    # A LAZ file is checked as laz-perf decodes it, against a LAS file of the same recipe.
    las = out
    if suffix == ".laz":
        las = tmp_path / "same.las"
        (by_tuple if api == "tuple" else by_object)(cloud, las)
        assert laz_perf_records(out, tmp_path / "records") == records(las)
    got, want = decode_bytes(las)[1], expected(cloud)
    for field in set(want) - {"extra_bytes"}:
        assert np.array_equal(got[field], want[field]), field
    head = orvterdep.header(out)
    assert head.point_count == len(want["X"])
    assert head.min == pytest.approx(tuple(want[a].min() for a in "xyz"))
    assert head.points_by_return[:5] == tuple(int((want["return_number"] == r).sum())
                                              for r in range(1, 6))
    if name == "extra dimension":
        back = orvterdep.read(out)[1]
        assert np.allclose(back["hag"], (want["z"] - 400).astype("f4"))
        assert np.allclose(back["dev"], np.round(want["intensity"]) / 100)


def test_the_object_reads_as_laspy_names_it(cloud):
    las = orvterdep.read_las(cloud)
    head, points = orvterdep.read(cloud, stored=True)
    assert las.header.point_format.id == head.point_format
    assert str(las.header.version) == "%d.%d" % head.version and las.header.version == head.version
    assert np.array_equal(las.X, points["X"]) and np.array_equal(las.x, points["x"])
    assert list(las.header.scales) == list(head.scale) and las.header.point_count == len(las)
    assert "classification" in las.point_format.dimension_names
    las.X = las.X + 100  # the stored integers and the coordinates move together
    assert np.allclose(las.x, points["x"] + 100 * head.scale[0])
    with pytest.raises(AttributeError, match="add_extra_dim"):
        las.hag = np.zeros(len(las))


@pytest.mark.parametrize("fmt, fields, drop, refused", [
    (1, ["red", "green", "blue"], False, "cannot hold red, green, blue"),
    (1, ["red", "green", "blue"], ["red", "green"], "cannot hold blue:"),
    (1, ["red", "green", "blue"], True, None),
    (6, ["hag"], False, "cannot hold hag"),
    (0, ["scan_angle", "classification_flags"], False, None),  # held in another unit or form
])
def test_fields_a_format_cannot_hold_are_refused_unless_dropped(tmp_path, fmt, fields, drop,
                                                                  refused):
    points = np.zeros(3, [("x", "f8"), ("y", "f8"), ("z", "f8")] + [(f, "<u2") for f in fields])
    write = lambda: orvterdep.write(tmp_path / "a.las", points, {"point_format": fmt}, drop=drop)
    if refused:
        with pytest.raises(ValueError, match=refused):
            write()
        assert not (tmp_path / "a.las").exists()
    else:
        write()
        assert decode_bytes(tmp_path / "a.las")[0]["point_format"] == fmt


def test_a_copc_file_is_written_from_the_object(tmp_path, cloud):
    las = orvterdep.read_las(cloud)
    las.write(tmp_path / "c.copc.laz")
    head, points = orvterdep.copc.read(tmp_path / "c.copc.laz")
    assert len(points) == len(las) and np.array_equal(np.sort(points["z"]), np.sort(las.z))
    assert [p.name for p in tmp_path.iterdir()] == ["c.copc.laz"]  # no scratch file stays


def test_an_appended_file_keeps_its_records_and_drops_only_when_told(tmp_path, cloud):
    target = tmp_path / "a.las"
    shutil.copy(cloud, target)
    las = orvterdep.read_las(cloud)
    las.add_extra_dim("hag", "f4")
    with pytest.raises(ValueError, match="hold 0 extra bytes"):
        with orvterdep.open(target, mode="a") as appender:
            appender.append_points(las)
    assert target.read_bytes() == cloud.read_bytes()
    with orvterdep.open(target, mode="a", drop=True) as appender:
        appender.append_points(las)
    assert orvterdep.header(target).point_count == 2 * len(las)
