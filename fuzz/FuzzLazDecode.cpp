// The LAZ decoder on any file: whole records or a refusal, never a read outside the input.
// What it decodes, compressed again by our encoder, decodes to the same records.
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "laz/LazFile.h"

namespace {

// Enough to reach every item coder; bounds the work an input can ask for.
constexpr size_t kMaxPoints = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orv::laz::MemorySource src(data, size);
    orv::laz::FileLayout layout;
    std::string error;
    if (!orv::laz::readLayout(src, layout, error)) return 0;
    orv::laz::LazDecoder dec;
    dec.setThreads(size % 2 ? 2 : 1);
    if (!orv::laz::openDecoder(src, layout, dec, error)) {
        orvfuzz::require(!error.empty());
        return 0;
    }
    const size_t rl = layout.recordLength;
    const size_t want = size_t(std::min<uint64_t>(layout.pointCount, kMaxPoints));
    std::vector<uint8_t> records(want * rl);
    const size_t got = dec.read(records.data(), want);
    orvfuzz::require(got <= want);
    orvfuzz::require(got == want || !dec.error().empty());
    if (got == 0) return 0;
    records.resize(got * rl);

    orv::laz::LazVlr vlr;
    if (!orv::laz::lazVlrFor(layout.formatByte & 0x3F, layout.recordLength,
                             orv::laz::kDefaultChunkSize, vlr, error)) {
        return 0;  // decodable items the writer would not choose: nothing to compare
    }
    const std::vector<uint8_t> chunk =
        orv::laz::encodeChunk(vlr, layout.recordLength, records.data(), got);
    std::vector<uint8_t> again(got * rl);
    size_t used = 0;
    const size_t back = orv::laz::decodeChunk(vlr, layout.recordLength, chunk.data(), chunk.size(),
                                              got, again.data(), used, error);
    orvfuzz::require(back == got && used == chunk.size());
    orvfuzz::require(again == records);
    return 0;
}
