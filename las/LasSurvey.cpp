#include "OrvLasSurvey.h"

#include <cstdint>
#include <string>

#include "las/LasCodec.h"
#include "las/LasLimits.h"
#include "las/LasOpen.h"
#include "las/LasReaderImpl.h"

namespace orv {

struct LasSurvey::Impl {
    LasReader reader;
    int status = -1;
    LasFileInfo info;
    std::string refusal;
    bool hasFirst = false;
    XPnt3d first;
    int layout20 = 0;
    Las2Header header20;
    uint64_t present20 = 0;
    bool counted = true;
    std::string tableDisagreement;
    bool fixedHeaderOnly = false;
};

LasSurvey::LasSurvey() : m_impl(std::make_unique<Impl>()) {}
LasSurvey::~LasSurvey() = default;

namespace {

// The 2.0 layout's header, records and first point, read from the file opened: the first point
// as the point stream takes it for its origin.
int readLayout20(platform::InputFile& file, Las2Header& h, uint64_t& present, bool& hasFirst,
                 XPnt3d& first) {
    if (!file.seek(0) || file.read(&h, sizeof h) != sizeof h) return -1;
    const uint64_t size = file.size(), length = h.pointRecordLength, offset = h.offsetToPointData;
    present = length > 0 && size > offset ? (size - offset) / length : 0;
    uint8_t xyz[24];
    double real[3] = {0.0, 0.0, 0.0};
    const double offsets[3] = {h.xOffset, h.yOffset, h.zOffset};
    // A first point only where its three doubles could be read, not zeros in their place.
    hasFirst = present > 0 && h.numberOfPointRecords > 0 && file.seek(offset) &&
               file.read(xyz, sizeof xyz) == sizeof xyz;
    if (hasFirst) las::decodeXyz20(xyz, offsets, real);
    first = XPnt3d(real[0], real[1], real[2]);
    return 1;
}

}  // namespace

int LasSurvey::open(const char* path) {
    return open(path, Count::kDecode);
}

int LasSurvey::open(const char* path, Count count) {
    Impl& m = *m_impl;
    m.counted = true;
    m.tableDisagreement.clear();
    m.reader.close();
    LasReader::Impl& r = *m.reader.m_impl;
    r.opened.clear();
    m.info = LasFileInfo();
    m.refusal.clear();
    m.hasFirst = false;
    m.layout20 = 0;
    m.header20 = Las2Header();
    m.present20 = 0;
    if (!path || !r.file.open(path)) {
        r.opened.error = "cannot open the file";
        return m.status = -1;
    }
    // The lean readers' rules, VLRs and all: compressed records without their VLR are read as
    // stored and described, though LasReader refuses them.
    las::OpenRules rules;
    rules.storedWithoutVlr = true;
    rules.threads = r.threads;
    rules.fixedHeaderOnly = m.fixedHeaderOnly;
    las::OpenedLas& opened = r.opened;
    int result = las::openRecords(r.file, rules, opened);
    LasFileHeader& h = opened.header;
    // The character '2' in the version byte marks the 2.0 layout, signed or not.
    if (result != -1 && las::isLayout20(opened))
        m.layout20 = readLayout20(r.file, m.header20, m.present20, m.hasFirst, m.first);
    if (result == 0 && (m.layout20 != 0 || !las::isLayout1x(h))) {
        opened.error = "not a LAS 1.x file";
        result = -2;
    }
    m.refusal = las::recordRefusal(h);
    if (m.refusal.empty() && opened.compression == las::Compression::kRefused)
        m.refusal = opened.error;
    if (m.refusal.empty() && h.compressed && opened.compression == las::Compression::kNone)
        m.refusal = opened.storedReason;
    if (result == 0 && opened.compression == las::Compression::kRefused) result = -3;
    if (result != 0) {
        if (result == -3) opened.error = m.refusal;
        r.file.close();
        return m.status = result;
    }
    if (count == Count::kDecode) {
        las::countDecoded(opened);
    } else if (opened.decoder) {
        m.counted = false;
        m.tableDisagreement = opened.decoder->disagreement();
    }
    // Where the probe looks, or beyond it when the file holds points to read.
    const uint64_t within = h.readablePoints > 0 ? UINT64_MAX : las::kProbeWindowBytes;
    m.hasFirst = las::firstRecordPoint(r.file, opened, within, m.first);
    m.info = las::describe(opened);
    // The VLR lists' own troubles are the full header's, as ReadLasInfo does not read them.
    m.info.warnings &= ~uint32_t{kLasVlrsCut | kLasEvlrsCut};
    if (m.refusal.empty()) {
        r.startRecords();
    } else {
        opened.error = m.refusal;
        opened.decoder.reset();
        r.file.close();
    }
    return m.status = 0;
}

bool LasSurvey::counted() const {
    return m_impl->counted;
}

const std::string& LasSurvey::chunkTableDisagreement() const {
    return m_impl->tableDisagreement;
}

void LasSurvey::setFixedHeaderOnly(bool fixedHeaderOnly) {
    m_impl->fixedHeaderOnly = fixedHeaderOnly;
}

const LasFileInfo& LasSurvey::info() const {
    return m_impl->info;
}

const LasFileHeader& LasSurvey::header() const {
    return m_impl->reader.header();
}

const std::string& LasSurvey::refusal() const {
    return m_impl->refusal;
}

bool LasSurvey::firstPoint(XPnt3d& point) const {
    if (!m_impl->hasFirst) return false;
    point.x = m_impl->first.x;
    point.y = m_impl->first.y;
    point.z = m_impl->first.z;
    return true;
}

int LasSurvey::layout20(Las2Header& header, uint64_t& presentRecords) const {
    if (m_impl->layout20 == 1) {
        header = m_impl->header20;
        presentRecords = m_impl->present20;
    }
    return m_impl->layout20;
}

LasReader* LasSurvey::reader() {
    return m_impl->reader.isOpen() ? &m_impl->reader : nullptr;
}

}  // namespace orv
