// Which point format a set of fields needs, extra dimensions as typed values, and reading into
// strided columns.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "OrvLasPoints.h"
#include "las/LasBytes.h"
#include "las/LasRecords.h"

namespace orv {
namespace {

using las::load;
using las::store;

// Raw records read per decode: the size LasReader::read uses.
constexpr size_t kBlockBytes = size_t{1} << 20;

// The element types of extra-bytes data types 1 to 10 (11 to 30 are pairs and triples of them).
constexpr LasValueType kElementTypes[] = {
    LasValueType::U8,  LasValueType::I8,  LasValueType::U16, LasValueType::I16, LasValueType::U32,
    LasValueType::I32, LasValueType::U64, LasValueType::I64, LasValueType::F32, LasValueType::F64};

bool isScaled(const LasExtraField& f) {
    return (f.options & 0x18) != 0;
}

template <class T>
void decodeAs(const LasExtraField& f, const uint8_t* extra, size_t stride, size_t count,
              uint8_t* out, size_t outStride) {
    const unsigned values = f.size / sizeof(T);
    const bool scaled = isScaled(f);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* in = extra + i * stride + f.offset;
        uint8_t* to = out + i * outStride;
        for (unsigned k = 0; k < values; ++k) {
            const T v = load<T>(in + k * sizeof(T));
            if (scaled)
                store(to + k * sizeof(double),
                      static_cast<double>(v) * f.scale[k] + f.offsetValue[k]);
            else
                store(to + k * sizeof(T), v);
        }
    }
}

// `value` as a T, when it fits: integers rounded and in range, floats finite or not.
template <class T>
bool narrow(double value, T& out) {
    if constexpr (std::is_floating_point_v<T>) {
        constexpr double kMax = std::numeric_limits<T>::max();
        out = value > kMax    ? std::numeric_limits<T>::infinity()
              : value < -kMax ? -std::numeric_limits<T>::infinity()
                              : static_cast<T>(value);
        return true;
    } else {
        const double q = std::nearbyint(value);
        // The upper bound is max + 1, exact in a double for every width.
        constexpr double kLow = static_cast<double>(std::numeric_limits<T>::min());
        constexpr double kHigh = 2.0 * static_cast<double>(std::numeric_limits<T>::max() / 2 + 1);
        if (!(q >= kLow && q < kHigh)) return false;
        out = static_cast<T>(q);
        return true;
    }
}

template <class T>
size_t encodeAs(const LasExtraField& f, const uint8_t* in, size_t inStride, size_t count,
                uint8_t* extra, size_t stride) {
    const unsigned values = f.size / sizeof(T);
    const bool scaled = isScaled(f);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* from = in + i * inStride;
        uint8_t* to = extra + i * stride + f.offset;
        T v[3];
        for (unsigned k = 0; k < values; ++k) {
            if (!scaled)
                v[k] = load<T>(from + k * sizeof(T));
            else if (!narrow(
                         (load<double>(from + k * sizeof(double)) - f.offsetValue[k]) / f.scale[k],
                         v[k]))
                return i;
        }
        for (unsigned k = 0; k < values; ++k) store(to + k * sizeof(T), v[k]);
    }
    return count;
}

// Calls `run` with a value of the field's element type.
template <class Run>
auto byElement(LasValueType type, Run&& run) {
    switch (type) {
        case LasValueType::I8:
            return run(int8_t{});
        case LasValueType::U16:
            return run(uint16_t{});
        case LasValueType::I16:
            return run(int16_t{});
        case LasValueType::U32:
            return run(uint32_t{});
        case LasValueType::I32:
            return run(int32_t{});
        case LasValueType::U64:
            return run(uint64_t{});
        case LasValueType::I64:
            return run(int64_t{});
        case LasValueType::F32:
            return run(float{});
        case LasValueType::F64:
            return run(double{});
        default:
            return run(uint8_t{});
    }
}

LasValueType elementType(const LasExtraField& f) {
    return f.dataType >= 1 && f.dataType <= 30 ? kElementTypes[(f.dataType - 1) % 10]
                                               : LasValueType::Bytes;
}

}  // namespace

uint32_t lasPointFormatGroups(uint8_t pointFormat) {
    if (pointFormat > kLasLastPointFormat) return 0;
    const LasPointLayout& l = kLasPointLayouts[pointFormat];
    return (l.gpsTime >= 0 ? kLasGpsTimeGroup : 0u) | (l.rgb >= 0 ? kLasRgbGroup : 0u) |
           (l.nir >= 0 ? kLasNirGroup : 0u) | (l.wavePacket >= 0 ? kLasWavePacketGroup : 0u) |
           (l.extendedCore ? kLasExtendedGroup : 0u);
}

uint8_t lasPointFormatFor(uint32_t groups) {
    for (uint8_t f = 0; f < kLasLastPointFormat; ++f)
        if ((lasPointFormatGroups(f) & groups) == groups) return f;
    return kLasLastPointFormat;
}

uint8_t lasMinorVersionFor(uint8_t pointFormat) {
    return pointFormat > 5 ? 4 : pointFormat > 3 ? 3 : 2;
}

size_t lasExtraByteCount(const LasFileHeader& header) {
    return las::extraBytesOf(header);
}

LasExtraValues lasExtraValues(const LasExtraField& f) {
    LasExtraValues v;
    const LasValueType element = elementType(f);
    if (element == LasValueType::Bytes) {
        v.size = f.size;
        return v;
    }
    v.count = static_cast<uint8_t>((f.dataType - 1) / 10 + 1);
    v.type = isScaled(f) ? LasValueType::F64 : element;
    v.size = isScaled(f) ? v.count * 8u : f.size;
    return v;
}

void decodeLasExtraField(const LasExtraField& f, const uint8_t* extra, size_t stride, size_t count,
                         uint8_t* out, size_t outStride) {
    const LasValueType element = elementType(f);
    if (element == LasValueType::Bytes) {
        for (size_t i = 0; i < count; ++i)
            std::memcpy(out + i * outStride, extra + i * stride + f.offset, f.size);
        return;
    }
    byElement(element,
              [&](auto t) { decodeAs<decltype(t)>(f, extra, stride, count, out, outStride); });
}

size_t encodeLasExtraField(const LasExtraField& f, const uint8_t* in, size_t inStride, size_t count,
                           uint8_t* extra, size_t stride) {
    const LasValueType element = elementType(f);
    if (element == LasValueType::Bytes) {
        for (size_t i = 0; i < count; ++i)
            std::memcpy(extra + i * stride + f.offset, in + i * inStride, f.size);
        return count;
    }
    return byElement(element, [&](auto t) {
        return encodeAs<decltype(t)>(f, in, inStride, count, extra, stride);
    });
}

size_t readLasPoints(LasReader& reader, const LasStridedColumns& columns, size_t maxRecords) {
    const LasFileHeader& h = reader.header();
    const size_t length = h.recordLength ? h.recordLength : 1;
    const size_t perBlock = kBlockBytes / length > 0 ? kBlockBytes / length : 1;
    std::vector<uint8_t> block(std::min(perBlock, maxRecords) * length);
    size_t done = 0;
    while (done < maxRecords) {
        const size_t want = std::min(perBlock, maxRecords - done);
        const size_t got = reader.readRaw(block.data(), want);
        if (got == 0) break;
        las::decodeRecordsAt(h, block.data(), got, columns, done);
        done += got;
        if (got < want) break;
    }
    return done;
}

}  // namespace orv
