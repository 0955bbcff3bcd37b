// The block loop both LAS input streams share: records come through one fixed buffer, each is
// decoded by the stream's layout and made relative to the origin.
#pragma once

#include <algorithm>
#include <cstdint>

#include "OrvBasic.h"
#include "las/LasCodec.h"
#include "platform/BufferedInput.h"

namespace orv::las {

class BlockReader {
public:
    platform::BufferedInput file;
    uint32_t recordLength = 0;
    // The header was read in full and its record length holds every field the decoder reads.
    bool readable = false;

    void close() {
        file.close();
        readable = false;
    }

    // Reads up to `count` records and keeps every step-th of them, starting with the first.
    // Null when no record was left; an empty array when count <= 0.
    template <class Decode>
    OrvPtr<LasPntArray> readBlock(int step, int count, const IOrvPoint* origin, Decode decode) {
        if (!readable || !file.isOpen()) return {};
        if (step < 1) step = 1;
        OrvPtr<LasPntArray> block(newLasPntArray());
        if (count <= 0) return block;

        // Room for what this block can still find, never more than the file holds.
        const uint64_t records =
            std::min<uint64_t>(static_cast<uint64_t>(count), file.remaining() / recordLength);
        block->reserve(static_cast<size_t>((records + static_cast<uint64_t>(step) - 1) /
                                           static_cast<uint64_t>(step)));

        const double ox = origin ? origin->x : 0.0;
        const double oy = origin ? origin->y : 0.0;
        const double oz = origin ? origin->z : 0.0;
        int untilKept = 0;  // records to skip before the next kept one
        for (int i = 0; i < count; ++i) {
            const uint8_t* record = file.take(recordLength);
            if (!record) return block->size() > 0 ? block : OrvPtr<LasPntArray>();
            if (untilKept > 0) {
                --untilKept;
                continue;
            }
            untilKept = step - 1;
            const DecodedRecord r = decode(record);
            LasPnt point;
            point.pnt =
                XPnt3f(toFloat(r.x - ox), toFloat(r.y - oy), toFloat(r.z - oz), r.intensity);
            point.classification = r.classification;
            point.returnNumber = r.returnNumber;
            block->pushBack(point);
        }
        return block;
    }
};

}  // namespace orv::las
