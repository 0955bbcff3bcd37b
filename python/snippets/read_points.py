# Reads a whole cloud: its header, and every field of its points as one numpy array.
import sys

import numpy as np
import orvterdep

header, points = orvterdep.read(sys.argv[1])
print(f"LAS {header.version[0]}.{header.version[1]}, point format {header.point_format}, "
      f"{len(points)} points, scale {header.scale[0]}")
print("fields:", ", ".join(points.dtype.names))
print("highest point:", points[np.argmax(points["z"])][["x", "y", "z"]])
print("ground points:", np.count_nonzero(points["classification"] == 2))
print("reference system:", header.epsg or header.crs or "none")
