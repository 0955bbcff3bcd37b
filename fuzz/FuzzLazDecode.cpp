// The LAZ decoder, through the reader, on any file: whole records or a refusal, never a read
// outside the input. What it decodes, compressed again by our encoder, decodes to the same
// records.
#include <algorithm>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "OrvLasFile.h"
#include "laz/LazCodec.h"

namespace {

// Enough to reach every item coder; bounds the work an input can ask for.
constexpr size_t kMaxPoints = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orv::LasReader reader;
    reader.setThreads(size % 2 ? 2 : 1);
    const int result = reader.open(orvfuzz::inputFile(data, size));
    orvfuzz::require(result == 0 || result == -2 || result == -3 || result == -1);
    const orv::LasFileHeader& h = reader.header();
    if (result != 0 || !h.compressed) {
        orvfuzz::require(result == 0 || !reader.error().empty());
        return 0;
    }
    const size_t rl = h.recordLength;
    const size_t want = size_t(std::min<uint64_t>(reader.pointCount(), kMaxPoints));
    std::vector<uint8_t> records(want * rl);
    const size_t got = reader.readRaw(records.data(), want);
    orvfuzz::require(got <= want);
    orvfuzz::require(got == want ||
                     ((h.warnings & orv::kLasRecordsDamaged) && !reader.error().empty()));
    if (got == 0) return 0;
    records.resize(got * rl);

    orv::laz::LazVlr vlr;
    std::string error;
    if (!orv::laz::lazVlrFor(h.pointFormat, h.recordLength, orv::laz::kDefaultChunkSize, vlr,
                             error)) {
        return 0;  // decodable items the writer would not choose: nothing to compare
    }
    const std::vector<uint8_t> chunk =
        orv::laz::encodeChunk(vlr, h.recordLength, records.data(), got);
    std::vector<uint8_t> again(got * rl);
    size_t used = 0;
    const size_t back = orv::laz::decodeChunk(vlr, h.recordLength, chunk.data(), chunk.size(), got,
                                              again.data(), used, error);
    orvfuzz::require(back == got && used == chunk.size());
    orvfuzz::require(again == records);
    return 0;
}
