"""Cloud-optimised LAZ (COPC): the points of an area, down to a level of detail, from a file or
an http(s):// URL, fetching only the parts of the file they need."""

from . import Header
from ._core import copc_read

__all__ = ["read"]


def read(path, bounds=None, resolution=None, max_level=None, stored=False):
    """Returns ``(header, points)`` as :func:`orvterdep.read` does, for the points of `path`
    inside `bounds` (``(minx, miny, maxx, maxy)`` or ``(minx, miny, minz, maxx, maxy, maxz)``,
    closed) from the levels down to the first whose point spacing is at most `resolution`, or
    down to `max_level`. Without either, every level.
    """
    header, points = copc_read(path, bounds, resolution or 0.0,
                               -1 if max_level is None else max_level, stored)
    return Header(header), points
