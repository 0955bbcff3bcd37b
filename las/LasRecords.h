// Helpers of the full-fidelity record codec shared by its reader and writer.
#pragma once

#include <cstddef>

#include "OrvLasFile.h"
#include "OrvLasPoints.h"

namespace orv::las {

// The same columns moved on by `done` points; `extra` is the extra bytes of one point.
LasColumns advanceColumns(const LasColumns& columns, size_t done, size_t extra);

// Decodes `count` records into the columns' points `first` to `first + count - 1`.
void decodeRecordsAt(const LasFileHeader& header, const uint8_t* records, size_t count,
                     const LasStridedColumns& columns, size_t first);

// The extra bytes per record of a header's format and record length.
inline size_t extraBytesOf(const LasFileHeader& h) {
    const uint16_t standard = lasStandardRecordLength(h.pointFormat);
    return standard != 0 && h.recordLength > standard ? h.recordLength - standard : 0;
}

}  // namespace orv::las
