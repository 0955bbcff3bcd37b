"""Cloud-optimised LAZ (COPC): the points of an area, down to a level of detail, from a file or
an http(s):// URL, fetching only the parts of the file they need."""

from . import Header
from ._core import copc_read

__all__ = ["read"]


def read(path, bounds=None, resolution=None, max_level=None, stored=False, timeout=None):
    """Returns ``(header, points)`` as :func:`orvterdep.read` does, for the points of `path`
    inside `bounds` (``(minx, miny, maxx, maxy)`` or ``(minx, miny, minz, maxx, maxy, maxz)``,
    closed) from the levels down to the first whose point spacing is at most `resolution`, or
    down to `max_level`. Without either, every level.

    Over HTTP(S) each range request ends after `timeout` seconds (None: ORVTER_HTTP_TIMEOUT, else
    120) or when slower than ORVTER_HTTP_MIN_RATE bytes a second (else 1024) for 15 seconds.
    Failures raise FileNotFoundError (no such file, HTTP 404), PermissionError (401, 403),
    ConnectionError, TimeoutError, OSError (a reply that is not the range asked, a redirect
    refused) or FormatError (a damaged file). Ctrl-C interrupts a read within a second.
    """
    header, points = copc_read(path, bounds, resolution or 0.0,
                               -1 if max_level is None else max_level, stored,
                               0.0 if timeout is None else timeout)
    return Header(header), points
