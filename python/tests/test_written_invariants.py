"""What every writer puts in a file holds as a validator checks it: returns, bounds, counts, dates."""

import datetime
import struct
import subprocess

import numpy as np
import pytest

import orvterdep
from conftest import ORVTER, decode_bytes, gen_cloud


def header_numbers(path):
    raw = path.read_bytes()[:375]
    day, year = struct.unpack_from("<HH", raw, 90)
    by_return = struct.unpack_from("<5I", raw, 111)
    if raw[25] == 4 and raw[104] & 0x3F >= 6:  # the legacy counts stay 0; the 1.4 ones count
        by_return = struct.unpack_from("<5Q", raw, 255)
    maxx, minx, maxy, miny, maxz, minz = struct.unpack_from("<6d", raw, 179)
    return dict(day=day, year=year, by_return=by_return,
                min=(minx, miny, minz), max=(maxx, maxy, maxz))


def today():
    now = datetime.datetime.now(datetime.timezone.utc)
    return now.timetuple().tm_yday, now.year


def orvter(*args):
    subprocess.run([str(ORVTER), *map(str, args)], check=True, capture_output=True)


# Each way the tool writes a file, from the generated tile; whether it is a new file (today's
# date) or a copy (its source's date), and whether its records carry the number of returns.
WRITERS = {
    "gen": (lambda src, out: orvter("las", "gen", "--quiet", "--points", 30_000, "--seed", 5, out), True, True),
    "copy": (lambda src, out: orvter("las", "copy", "--quiet", src, out), False, True),
    "copy to format 6": (lambda src, out: orvter("las", "copy", "--quiet", "--format", 6, src, out), False, True),
    "copy --pool": (lambda src, out: orvter("las", "copy", "--quiet", "--pool", src, out), True, False),
    "stream": (lambda src, out: orvter("las", "stream", "--quiet", "--step", 3, src, out), True, False),
}


@pytest.mark.parametrize("name", WRITERS)
def test_written_files_hold_what_a_validator_checks(tmp_path, name):
    write, new, full_returns = WRITERS[name]
    source = gen_cloud(tmp_path / "source.las", 30_000, seed=5)
    raw = bytearray(source.read_bytes())
    struct.pack_into("<HH", raw, 90, 100, 2001)  # a date that is not today's
    source.write_bytes(bytes(raw))
    out = tmp_path / "out.las"
    write(source, out)
    _, f = decode_bytes(out)
    h = header_numbers(out)
    # Bounds are those of the stored integers, exactly as a reader computes them.
    assert h["min"] == tuple(float(f[a].min()) for a in "xyz"), name
    assert h["max"] == tuple(float(f[a].max()) for a in "xyz"), name
    counts = np.bincount(f["return_number"], minlength=8)
    assert h["by_return"] == tuple(int(c) for c in counts[1:6]), name
    if full_returns:  # the pool and stream paths carry return numbers only, or none
        assert (f["return_number"] >= 1).all(), name
        assert (f["return_number"] <= f["number_of_returns"]).all(), name
        assert (f["number_of_returns"] >= 1).all(), name
    expected = today() if new else (100, 2001)
    assert (h["day"], h["year"]) == expected, name


def test_gen_makes_plausible_pulses_and_scan_angles(tmp_path):
    _, f = decode_bytes(gen_cloud(tmp_path / "c.las", 50_000, seed=9))
    n = f["number_of_returns"]
    assert set(np.unique(n)) > {1, 2, 3}
    assert f["scan_angle_rank"].min() >= -20 and f["scan_angle_rank"].max() <= 20
    assert len(np.unique(f["scan_angle_rank"])) == 41
    assert set(np.unique(f["classification"])) <= {1, 2, 3, 4, 5, 6, 7, 9, 12}
