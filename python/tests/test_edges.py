"""Input at the edges: sizes, paths, point fields and header values that the bindings refuse
with the exception Python would raise, and writes that never replace a file being read."""

import errno
import os

import numpy as np
import pytest

import orvterdep


def test_sizes_below_one_are_refused_before_reading(cloud):
    for call in (lambda s: orvterdep.blocks(cloud, s), lambda s: orvterdep.chunks(cloud, s),
                 lambda s: orvterdep.blocks(cloud, 10, step=s)):
        for size in (0, -1, -(2 ** 40)):
            with pytest.raises(ValueError, match="at least 1"):
                call(size)
        with pytest.raises(TypeError):
            call(1.5)


def test_paths_with_a_nul_byte_are_refused(tmp_path, cloud):
    victim = tmp_path / "victim.las"
    victim.write_bytes(b"before")
    bad = str(victim) + "\x00.bak"
    points = orvterdep.read(cloud)[1][:3]
    calls = [lambda: orvterdep.write(bad, points), lambda: orvterdep.Writer(bad),
             lambda: orvterdep.read(bad), lambda: orvterdep.header(bad),
             lambda: orvterdep.chunks(bad), lambda: orvterdep.blocks(bad),
             lambda: orvterdep.InStream(bad), lambda: orvterdep.Packet(bad),
             lambda: orvterdep.Packet.from_string("<r><a>1</a></r>").save(bad),
             lambda: orvterdep.read(os.fsencode(bad))]
    for call in calls:
        with pytest.raises(ValueError, match="null byte"):
            call()
    assert victim.read_bytes() == b"before"
    assert sorted(os.listdir(tmp_path)) == ["victim.las"]


def test_points_without_coordinates_are_refused(tmp_path):
    target = tmp_path / "t.las"
    cases = {("a",): "x, y, z", ("x", "y"): "z", ("x", "X", "Y"): "y, z"}
    for names, missing in cases.items():
        points = np.zeros(3, dtype=[(n, "f8" if n.islower() else "i4") for n in names])
        with pytest.raises(ValueError, match=f"no {missing} field"):
            orvterdep.write(target, points)
    assert not target.exists()
    stored = np.zeros(2, dtype=[("X", "i4"), ("Y", "i4"), ("Z", "i4")])
    orvterdep.write(target, stored)  # the stored integers alone are coordinates enough
    assert orvterdep.header(target).point_count == 2


@pytest.mark.parametrize("header, error, key", [
    ({"point_format": "6"}, TypeError, "point_format"),
    ({"point_format": 300}, ValueError, "point_format"),
    ({"version": "1.4"}, TypeError, "version"),
    ({"scale": (0.01, "x", 0.01)}, TypeError, r"scale\[1\]"),
    ({"scale": 0.01}, TypeError, "scale"),
    ({"creation_year": 70000}, ValueError, "creation_year"),
    ({"system_identifier": 5}, TypeError, "system_identifier"),
    ({"guid": 7}, TypeError, "guid"),
    ({"vlrs": [{"user_id": "u", "record_id": "1", "payload": b""}]}, TypeError,
     r"vlrs\[0\].record_id"),
    ({"vlrs": [5]}, TypeError, r"vlrs\[0\]"),
    ({"system_identifier": "s" * 33}, ValueError, "system_identifier: 33 bytes"),
    ({"generating_software": b"g" * 40}, ValueError, "generating_software"),
    ({"vlrs": [{"user_id": "u" * 17, "record_id": 1, "payload": b""}]}, ValueError,
     r"vlrs\[0\].user_id"),
    ({"vlrs": [{"user_id": "u", "record_id": 1, "description": "d" * 33, "payload": b""}]},
     ValueError, r"vlrs\[0\].description"),
    ({"crs": "EPSG:4326\x00junk"}, ValueError, "crs: a NUL"),
])
def test_wrong_header_values_name_their_key(tmp_path, header, error, key):
    points = np.zeros(2, orvterdep.point_dtype(0))
    with pytest.raises(error, match=key):
        orvterdep.write(tmp_path / "t.las", points, header)
    assert os.listdir(tmp_path) == []


def test_os_errors_carry_errno_and_reason(tmp_path):
    absent = tmp_path / "absent.las"
    for call in (orvterdep.read, orvterdep.header, orvterdep.InStream, orvterdep.Packet,
                 lambda p: next(orvterdep.blocks(p))):
        with pytest.raises(FileNotFoundError) as caught:
            call(absent)
        assert caught.value.errno == errno.ENOENT and caught.value.strerror
    with pytest.raises(IsADirectoryError):
        orvterdep.read(tmp_path)
    with pytest.raises(FileNotFoundError) as caught:
        orvterdep.write(tmp_path / "no" / "dir.las", np.zeros(1, orvterdep.point_dtype(0)))
    assert caught.value.errno == errno.ENOENT


def test_a_file_being_read_is_not_replaced(tmp_path, cloud):
    source = tmp_path / "source.las"
    source.write_bytes(cloud.read_bytes())
    os.link(source, tmp_path / "alias.las")
    before = source.read_bytes()
    points = orvterdep.read(source)[1]
    for open_reader in (lambda: orvterdep.chunks(source, 1000), lambda: orvterdep.InStream(source),
                        lambda: orvterdep.blocks(tmp_path / "alias.las", 1000)):
        reader = open_reader()
        for target in (source, tmp_path / "alias.las"):
            with pytest.raises(ValueError, match="being read"):
                orvterdep.write(target, points)
            with pytest.raises(ValueError, match="being read"):
                orvterdep.Writer(target)
        del reader
    assert source.read_bytes() == before
    orvterdep.write(source, points)  # no reader left


def test_arguments_that_cannot_be_are_refused_by_name(cloud):
    calls = [(lambda: orvterdep.CRS("EPSG:4326\x00+5703"), "definition"),
             (lambda: orvterdep.InStream(str(cloud), (0.0, float("nan"), 0.0)), "origin"),
             (lambda: orvterdep.render(cloud, shape=(0, 0)), "shape"),
             (lambda: orvterdep.render(cloud, shape=(10, -1)), "shape")]
    for call, name in calls:
        with pytest.raises(ValueError, match=name):
            call()
    stream = orvterdep.InStream(str(cloud))
    stream.close()
    with pytest.raises(ValueError, match="closed"):
        stream.read(10)
