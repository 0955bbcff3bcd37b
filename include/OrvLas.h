// Reading and writing LAS point clouds: the first-point probe and the header reader.
#pragma once

#include <cstdint>

#include "OrvBasic.h"
#include "OrvExport.h"
#include "OrvLasFormat.h"

namespace orv {

// Real-world coordinates of the first point record of a 1.x LAS file, without reading the rest.
// Returns 1 and fills x, y, z of `point` (its attribute untouched), or 0 and leaves it as it was
// when the file cannot be read, is not signed "LASF", or its header or first record does not
// lie within the first 65,536 bytes.
ORV_API long ReadFirstPntFromLas(const char* path, XPnt3d& point);

// Reads the 227-byte public header of a 1.x LAS file. Returns 0 on success, -1 when the file
// cannot be opened or read, -2 when it is shorter than the header or not signed "LASF".
// `fileSize`, when given, receives the length of the file in bytes.
ORV_API int ReadLasHeader(const char* path, LasHeader& header, uint64_t* fileSize = nullptr);

}  // namespace orv
