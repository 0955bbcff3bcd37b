"""orvter las copy filters, to-text and usage errors, checked against the files' own bytes."""

import subprocess

import numpy as np
import pytest

from conftest import ORVTER, decode_bytes, gen_cloud


def orvter(*args):
    return subprocess.run([str(ORVTER), *map(str, args)], capture_output=True, text=True)


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    return gen_cloud(tmp_path_factory.mktemp("options") / "cloud.las", 20_000, seed=3)


# Each filter, and which of the source's points it must keep.
FILTERS = [
    (["--keep-z", 120, 125], lambda f: (f["z"] >= 120) & (f["z"] <= 125)),
    (["--keep-intensity", 1000, 5000], lambda f: (f["intensity"] >= 1000) & (f["intensity"] <= 5000)),
    (["--drop-noise"], lambda f: ~np.isin(f["classification"], [7, 18])),
    (["--drop-withheld"], lambda f: f["withheld"] == 0),
    (["--keep-first"], lambda f: f["return_number"] == 1),
    (["--keep-last"], lambda f: f["return_number"] == f["number_of_returns"]),
    (["--keep-single"], lambda f: f["number_of_returns"] == 1),
    (["--keep-scan-angle", -5, 5], lambda f: np.abs(f["scan_angle_rank"]) <= 5),
    (["--keep-first", "--drop-noise", "--keep-class", "2,7"],
     lambda f: (f["return_number"] == 1) & (f["classification"] == 2)),
]


@pytest.mark.parametrize("args,expected", FILTERS, ids=[" ".join(map(str, a)) for a, _ in FILTERS])
def test_filters_keep_exactly_the_points_they_name(source, tmp_path, args, expected):
    out = tmp_path / "out.las"
    run = orvter("las", "copy", "--quiet", *args, source, out)
    assert run.returncode == 0, run.stderr
    _, before = decode_bytes(source)
    _, after = decode_bytes(out)
    keep = expected(before)
    assert np.array_equal(after["X"], before["X"][keep])
    assert np.array_equal(after["classification"], before["classification"][keep])


USAGE_ERRORS = [
    (["--keep-class", "300"], "not a class number"),
    (["--drop-class", "2,-1"], "not a class number"),
    (["--step", "0"], "must be at least 1"),
    (["--format", "11"], "not in range"),
    (["--set-version", "1.3"], "1.3"),
    (["--set-version", "1.2", "--format", "6"], "needs LAS 1.4"),
    (["--scale", "0.01,0.01"], "one or three"),
    (["--pool", "--keep-first"], "no other copy options"),
    (["--keep-z", "1"], "--keep-z"),
]


@pytest.mark.parametrize("args,message", USAGE_ERRORS, ids=[" ".join(a) for a, _ in USAGE_ERRORS])
def test_usage_errors_exit_2_with_the_usage_line_and_write_nothing(source, tmp_path, args, message):
    out = tmp_path / "out.las"
    run = orvter("las", "copy", *args, source, out)
    assert run.returncode == 2 and message in run.stderr and "Usage: orvter las copy" in run.stderr, \
        run.stderr
    assert not out.exists()


def test_to_text_writes_the_fields_asked_for_in_order(source, tmp_path):
    _, f = decode_bytes(source)
    run = orvter("las", "to-text", "--header", "--fields", "x,y,z,intensity,classification,return_number",
                 source, "-")
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "x,y,z,intensity,classification,return_number"
    assert len(lines) == 1 + len(f["x"])
    table = np.loadtxt(lines[1:], delimiter=",")
    for column, name in enumerate(["x", "y", "z", "intensity", "classification", "return_number"]):
        assert np.allclose(table[:, column], f[name], rtol=0, atol=5e-4), name
    out = tmp_path / "points.csv"
    assert orvter("las", "to-text", source, out).returncode == 0
    assert out.read_text().splitlines()[0].count(",") == 2  # x,y,z by default
    bad = orvter("las", "to-text", "--fields", "x,deviation", source, "-")
    assert bad.returncode == 2 and "unknown field 'deviation'" in bad.stderr


def test_the_pool_path_says_how_far_a_coordinate_may_move_and_keeps_to_it(source, tmp_path):
    out = tmp_path / "pool.las"
    run = orvter("las", "copy", "--quiet", "--pool", source, out)
    assert run.returncode == 0
    [line] = run.stderr.splitlines()
    claimed = float(line.rsplit(" ", 1)[1])
    assert "carry coordinates as floats" in line and 0.001 < claimed < 1
    _, before = decode_bytes(source)
    _, after = decode_bytes(out)
    moved = max(np.abs(after[a] - before[a]).max() for a in "xyz")
    assert moved <= claimed
