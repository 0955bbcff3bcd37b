# Copies the ground points (class 2) of a cloud of any size to a new file, a million at a time.
import sys

import orvterdep

source, target = sys.argv[1], sys.argv[2]
header = orvterdep.header(source)  # version, format, scale, offset, VLRs carry over
kept = 0
with orvterdep.Writer(target, header) as out:
    for points in orvterdep.chunks(source, 1_000_000):
        ground = points[points["classification"] == 2]
        out.write(ground)
        kept += len(ground)
# Leaving the block completes the file; an error on the way leaves the target as it was.
print(f"kept {kept} ground points")
