"""LAS point clouds and XML packets, over the OrvTerDep library."""

import operator
import os
import warnings

import numpy as _np

from ._core import (__version__, Chunks, Crs, FormatError, InStream, Packet, Pipeline, Transform,
                    Writer, extra_fields, keeping_heights, lean_point_dtype, point_dtype,
                    reprojected_quantisation)
from ._core import render as _render
from ._core import classify_ground, find_outliers, height_above_ground, inside_polygons

__all__ = ["CRS", "ExtraBytesParams", "FormatError", "Header", "InStream", "LasData", "LasHeader",
           "Packet", "Pipeline", "Writer", "blocks", "chunks", "classify_ground", "copc", "create",
           "dims", "extra_fields", "find_outliers", "height_above_ground", "inside_polygons",
           "lean_point_dtype", "open", "point_dtype", "read", "read_las", "render", "write"]


class CRS(str):
    """A coordinate reference system. As a str it is its WKT (a file's own text when read from
    one), so ``pyproj.CRS(crs)`` and ``pyproj.CRS(crs.to_wkt())`` both work.

    Made from EPSG:n, WKT1, WKT2, PROJJSON, a PROJ string, or a Crs.
    """

    def __new__(cls, definition):
        if isinstance(definition, CRS):
            return definition
        core = definition if isinstance(definition, Crs) else Crs(str(definition))
        text = str(definition) if str(definition).lstrip().startswith(
            ("PROJCS", "GEOGCS", "COMPD_CS", "GEOCCS")) else core.to_wkt("WKT1_GDAL")
        self = super().__new__(cls, text or core.to_wkt())
        self._core = core
        return self

    name = property(lambda self: self._core.name)
    epsg = property(lambda self: self._core.epsg, doc="The EPSG code, or None")
    is_geographic = property(lambda self: self._core.is_geographic)
    horizontal = property(lambda self: CRS(self._core.horizontal))
    vertical = property(lambda self: None if self._core.vertical is None
                        else CRS(self._core.vertical))

    def to_wkt(self, version="WKT2_2019"):
        """WKT2 (2019), or ``version="WKT1_GDAL"`` as LAS files carry it."""
        return self._core.to_wkt(version)

    def to_json(self):
        """PROJJSON."""
        return self._core.to_json()

    def equivalent_to(self, other):
        """Both describe the same system, whatever their names or forms."""
        return self._core.equivalent_to(CRS(other)._core)


class Header(dict):
    """A LAS header: a dict whose keys also read as attributes (``header.scale``).

    Keys: version, point_format, record_length, compressed, point_count (the records the file
    really holds), stated_point_count (what the header says), legacy_point_count (its 32-bit
    field), extended_point_count (its 64-bit field, None before 1.4), points_by_return, scale, offset, min, max, file_source_id,
    global_encoding, guid, system_identifier, generating_software, creation_day, creation_year,
    vlrs and evlrs (dicts with user_id, record_id, description, reserved, payload bytes),
    header_extra, after_vlrs, crs (a CRS, or None), epsg (or None), extra_fields (the
    extra-bytes descriptions: name, description, data_type, options, offset, size, scale,
    offset_value), warnings.
    """

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        if self.get("crs") is not None:
            try:
                self["crs"] = CRS(self["crs"])
            except ValueError:
                pass  # a WKT record PROJ cannot read stays its text: nothing is lost

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None


def read(path, stored=False, to_crs=None, proj_network=False):
    """Returns ``(header, points)``: the whole file, every field of its point format.

    x, y, z are float64 in map units; ``stored=True`` adds the stored integers X, Y, Z.
    ``to_crs`` moves x, y, z into that CRS (easting or longitude first); the header then has
    that CRS, the points' bounds, and a scale and offset that keep the file's precision. A
    target without heights of its own keeps the file's vertical CRS (Z stays, with a warning).
    ``proj_network=True`` lets PROJ fetch the grids it lacks (never otherwise). Each
    extra dimension the file describes is a field of its own, scaled and offset.
    """
    c = Chunks(path, 1, stored)
    points = c.all()  # first: what reading finds joins the header's warnings
    head = Header(c.header)
    if to_crs is None:
        return head, points
    if stored:
        raise ValueError("to_crs moves x, y, z: the stored integers would no longer match them")
    move, target = _reprojection(head, to_crs, path, network=proj_network)
    move.transform(points["x"], points["y"], points["z"])
    if len(points):
        lo = tuple(float(points[a].min()) for a in "xyz")
        hi = tuple(float(points[a].max()) for a in "xyz")
        head.update(_reprojected(head, target, lo, hi), min=lo, max=hi)
    else:
        head.update(crs=target, epsg=target.epsg)
    return head, points


def _reprojection(head, to_crs, name="the input", threads=None, network=False):
    """The Transform from a header's CRS to `to_crs` (with the header's heights where it has
    none), and that CRS."""
    if head.get("crs") is None:
        raise ValueError(f"{name} has no CRS to reproject from")
    asked = CRS(to_crs)
    target = CRS(keeping_heights(head["crs"]._core, asked._core))
    if not target._core.equivalent_to(asked._core):
        warnings.warn(f"{asked.name} names no heights: z keeps those of {name}, "
                      f"in {target.name}", stacklevel=3)
    return Transform(head["crs"]._core, target._core, threads or os.cpu_count() or 1,
                     network), target


def _reprojected(head, target, lo, hi):
    """The header keys of points moved into `target` within lo..hi."""
    scale, offset = reprojected_quantisation(head["scale"], head["crs"]._core, target._core,
                                             lo, hi)
    return {"crs": target, "epsg": target.epsg, "scale": scale, "offset": offset}


def _positive(name, value):
    """Refuses a count below 1, before any reading starts: a loop over 0 points never ends."""
    if operator.index(value) < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")


def chunks(path, size=1_000_000, stored=False):
    """Yields the points of `path` in arrays of at most `size` points (memory bounded by it)."""
    _positive("size", size)
    return iter(Chunks(path, size, stored))


def header(path):
    """The header of `path`, without reading its points."""
    return Header(Chunks(path, 1).header)


def write(path, points, header=None, drop=False):
    """Writes `points` (a structured array as `read` gives) to a new LAS file at `path`.

    `header` (a Header or dict; all keys optional) gives the version, point format, scale,
    offset, identity and VLRs; counts and bounds come from the points. Without a point format,
    the points' fields choose one. x, y, z are quantised by rounding; without them the stored
    X, Y, Z are written as they are. Fields the point format cannot hold (colours in format 1)
    are refused with a ValueError naming them, unless `drop` is True or lists them. The target
    is replaced only once the file is complete.
    """
    points = _np.asarray(points)
    with Writer(path, header, points.dtype, drop=drop) as w:
        w.write(points)


def blocks(path, size=1_000_000, origin="first", step=1):
    """Yields the points of `path` in blocks of `size` records, relative to `origin`.

    The lean float32 points of the input stream: coordinates relative to the origin keep
    millimetres at map coordinates; add ``origin`` back for absolute ones.
    """
    _positive("size", size)
    _positive("step", step)
    return _blocks(InStream(path, origin), size, step)


def _blocks(stream, size, step):
    try:
        while (block := stream.read(size, step)) is not None:
            yield block
    finally:
        stream.close()


def render(path, size=1024, shape=None, by="elevation", bbox=None, hillshade=False,
           decorations=True, png=None):
    """A top view of a LAS, LAZ or COPC file as an (H, W, 3) uint8 array, north up.

    Per pixel the highest point, coloured `by` "elevation", "class", "intensity", "rgb" or
    "density". `size` pixels go to the longer side, or `shape=(W, H)` sets both; `bbox` is
    (min x, min y, max x, max y), the header's bounds by default. `decorations` draws the scale
    bar and legend; `png` also writes the picture to that path.
    """
    return _render(path, size, shape, by, bbox, hillshade, decorations, png)

# Cloud-optimised files by area and level of detail: orvterdep.copc.read.
from . import copc  # noqa: E402
# laspy's shape: read_las, LasData, open(path, mode="r" / "w" / "a").
from .lasdata import (ExtraBytesParams, LasData, LasHeader, create, open,  # noqa: E402
                      read_las)
