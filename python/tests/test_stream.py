import numpy as np
import pytest

import orvterdep


@pytest.mark.parametrize("origin", [None, "first", (500_000.0, 4_000_000.0, 100.0)])
def test_stream_blocks_are_relative_to_the_origin(cloud, origin):
    stream = orvterdep.InStream(str(cloud), origin)
    o = stream.origin
    assert (o is None) == (origin is None)
    if isinstance(origin, tuple):
        assert o == origin
    assert stream.count == 25_000
    blocks = []
    while (block := stream.read(10_000)) is not None:
        blocks.append(block)
    assert [len(b) for b in blocks] == [10_000, 10_000, 5_000]
    assert blocks[0].dtype == orvterdep.lean_point_dtype and blocks[0]["x"].dtype == np.float32
    if origin == "first":
        assert blocks[0][0]["x"] == 0 and blocks[0][0]["y"] == 0 and blocks[0][0]["z"] == 0


def test_stream_blocks_outlive_the_stream_and_thin(cloud):
    whole = np.concatenate(list(orvterdep.blocks(str(cloud), 7_000)))
    thinned = np.concatenate(list(orvterdep.blocks(str(cloud), 7_000, step=10)))
    assert len(whole) == 25_000
    # Every 10th point of each block of 7,000.
    starts = np.arange(0, 25_000, 7_000)
    picked = np.concatenate([np.arange(s, min(s + 7_000, 25_000), 10) for s in starts])
    assert np.array_equal(thinned, whole[picked])


def test_stream_refuses_a_bad_file(tmp_path):
    bad = tmp_path / "bad.las"
    bad.write_bytes(b"LASF" + bytes(50))
    with pytest.raises(orvterdep.FormatError):
        orvterdep.InStream(str(bad))
    with pytest.raises(FileNotFoundError):
        orvterdep.InStream(str(tmp_path / "absent.las"))
    with pytest.raises(ValueError):
        orvterdep.InStream(str(bad), "last")
