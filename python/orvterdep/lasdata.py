"""LAS data as laspy users handle it: ``read_las`` gives an object with a header, the points and
each dimension as an attribute; ``open`` reads, writes or appends in chunks."""

import os
import tempfile

import numpy as _np

from . import Header, dims
from ._core import Chunks, Writer, extra_field_descriptor, point_dtype, write_copc

__all__ = ["ExtraBytesParams", "LasAppender", "LasData", "LasHeader", "LasReader", "LasWriter",
           "PointFormat", "Version", "create", "open", "read_las"]


class Version(tuple):
    """A LAS version: ``(1, 4)``, ``.major``, ``.minor``, and "1.4" as text."""

    def __new__(cls, value):
        if isinstance(value, str):
            value = tuple(int(part) for part in value.split("."))
        return super().__new__(cls, value)

    major = property(lambda self: self[0])
    minor = property(lambda self: self[1])

    def __str__(self):
        return f"{self[0]}.{self[1]}"

    def __eq__(self, other):
        return tuple(self) == tuple(Version(other)) if isinstance(other, (str, tuple)) else False

    __hash__ = tuple.__hash__


class PointFormat(int):
    """A point format: the number, and the dimensions its records hold."""

    def __new__(cls, number, extra=()):
        self = super().__new__(cls, number)
        self._extra = tuple(extra)
        return self

    id = property(int)
    standard_dimension_names = property(lambda self: dims.standard_names(int(self)))
    extra_dimension_names = property(lambda self: list(self._extra))
    dimension_names = property(lambda self: self.standard_dimension_names + list(self._extra))


class ExtraBytesParams:
    """What ``add_extra_dim`` takes in laspy's shape: a name, a numpy type ("f8", "3i4"), a
    description and, for scaled values, scales and offsets."""

    def __init__(self, name, type, description="", offsets=None, scales=None):
        self.name, self.type, self.description = name, type, description
        self.offsets, self.scales = offsets, scales


def _triple(value):
    return tuple(float(v) for v in value)


class LasHeader(Header):
    """A header as laspy names it (``point_format.id``, ``version``, ``scales``, ``offsets``,
    ``mins``, ``maxs``, ``point_count``, ``vlrs``, ``evlrs``, ``parse_crs()``) over the same
    dict that ``orvterdep.header`` gives, so either API takes it."""

    def __init__(self, *args, point_format=None, version=None, **kwargs):
        super().__init__(*args, **kwargs)
        if point_format is not None:
            self["point_format"] = int(point_format)
        if version is not None:
            self["version"] = Version(version)
        self.setdefault("vlrs", [])
        self.setdefault("evlrs", [])
        self.setdefault("extra_fields", [])

    def copy(self):
        return LasHeader({k: list(v) if isinstance(v, list) else v for k, v in self.items()})

    @property
    def point_format(self):
        return PointFormat(self.get("point_format", 0),
                           [f["name"] for f in self["extra_fields"]])

    @property
    def version(self):
        return Version(self.get("version", (1, 2)))

    @version.setter
    def version(self, value):
        self["version"] = Version(value)

    def _axes(key, default):
        return property(lambda self: _np.array(self.get(key, default), float),
                        lambda self, value: self.__setitem__(key, _triple(value)))

    scales = _axes("scale", (0.01, 0.01, 0.01))
    offsets = _axes("offset", (0.0, 0.0, 0.0))
    mins = _axes("min", (0.0, 0.0, 0.0))
    maxs = _axes("max", (0.0, 0.0, 0.0))
    del _axes

    point_count = property(lambda self: self.get("point_count", 0))
    number_of_points_by_return = property(lambda self: self.get("points_by_return", ()))

    def parse_crs(self):
        """The CRS the header's records give, or None."""
        return self.get("crs")


class LasData:
    """A LAS file's header and points in memory. Each dimension is an attribute (``las.x`` in map
    units, ``las.X`` the stored integers, ``las.classification``), read and assigned in place;
    ``las[mask]`` is a new LasData of those points."""

    def __init__(self, header=None, points=None):
        header = header if isinstance(header, LasHeader) else LasHeader(header or {})
        if points is None:
            points = _np.zeros(0, point_dtype(header.get("point_format", 0)))
        object.__setattr__(self, "header", header)
        object.__setattr__(self, "_points", _np.asarray(points))

    @property
    def points(self):
        return self._points

    @points.setter
    def points(self, value):
        object.__setattr__(self, "_points", _np.asarray(value))

    point_format = property(lambda self: self.header.point_format)

    def __len__(self):
        return len(self._points)

    def __getattr__(self, name):
        points = self.__dict__["_points"]
        if points.dtype.fields and name in points.dtype.fields:
            return points[name]
        if name in "XYZ" and len(name) == 1:
            axis = "XYZ".index(name)
            scale, offset = self.header.scales[axis], self.header.offsets[axis]
            return _np.round((points[name.lower()] - offset) / scale).astype("<i4")
        raise AttributeError(f"no dimension {name!r}")

    def __setattr__(self, name, value):
        if name in ("header", "points") or name.startswith("_"):
            return object.__setattr__(self, name, value)
        fields = self._points.dtype.fields or {}
        if name not in fields and not (len(name) == 1 and name in "XYZ"):
            raise AttributeError(f"no dimension {name!r}: add it with add_extra_dim first")
        if len(name) == 1 and name in "xyzXYZ":
            # The two forms of a coordinate stay one value.
            axis = "xyzXYZ".index(name) % 3
            scale, offset = self.header.scales[axis], self.header.offsets[axis]
            low, high = "xyz"[axis], "XYZ"[axis]
            if name == low:
                self._points[low] = value
                if high in fields:
                    self._points[high] = _np.round((self._points[low] - offset) / scale)
            else:
                if high in fields:
                    self._points[high] = value
                self._points[low] = _np.asarray(value, "f8") * scale + offset
            return None
        self._points[name] = value
        return None

    def __getitem__(self, key):
        if isinstance(key, str):
            return getattr(self, key)
        chosen = self._points[key]
        if isinstance(chosen, _np.ndarray):
            return LasData(self.header.copy(), chosen)
        return chosen

    def __setitem__(self, key, value):
        setattr(self, key, value)

    @property
    def xyz(self):
        return _np.column_stack([self._points[a] for a in "xyz"])

    def update_header(self):
        """Sets the header's count, bounds and points by return from the points."""
        h, p = self.header, self._points
        h["point_count"] = len(p)
        if len(p):
            h["min"] = tuple(float(p[a].min()) for a in "xyz")
            h["max"] = tuple(float(p[a].max()) for a in "xyz")
            by = _np.bincount(p["return_number"], minlength=16)[1:16]
            h["points_by_return"] = tuple(int(n) for n in by[:15 if h.version >= (1, 4) else 5])

    def add_extra_dim(self, name, type=None, description="", scale=None, offset=None):
        """Adds an extra dimension, zero at every point, and its description to the header (the
        extra-bytes VLR a file then carries). `name` may be an ExtraBytesParams; `type` is a
        numpy type, "3f8" for three values a point; a `scale` or `offset` stores the values as
        round((value - offset) / scale) in `type`, and the attribute reads them as doubles."""
        if isinstance(name, ExtraBytesParams):
            p = name
            name, type, description, scale, offset = (p.name, p.type, p.description, p.scales,
                                                       p.offsets)
        if type is None:
            raise TypeError("add_extra_dim: a type, such as 'f8' or 'u2'")
        if name in (self._points.dtype.fields or {}) or dims.lookup(name) or name in ("X", "Y", "Z"):
            raise ValueError(f"{name}: a dimension of that name exists already")
        data_type = dims.extra_data_type(type)
        as_list = lambda v: None if v is None else list(_np.atleast_1d(_np.asarray(v, float)))
        descriptor = extra_field_descriptor(name, data_type, description, as_list(scale),
                                            as_list(offset))
        h = self.header
        described = sum(f["size"] for f in h["extra_fields"])
        raw = self._points.dtype.fields.get("extra_bytes") if self._points.dtype.fields else None
        width = max(raw[0].itemsize if raw else 0, described)
        # Bytes no description covers keep theirs, so the new one lies after them.
        gaps = []
        for start in range(described, width, 255):
            size = min(255, width - start)
            gaps.append(extra_field_descriptor(f"undescribed {start}", 0, "", size=size))
        vlrs = h["evlrs"] if any(_is_extra_bytes(v) for v in h["evlrs"]) else h["vlrs"]
        mine = [v for v in vlrs if _is_extra_bytes(v)]
        if mine:
            mine[-1]["payload"] = bytes(mine[-1]["payload"]) + b"".join(gaps) + descriptor
        else:
            vlrs.append({"user_id": "LASF_Spec", "record_id": 4, "description": "extra bytes",
                         "payload": b"".join(gaps) + descriptor})
        base = dims.EXTRA_TYPES[data_type % 10 or 10]
        count = (data_type - 1) // 10 + 1
        size = base.itemsize * count
        values = _np.dtype("f8") if scale is not None or offset is not None else base
        h["extra_fields"] = h["extra_fields"] + [
            {"name": name, "description": description, "data_type": data_type, "offset": width,
             "size": size}]
        h.pop("record_length", None)
        old = self._points
        fields = [(n, old.dtype.fields[n]) for n in old.dtype.names if n != "extra_bytes"]
        layout = [((f[2], n) if len(f) > 2 else n, f[0]) for n, f in fields]
        layout += [("extra_bytes", "u1", (width + size,)),
                   (name, values) if count == 1 else (name, values, (count,))]
        new = _np.zeros(len(old), layout)
        for n, _ in fields:
            new[n] = old[n]
        if raw:
            new["extra_bytes"][:, :raw[0].itemsize] = old["extra_bytes"]
        object.__setattr__(self, "_points", new)

    def add_extra_dims(self, params):
        for p in params:
            self.add_extra_dim(p)

    def write(self, destination, drop=False, do_compress=None):
        """Writes a LAS, LAZ or, for a name ending in .copc.laz, COPC file. Fields the point
        format cannot hold are refused (ValueError naming them) unless `drop` is True or lists
        them."""
        with LasWriter(destination, self.header, drop=drop, do_compress=do_compress) as w:
            w.write_points(self._points)


def _is_extra_bytes(vlr):
    return vlr.get("user_id") == "LASF_Spec" and vlr.get("record_id") == 4


def _points_of(points):
    return points.points if isinstance(points, LasData) else _np.asarray(points)


def read_las(source):
    """The whole file as a LasData."""
    with LasReader(source) as reader:
        return reader.read()


def create(point_format=0, file_version=None):
    """An empty LasData of a point format."""
    return LasData(LasHeader(point_format=point_format, version=file_version))


class LasReader:
    """A file opened for reading: ``read()`` all of it, ``chunk_iterator(n)`` LasData of at most n
    points, ``header``."""

    def __init__(self, source):
        self._path = source
        self._chunks = Chunks(source, 1)
        self.header = LasHeader(self._chunks.header)

    def read(self):
        return LasData(self.header, self._chunks.all())

    def chunk_iterator(self, points_per_iteration):
        for part in Chunks(self._path, points_per_iteration):
            yield LasData(self.header.copy(), part)

    def close(self):
        self._chunks = None

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.close()


class _Sink:
    """Writes points through a Writer; the context closes it, or abandons the file on failure."""

    def write_points(self, points):
        points = _points_of(points)
        if self._writer is None:
            self._writer = Writer(self._target, self.header, points.dtype, drop=self._drop)
        self._writer.write(points)

    def close(self):
        if self._writer is None:
            self._writer = Writer(self._target, self.header, None, drop=self._drop)
        self._writer.close()

    def discard(self):
        if self._writer is not None:
            self._writer.discard()

    def __enter__(self):
        return self

    def __exit__(self, failure, *details):
        if failure is None:
            self.close()
        else:
            self.discard()


class LasWriter(_Sink):
    """A new file written in chunks: ``write_points(points)`` as often as needed, then ``close``
    (a ``with`` block closes it). A name ending in .copc.laz writes COPC at close."""

    def __init__(self, destination, header, drop=False, do_compress=None):
        if header is None:
            raise TypeError("a new file needs a header: a LasHeader, a dict or a read one")
        path = os.fspath(destination)
        name = os.fsdecode(path).lower()
        if do_compress is not None and do_compress != name.endswith(".laz"):
            raise ValueError(f"{os.fsdecode(path)}: the name says "
                             f"{'LAZ' if name.endswith('.laz') else 'LAS'}; name the file for "
                             "what you want")
        self.header, self._drop, self._writer = LasHeader(header), drop, None
        self._copc, self._target = None, path
        if name.endswith(".copc.laz"):
            # The octree is built from a whole file: the points gather in one beside it.
            folder = os.path.dirname(os.path.abspath(path))
            handle, self._target = tempfile.mkstemp(".las", ".copc-", folder)
            os.close(handle)
            self._copc = path

    def close(self):
        try:
            super().close()
            if self._copc is not None:
                write_copc([self._target], self._copc)
        finally:
            self._remove_scratch()

    def discard(self):
        super().discard()
        self._remove_scratch()

    def _remove_scratch(self):
        if self._copc is not None and os.path.exists(self._target):
            os.unlink(self._target)


class LasAppender(_Sink):
    """An existing LAS or LAZ file that points are added to: ``append_points(points)``, then
    ``close``. Its header's counts, bounds and points by return grow with them; a LAZ file gets
    new chunks after its last."""

    def __init__(self, path, drop=False):
        self._target, self._drop = os.fspath(path), drop
        self._writer = Writer(self._target, None, None, drop=drop, append=True)
        self.header = LasHeader(self._writer.header)

    append_points = _Sink.write_points


def open(source, mode="r", header=None, drop=False, do_compress=None):
    """Opens a file as laspy does: mode "r" a LasReader, "w" a LasWriter (a header needed), "a" a
    LasAppender of an existing LAS or LAZ file."""
    if mode == "r":
        return LasReader(source)
    if mode == "w":
        return LasWriter(source, header, drop=drop, do_compress=do_compress)
    if mode == "a":
        return LasAppender(source, drop=drop)
    raise ValueError(f"mode: 'r', 'w' or 'a', not {mode!r}")
