// The COPC hierarchy walk on any bytes: the first 16 bytes give the root page's offset and size,
// the whole input is the file. Pages that loop, overlap or lie outside, and entries with keys
// or counts that cannot be, end in a refusal; whatever is accepted lies within the file.
#include <cstring>

#include "FuzzInput.h"
#include "copc/CopcFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 16) return 0;
    orv::CopcInfo info;
    std::memcpy(&info.rootPageOffset, data, 8);
    std::memcpy(&info.rootPageSize, data + 8, 8);
    info.halfSize = 1;
    orv::copc::MemoryBytes source(data, size);
    orv::copc::FileLimits limits;
    limits.size = size;
    limits.chunksBegin = 16;
    limits.chunksEnd = size;
    limits.points = uint64_t{1} << 32;
    limits.recordLength = 30;
    std::vector<orv::CopcNode> nodes;
    orv::copc::SourceError error;
    const bool ok = orv::copc::walkHierarchy(
        source, info, limits, [](const orv::CopcNode& n) { return n.level < 20; }, nodes, error);
    orvfuzz::require(ok == error.text.empty());
    orvfuzz::require(nodes.size() <= size / orv::copc::kEntryBytes);
    for (const orv::CopcNode& n : nodes) {
        orvfuzz::require(n.pointCount >= 0 && n.level >= 0 && n.level <= orv::copc::kMaxLevel);
        if (n.pointCount == 0) continue;
        orvfuzz::require(n.offset >= 16 && n.offset + uint64_t(n.byteSize) <= size);
        orvfuzz::require(uint64_t(n.pointCount) <=
                         uint64_t(n.byteSize) * orv::copc::kMaxPointsPerChunkByte);
        orvfuzz::require(uint64_t(n.byteSize) <=
                         orv::copc::maxChunkBytes(uint64_t(n.pointCount), limits.recordLength));
    }
    return 0;
}
