// Writing what the header model reads: the fixed header from its fields, VLRs and EVLRs, and
// the tally of bounds and returns that a writer states in its header. Every LAS, LAZ and COPC
// writer goes through these, so a field's place in the file has one home on each side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "OrvLasFile.h"
#include "platform/Files.h"

namespace orv::las {

// The user ID of the records that hold a cloud-optimised file's octree.
constexpr const char* kCopcUserId = "copc";

// A record that describes where a cloud-optimised file's chunks lie: a copy written elsewhere
// must leave it behind.
inline bool isCopcRecord(const LasVlr& v) {
    return v.userId == kCopcUserId;
}

// Copies `text` into a fixed field of `size` bytes, cut at `size`, the rest NUL.
void putText(uint8_t* at, size_t size, const std::string& text);

// The header as a file holds it: the standard header of its version (227, 235 or 375 bytes)
// with each field exactly as `h` states it (headerSize, offsets, counts, bounds, the format byte
// marked when `compressed`), then `headerExtra`. The inverse of parseFixedHeader: the writer
// decides the fields, this only places them.
std::vector<uint8_t> headerBytes(const LasFileHeader& h);

// Writes a VLR or, `extended`, an EVLR: its header (whose length field is 2 or 8 bytes) and
// payload. Returns the bytes written.
uint64_t writeVlr(platform::OutputFile& file, const LasVlr& v, bool extended);

// The points by return and the bounds, in stored integers, of the records a writer writes.
struct RecordTally {
    uint64_t count = 0;
    uint64_t byReturn[15] = {};
    int32_t lo[3] = {0, 0, 0};  // both 0 while count is 0
    int32_t hi[3] = {0, 0, 0};

    // Adds `n` records of `length` bytes; `extendedCore` for formats 6 to 10, whose return
    // number has four bits.
    void add(const uint8_t* records, size_t n, size_t length, bool extendedCore);
};

}  // namespace orv::las
