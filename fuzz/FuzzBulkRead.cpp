// The bulk reader on any file: every whole record the header promises and the file holds, or a
// refusal, with the pool freed either way.
#include <cstring>

#include "FuzzInput.h"
#include "OrvLas.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const long liveBefore = orv::OrvReferenced::liveObjects();
    const char* path = orvfuzz::inputFile(data, size);
    orv::LasPntPool* raw = nullptr;
    const long result = orv::orvReadLas(path, &raw, nullptr);
    orvfuzz::require(result == 0 || result == 1);
    orvfuzz::require((result == 1) == (raw != nullptr));
    {
        orv::OrvPtr<orv::LasPntPool> pool = orv::OrvPtr<orv::LasPntPool>::adopt(raw);
        LasHeader h{};
        if (size >= sizeof h) std::memcpy(&h, data, sizeof h);
        const uint64_t length = h.pointDataRecordLength;
        const bool readable = size >= sizeof h && length >= 16;
        orvfuzz::require(result == (readable ? 1 : 0));
        if (pool) {
            const uint64_t first = h.offsetToPointData;
            const uint64_t present = first < size ? (size - first) / length : 0;
            const uint64_t stated = h.numberOfPointRecords;
            const uint64_t expected = stated < present ? stated : present;
            orvfuzz::require(pool->size() == expected);
            // The last point read carries the classification byte of the last whole record.
            if (expected > 0) {
                pool->rewind();
                const LasPnt* last = nullptr;
                while (const LasPnt* p = pool->next()) last = p;
                const uint8_t stored = data[first + (expected - 1) * length + 15];
                orvfuzz::require(last && last->classification == stored);
            }
        }
    }
    orvfuzz::require(orv::OrvReferenced::liveObjects() == liveBefore);
    return 0;
}
