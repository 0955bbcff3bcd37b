# Streams a cloud in blocks of float32 points relative to its first point.
import sys

import orvterdep

stream = orvterdep.InStream(sys.argv[1], origin="first")
ox, oy, oz = stream.origin
top, count = float("-inf"), 0
while (block := stream.read(100_000)) is not None:
    top = max(top, float(block["z"].max()))
    count += len(block)
print(f"origin {ox:.3f} {oy:.3f} {oz:.3f}, read {count} points, highest {oz + top:.3f}")
