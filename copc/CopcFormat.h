// The records a COPC file adds to LAZ 1.4: the info VLR and the hierarchy pages of 32-byte
// entries, and a walk over those pages that trusts nothing it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "OrvCopc.h"
#include "copc/CopcSource.h"
#include "las/LasHeaderWrite.h"
#include "laz/LazCodec.h"

namespace orv::copc {

constexpr const char* kUserId = las::kCopcUserId;
constexpr uint16_t kInfoRecordId = 1;
constexpr uint16_t kHierarchyRecordId = 1000;
// The info VLR's payload: 13 fields of 8 bytes and 11 reserved ones.
constexpr size_t kInfoBytes = 160;
// One hierarchy entry: int32 level, x, y, z; uint64 offset; int32 byte size; int32 point count.
constexpr size_t kEntryBytes = 32;
// The info VLR sits right after the 375-byte 1.4 header.
constexpr uint64_t kInfoVlrOffset = 375;
// The deepest level a key may name: its cube indices must fit an int32.
constexpr int32_t kMaxLevel = 30;
// A chunk stating more points per byte than this is refused before anything is allocated for
// it: the arithmetic coder spends at least about 1/200 of a bit on a point even when every point
// is the same (about 1,500 points a byte).
constexpr uint64_t kMaxPointsPerChunkByte = 4096;
// The most points a node may state: what the codec decodes in one chunk.
constexpr int32_t kMaxNodePoints = 1 << 24;
// A chunk may take this many bytes a point, on top of a first record and a table of layers, beside
// the records it decodes to: the coder at its worst on noise stays well inside twice the
// records' size. A larger stated chunk is refused before a byte of it is read.
constexpr uint64_t kMaxChunkBytesPerRecordByte = 2;
constexpr uint64_t kChunkOverheadRecords = 8;
// The longest hierarchy page read: 2 million entries (a server states the file's length).
constexpr uint64_t kMaxPageBytes = uint64_t{64} << 20;

bool parseInfo(const std::vector<uint8_t>& payload, CopcInfo& out, std::string& error);
std::vector<uint8_t> encodeInfo(const CopcInfo& info);
CopcNode decodeEntry(const uint8_t* at);
void encodeEntry(const CopcNode& node, uint8_t* at);

// The bounds of the file within which hierarchy pages and chunks must lie.
struct FileLimits {
    uint64_t size = 0;          // bytes in the file
    uint64_t chunksBegin = 0;   // the first byte after the chunk table offset
    uint64_t chunksEnd = 0;     // where the point data ends (the chunk table or the EVLRs)
    uint64_t points = 0;        // the header's point count
    uint16_t recordLength = 0;  // the header's record length
};

// The most bytes a chunk of `points` records of `recordLength` bytes can take.
inline uint64_t maxChunkBytes(uint64_t points, uint16_t recordLength) {
    return (points * kMaxChunkBytesPerRecordByte + kChunkOverheadRecords) * recordLength;
}

// Reads pages from the root, descending into a child page only when `wantPage` takes its key,
// and hands back the node entries seen (pages themselves are not listed). The pages of one level
// of the page tree are read at once, `parallel` at a time. Refuses pages that lie
// outside the file, overlap one another or a chunk, hold a key outside their subtree or twice,
// and nodes whose chunk lies outside the point data, states impossible counts or is longer than
// its points can need. Iterative:
// the number of pages is bounded by the file's size.
// Pages are read through `source.read`, so that a server's claims size nothing.
bool walkHierarchy(const CountedSource& source, const CopcInfo& info, const FileLimits& limits,
                   const std::function<bool(const CopcNode&)>& wantPage,
                   std::vector<CopcNode>& nodes, SourceError& error, unsigned parallel = 1);

// "level-x-y-z", as messages name a node.
std::string keyText(const CopcNode& node);

}  // namespace orv::copc
