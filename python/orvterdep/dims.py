"""The one table of point dimensions, as the library lays records out: each field's name, laspy's
name for it where that differs, its numpy type, the point formats that hold it; and the types of
extra dimensions."""

from typing import NamedTuple, Optional

import numpy as _np

from ._core import dimensions as _table, extra_value_types as _value_types


class Dimension(NamedTuple):
    name: str
    alias: Optional[str]  # laspy's name, where it differs
    dtype: str
    formats: frozenset  # the point formats whose records hold it
    stored: bool  # a stored integer (X, Y, Z): in arrays only when asked for


DIMENSIONS = tuple(Dimension(n, a, t, frozenset(f), s) for n, a, t, f, s in _table)
_BY_NAME = {key: d for d in DIMENSIONS for key in (d.name, d.alias) if key}

# The value types of extra dimensions; the index is the data type an extra-bytes description
# gives (1 to 10), 0 the untyped bytes.
EXTRA_TYPES = tuple(_np.dtype(t) for t in _value_types)


def lookup(name):
    """The Dimension of a field by our name or laspy's; None for any other name."""
    return _BY_NAME.get(name)


def standard_names(point_format, stored=False):
    """The fields of a point format's records, in array order (X, Y, Z only when `stored`)."""
    return [d.name for d in DIMENSIONS
            if point_format in d.formats and (stored or not d.stored)]


def extra_data_type(type):
    """The data type (1 to 30) an extra-bytes description gives values of `type`: a numpy type,
    or 2 or 3 of one ("3f8", ``("f8", 3)``)."""
    dtype = _np.dtype(type)
    count = int(_np.prod(dtype.shape)) if dtype.shape else 1
    base = dtype.base.newbyteorder("<") if dtype.base.byteorder == ">" else dtype.base
    codes = [i for i, t in enumerate(EXTRA_TYPES) if i and t == base]
    if not codes or not 1 <= count <= 3:
        raise ValueError(f"{type!r}: an extra dimension is 1, 2 or 3 values of an integer or "
                         "floating-point type")
    return codes[0] + 10 * (count - 1)
