// The block loop both LAS input streams share: records come through one fixed buffer, each is
// decoded by the stream's layout and made relative to the origin.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "OrvBasic.h"
#include "OrvLasFile.h"
#include "las/LasCodec.h"
#include "las/LasLimits.h"
#include "las/LasOpen.h"
#include "platform/BufferedInput.h"

namespace orv::las {

class BlockReader {
public:
    platform::BufferedInput file;
    uint32_t recordLength = 0;
    // The header was read in full and its record length holds every field the decoder reads.
    bool readable = false;
    // Records the stream may still take: the file's end, unless the header places other data
    // (a 1.4 file's extended VLRs) after the points.
    uint64_t recordsLeft = UINT64_MAX;
    // The file as opened; for a compressed one, its decoder gives the records instead of `file`.
    OpenedLas opened;
    std::vector<uint8_t> decoded;

    void close() {
        opened.clear();
        file.close();
        decoded = std::vector<uint8_t>();
        readable = false;
        recordsLeft = UINT64_MAX;
    }

    // Reads up to `count` records and keeps every step-th of them, starting with the first.
    // Null when no record was left; an empty array when count <= 0.
    template <class Decode>
    OrvPtr<LasPntArray> readBlock(int step, int count, const IOrvPoint* origin, Decode decode) {
        if (!readable || !file.isOpen()) return {};
        RecordSource* decoder = opened.decoder.get();
        if (step < 1) step = 1;
        OrvPtr<LasPntArray> block(newLasPntArray());
        if (count <= 0) return block;

        // Sized once for what this block can still find, never more than the file holds, filled
        // in place, and cut to what was found should the file end sooner.
        const uint64_t wanted = std::min<uint64_t>(static_cast<uint64_t>(count), recordsLeft);
        // A compressed file's size says nothing of its records: room grows as they come.
        const uint64_t records = decoder
                                     ? std::min<uint64_t>(wanted, decodedRecords())
                                     : std::min<uint64_t>(wanted, file.remaining() / recordLength);
        const uint64_t ustep = static_cast<uint64_t>(step);
        const size_t length = recordLength;
        size_t room = static_cast<size_t>((records + ustep - 1) / ustep);
        block->resizeForOverwrite(room);
        LasPnt* out = block->data();

        const double ox = origin ? origin->x : 0.0;
        const double oy = origin ? origin->y : 0.0;
        const double oz = origin ? origin->z : 0.0;
        size_t kept = 0;
        uint64_t skip = 0;  // records to pass over before the next kept one
        uint64_t left = wanted;
        size_t got = 0;
        // Whole records straight from the buffer, as many at a time as it holds: the loop over
        // them touches locals only.
        while (left > 0) {
            const uint8_t* chunk =
                decoder ? takeDecoded(*decoder, left, got) : file.takeUnits(length, left, got);
            if (!chunk) break;
            left -= got;
            uint64_t k = skip;
            for (; k < got; k += ustep) {
                if (kept == room) {  // the file grew since it was measured
                    room = kept + 1 + kept / 2;
                    block->resizeForOverwrite(room);
                    out = block->data();
                }
                const DecodedRecord r = decode(chunk + k * length);
                // Every field, in place: no copy of a packed temporary, no zeroing pass.
                LasPnt& point = out[kept++];
                point.pnt.x = toFloat(r.x - ox);
                point.pnt.y = toFloat(r.y - oy);
                point.pnt.z = toFloat(r.z - oz);
                point.pnt.attr = r.intensity;
                point.pnt.padding = 0;
                point.classification = r.classification;
                point.returnNumber = r.returnNumber;
                point.spare = 0;
                point.pointSource = 0;
                point.spareWord = 0;
            }
            skip = k - got;
        }
        recordsLeft -= wanted - left;
        if (kept == 0) return {};  // the first record was missing: the file is exhausted
        if (kept < room) block->resize(kept);
        return block;
    }

private:
    size_t decodedRecords() const { return std::max<size_t>(1, kRecordBlockBytes / recordLength); }

    const uint8_t* takeDecoded(RecordSource& decoder, uint64_t left, size_t& got) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, decodedRecords()));
        if (decoded.size() < want * recordLength) decoded.resize(decodedRecords() * recordLength);
        got = decoder.read(decoded.data(), want);
        return got ? decoded.data() : nullptr;
    }
};

}  // namespace orv::las
