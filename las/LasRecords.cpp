// The full-fidelity record codec: records of formats 0 to 10 to caller columns and back, a
// field at a time over a small group of records, so each pass stays in the first-level cache.
#include <cmath>
#include <cstring>

#include "OrvLasFile.h"
#include "OrvLasPoints.h"
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
uint8_t* addressOf(const LasStrided<T>& c, size_t i) {
    return reinterpret_cast<uint8_t*>(c.data) + i * c.stride;
}
template <class T>
void put(const LasStrided<T>& c, size_t i, T value) {
    store(addressOf(c, i), value);
}
template <class T>
T get(const LasStrided<T>& c, size_t i) {
    return c.data ? load<T>(addressOf(c, i)) : T{};
}

template <class T>
void column(const uint8_t* r, size_t stride, size_t n, size_t at, const LasStrided<T>& out) {
    if (!out.data) return;
    for (size_t i = 0; i < n; ++i) put(out, i, load<T>(r + i * stride + at));
}

template <class T>
void zero(size_t n, const LasStrided<T>& out) {
    if (!out.data) return;
    for (size_t i = 0; i < n; ++i) put(out, i, T{});
}

// A byte field: `shift` and `mask` pick its bits.
void bits(const uint8_t* r, size_t stride, size_t n, size_t at, int shift, uint8_t mask,
          const LasStrided<uint8_t>& out) {
    if (!out.data) return;
    for (size_t i = 0; i < n; ++i)
        put(out, i, static_cast<uint8_t>((r[i * stride + at] >> shift) & mask));
}

void scaled(const uint8_t* r, size_t stride, size_t n, size_t at, double scale, double offset,
            const LasStrided<double>& out) {
    if (!out.data) return;
    for (size_t i = 0; i < n; ++i) put(out, i, load<int32_t>(r + i * stride + at) * scale + offset);
}

// A scan angle in 0.006 degree units to whole degrees, and back; both fit their types.
int8_t wholeDegrees(int16_t units) {
    const long degrees = std::lround(units * 0.006);
    return static_cast<int8_t>(degrees < -128 ? -128 : degrees > 127 ? 127 : degrees);
}
int16_t angleUnits(double degrees) {
    const double units = std::nearbyint(degrees / 0.006);
    return static_cast<int16_t>(units < -32768.0  ? -32768.0
                                : units > 32767.0 ? 32767.0
                                : units == units  ? units
                                                  : 0.0);
}

// Decodes records first to first + n - 1 at `r` into the columns moved on to `first`; the
// extra dimensions are not moved on, and are found by `first`.
void decodeGroup(const LasFileHeader& h, const LasPointLayout& L, const uint8_t* r, size_t n,
                 const LasStridedColumns& c, size_t first) {
    const size_t s = h.recordLength;
    column(r, s, n, kLasXOffset, c.X);
    column(r, s, n, kLasYOffset, c.Y);
    column(r, s, n, kLasZOffset, c.Z);
    scaled(r, s, n, kLasXOffset, h.scale[0], h.offset[0], c.x);
    scaled(r, s, n, kLasYOffset, h.scale[1], h.offset[1], c.y);
    scaled(r, s, n, kLasZOffset, h.scale[2], h.offset[2], c.z);
    column(r, s, n, kLasIntensityOffset, c.intensity);
    const size_t ret = kLasReturnByteOffset, cls = L.classification, angle = L.scanAngle;
    // Where the flags lie: a nibble of their own byte (6-10), or bits 5-7 of the class byte.
    const size_t flagByte = L.extendedCore ? L.flagByte : cls;
    const int flagShift = L.extendedCore ? 0 : 5;
    bits(r, s, n, flagByte, flagShift, L.extendedCore ? 0x0F : 0x07, c.classificationFlags);
    bits(r, s, n, flagByte, flagShift, 1, c.synthetic);
    bits(r, s, n, flagByte, flagShift + 1, 1, c.keyPoint);
    bits(r, s, n, flagByte, flagShift + 2, 1, c.withheld);
    if (L.extendedCore) {
        bits(r, s, n, ret, 0, 0x0F, c.returnNumber);
        bits(r, s, n, ret, 4, 0x0F, c.numberOfReturns);
        bits(r, s, n, L.flagByte, 3, 0x01, c.overlap);
        bits(r, s, n, L.flagByte, 4, 0x03, c.scannerChannel);
        bits(r, s, n, L.flagByte, 6, 0x01, c.scanDirection);
        bits(r, s, n, L.flagByte, 7, 0x01, c.edgeOfFlightLine);
        column(r, s, n, cls, c.classification);
        column(r, s, n, angle, c.scanAngle);
        if (c.scanAngleRank.data)
            for (size_t i = 0; i < n; ++i)
                put(c.scanAngleRank, i, wholeDegrees(load<int16_t>(r + i * s + angle)));
        if (c.scanAngleDegrees.data)
            for (size_t i = 0; i < n; ++i)
                put(c.scanAngleDegrees, i,
                    static_cast<float>(load<int16_t>(r + i * s + angle) * 0.006));
    } else {
        bits(r, s, n, ret, 0, 0x07, c.returnNumber);
        bits(r, s, n, ret, 3, 0x07, c.numberOfReturns);
        zero(n, c.overlap);
        zero(n, c.scannerChannel);
        bits(r, s, n, ret, 6, 0x01, c.scanDirection);
        bits(r, s, n, ret, 7, 0x01, c.edgeOfFlightLine);
        bits(r, s, n, cls, 0, 0x1F, c.classification);
        column(r, s, n, angle, c.scanAngleRank);
        if (c.scanAngle.data)
            for (size_t i = 0; i < n; ++i)
                put(c.scanAngle, i, int16_t{static_cast<int8_t>(r[i * s + angle])});
        if (c.scanAngleDegrees.data)
            for (size_t i = 0; i < n; ++i)
                put(c.scanAngleDegrees, i,
                    static_cast<float>(static_cast<int8_t>(r[i * s + angle])));
    }
    column(r, s, n, L.pointSourceId, c.pointSourceId);
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
    if (c.extraBytes.data && extra > 0)
        for (size_t i = 0; i < n; ++i)
            std::memcpy(addressOf(c.extraBytes, i), r + i * s + L.length, extra);
    for (size_t k = 0; k < c.extraFieldCount; ++k) {
        const LasExtraColumn& e = c.extraFields[k];
        if (e.data && e.field && e.field->offset + e.field->size <= extra)
            decodeLasExtraField(*e.field, r + L.length, s, n, e.data + first * e.stride, e.stride);
    }
}

// The columns moved on by `done` points.
LasStridedColumns advance(const LasStridedColumns& c, size_t done) {
    LasStridedColumns a = c;
    auto step = [done](auto& col) {
        if (col.data) col.data = reinterpret_cast<decltype(col.data)>(addressOf(col, done));
    };
    step(a.X), step(a.Y), step(a.Z), step(a.x), step(a.y), step(a.z), step(a.intensity);
    step(a.returnNumber), step(a.numberOfReturns), step(a.classificationFlags);
    step(a.synthetic), step(a.keyPoint), step(a.withheld), step(a.overlap);
    step(a.scannerChannel), step(a.scanDirection), step(a.edgeOfFlightLine);
    step(a.classification), step(a.scanAngle), step(a.scanAngleRank), step(a.scanAngleDegrees);
    step(a.userData), step(a.pointSourceId), step(a.gpsTime), step(a.red), step(a.green);
    step(a.blue), step(a.nir), step(a.wavePacketIndex), step(a.waveformOffset);
    step(a.waveformSize), step(a.returnPointLocation), step(a.waveDx), step(a.waveDy);
    step(a.waveDz), step(a.extraBytes);
    return a;
}

// The four flags of point i: from their byte when given, else from the single flags.
unsigned flagsOf(const LasStridedColumns& c, size_t i) {
    if (c.classificationFlags.data) return get(c.classificationFlags, i);
    return unsigned{get(c.synthetic, i) != 0} | unsigned{get(c.keyPoint, i) != 0} << 1 |
           unsigned{get(c.withheld, i) != 0} << 2 | unsigned{get(c.overlap, i) != 0} << 3;
}

// Encodes point i into `r`; false, writing nothing, when a coordinate does not fit.
bool encodeOne(const LasFileHeader& h, const LasPointLayout& L, const LasStridedColumns& c,
               size_t i, uint8_t* r) {
    int32_t xyz[3];
    const LasStrided<int32_t>* stored[3] = {&c.X, &c.Y, &c.Z};
    const LasStrided<double>* real[3] = {&c.x, &c.y, &c.z};
    for (int axis = 0; axis < 3; ++axis) {
        if (stored[axis]->data)
            xyz[axis] = get(*stored[axis], i);
        else if (!real[axis]->data)
            xyz[axis] = 0;
        else if (!quantise(get(*real[axis], i), h.scale[axis], h.offset[axis], xyz[axis]))
            return false;
    }
    std::memset(r, 0, h.recordLength);
    store(r + kLasXOffset, xyz[0]);
    store(r + kLasYOffset, xyz[1]);
    store(r + kLasZOffset, xyz[2]);
    store(r + kLasIntensityOffset, get(c.intensity, i));
    uint8_t& returns = r[kLasReturnByteOffset];
    const unsigned ret = get(c.returnNumber, i), num = get(c.numberOfReturns, i);
    const unsigned flags = flagsOf(c, i), dir = get(c.scanDirection, i) & 1u;
    const unsigned edge = get(c.edgeOfFlightLine, i) & 1u;
    if (L.extendedCore) {
        returns = static_cast<uint8_t>((ret & 0x0F) | (num & 0x0F) << 4);
        r[L.flagByte] = static_cast<uint8_t>((flags & 0x0F) | (get(c.scannerChannel, i) & 3u) << 4 |
                                             dir << 6 | edge << 7);
        r[L.classification] = get(c.classification, i);
        int16_t angle = get(c.scanAngle, i);
        if (!c.scanAngle.data && c.scanAngleRank.data)
            angle = angleUnits(get(c.scanAngleRank, i));
        else if (!c.scanAngle.data && c.scanAngleDegrees.data)
            angle = angleUnits(get(c.scanAngleDegrees, i));
        store(r + L.scanAngle, angle);
    } else {
        returns = static_cast<uint8_t>((ret & 7u) | (num & 7u) << 3 | dir << 6 | edge << 7);
        r[L.classification] =
            static_cast<uint8_t>((get(c.classification, i) & 0x1Fu) | (flags & 7u) << 5);
        int angle = c.scanAngle.data ? get(c.scanAngle, i) : get(c.scanAngleRank, i);
        if (!c.scanAngle.data && !c.scanAngleRank.data && c.scanAngleDegrees.data) {
            const double deg = std::nearbyint(get(c.scanAngleDegrees, i));
            angle = deg < -128.0  ? -128
                    : deg > 127.0 ? 127
                    : deg == deg  ? static_cast<int>(deg)
                                  : 0;
        }
        angle = angle < -128 ? -128 : angle > 127 ? 127 : angle;
        r[L.scanAngle] = static_cast<uint8_t>(static_cast<int8_t>(angle));
    }
    store(r + L.pointSourceId, get(c.pointSourceId, i));
    r[L.userData] = get(c.userData, i);
    if (L.gpsTime >= 0) store(r + L.gpsTime, get(c.gpsTime, i));
    if (L.rgb >= 0) {
        store(r + L.rgb, get(c.red, i));
        store(r + L.rgb + 2, get(c.green, i));
        store(r + L.rgb + 4, get(c.blue, i));
    }
    if (L.nir >= 0) store(r + L.nir, get(c.nir, i));
    if (L.wavePacket >= 0) {
        uint8_t* w = r + L.wavePacket;
        w[0] = get(c.wavePacketIndex, i);
        store(w + 1, get(c.waveformOffset, i));
        store(w + 9, get(c.waveformSize, i));
        store(w + 13, get(c.returnPointLocation, i));
        store(w + 17, get(c.waveDx, i));
        store(w + 21, get(c.waveDy, i));
        store(w + 25, get(c.waveDz, i));
    }
    const size_t extra = h.recordLength > L.length ? h.recordLength - L.length : 0;
    if (c.extraBytes.data && extra > 0)
        std::memcpy(r + L.length, addressOf(c.extraBytes, i), extra);
    for (size_t k = 0; k < c.extraFieldCount; ++k) {
        const LasExtraColumn& e = c.extraFields[k];
        if (!e.data || !e.field || e.field->offset + e.field->size > extra) continue;
        if (encodeLasExtraField(*e.field, e.data + i * e.stride, e.stride, 1, r + L.length, 0) != 1)
            return false;
    }
    return true;
}

// Packed columns as strided ones: one value after another, `extra` bytes a point for the
// extra bytes.
LasStridedColumns stridedOf(const LasColumns& c, size_t extra) {
    LasStridedColumns s;
    s.X.data = c.X, s.Y.data = c.Y, s.Z.data = c.Z, s.x.data = c.x, s.y.data = c.y, s.z.data = c.z;
    s.intensity.data = c.intensity, s.returnNumber.data = c.returnNumber;
    s.numberOfReturns.data = c.numberOfReturns, s.classificationFlags.data = c.classificationFlags;
    s.scannerChannel.data = c.scannerChannel, s.scanDirection.data = c.scanDirection;
    s.edgeOfFlightLine.data = c.edgeOfFlightLine, s.classification.data = c.classification;
    s.scanAngle.data = c.scanAngle, s.scanAngleDegrees.data = c.scanAngleDegrees;
    s.userData.data = c.userData, s.pointSourceId.data = c.pointSourceId,
    s.gpsTime.data = c.gpsTime;
    s.red.data = c.red, s.green.data = c.green, s.blue.data = c.blue, s.nir.data = c.nir;
    s.wavePacketIndex.data = c.wavePacketIndex, s.waveformOffset.data = c.waveformOffset;
    s.waveformSize.data = c.waveformSize, s.returnPointLocation.data = c.returnPointLocation;
    s.waveDx.data = c.waveDx, s.waveDy.data = c.waveDy, s.waveDz.data = c.waveDz;
    s.extraBytes = {c.extraBytes, extra};
    return s;
}

}  // namespace

namespace las {

void decodeRecordsAt(const LasFileHeader& header, const uint8_t* records, size_t count,
                     const LasStridedColumns& columns, size_t first) {
    if (header.pointFormat > kLasLastPointFormat || count == 0) return;
    const LasPointLayout& layout = kLasPointLayouts[header.pointFormat];
    if (header.recordLength < layout.length) return;
    for (size_t done = 0; done < count; done += kGroup) {
        const size_t n = count - done < kGroup ? count - done : kGroup;
        decodeGroup(header, layout, records + done * header.recordLength, n,
                    advance(columns, first + done), first + done);
    }
}

LasColumns advanceColumns(const LasColumns& c, size_t done, size_t extra) {
    LasColumns a = c;
    forEachColumn(a, [done](auto*& p) {
        if (p) p += done;
    });
    if (a.extraBytes) a.extraBytes += done * extra;
    return a;
}

}  // namespace las

uint16_t lasStandardRecordLength(uint8_t pointFormat) {
    return pointFormat <= kLasLastPointFormat ? kLasPointLayouts[pointFormat].length : 0;
}

void decodeLasRecords(const LasFileHeader& header, const uint8_t* records, size_t count,
                      const LasStridedColumns& columns) {
    las::decodeRecordsAt(header, records, count, columns, 0);
}

void decodeLasRecords(const LasFileHeader& header, const uint8_t* records, size_t count,
                      const LasColumns& columns) {
    decodeLasRecords(header, records, count, stridedOf(columns, las::extraBytesOf(header)));
}

size_t encodeLasRecords(const LasFileHeader& header, const LasStridedColumns& columns, size_t count,
                        uint8_t* records) {
    if (header.pointFormat > kLasLastPointFormat) return 0;
    const LasPointLayout& layout = kLasPointLayouts[header.pointFormat];
    if (header.recordLength < layout.length) return 0;
    for (size_t i = 0; i < count; ++i)
        if (!encodeOne(header, layout, columns, i, records + i * header.recordLength)) return i;
    return count;
}

LasColumns LasColumnBuffer::columns(size_t count, size_t extraPerPoint) {
    const auto room = [count](auto& v) {
        if (v.size() < count) v.resize(count);
        return v.data();
    };
    LasColumns c;
    c.X = room(m_X), c.Y = room(m_Y), c.Z = room(m_Z);
    c.x = room(m_x), c.y = room(m_y), c.z = room(m_z);
    c.intensity = room(m_intensity), c.returnNumber = room(m_ret);
    c.numberOfReturns = room(m_num), c.classificationFlags = room(m_flags);
    c.scannerChannel = room(m_channel), c.scanDirection = room(m_dir);
    c.edgeOfFlightLine = room(m_edge), c.classification = room(m_cls);
    c.scanAngle = room(m_angle), c.scanAngleDegrees = room(m_degrees), c.userData = room(m_user);
    c.pointSourceId = room(m_source), c.gpsTime = room(m_gps);
    c.red = room(m_red), c.green = room(m_green), c.blue = room(m_blue), c.nir = room(m_nir);
    c.wavePacketIndex = room(m_index), c.waveformOffset = room(m_waveOffset);
    c.waveformSize = room(m_waveSize), c.returnPointLocation = room(m_location);
    c.waveDx = room(m_dx), c.waveDy = room(m_dy), c.waveDz = room(m_dz);
    if (extraPerPoint > 0) {
        if (m_extra.size() < count * extraPerPoint) m_extra.resize(count * extraPerPoint);
        c.extraBytes = m_extra.data();
    }
    return c;
}

size_t encodeLasRecords(const LasFileHeader& header, const LasColumns& columns, size_t count,
                        uint8_t* records) {
    return encodeLasRecords(header, stridedOf(columns, las::extraBytesOf(header)), count, records);
}

}  // namespace orv
