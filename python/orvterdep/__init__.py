"""LAS point clouds and XML packets, over the OrvTerDep library."""

from ._core import FormatError, InStream, Packet, lean_point_dtype

__all__ = ["FormatError", "InStream", "Packet", "lean_point_dtype", "blocks"]


def blocks(path, size=1_000_000, origin="first", step=1):
    """Yields the points of `path` in blocks of `size` records, relative to `origin`.

    The coordinates are float32 relative to the origin, so map coordinates keep millimetres;
    add ``stream.origin`` back for absolute ones.
    """
    stream = InStream(path, origin)
    try:
        while (block := stream.read(size, step)) is not None:
            yield block
    finally:
        stream.close()
