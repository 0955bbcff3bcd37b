// A block of points: records as read, columns decoded from them when a stage first asks.
#include <cstring>

#include "OrvLasPoints.h"
#include "OrvStages.h"

namespace orv {
namespace {

size_t bytesOf(DimType t) {
    switch (t) {
        case DimType::kU8:
            return 1;
        case DimType::kU16:
        case DimType::kI16:
            return 2;
        case DimType::kI32:
        case DimType::kF32:
            return 4;
        case DimType::kF64:
            return 8;
    }
    return 8;
}

// The flag dimensions share one column: the classification flags byte.
DimId storageOf(DimId id) {
    switch (id) {
        case DimId::kSynthetic:
        case DimId::kKeyPoint:
        case DimId::kWithheld:
        case DimId::kOverlap:
            return DimId::kSynthetic;
        default:
            return id;
    }
}

void bind(LasColumns& c, DimId id, void* p) {
    switch (id) {
        case DimId::kX:
            c.x = static_cast<double*>(p);
            break;
        case DimId::kY:
            c.y = static_cast<double*>(p);
            break;
        case DimId::kZ:
            c.z = static_cast<double*>(p);
            break;
        case DimId::kRawX:
            c.X = static_cast<int32_t*>(p);
            break;
        case DimId::kRawY:
            c.Y = static_cast<int32_t*>(p);
            break;
        case DimId::kRawZ:
            c.Z = static_cast<int32_t*>(p);
            break;
        case DimId::kIntensity:
            c.intensity = static_cast<uint16_t*>(p);
            break;
        case DimId::kReturnNumber:
            c.returnNumber = static_cast<uint8_t*>(p);
            break;
        case DimId::kNumberOfReturns:
            c.numberOfReturns = static_cast<uint8_t*>(p);
            break;
        case DimId::kClassification:
            c.classification = static_cast<uint8_t*>(p);
            break;
        case DimId::kUserData:
            c.userData = static_cast<uint8_t*>(p);
            break;
        case DimId::kPointSourceId:
            c.pointSourceId = static_cast<uint16_t*>(p);
            break;
        case DimId::kScanDirection:
            c.scanDirection = static_cast<uint8_t*>(p);
            break;
        case DimId::kEdgeOfFlightLine:
            c.edgeOfFlightLine = static_cast<uint8_t*>(p);
            break;
        case DimId::kScannerChannel:
            c.scannerChannel = static_cast<uint8_t*>(p);
            break;
        case DimId::kRed:
            c.red = static_cast<uint16_t*>(p);
            break;
        case DimId::kGreen:
            c.green = static_cast<uint16_t*>(p);
            break;
        case DimId::kBlue:
            c.blue = static_cast<uint16_t*>(p);
            break;
        case DimId::kNir:
            c.nir = static_cast<uint16_t*>(p);
            break;
        case DimId::kSynthetic:
        case DimId::kKeyPoint:
        case DimId::kWithheld:
        case DimId::kOverlap:
            c.classificationFlags = static_cast<uint8_t*>(p);
            break;
        case DimId::kScanAngle:
            c.scanAngleDegrees = static_cast<float*>(p);
            break;
        case DimId::kGpsTime:
            c.gpsTime = static_cast<double*>(p);
            break;
    }
}

}  // namespace

struct Block::Columns {
    std::vector<uint8_t> data[kDimCount];
    bool decoded[kDimCount] = {};
    LasColumnBuffer whole;
    LasColumns all;
};

Block::Block() : m_columns(std::make_unique<Columns>()) {}
Block::~Block() = default;

uint8_t* Block::reset(const LasFileHeader& header, size_t count, uint64_t firstIndex,
                      const std::string& source) {
    m_header = &header;
    if (m_source != source) m_source = source;
    m_count = count;
    m_first = firstIndex;
    m_moved = false;
    m_indexed = false;
    for (bool& d : m_columns->decoded) d = false;
    const size_t bytes = count * header.recordLength;
    if (m_records.size() < bytes) m_records.resize(bytes);
    return m_records.data();
}

const void* Block::column(DimId id) {
    const DimId at = storageOf(id);
    const size_t k = static_cast<size_t>(at);
    std::vector<uint8_t>& v = m_columns->data[k];
    if (m_columns->decoded[k]) return v.data();
    const size_t need = m_count * bytesOf(dimensions()[k].type);
    if (v.size() < need) v.resize(need);
    LasColumns c;
    bind(c, at, v.data());
    decodeLasRecords(*m_header, m_records.data(), m_count, c);
    m_columns->decoded[k] = true;
    return v.data();
}

double Block::value(const Dimension& d, size_t i) {
    const void* p = column(d.id);
    switch (d.type) {
        case DimType::kU8: {
            const uint8_t v = static_cast<const uint8_t*>(p)[i];
            return d.flagBit >= 0 ? (v >> d.flagBit) & 1u : v;
        }
        case DimType::kU16:
            return static_cast<const uint16_t*>(p)[i];
        case DimType::kI16:
            return static_cast<const int16_t*>(p)[i];
        case DimType::kI32:
            return static_cast<const int32_t*>(p)[i];
        case DimType::kF32:
            return static_cast<const float*>(p)[i];
        case DimType::kF64:
            return static_cast<const double*>(p)[i];
    }
    return 0;
}

LasColumns& Block::all() {
    Columns& k = *m_columns;
    k.all = k.whole.columns(m_count, lasExtraByteCount(*m_header));
    decodeLasRecords(*m_header, m_records.data(), m_count, k.all);
    if (m_moved) {
        k.all.x = reinterpret_cast<double*>(k.data[size_t(DimId::kX)].data());
        k.all.y = reinterpret_cast<double*>(k.data[size_t(DimId::kY)].data());
        k.all.z = reinterpret_cast<double*>(k.data[size_t(DimId::kZ)].data());
        k.all.X = k.all.Y = k.all.Z = nullptr;
    }
    return k.all;
}

void Block::moveCoordinates(double*& x, double*& y, double*& z) {
    x = const_cast<double*>(this->x());
    y = const_cast<double*>(this->y());
    z = const_cast<double*>(this->z());
    // The stored integers no longer say where the points are.
    for (DimId raw : {DimId::kRawX, DimId::kRawY, DimId::kRawZ})
        m_columns->decoded[size_t(raw)] = false;
    m_moved = true;
}

void Block::keep(const std::vector<uint8_t>& keep) {
    const size_t length = m_header->recordLength;
    size_t kept = 0;
    while (kept < m_count && keep[kept]) ++kept;  // what stays in place
    if (kept == m_count) return;
    if (m_indices.size() < m_count) m_indices.resize(m_count);
    if (!m_indexed)
        for (size_t i = 0; i < kept; ++i) m_indices[i] = m_first + i;
    for (size_t i = kept; i < m_count; ++i) {
        if (!keep[i]) continue;
        std::memcpy(m_records.data() + kept * length, m_records.data() + i * length, length);
        m_indices[kept] = m_indexed ? m_indices[i] : m_first + i;
        for (size_t k = 0; k < kDimCount; ++k) {
            if (!m_columns->decoded[k]) continue;
            const size_t b = bytesOf(dimensions()[k].type);
            std::memcpy(m_columns->data[k].data() + kept * b, m_columns->data[k].data() + i * b, b);
        }
        ++kept;
    }
    m_count = kept;
    m_indexed = true;
}

}  // namespace orv
