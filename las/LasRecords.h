// Helpers of the full-fidelity record codec shared by its reader and writer.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "OrvLasFile.h"
#include "OrvLasPoints.h"

namespace orv::las {

// Calls `f` with a reference to each column pointer of `c` but the extra bytes (whose points
// are wider than one value).
template <class Columns, class F>
void forEachColumn(Columns& c, F f) {
    f(c.X), f(c.Y), f(c.Z), f(c.x), f(c.y), f(c.z), f(c.intensity), f(c.returnNumber);
    f(c.numberOfReturns), f(c.classificationFlags), f(c.scannerChannel), f(c.scanDirection);
    f(c.edgeOfFlightLine), f(c.classification), f(c.scanAngle), f(c.scanAngleDegrees);
    f(c.userData), f(c.pointSourceId), f(c.gpsTime), f(c.red), f(c.green), f(c.blue), f(c.nir);
    f(c.wavePacketIndex), f(c.waveformOffset), f(c.waveformSize), f(c.returnPointLocation);
    f(c.waveDx), f(c.waveDy), f(c.waveDz);
}

// The same columns moved on by `done` points; `extra` is the extra bytes of one point.
LasColumns advanceColumns(const LasColumns& columns, size_t done, size_t extra);

// Decodes `count` records into the columns' points `first` to `first + count - 1`.
void decodeRecordsAt(const LasFileHeader& header, const uint8_t* records, size_t count,
                     const LasStridedColumns& columns, size_t first);

// A coordinate quantised by rounding; false when it does not fit an int32 (or is NaN).
inline bool quantise(double value, double scale, double offset, int32_t& out) {
    const double q = std::nearbyint((value - offset) / scale);
    if (!(q >= -2147483648.0 && q <= 2147483647.0)) return false;
    out = static_cast<int32_t>(q);
    return true;
}

// The extra bytes per record of a header's format and record length.
inline size_t extraBytesOf(const LasFileHeader& h) {
    const uint16_t standard = lasStandardRecordLength(h.pointFormat);
    return standard != 0 && h.recordLength > standard ? h.recordLength - standard : 0;
}

}  // namespace orv::las
