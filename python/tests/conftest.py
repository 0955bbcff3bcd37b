"""Shared scaffolding: where the build, the tool and the shared samples are; generated clouds."""

import os
import pathlib
import re
import struct
import subprocess

import pytest

BUILD = pathlib.Path(os.environ.get("ORV_BUILD_DIR", pathlib.Path(__file__).parents[2] / "build/release"))
SOURCE = pathlib.Path(os.environ.get("ORV_SOURCE_DIR", pathlib.Path(__file__).parents[2]))


def _testdata():
    """$ORV_TESTDATA_DIR, else the configured folder (more samples) when it is there, else the clone's."""
    if os.environ.get("ORV_TESTDATA_DIR"):
        return pathlib.Path(os.environ["ORV_TESTDATA_DIR"])
    configured = pathlib.Path(os.environ.get("ORV_TESTDATA_DEFAULT") or SOURCE / "tests/data")
    return configured if configured.is_dir() else SOURCE / "tests/data"


TESTDATA = _testdata()
ORVTER = BUILD / "tools" / "orvter"


# The README's shell blocks: "runnable" ones run in an empty folder, the venv one in a copy of the
# clone (slow_pip_install.py), the "path" one sets PATH for the others.
VENV_BLOCK = "runnable in a fresh venv"


def runnable_blocks(readme, kind="runnable"):
    return re.findall(rf"<!-- {kind} -->\n```sh\n(.*?)```\n", readme, re.S)


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


# Where the optional fields of each point format lie: gps time, rgb, nir, wave packet (-1: none).
LAYOUTS = {0: (20, -1, -1, -1, -1), 1: (28, 20, -1, -1, -1), 2: (26, -1, 20, -1, -1),
           3: (34, 20, 28, -1, -1), 4: (57, 20, -1, -1, 28), 5: (63, 20, 28, -1, 34),
           6: (30, 22, -1, -1, -1), 7: (36, 22, 30, -1, -1), 8: (38, 22, 30, 36, -1),
           9: (59, 22, -1, -1, 30), 10: (67, 22, 30, 36, 38)}


def decode_bytes(path):
    """The header numbers and the point fields of a LAS file, decoded here from its bytes alone."""
    import numpy as np
    raw = pathlib.Path(path).read_bytes()
    u = lambda fmt, at: np.frombuffer(raw, fmt, 1, at)[0].item()
    first, fmt, length = u("<u4", 96), u("u1", 104) & 0x3F, u("<u2", 105)
    count, header_size = u("<u4", 107), u("<u2", 94)
    end = len(raw)
    if header_size >= 375:
        count = count or u("<u8", 247)
        evlrs = u("<u8", 235)
        end = evlrs if first < evlrs < end else end
    scale = [u("<f8", 131 + 8 * i) for i in range(3)]
    offset = [u("<f8", 155 + 8 * i) for i in range(3)]
    n = min(count, max(0, (end - first) // length))
    rec = np.frombuffer(raw, np.uint8, n * length, first).reshape(n, length)
    at = lambda dt, o: rec[:, o:o + np.dtype(dt).itemsize].copy().view(dt)[:, 0]
    f = {}
    for i, c in enumerate("XYZ"):
        f[c] = at("<i4", 4 * i)
        f["xyz"[i]] = f[c] * scale[i] + offset[i]
    f["intensity"] = at("<u2", 12)
    b14, b15 = rec[:, 14], rec[:, 15]
    if fmt >= 6:
        f.update(return_number=b14 & 15, number_of_returns=b14 >> 4, synthetic=b15 & 1,
                 key_point=(b15 >> 1) & 1, withheld=(b15 >> 2) & 1, overlap=(b15 >> 3) & 1,
                 scanner_channel=(b15 >> 4) & 3, classification=rec[:, 16], user_data=rec[:, 17],
                 scan_angle=at("<i2", 18), point_source_id=at("<u2", 20))
    else:
        f.update(return_number=b14 & 7, number_of_returns=(b14 >> 3) & 7, classification=b15 & 31,
                 synthetic=(b15 >> 5) & 1, key_point=(b15 >> 6) & 1, withheld=b15 >> 7,
                 scan_angle_rank=at("i1", 16), user_data=rec[:, 17], point_source_id=at("<u2", 18))
    f.update(scan_direction=(b14 if fmt < 6 else b15) >> 6 & 1,
             edge_of_flight_line=(b14 if fmt < 6 else b15) >> 7)
    standard, gps, rgb, nir, wave = LAYOUTS[fmt]
    if gps >= 0:
        f["gps_time"] = at("<f8", gps)
    if rgb >= 0:
        f.update(red=at("<u2", rgb), green=at("<u2", rgb + 2), blue=at("<u2", rgb + 4))
    if nir >= 0:
        f["nir"] = at("<u2", nir)
    if wave >= 0:
        f.update(wave_packet_index=rec[:, wave], waveform_offset=at("<u8", wave + 1),
                 waveform_size=at("<u4", wave + 9), return_point_location=at("<f4", wave + 13),
                 wave_dx=at("<f4", wave + 17), wave_dy=at("<f4", wave + 21),
                 wave_dz=at("<f4", wave + 25))
    if length > standard:
        f["extra_bytes"] = rec[:, standard:]
    head = dict(version=(u("u1", 24), u("u1", 25)), point_format=fmt, record_length=length,
                scale=tuple(scale), offset=tuple(offset))
    return head, f


def descriptor(name, data_type, scale=None, offset=None):
    """One extra-bytes description, packed by hand."""
    options = (0x08 if scale is not None else 0) | (0x10 if offset is not None else 0)
    d = bytearray(192)
    d[2], d[3] = data_type, options
    d[4:4 + len(name)] = name.encode()
    if scale is not None:
        d[112:136] = struct.pack("<3d", scale, 0, 0)
    if offset is not None:
        d[136:160] = struct.pack("<3d", offset, 0, 0)
    return bytes(d)


def vlr(payload):
    return struct.pack("<H16sHH32s", 0, b"LASF_Spec", 4, len(payload), b"") + payload
