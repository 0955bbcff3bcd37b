#include "las/PntsInStreamLas.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "OrvLas.h"
#include "las/LasLimits.h"
#include "las/LasOpen.h"
#include "las/LasRecordSource.h"

namespace orv::las {

bool isUnsetOrigin(const IOrvPoint& origin) {
    return origin.x == kOriginFromFirstPoint || origin.y == kOriginFromFirstPoint ||
           origin.z == kOriginFromFirstPoint;
}

namespace {

// A count above what an int holds is reported as the largest int, never as negative.
int countAsInt(uint64_t count) {
    return count > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}

}  // namespace

// ---- 2.0 layout --------------------------------------------------------------------------

int CPntsInStreamLas2_0::open(const char* path, IOrvPoint* origin) {
    m_reader.close();
    m_headerRead = false;
    m_header = Las2Header();
    m_path = path ? path : "";
    m_origin = origin;
    if (!m_reader.file.open(path)) return -1;
    return openOpened(path, origin);
}

int CPntsInStreamLas2_0::openOpened(const char* path, IOrvPoint* origin) {
    m_headerRead = false;
    m_header = Las2Header();
    m_path = path ? path : "";
    m_origin = origin;
    Las2Header header;
    if (!m_reader.file.seek(0) || m_reader.file.read(&header, sizeof header) != sizeof header) {
        m_reader.close();
        return -1;
    }
    m_header = header;
    m_headerRead = true;

    const uint64_t first = header.offsetToPointData;
    const double offsets[3] = {header.xOffset, header.yOffset, header.zOffset};
    if (!origin || las::isUnsetOrigin(*origin)) {
        uint8_t xyz[24];
        const bool hasFirst = m_reader.file.seek(first) && m_reader.file.read(xyz, 24) == 24;
        XPnt3d stored;
        if (hasFirst) {
            stored = XPnt3d(las::load<double>(xyz), las::load<double>(xyz + 8),
                            las::load<double>(xyz + 16));
        }
        if (!origin) {
            // No origin given: the stream's own, the first record's stored doubles as they are.
            if (hasFirst) {
                m_origin = newOrvPoint();
                m_origin->setPoint(stored);
            }
        } else {
            // Unset origin: the first record's real-world point, or (0, 0, 0) without one.
            if (hasFirst)
                origin->setPoint(
                    XPnt3d(stored.x + offsets[0], stored.y + offsets[1], stored.z + offsets[2]));
            else
                origin->setPoint(XPnt3d(0.0, 0.0, 0.0));
        }
    }

    m_reader.recordLength = header.pointRecordLength;
    m_reader.readable =
        m_reader.file.seek(first) && header.pointRecordLength >= las::kMinRecordLength20;
    return 0;
}

int CPntsInStreamLas2_0::close() {
    m_reader.close();
    return 0;
}

int CPntsInStreamLas2_0::getPntCount(int) {
    return m_headerRead ? las::countAsInt(m_header.numberOfPointRecords) : 0;
}

OrvPtr<LasPntArray> CPntsInStreamLas2_0::readPnts(int step, int count, int) {
    const double offsets[3] = {m_header.xOffset, m_header.yOffset, m_header.zOffset};
    return m_reader.readBlock(step, count, m_origin.get(), [offsets](const uint8_t* record) {
        return las::decodeRecord20(record, offsets);
    });
}

// ---- 1.x layout, and the delegation of 2.0 files ------------------------------------------

int CPntsInStreamLas::open(const char* path, IOrvPoint* origin) {
    // Whatever was open, of either layout, is closed: the stream starts afresh.
    m_reader.close();
    m_headerRead = false;
    m_header = LasHeader();
    m_layout = las::RecordLayout::forFormat(0);
    m_count = 0;
    m_delegating = false;
    m_delegate = nullptr;
    m_path.clear();
    m_origin = nullptr;

    if (!m_reader.file.open(path)) return -1;
    // This stream takes any bytes for a header, signed or not.
    las::OpenRules rules;
    rules.anySignature = true;
    rules.vlrs = false;
    rules.storedWithoutVlr = true;
    rules.fixedHeaderOnly = true;
    las::OpenedLas& opened = m_reader.opened;
    const int result = las::openRecords(m_reader.file.file(), rules, opened);
    if (las::isLayout20(opened)) {
        opened.clear();
        m_delegating = true;
        m_delegate = new CPntsInStreamLas2_0(&m_reader);
        return m_delegate->openOpened(path, origin);
    }

    m_path = path ? path : "";
    m_origin = origin;
    // Records inside the header, or compressed ones the decoder refuses, are not read at all.
    const LasFileHeader& model = opened.header;
    if (result != 0 || (model.warnings & kLasPointsInHeader) ||
        opened.compression == las::Compression::kRefused) {
        m_reader.close();
        return -1;
    }
    const LasHeader& header = opened.raw;
    m_header = header;
    m_headerRead = true;
    const bool compressed = opened.compression != las::Compression::kNone;
    m_layout =
        las::RecordLayout::forFormat(compressed ? model.pointFormat : header.pointDataFormat);
    m_count = las::countAsInt(header.numberOfPointRecords);
    if (model.hasExtension && header.numberOfPointRecords == 0) {
        // Only the 64-bit count states the points: bounded by the records the file holds,
        // which also keeps a count no int can hold from reaching the caller unbounded.
        m_count = las::countAsInt(std::min(model.statedPoints, model.presentRecords));
    }
    // The records end where the header says they do, and never run into the extended VLRs or
    // the waveform data after them. Only a header that states no points at all (one that
    // never got its count) has its records read on to the end of the file.
    m_reader.recordsLeft = model.statedPoints != 0
                               ? std::min(model.statedPoints, model.presentRecords)
                               : model.presentRecords;
    if (model.statedPoints == 0 && model.waveformDataOffset > model.offsetToPointData &&
        header.pointDataRecordLength > 0)
        m_reader.recordsLeft = std::min<uint64_t>(
            m_reader.recordsLeft,
            (model.waveformDataOffset - model.offsetToPointData) / header.pointDataRecordLength);

    if (origin && las::isUnsetOrigin(*origin)) origin->setPoint(firstPoint());

    m_reader.recordLength = header.pointDataRecordLength;
    if (compressed) {
        m_reader.readable =
            opened.decoder->seek(0) && header.pointDataRecordLength >= m_layout.minLength;
        m_reader.recordsLeft = model.readablePoints;
        return 0;
    }
    m_reader.readable = m_reader.file.seek(header.offsetToPointData) &&
                        header.pointDataRecordLength >= m_layout.minLength;
    return 0;
}

XPnt3d CPntsInStreamLas::firstPoint() {
    XPnt3d first(0.0, 0.0, 0.0);
    uint8_t xyz[12];
    bool have = false;
    if (las::RecordSource* decoder = m_reader.opened.decoder.get()) {
        std::vector<uint8_t> record(m_header.pointDataRecordLength);
        have = record.size() >= sizeof xyz && decoder->read(record.data(), 1) == 1;
        if (have) std::memcpy(xyz, record.data(), sizeof xyz);
        decoder->seek(0);
    } else {
        have = m_reader.file.seek(m_header.offsetToPointData) && m_reader.file.read(xyz, 12) == 12;
    }
    if (have) {
        double real[3];
        las::decodeXyz1x(xyz, las::Scaling::of(m_header), real);
        first = XPnt3d(real[0], real[1], real[2]);
    }
    return first;
}

int CPntsInStreamLas::close() {
    if (m_delegating) return m_delegate->close();
    m_reader.close();
    return 0;
}

IOrvPoint* CPntsInStreamLas::getOrigin() {
    return m_delegating ? m_delegate->getOrigin() : m_origin.get();
}

int CPntsInStreamLas::getPntCount(int unused) {
    if (m_delegating) return m_delegate->getPntCount(unused);
    return m_headerRead ? m_count : 0;
}

OrvPtr<LasPntArray> CPntsInStreamLas::readPnts(int step, int count, int unused) {
    if (m_delegating) return m_delegate->readPnts(step, count, unused);
    const las::Scaling scaling = las::Scaling::of(m_header);
    const las::RecordLayout layout = m_layout;
    return m_reader.readBlock(step, count, m_origin.get(),
                              [scaling, layout](const uint8_t* record) {
                                  return las::decodeRecord1x(record, scaling, layout);
                              });
}

}  // namespace orv::las

using namespace orv;

// ---- the interface and its factory ---------------------------------------------------------

IOrvInPntsStream::IOrvInPntsStream() = default;
IOrvInPntsStream::IOrvInPntsStream(const IOrvInPntsStream& other) : OrvReferenced(other) {}
IOrvInPntsStream::~IOrvInPntsStream() = default;

IOrvInPntsStream* newInLasPntStream() {
    return new (std::nothrow) las::CPntsInStreamLas;
}
