"""What a laspy user expects: extra dimensions as fields, a version, errors as one line."""

import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import orvterdep
from conftest import decode_bytes, descriptor, vlr


def las_with_two_extra_vlrs(path, deviation, amplitude):
    """A LAS 1.2 format 0 file whose extra bytes are described by two separate VLRs."""
    n = len(deviation)
    vlrs = vlr(descriptor("deviation", 4, scale=0.01, offset=-5.0)) + vlr(descriptor("amplitude", 9))
    length, first = 20 + 2 + 4, 227 + len(vlrs)
    head = bytearray(227)
    head[0:4] = b"LASF"
    head[24:26] = bytes([1, 2])
    struct.pack_into("<HIIBHI", head, 94, 227, first, 2, 0, length, n)
    struct.pack_into("<3d3d", head, 131, 0.01, 0.01, 0.01, 0, 0, 0)
    rec = np.zeros(n, [("xyz", "<i4", 3), ("rest", "u1", 8), ("dev", "<i2"), ("amp", "<f4")])
    rec["xyz"] = np.arange(3 * n).reshape(n, 3)
    rec["dev"] = deviation
    rec["amp"] = amplitude
    path.write_bytes(bytes(head) + vlrs + rec.tobytes())


def test_every_described_extra_dimension_is_a_field_scaled_and_offset(tmp_path):
    path = tmp_path / "extra.las"
    dev, amp = np.array([0, 250, -100], "<i2"), np.array([1.5, 2.5, -3.0], "<f4")
    las_with_two_extra_vlrs(path, dev, amp)
    header, points = orvterdep.read(path)
    assert [f["name"] for f in header.extra_fields] == ["deviation", "amplitude"]
    assert np.allclose(points["deviation"], dev * 0.01 - 5.0)
    assert points["amplitude"].dtype == np.float32 and np.array_equal(points["amplitude"], amp)
    [chunk] = list(orvterdep.chunks(path, 10))
    assert np.array_equal(chunk["deviation"], points["deviation"])
    # The raw bytes stay, so the points write back as they were.
    orvterdep.write(tmp_path / "back.las", points, header)
    assert np.array_equal(orvterdep.read(tmp_path / "back.las")[1]["deviation"], points["deviation"])
    # A changed extra dimension is what the file then holds; one beyond its type is refused.
    points["deviation"][1], points["amplitude"][2] = 7.77, 9.0
    orvterdep.write(tmp_path / "edited.las", points, header)
    back = orvterdep.read(tmp_path / "edited.las")[1]
    assert np.allclose(back["deviation"], [-5.0, 7.77, -6.0]) and back["amplitude"][2] == 9.0
    # Without the raw bytes, the records make room for the dimensions given.
    named = points[[n for n in points.dtype.names if n != "extra_bytes"]]
    orvterdep.write(tmp_path / "named.las", named, header)
    assert np.array_equal(orvterdep.read(tmp_path / "named.las")[1]["deviation"], back["deviation"])
    points["deviation"][0] = 1000.0  # 100,500 hundredths: no int16
    with pytest.raises(ValueError, match="point 0"):
        orvterdep.write(tmp_path / "refused.las", points, header)


def test_an_extra_dimension_with_fewer_values_than_described_is_refused(tmp_path):
    header = {"vlrs": [{"user_id": "LASF_Spec", "record_id": 4, "payload": descriptor("v", 30)}]}
    points = np.zeros(2, orvterdep.point_dtype(0, extra_bytes=24).descr + [("v", "<f8")])
    with pytest.raises(ValueError, match="v: 3 values a point"):
        orvterdep.write(tmp_path / "v.las", points, header)


def test_laspy_names_index_our_fields_and_are_written_as_them(tmp_path):
    ours = np.zeros(2, orvterdep.point_dtype(4))
    ours["scan_direction_flag"], ours["x_t"] = [1, 0], [0.5, -1.5]
    assert list(ours["scan_direction"]) == [1, 0] and list(ours["wave_dx"]) == [0.5, -1.5]
    assert ours[0]["scan_direction_flag"] == 1
    # An array in laspy's names alone: the format follows from them, the flags from one field.
    laspy = np.zeros(3, [("x", "f8"), ("y", "f8"), ("z", "f8"), ("scan_direction_flag", "u1"),
                         ("classification_flags", "u1"), ("wavepacket_size", "<u4")])
    laspy["scan_direction_flag"], laspy["classification_flags"] = [1, 0, 1], [1, 6, 7]
    laspy["wavepacket_size"] = [10, 20, 30]
    orvterdep.write(tmp_path / "laspy.las", laspy)
    head, fields = decode_bytes(tmp_path / "laspy.las")
    assert head["point_format"] == 4
    assert list(fields["scan_direction"]) == [1, 0, 1] and list(fields["waveform_size"]) == [10, 20, 30]
    assert [list(fields[f]) for f in ("synthetic", "key_point", "withheld")] == \
        [[1, 0, 1], [0, 1, 1], [0, 1, 1]]


@pytest.mark.parametrize("given, value, fmt, stored, expected", [
    ("scan_angle_rank", 10, 6, "scan_angle", 1667),  # degrees to 0.006 degree units
    ("scan_angle", -1667, 1, "scan_angle_rank", -10),
])
def test_a_scan_angle_of_the_other_formats_keeps_its_unit(tmp_path, given, value, fmt, stored,
                                                          expected):
    points = np.zeros(1, [("x", "f8"), ("y", "f8"), ("z", "f8"), (given, "i2")])
    points[given] = value
    orvterdep.write(tmp_path / "a.las", points, {"point_format": fmt})
    assert decode_bytes(tmp_path / "a.las")[1][stored][0] == expected


@pytest.mark.parametrize("fmt, legacy, extended", [(1, 5, None), (6, 0, 5)])
def test_header_count_fields_have_names_of_their_own(tmp_path, fmt, legacy, extended):
    orvterdep.write(tmp_path / "c.las", np.zeros(5, orvterdep.point_dtype(fmt)))
    header = orvterdep.header(tmp_path / "c.las")
    assert (header.point_count, header.legacy_point_count, header.extended_point_count) == \
        (5, legacy, extended)


def test_the_package_has_a_version_and_no_numpy_alias():
    assert orvterdep.__version__.count(".") == 2
    assert not hasattr(orvterdep, "np")


def tiles_command(*args, **kw):
    return subprocess.run([sys.executable, "-m", "orvterdep.tiles", *map(str, args)],
                          capture_output=True, text=True, timeout=120, **kw)


def test_tiles_command_errors_are_one_line_each_and_exit_1(tmp_path, cloud):
    run = tiles_command("summary", cloud, tmp_path / "a.las", tmp_path / "b.las")
    assert run.returncode == 1
    assert run.stderr.splitlines() == [f"python3 -m orvterdep.tiles: cannot read '{tmp_path / n}': "
                                       "no such readable file" for n in ("a.las", "b.las")]
    run = tiles_command("--scheduler", "tcp://127.0.0.1:9", "--timeout", "2", "summary", cloud)
    assert run.returncode == 1 and len(run.stderr.splitlines()) == 1, run.stderr
    assert "no scheduler answered at tcp://127.0.0.1:9 within 2 s" in run.stderr


def test_a_script_from_standard_input_is_refused_at_once(cloud):
    script = f"from orvterdep import tiles\ntiles.summary([{str(cloud)!r}], workers=1)\n"
    run = subprocess.run([sys.executable, "-"], input=script, capture_output=True, text=True,
                         timeout=60, env=dict(os.environ))
    assert run.returncode != 0
    assert "save it to a file and run that file" in run.stderr
