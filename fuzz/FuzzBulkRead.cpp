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
        // Formats 6 to 10 hold the classification in byte 16 and need 17 bytes a record.
        const bool laterFormat = h.pointDataFormat >= 6 && h.pointDataFormat <= 10;
        // Records that would start inside the 227 fixed bytes are refused, whatever header size
        // or version the header states.
        const bool readable = size >= sizeof h && length >= (laterFormat ? 17u : 16u) &&
                              h.offsetToPointData >= sizeof h;
        orvfuzz::require(result == (readable ? 1 : 0));
        if (pool) {
            const uint64_t first = h.offsetToPointData;
            const uint64_t present = first < size ? (size - first) / length : 0;
            const uint64_t stated = h.numberOfPointRecords;
            // A 1.4 header may state its count in 64 bits and end the points at its extended
            // VLRs: then only the bound by the records present holds.
            const bool extended =
                h.versionMajor == 1 && h.versionMinor >= 4 && h.headerSize >= 375 && size >= 375;
            if (extended)
                orvfuzz::require(pool->size() <= present);
            else
                orvfuzz::require(pool->size() == (stated < present ? stated : present));
            // The last point read carries the classification byte of the last record read.
            const uint64_t count = pool->size();
            if (count > 0) {
                pool->rewind();
                const LasPnt* last = nullptr;
                while (const LasPnt* p = pool->next()) last = p;
                const uint8_t stored = data[first + (count - 1) * length + (laterFormat ? 16 : 15)];
                orvfuzz::require(last && last->classification == stored);
            }
        }
    }
    orvfuzz::require(orv::OrvReferenced::liveObjects() == liveBefore);
    return 0;
}
