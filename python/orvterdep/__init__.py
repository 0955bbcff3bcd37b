"""LAS point clouds and XML packets, over the OrvTerDep library."""

import numpy as _np

from ._core import __version__, Chunks, FormatError, InStream, Packet, Writer, lean_point_dtype, point_dtype

__all__ = ["FormatError", "Header", "InStream", "Packet", "Writer", "blocks", "chunks",
           "extra_fields", "lean_point_dtype", "point_dtype", "read", "write"]


class Header(dict):
    """A LAS header: a dict whose keys also read as attributes (``header.scale``).

    Keys: version, point_format, record_length, compressed, point_count (the records the file
    really holds), stated_point_count, points_by_return, scale, offset, min, max, file_source_id,
    global_encoding, guid, system_identifier, generating_software, creation_day, creation_year,
    vlrs and evlrs (dicts with user_id, record_id, description, reserved, payload bytes),
    header_extra, after_vlrs, crs (WKT text or None), epsg (or None), extra_fields (the
    extra-bytes descriptions: name, description, data_type, options, offset, size, scale,
    offset_value), warnings.
    """

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None


# The numeric types of the extra-bytes descriptions, by data type 1 to 10; 11 to 30 are pairs
# and triples of them.
_EXTRA_TYPES = ["u1", "i1", "<u2", "<i2", "<u4", "<i4", "<u8", "<i8", "<f4", "<f8"]


def extra_fields(points, header):
    """The extra bytes of `points` as named arrays, as the header's extra-bytes descriptions say.

    Numeric fields come scaled and offset (float64) when their description asks for it; pairs and
    triples have a second axis; untyped fields stay bytes, one row a point.
    """
    raw = points["extra_bytes"] if len(header.get("extra_fields", ())) else None
    out = {}
    for f in header.get("extra_fields", ()):
        cut = raw[:, f["offset"]:f["offset"] + f["size"]]
        t = f["data_type"]
        if not 1 <= t <= 30:
            out[f["name"]] = cut
            continue
        count = (t - 1) // 10 + 1
        values = _np.ascontiguousarray(cut).view(_EXTRA_TYPES[(t - 1) % 10]).reshape(len(cut), count)
        if f["options"] & 0x18:
            scale = _np.asarray(f["scale"][:count]) if f["options"] & 0x08 else 1.0
            offset = _np.asarray(f["offset_value"][:count]) if f["options"] & 0x10 else 0.0
            values = values * scale + offset
        out[f["name"]] = values[:, 0] if count == 1 else values
    return out


def _with_extra_dimensions(points, header):
    """`points` with a field for each described extra dimension, as laspy users expect them
    (``points["deviation"]``): typed, scaled and offset as `extra_fields` gives them. The raw
    `extra_bytes` stay, so the points write back as they were; a name that a standard field
    already has, or none, is left to `extra_fields`."""
    if not header.get("extra_fields") or "extra_bytes" not in (points.dtype.names or ()):
        return points
    named = {n: v for n, v in extra_fields(points, header).items()
             if n and n not in points.dtype.names}
    if not named:
        return points
    dtype = [(n, points.dtype.fields[n][0]) for n in points.dtype.names]
    dtype += [(n, v.dtype, v.shape[1:]) for n, v in named.items()]
    out = _np.empty(len(points), dtype)
    for n in points.dtype.names:
        out[n] = points[n]
    for n, v in named.items():
        out[n] = v
    return out


def read(path, stored=False):
    """Returns ``(header, points)``: the whole file, every field of its point format.

    x, y, z are float64 in map units; ``stored=True`` adds the stored integers X, Y, Z. Each
    extra dimension the file describes is a field of its own, scaled and offset.
    """
    c = Chunks(path, 1, stored)
    h = Header(c.header)
    return h, _with_extra_dimensions(c.all(), h)


def chunks(path, size=1_000_000, stored=False):
    """Yields the points of `path` in arrays of at most `size` points (memory bounded by it)."""
    c = Chunks(path, size, stored)
    h = Header(c.header)
    for part in c:
        yield _with_extra_dimensions(part, h)


def header(path):
    """The header of `path`, without reading its points."""
    return Header(Chunks(path, 1).header)


def write(path, points, header=None):
    """Writes `points` (a structured array as `read` gives) to a new LAS file at `path`.

    `header` (a Header or dict; all keys optional) gives the version, point format, scale,
    offset, identity and VLRs; counts and bounds come from the points. Without a point format,
    the points' fields choose one. x, y, z are quantised by rounding; without them the stored
    X, Y, Z are written as they are. The target is replaced only once the file is complete.
    """
    points = _np.asarray(points)
    with Writer(path, header, points.dtype) as w:
        w.write(points)


def blocks(path, size=1_000_000, origin="first", step=1):
    """Yields the points of `path` in blocks of `size` records, relative to `origin`.

    The lean float32 points of the input stream: coordinates relative to the origin keep
    millimetres at map coordinates; add ``origin`` back for absolute ones.
    """
    stream = InStream(path, origin)
    try:
        while (block := stream.read(size, step)) is not None:
            yield block
    finally:
        stream.close()
