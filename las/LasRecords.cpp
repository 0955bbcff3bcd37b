// The full-fidelity record codec: records of formats 0 to 10 to caller columns and back, a
// field at a time over a small group of records, so each pass stays in the first-level cache.
#include <cmath>
#include <cstring>

#include "OrvLasFile.h"
#include "las/LasCodec.h"
#include "las/LasRecords.h"

namespace orv {
namespace {

using las::load;
using las::quantise;
using las::store;

// Records decoded per pass over the fields: about 16 KiB of format-1 records.
constexpr size_t kGroup = 512;

template <class T>
void column(const uint8_t* r, size_t stride, size_t n, size_t at, T* out) {
    if (!out) return;
    for (size_t i = 0; i < n; ++i) out[i] = load<T>(r + i * stride + at);
}

template <class T>
void zero(size_t n, T* out) {
    if (out) std::memset(out, 0, n * sizeof(T));
}

// A byte field: `shift` and `mask` pick its bits.
void bits(const uint8_t* r, size_t stride, size_t n, size_t at, int shift, uint8_t mask,
          uint8_t* out) {
    if (!out) return;
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>((r[i * stride + at] >> shift) & mask);
}

void scaled(const uint8_t* r, size_t stride, size_t n, size_t at, double scale, double offset,
            double* out) {
    if (!out) return;
    for (size_t i = 0; i < n; ++i) out[i] = load<int32_t>(r + i * stride + at) * scale + offset;
}

void decodeGroup(const LasFileHeader& h, const LasPointLayout& L, const uint8_t* r, size_t n,
                 const LasColumns& c) {
    const size_t s = h.recordLength;
    column(r, s, n, kLasXOffset, c.X);
    column(r, s, n, kLasYOffset, c.Y);
    column(r, s, n, kLasZOffset, c.Z);
    scaled(r, s, n, kLasXOffset, h.scale[0], h.offset[0], c.x);
    scaled(r, s, n, kLasYOffset, h.scale[1], h.offset[1], c.y);
    scaled(r, s, n, kLasZOffset, h.scale[2], h.offset[2], c.z);
    column(r, s, n, kLasIntensityOffset, c.intensity);
    const size_t ret = kLasReturnByteOffset, cls = L.classification, angle = L.scanAngle;
    if (L.extendedCore) {
        bits(r, s, n, ret, 0, 0x0F, c.returnNumber);
        bits(r, s, n, ret, 4, 0x0F, c.numberOfReturns);
        bits(r, s, n, L.flagByte, 0, 0x0F, c.classificationFlags);
        bits(r, s, n, L.flagByte, 4, 0x03, c.scannerChannel);
        bits(r, s, n, L.flagByte, 6, 0x01, c.scanDirection);
        bits(r, s, n, L.flagByte, 7, 0x01, c.edgeOfFlightLine);
        column(r, s, n, cls, c.classification);
        column(r, s, n, angle, c.scanAngle);
        if (c.scanAngleDegrees)
            for (size_t i = 0; i < n; ++i)
                c.scanAngleDegrees[i] =
                    static_cast<float>(load<int16_t>(r + i * s + angle) * 0.006);
        column(r, s, n, L.pointSourceId, c.pointSourceId);
    } else {
        bits(r, s, n, ret, 0, 0x07, c.returnNumber);
        bits(r, s, n, ret, 3, 0x07, c.numberOfReturns);
        bits(r, s, n, cls, 5, 0x07, c.classificationFlags);
        zero(n, c.scannerChannel);
        bits(r, s, n, ret, 6, 0x01, c.scanDirection);
        bits(r, s, n, ret, 7, 0x01, c.edgeOfFlightLine);
        bits(r, s, n, cls, 0, 0x1F, c.classification);
        if (c.scanAngle)
            for (size_t i = 0; i < n; ++i) c.scanAngle[i] = static_cast<int8_t>(r[i * s + angle]);
        if (c.scanAngleDegrees)
            for (size_t i = 0; i < n; ++i)
                c.scanAngleDegrees[i] = static_cast<int8_t>(r[i * s + angle]);
        column(r, s, n, L.pointSourceId, c.pointSourceId);
    }
    column(r, s, n, L.userData, c.userData);
    if (L.gpsTime >= 0)
        column(r, s, n, L.gpsTime, c.gpsTime);
    else
        zero(n, c.gpsTime);
    if (L.rgb >= 0) {
        column(r, s, n, L.rgb, c.red);
        column(r, s, n, L.rgb + 2, c.green);
        column(r, s, n, L.rgb + 4, c.blue);
    } else {
        zero(n, c.red), zero(n, c.green), zero(n, c.blue);
    }
    if (L.nir >= 0)
        column(r, s, n, L.nir, c.nir);
    else
        zero(n, c.nir);
    if (L.wavePacket >= 0) {
        const size_t w = static_cast<size_t>(L.wavePacket);
        column(r, s, n, w, c.wavePacketIndex);
        column(r, s, n, w + 1, c.waveformOffset);
        column(r, s, n, w + 9, c.waveformSize);
        column(r, s, n, w + 13, c.returnPointLocation);
        column(r, s, n, w + 17, c.waveDx);
        column(r, s, n, w + 21, c.waveDy);
        column(r, s, n, w + 25, c.waveDz);
    } else {
        zero(n, c.wavePacketIndex), zero(n, c.waveformOffset), zero(n, c.waveformSize);
        zero(n, c.returnPointLocation), zero(n, c.waveDx), zero(n, c.waveDy), zero(n, c.waveDz);
    }
    const size_t extra = s > L.length ? s - L.length : 0;
    if (c.extraBytes && extra > 0)
        for (size_t i = 0; i < n; ++i)
            std::memcpy(c.extraBytes + i * extra, r + i * s + L.length, extra);
}

template <class T>
T at(const T* column, size_t i) {
    return column ? column[i] : T{};
}

// Encodes point i into `r`; false, writing nothing, when a coordinate does not fit.
bool encodeOne(const LasFileHeader& h, const LasPointLayout& L, const LasColumns& c, size_t i,
               uint8_t* r) {
    int32_t xyz[3];
    const int32_t* stored[3] = {c.X, c.Y, c.Z};
    const double* real[3] = {c.x, c.y, c.z};
    for (int axis = 0; axis < 3; ++axis) {
        if (stored[axis])
            xyz[axis] = stored[axis][i];
        else if (!real[axis])
            xyz[axis] = 0;
        else if (!quantise(real[axis][i], h.scale[axis], h.offset[axis], xyz[axis]))
            return false;
    }
    std::memset(r, 0, h.recordLength);
    store(r + kLasXOffset, xyz[0]);
    store(r + kLasYOffset, xyz[1]);
    store(r + kLasZOffset, xyz[2]);
    store(r + kLasIntensityOffset, at(c.intensity, i));
    uint8_t& returns = r[kLasReturnByteOffset];
    const unsigned ret = at(c.returnNumber, i), num = at(c.numberOfReturns, i);
    const unsigned flags = at(c.classificationFlags, i), dir = at(c.scanDirection, i) & 1u;
    const unsigned edge = at(c.edgeOfFlightLine, i) & 1u;
    if (L.extendedCore) {
        returns = static_cast<uint8_t>((ret & 0x0F) | (num & 0x0F) << 4);
        r[L.flagByte] = static_cast<uint8_t>((flags & 0x0F) | (at(c.scannerChannel, i) & 3u) << 4 |
                                             dir << 6 | edge << 7);
        r[L.classification] = at(c.classification, i);
        int16_t angle = at(c.scanAngle, i);
        if (!c.scanAngle && c.scanAngleDegrees) {
            const double units = std::nearbyint(c.scanAngleDegrees[i] / 0.006);
            angle = static_cast<int16_t>(units < -32768.0  ? -32768.0
                                         : units > 32767.0 ? 32767.0
                                         : units == units  ? units
                                                           : 0.0);
        }
        store(r + L.scanAngle, angle);
        store(r + L.pointSourceId, at(c.pointSourceId, i));
    } else {
        returns = static_cast<uint8_t>((ret & 7u) | (num & 7u) << 3 | dir << 6 | edge << 7);
        r[L.classification] =
            static_cast<uint8_t>((at(c.classification, i) & 0x1Fu) | (flags & 7u) << 5);
        int angle = at(c.scanAngle, i);
        if (!c.scanAngle && c.scanAngleDegrees) {
            const double deg = std::nearbyint(c.scanAngleDegrees[i]);
            angle = deg < -128.0  ? -128
                    : deg > 127.0 ? 127
                    : deg == deg  ? static_cast<int>(deg)
                                  : 0;
        }
        angle = angle < -128 ? -128 : angle > 127 ? 127 : angle;
        r[L.scanAngle] = static_cast<uint8_t>(static_cast<int8_t>(angle));
        store(r + L.pointSourceId, at(c.pointSourceId, i));
    }
    r[L.userData] = at(c.userData, i);
    if (L.gpsTime >= 0) store(r + L.gpsTime, at(c.gpsTime, i));
    if (L.rgb >= 0) {
        store(r + L.rgb, at(c.red, i));
        store(r + L.rgb + 2, at(c.green, i));
        store(r + L.rgb + 4, at(c.blue, i));
    }
    if (L.nir >= 0) store(r + L.nir, at(c.nir, i));
    if (L.wavePacket >= 0) {
        uint8_t* w = r + L.wavePacket;
        w[0] = at(c.wavePacketIndex, i);
        store(w + 1, at(c.waveformOffset, i));
        store(w + 9, at(c.waveformSize, i));
        store(w + 13, at(c.returnPointLocation, i));
        store(w + 17, at(c.waveDx, i));
        store(w + 21, at(c.waveDy, i));
        store(w + 25, at(c.waveDz, i));
    }
    const size_t extra = h.recordLength > L.length ? h.recordLength - L.length : 0;
    if (c.extraBytes && extra > 0) std::memcpy(r + L.length, c.extraBytes + i * extra, extra);
    return true;
}

}  // namespace

namespace las {

LasColumns advanceColumns(const LasColumns& c, size_t done, size_t extra) {
    LasColumns a = c;
    auto step = [done](auto*& p) {
        if (p) p += done;
    };
    step(a.X), step(a.Y), step(a.Z), step(a.x), step(a.y), step(a.z), step(a.intensity);
    step(a.returnNumber), step(a.numberOfReturns), step(a.classificationFlags);
    step(a.scannerChannel), step(a.scanDirection), step(a.edgeOfFlightLine);
    step(a.classification), step(a.scanAngle), step(a.scanAngleDegrees), step(a.userData);
    step(a.pointSourceId), step(a.gpsTime), step(a.red), step(a.green), step(a.blue), step(a.nir);
    step(a.wavePacketIndex), step(a.waveformOffset), step(a.waveformSize);
    step(a.returnPointLocation), step(a.waveDx), step(a.waveDy), step(a.waveDz);
    if (a.extraBytes) a.extraBytes += done * extra;
    return a;
}

}  // namespace las

uint16_t lasStandardRecordLength(uint8_t pointFormat) {
    return pointFormat <= kLasLastPointFormat ? kLasPointLayouts[pointFormat].length : 0;
}

void decodeLasRecords(const LasFileHeader& header, const uint8_t* records, size_t count,
                      const LasColumns& columns) {
    if (header.pointFormat > kLasLastPointFormat || count == 0) return;
    const LasPointLayout& layout = kLasPointLayouts[header.pointFormat];
    if (header.recordLength < layout.length) return;
    const size_t extra = header.recordLength - layout.length;
    for (size_t done = 0; done < count; done += kGroup) {
        const size_t n = count - done < kGroup ? count - done : kGroup;
        decodeGroup(header, layout, records + done * header.recordLength, n,
                    las::advanceColumns(columns, done, extra));
    }
}

size_t encodeLasRecords(const LasFileHeader& header, const LasColumns& columns, size_t count,
                        uint8_t* records) {
    if (header.pointFormat > kLasLastPointFormat) return 0;
    const LasPointLayout& layout = kLasPointLayouts[header.pointFormat];
    if (header.recordLength < layout.length) return 0;
    for (size_t i = 0; i < count; ++i)
        if (!encodeOne(header, layout, columns, i, records + i * header.recordLength)) return i;
    return count;
}

}  // namespace orv
