// Reading and writing LAS point clouds: the first-point probe, the header reader, and the bulk
// reader and writer that move a whole cloud in one call.
#pragma once

#include <cstdint>

#include "OrvBasic.h"
#include "OrvExport.h"
#include "OrvLasFormat.h"

class IOrvProgress;

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

// Reads every whole point record of a 1.x LAS file into a new pool of LasPnt values (x, y, z
// rounded to float, intensity, classification; no return numbers). Returns 1 and stores the
// pool, carrying one reference the caller owns, in *pool; returns 0 and leaves *pool untouched
// when the file cannot be read, is shorter than its header, or states records shorter than 16
// bytes. Records the header promises but the file does not hold are not read. `progress` is not
// used.
ORV_API long orvReadLas(const char* path, LasPntPool** pool, IOrvProgress* progress);

// A new pool of pointers to the points of `pool`, in order, with no reference taken. The points
// are not copied: `pool` must outlive the result unchanged. Leaves `pool`'s cursor at its end.
// Null when `pool` is null or memory runs out.
ORV_API PLasPntPool* PointsToPool(LasPntPool* pool);

// Writes the points of `pool` to a new LAS 1.1 file (point data format 0), adding `shift` (may
// be null) to every coordinate. Returns 0 when every point was written, -1 when some were
// refused because their coordinates do not fit the file's 32-bit stored integers (NaN,
// infinite, or more than 2,147,483.647 units from the offsets set by the first written point);
// the others are written all the same. File failures throw orv::FileError, with the file
// closed. `progress` is not used.
ORV_API long orvSavePoint2Las(PLasPntPool* pool, XPnt3d* shift, const char* path,
                              IOrvProgress* progress);
// The same without a shift.
ORV_API long orvSavePoint2Las(PLasPntPool* pool, const char* path, IOrvProgress* progress);

}  // namespace orv
