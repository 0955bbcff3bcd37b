# laspy's recipes: read, mask, add an extra dimension, write LAZ, append, write in chunks.
import sys

import orvterdep

las = orvterdep.read_las(sys.argv[1])
ground = las[las.classification == 2]  # a new LasData of those points
ground.add_extra_dim("hag", "f4", description="height above ground")
ground.hag = ground.z - ground.z.min()
ground.write("ground.laz")  # LAS, LAZ or COPC (name.copc.laz), by the name
with orvterdep.open("ground.laz", mode="a") as appender:  # new chunks after the last
    appender.append_points(ground[:10])
with orvterdep.open(sys.argv[1]) as reader, \
        orvterdep.open("copy.las", mode="w", header=reader.header) as writer:
    for chunk in reader.chunk_iterator(100_000):
        writer.write_points(chunk)
print(f"{len(ground)} ground points, {orvterdep.header('ground.laz').point_count} after appending")
