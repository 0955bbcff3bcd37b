"""The top view as an array: its pixels are where the points are, and the PNG is the same picture."""

import numpy as np
import pytest

import orvterdep

from conftest import TESTDATA


@pytest.mark.parametrize("name", ["las/autzen-thin.las", "laz/1.2-with-color.copc.laz"])
def test_render_colours_exactly_the_pixels_points_fall_in(name, tmp_path):
    path = TESTDATA / name
    if not path.exists():
        pytest.skip("no shared test data")
    png = tmp_path / "top.png"
    image = orvterdep.render(path, size=150, by="class", decorations=False, png=png)
    assert image.dtype == np.uint8 and image.ndim == 3 and image.shape[2] == 3
    assert max(image.shape[:2]) == 150
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    header, points = orvterdep.read(path)
    h, w = image.shape[:2]
    cell = max((header.max[0] - header.min[0]) / w, (header.max[1] - header.min[1]) / h)
    if name.endswith(".copc.laz"):
        # Of a COPC file, only the levels whose point spacing the pixel size needs.
        _, points = orvterdep.copc.read(path, resolution=cell)
    col = np.minimum(((points["x"] - header.min[0]) / cell).astype(int), w - 1)
    row = np.minimum(((header.max[1] - points["y"]) / cell).astype(int), h - 1)
    occupied = np.zeros((h, w), bool)
    occupied[row, col] = True
    assert np.array_equal((image != 255).any(axis=2), occupied)


def test_render_refuses_what_it_cannot_draw(tmp_path):
    with pytest.raises(ValueError):
        orvterdep.render(TESTDATA / "las/README.md")
    with pytest.raises(ValueError):
        orvterdep.render(TESTDATA / "las/autzen-thin.las", by="height")
