// The LAS record codec: the one place that knows where the fields of a record lie.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "OrvLasFormat.h"

namespace orv::las {

template <class T>
inline T load(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
inline void store(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

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
    out[0] = load<int32_t>(record + 0) * s.scale[0] + s.offset[0];
    out[1] = load<int32_t>(record + 4) * s.scale[1] + s.offset[1];
    out[2] = load<int32_t>(record + 8) * s.scale[2] + s.offset[2];
}

// A whole 1.x record; reads its first 16 bytes only.
//   offset 12 uint16 intensity
//   offset 14 uint8  return number in bits 0-2 (number of returns, flags above)
//   offset 15 uint8  classification
inline DecodedRecord decodeRecord1x(const uint8_t* record, const Scaling& s) {
    double xyz[3];
    decodeXyz1x(record, s, xyz);
    return {xyz[0], xyz[1], xyz[2], load<uint16_t>(record + 12),
            static_cast<uint8_t>(record[14] & 0x07), record[15]};
}

// A 2.0 record; reads its first 28 bytes only. Coordinates are the stored doubles plus the header
// offsets, with no scale factor.
//   offset 0  double X        offset 8  double Y        offset 16 double Z
//   offset 24 uint16 intensity
//   offset 26 uint8  return number in bits 0-2
//   offset 27 uint8  classification
inline DecodedRecord decodeRecord20(const uint8_t* record, const double offset[3]) {
    return {load<double>(record + 0) + offset[0], load<double>(record + 8) + offset[1],
            load<double>(record + 16) + offset[2], load<uint16_t>(record + 24),
            static_cast<uint8_t>(record[26] & 0x07), record[27]};
}

// A coordinate rounded to float. Beyond the largest float it becomes the infinity of its sign
// (what IEEE arithmetic gives, stated here because C++ leaves it undefined); NaN stays NaN.
// Writers refuse both, so such a point is never stored as a wrong number.
inline float toFloatCoordinate(double value) {
    if (value > static_cast<double>(FLT_MAX)) return HUGE_VALF;
    if (value < -static_cast<double>(FLT_MAX)) return -HUGE_VALF;
    return static_cast<float>(value);
}

}  // namespace orv::las
