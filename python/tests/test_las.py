import os
import tracemalloc

import numpy as np
import pytest
from numpy.lib.recfunctions import repack_fields

import orvterdep
from conftest import TESTDATA, decode_bytes, gen_cloud, shared_las


def assert_same_fields(points, fields, what, extra=()):
    """`extra`: the names of the described extra dimensions, fields of their own beside these."""
    assert set(points.dtype.names) - {"X", "Y", "Z"} - set(extra) == set(fields) - {"X", "Y", "Z"}, what
    for name, values in fields.items():
        if name in points.dtype.names:
            # NaN GPS times must come through as they are, so compare bytes, not values.
            assert points[name].tobytes() == np.ascontiguousarray(values, points[name].dtype).tobytes(), \
                f"{what}: {name}"


@pytest.mark.parametrize("path", shared_las(), ids=lambda p: p.name)
def test_shared_samples_read_as_their_bytes_say(path):
    head, fields = decode_bytes(path)
    header, points = orvterdep.read(path, stored=True)
    assert {k: header[k] for k in head} == head
    assert len(points) == header.point_count == len(fields["x"])
    assert_same_fields(points, fields, path.name, [f["name"] for f in header.extra_fields])
    chunked = list(orvterdep.chunks(path, 1000))
    assert all(len(c) <= 1000 for c in chunked)
    assert (np.concatenate(chunked) if chunked else points[:0]).tobytes() == \
        orvterdep.read(path)[1].tobytes()


LAZ_TWINS = {"simple.laz": "las/simple.las", "epsg_4326.laz": "las/epsg_4326.las",
             "color-fmt2.laz": "laz/color-fmt2.las", "test1_4.laz": "las/test1_4.las"}


@pytest.mark.parametrize("name", sorted(LAZ_TWINS))
def test_compressed_samples_read_as_their_uncompressed_twins(name):
    if not (TESTDATA / "laz" / name).is_file():
        pytest.skip("no shared LAZ samples beside the clone")
    header, points = orvterdep.read(TESTDATA / "laz" / name)
    twin_header, twin = orvterdep.read(TESTDATA / LAZ_TWINS[name])
    assert header["compressed"] and not twin_header["compressed"]
    assert header.point_count == twin_header.point_count
    assert points.tobytes() == twin.tobytes()


def test_shared_samples_give_their_reference_system():
    found = {p.name: orvterdep.header(p) for p in shared_las()}
    if not found:
        pytest.skip("no shared samples")
    assert found["epsg_4326.las"].epsg == 4326
    assert found["test1_4.las"].crs.startswith("PROJCS[")
    assert found["simple.las"].crs is None and found["simple.las"].epsg is None
    assert all(isinstance(v["payload"], bytes) for h in found.values() for v in h.vlrs)


def random_points(fmt, n, extra, rng):
    dtype = orvterdep.point_dtype(fmt, extra_bytes=extra)
    p = np.zeros(n, dtype)
    for name in dtype.names:
        kind = dtype[name]
        if name in ("x", "y", "z"):
            p[name] = rng.uniform(-1000, 1000, n) + (500_000 if name == "x" else 0)
        elif kind.kind == "f":
            p[name] = rng.uniform(-1e6, 1e6, n).astype(kind)
        elif name == "extra_bytes":
            p[name] = rng.integers(0, 256, (n, extra))
        else:
            top = {"return_number": 7 if fmt < 6 else 15, "number_of_returns": 7 if fmt < 6 else 15,
                   "classification": 31 if fmt < 6 else 255, "scanner_channel": 3}.get(name)
            info = np.iinfo(kind)
            hi = 1 if name in ("synthetic", "key_point", "withheld", "overlap", "scan_direction",
                               "edge_of_flight_line") else top or info.max
            p[name] = rng.integers(info.min if top is None and hi != 1 else 0, hi, n, dtype=kind,
                                   endpoint=True)
    return p


@pytest.mark.parametrize("fmt", range(11))
def test_write_read_round_trip_keeps_every_field(tmp_path, fmt):
    rng = np.random.default_rng(fmt)
    points = random_points(fmt, 5_000, 3, rng)
    header = dict(point_format=fmt, version=(1, 4) if fmt > 5 else (1, 3) if fmt > 3 else (1, 2), scale=(0.001, 0.001, 0.01),
                  offset=(500_000.0, 0.0, -5.0), system_identifier="tile 17", file_source_id=42,
                  vlrs=[dict(user_id="orv", record_id=7, description="note", payload=b"\x00\x01hello")])
    out = tmp_path / f"f{fmt}.las"
    orvterdep.write(out, points, header=header)
    back_header, back = orvterdep.read(out, stored=True)
    for key in ("point_format", "version", "scale", "offset", "system_identifier", "file_source_id"):
        assert back_header[key] == header[key], key
    assert [(v["user_id"], v["record_id"], v["payload"]) for v in back_header.vlrs] == \
        [("orv", 7, b"\x00\x01hello")]
    assert back_header.point_count == len(points)
    for i, c in enumerate("xyz"):
        stored = np.round((points[c] - header["offset"][i]) / header["scale"][i])
        assert np.array_equal(back[c.upper()], stored)
        assert np.allclose(back[c], points[c], atol=header["scale"][i] / 2 + 1e-9)
    others = [n for n in points.dtype.names if n not in "xyz"]
    assert repack_fields(back[others]).tobytes() == repack_fields(points[others]).tobytes()
    assert back_header.min[2] == pytest.approx(back["z"].min())
    # The stored integers alone write the same file.
    again = tmp_path / "again.las"
    orvterdep.write(again, back[[n for n in back.dtype.names if n not in "xyz"]], header=back_header)
    assert orvterdep.read(again)[1].tobytes() == orvterdep.read(out)[1].tobytes()


def test_chunks_keep_memory_bounded(tmp_path):
    path = gen_cloud(tmp_path / "big.las", 300_000)
    whole = orvterdep.read(path)[1]
    tracemalloc.start()
    try:
        total, last = 0, None
        for chunk in orvterdep.chunks(path, 10_000):
            total += len(chunk)
            last = chunk
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert total == len(whole) and last.tobytes() == whole[-len(last):].tobytes()
    assert peak < 3 * 10_000 * whole.dtype.itemsize < whole.nbytes / 5


def patched(src, dst, at, value):
    data = bytearray(src.read_bytes())
    data[at:at + len(value)] = value
    dst.write_bytes(bytes(data))
    return dst


def test_bad_files_raise_and_never_crash(tmp_path, cloud):
    good = cloud.read_bytes()
    cases = {
        "short.las": good[:100],
        "notlas.las": b"LASX" + good[4:],
        "compressed.las": patched(cloud, tmp_path / "c", 104, bytes([good[104] | 0x80])).read_bytes(),
        "format12.las": patched(cloud, tmp_path / "f", 104, b"\x0c").read_bytes(),
        "shortrecords.las": patched(cloud, tmp_path / "r", 105, b"\x0a\x00").read_bytes(),
    }
    for name, data in cases.items():
        (tmp_path / name).write_bytes(data)
        with pytest.raises(orvterdep.FormatError):
            orvterdep.read(tmp_path / name)
    with pytest.raises(OSError):
        orvterdep.read(tmp_path / "absent.las")
    # Files cut anywhere read what they hold, or raise.
    for cut in range(0, 2000, 37):
        (tmp_path / "cut.las").write_bytes(good[:cut])
        try:
            header, points = orvterdep.read(tmp_path / "cut.las")
            assert len(points) == header.point_count
        except orvterdep.FormatError:
            pass


@pytest.mark.parametrize("name, at, count", [
    ("simple.laz", 107, (0xFFFFFFFF).to_bytes(4, "little")),  # the legacy count
    ("test1_4.laz", 247, (1 << 63).to_bytes(8, "little")),    # the 64-bit count
])
def test_counts_beyond_the_compressed_data_raise_format_error(tmp_path, name, at, count):
    source = TESTDATA / "laz" / name
    if not source.is_file():
        pytest.skip("no shared LAZ samples")
    bad = patched(source, tmp_path / name, at, count)
    for reader in (orvterdep.read, lambda p: list(orvterdep.chunks(p, 1000))):
        with pytest.raises(orvterdep.FormatError):
            reader(bad)


def test_reference_system_text_of_any_bytes_reads(tmp_path):
    wkt = b'GEOGCS["caf\xe9",DATUM["WGS_1984"]]'
    points = np.zeros(2, orvterdep.point_dtype(0))
    header = {"vlrs": [{"user_id": "LASF_Projection", "record_id": 2112, "payload": wkt + b"\0"}]}
    orvterdep.write(tmp_path / "w.las", points, header)
    assert orvterdep.header(tmp_path / "w.las").crs == 'GEOGCS["caf\ufffd",DATUM["WGS_1984"]]'


def test_refused_write_leaves_the_target_as_it_was(tmp_path):
    target = tmp_path / "t.las"
    target.write_bytes(b"before")
    points = np.zeros(3, orvterdep.point_dtype(1))
    points["x"] = [0.0, 1e12, 2.0]  # does not fit an int32 at scale 0.01
    with pytest.raises(ValueError, match="point 1"):
        orvterdep.write(target, points)
    with pytest.raises(orvterdep.FormatError):
        orvterdep.write(target, points, header={"point_format": 12})
    with pytest.raises(orvterdep.FormatError):
        orvterdep.write(target, points, header={"point_format": 6, "version": (1, 2)})
    assert target.read_bytes() == b"before"
    assert sorted(os.listdir(tmp_path)) == ["t.las"]


def test_extra_bytes_read_as_their_descriptions_say():
    path = next((p for p in shared_las() if p.name == "extrabytes.las"), None)
    if path is None:
        pytest.skip("no shared samples")
    header, points = orvterdep.read(path)
    extra = orvterdep.extra_fields(points, header)
    assert list(extra) == ["Colors", "Reserved", "Flags", "Intensity", "Time"]
    # The sample repeats standard fields in its extra bytes, as pairs, triples and wider types.
    assert np.array_equal(extra["Colors"], np.stack([points[c] for c in ("red", "green", "blue")], 1))
    assert np.array_equal(extra["Flags"], np.stack([points["return_number"], points["number_of_returns"]], 1))
    assert np.array_equal(extra["Intensity"], points["intensity"])
    assert np.array_equal(extra["Time"], np.floor(points["gps_time"]))
    assert extra["Reserved"].shape == (len(points), 7)
