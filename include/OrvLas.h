// Reading and writing LAS point clouds: the first-point probe, the header reader, and the bulk
// reader and writer that move a whole cloud in one call.
#pragma once

#include <cstdint>

#include "OrvBasic.h"
#include "OrvExport.h"
#include "OrvLasFormat.h"
#include "OrvProgress.h"

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

// What a 1.x LAS header says about its file, and where the two disagree.
struct LasFileInfo {
    LasHeader header;                   // the 227 bytes every 1.x header starts with
    uint64_t fileSize = 0;              // bytes in the file
    bool hasExtension = false;          // version 1.4 (or later 1.x), header and file >= 375 bytes
    Las14Extension extension;           // the 1.4 fields; all zero without them
    const char* formatName = "";        // what the point data format holds, e.g. "core + GPS time"
    uint32_t formatRecordLength = 0;    // bytes a record of the format holds; 0 for formats > 10
    uint32_t readableRecordLength = 0;  // the least the readers accept: 16, or 17 for formats 6-10
    uint64_t statedPoints = 0;    // the legacy count, or the 64-bit one when the legacy count is 0
    uint64_t presentRecords = 0;  // whole records from the offset to point data to the end of the
                                  // file, or to a 1.4 file's extended VLRs
    uint64_t readablePoints = 0;  // what the readers return: the lesser of the two; 0 when refused
    uint32_t warnings = 0;        // LasInfoWarning bits, and LasReadWarning bits of OrvLasFile.h
};

// The ways a header can disagree with its file or with itself.
enum LasInfoWarning : uint32_t {
    kLasRecordTooShort = 1u << 0,   // record length below the format's; the readers may refuse it
    kLasPointsBeyondEnd = 1u << 1,  // the header states more points than the file holds
    kLasCountsDisagree = 1u << 2,   // a 1.4 header's nonzero legacy count is not its 64-bit count
};

// Reads the header of a 1.x LAS file (with the 1.4 fields when present) and measures it against
// the file. Returns 0 on success, -1 when the file cannot be opened or read, -2 when it is
// shorter than 227 bytes, not signed "LASF" or not version 1.x, -3 when its records are
// compressed in a way the decoder refuses; `info` is left alone unless 0 is returned. The
// records of a compressed file are decoded and counted (a read of the whole file): damage that
// ends them early sets kLasRecordsDamaged, a lost chunk table kLasChunkTableLost.
ORV_API int ReadLasInfo(const char* path, LasFileInfo& info);

// Reads every whole point record of a 1.x LAS file into a new pool of LasPnt values (x, y, z
// rounded to float, intensity, classification; no return numbers). Returns 1 and stores the
// pool, carrying one reference the caller owns, in *pool; returns 0 and leaves *pool untouched
// when the file cannot be read, is shorter than its header, or states records shorter than 16
// bytes (17 for point data formats 6 to 10, whose classification is byte 16). A 1.4 header whose
// 32-bit count is 0 gives its count in 64 bits. Records the header promises but the file does not
// hold are not read, nor are the extended VLRs of a 1.4 file taken for records. `progress` is not
// used.
ORV_API long orvReadLas(const char* path, LasPntPool** pool, IOrvProgress* progress);
// As orvReadLas, telling `progress` (may be empty) the points read after each block.
ORV_API long orvReadLasReporting(const char* path, LasPntPool** pool,
                                 const ProgressCallback& progress);

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
// As orvSavePoint2Las, but all or nothing: when a point is refused the file is abandoned and
// `path` keeps what it held. -1 then, with `refused` (may be null) set to the points refused.
// `progress` (may be empty) is told the points written after each block.
ORV_API long orvSavePoint2LasWhole(PLasPntPool* pool, XPnt3d* shift, const char* path,
                                   uint64_t* refused, const ProgressCallback& progress = {});

}  // namespace orv
