// The LAS record codec: where the fields of a record lie, and how they are read and written.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "OrvBasic.h"
#include "OrvLasFormat.h"
#include "las/LasBytes.h"
#include "las/LasLimits.h"

namespace orv::las {

// The scale and offset that turn a 1.x record's stored integers into coordinates.
struct Scaling {
    double scale[3];
    double offset[3];

    static Scaling of(const LasHeader& h) {
        return {{h.xScale, h.yScale, h.zScale}, {h.xOffset, h.yOffset, h.zOffset}};
    }
};

// One record as the readers see it, coordinates in double precision.
struct DecodedRecord {
    double x, y, z;
    uint16_t intensity;
    uint8_t returnNumber;
    uint8_t classification;
};

// Real-world X, Y, Z of a 1.x record: stored int32 x scale + offset, in double precision.
//   offset 0  int32  X        offset 4  int32  Y        offset 8  int32  Z
inline void decodeXyz1x(const uint8_t* record, const Scaling& s, double out[3]) {
    out[0] = load<int32_t>(record + kLasXOffset) * s.scale[0] + s.offset[0];
    out[1] = load<int32_t>(record + kLasYOffset) * s.scale[1] + s.offset[1];
    out[2] = load<int32_t>(record + kLasZOffset) * s.scale[2] + s.offset[2];
}

// A coordinate rounded to float; beyond the float range it becomes an infinity of its sign
// (a scale or offset from a file can be anything, and the plain conversion would be undefined).
inline float toFloat(double value) {
    constexpr double kMax = std::numeric_limits<float>::max();
    if (value > kMax) return std::numeric_limits<float>::infinity();
    if (value < -kMax) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

// Where a 1.x record keeps its return number and classification. Chosen once per file from the
// point data format, so the per-point decode has no branch on the format.
//   formats 0-5:  offset 14 return number in bits 0-2 (number of returns, flags above)
//                 offset 15 classification
//   formats 6-10: offset 14 return number in bits 0-3 (number of returns in bits 4-7)
//                 offset 15 classification flags and scanner channel (not read)
//                 offset 16 classification
// Formats above 10 have no published layout; they get the 0-5 one, as every format did before the
// readers looked at it.
struct RecordLayout {
    uint32_t minLength;   // bytes of a record the decoder reads
    uint8_t returnMask;   // bits of byte 14 holding the return number
    uint8_t classOffset;  // the classification byte

    static RecordLayout forFormat(uint8_t pointDataFormat) {
        if (pointDataFormat >= 6 && pointDataFormat <= kLastKnownPointFormat)
            return {kMinRecordLength6to10, 0x0F,
                    static_cast<uint8_t>(kLasPointLayouts[pointDataFormat].classification)};
        return {kMinRecordLength1x, 0x07, static_cast<uint8_t>(kLasPointLayouts[0].classification)};
    }
};

// A whole 1.x record; reads its first layout.minLength bytes only.
//   offset 12 uint16 intensity
inline DecodedRecord decodeRecord1x(const uint8_t* record, const Scaling& s,
                                    const RecordLayout& layout) {
    double xyz[3];
    decodeXyz1x(record, s, xyz);
    return {xyz[0],
            xyz[1],
            xyz[2],
            load<uint16_t>(record + kLasIntensityOffset),
            static_cast<uint8_t>(record[kLasReturnByteOffset] & layout.returnMask),
            record[layout.classOffset]};
}

// True when the header carries the 1.4 fields: version 1.4 or later 1.x, a header size of at least
// 375 bytes, and a file that long. Anything less and bytes 227 onward may be VLRs or points.
inline bool hasLas14Extension(const LasHeader& h, uint64_t fileSize) {
    return h.versionMajor == 1 && h.versionMinor >= 4 && h.headerSize >= kHeaderSize14 &&
           fileSize >= kHeaderSize14;
}

// The 1.4 fields from the first 375 bytes of a file.
inline Las14Extension loadExtension(const uint8_t* file) {
    Las14Extension e;
    std::memcpy(&e, file + sizeof(LasHeader), sizeof e);
    return e;
}

// The number of records a header states: the legacy 32-bit count, or, when that is 0 in a header
// with the 1.4 fields (`extension` non-null), the 64-bit count. A nonzero legacy count wins: it is
// what every reader of the file before 1.4 saw.
inline uint64_t statedPointCount(const LasHeader& h, const Las14Extension* extension) {
    const uint64_t legacy = h.numberOfPointRecords;
    if (legacy == 0 && extension) return extension->numberOfPointRecords;
    return legacy;
}

// Whole records that fit between the offset to point data and the extended VLRs a 1.4 header
// places after them; UINT64_MAX when it places none there.
inline uint64_t recordsBefore(const LasHeader& h, const Las14Extension& e) {
    const uint64_t first = h.offsetToPointData;
    const uint64_t length = h.pointDataRecordLength;
    const uint64_t evlrs = e.evlrOffset;
    if (e.numberOfEvlrs == 0 || evlrs <= first || length == 0) return UINT64_MAX;
    return (evlrs - first) / length;
}

// Whole records between the offset to point data and the end of the file, or the extended VLRs
// of a 1.4 header (`extension` non-null) when they come first.
inline uint64_t recordsPresent(const LasHeader& h, uint64_t fileSize,
                               const Las14Extension* extension) {
    const uint64_t first = h.offsetToPointData;
    const uint64_t length = h.pointDataRecordLength;
    const uint64_t toEnd = length > 0 && first < fileSize ? (fileSize - first) / length : 0;
    const uint64_t beforeEvlrs = extension ? recordsBefore(h, *extension) : UINT64_MAX;
    return toEnd < beforeEvlrs ? toEnd : beforeEvlrs;
}

// The stored integers of a written point: (coordinate - offset) x 1000, truncated toward zero,
// for X, Y and Z at once. False, leaving `out` alone, for NaN, infinities and values an int32
// cannot hold, whose conversion would be undefined.
inline bool toStoredInts(const double coordinate[3], const double offset[3], int32_t out[3]) {
    double scaled[3];
    bool fits = true;
    for (int axis = 0; axis < 3; ++axis) {
        scaled[axis] = (coordinate[axis] - offset[axis]) * 1000.0;
        // Truncation keeps every value strictly between these two; NaN fails both comparisons.
        fits &= scaled[axis] > -2147483649.0 && scaled[axis] < 2147483648.0;
    }
    if (!fits) return false;
    for (int axis = 0; axis < 3; ++axis) out[axis] = static_cast<int32_t>(scaled[axis]);
    return true;
}

// A header offset taken from a first coordinate: truncated toward zero to an int32. False when
// the coordinate is NaN, infinite or beyond int32.
inline bool toOffset(double coordinate, double& out) {
    if (!(coordinate > -2147483649.0 && coordinate < 2147483648.0)) return false;
    out = static_cast<double>(static_cast<int32_t>(coordinate));
    return true;
}

// Writes one 20-byte point data format 0 record.
//   offset 0  int32  X, Y, Z at 0, 4, 8 (stored integers)
//   offset 12 uint16 intensity            offset 14 uint8 return number in bits 0-2, rest 0
//   offset 15 uint8  classification       offset 16 int8 scan angle 0, 17 uint8 user data 0
//   offset 18 uint16 point source ID (the point-source byte, zero-extended)
inline void encodeRecord0(uint8_t* record, const int32_t xyz[3], const LasPnt& point) {
    constexpr LasPointLayout L = kLasPointLayouts[0];
    store<int32_t>(record + kLasXOffset, xyz[0]);
    store<int32_t>(record + kLasYOffset, xyz[1]);
    store<int32_t>(record + kLasZOffset, xyz[2]);
    store<uint16_t>(record + kLasIntensityOffset, point.pnt.attr);
    record[kLasReturnByteOffset] = static_cast<uint8_t>(point.returnNumber & 0x07);
    record[L.classification] = point.classification;
    record[L.scanAngle] = 0;
    record[L.userData] = 0;
    store<uint16_t>(record + L.pointSourceId, static_cast<uint16_t>(point.pointSource));
}

// A 2.0 record; reads its first 28 bytes only. Coordinates are the stored doubles plus the header
// offsets, with no scale factor.
//   offset 0  double X        offset 8  double Y        offset 16 double Z
//   offset 24 uint16 intensity
//   offset 26 uint8  return number in bits 0-2
//   offset 27 uint8  classification
inline void decodeXyz20(const uint8_t* record, const double offset[3], double out[3]) {
    out[0] = load<double>(record + 0) + offset[0];
    out[1] = load<double>(record + 8) + offset[1];
    out[2] = load<double>(record + 16) + offset[2];
}

inline DecodedRecord decodeRecord20(const uint8_t* record, const double offset[3]) {
    double xyz[3];
    decodeXyz20(record, offset, xyz);
    return {xyz[0],
            xyz[1],
            xyz[2],
            load<uint16_t>(record + 24),
            static_cast<uint8_t>(record[26] & 0x07),
            record[27]};
}

}  // namespace orv::las
