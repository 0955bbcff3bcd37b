# Reads and changes an XML document by slash-separated paths.
import sys

import orvterdep

pack = orvterdep.Packet(sys.argv[1])
print("crs:", pack.get("/project/crs"), pack.get("/project/crs", attr="unit"))
pack.set("/project/result/points", "25000")  # missing elements are made
pack.save()  # replaces the file whole
print(orvterdep.Packet(sys.argv[1]).get("/project/result/points"))
