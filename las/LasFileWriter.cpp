#include "las/LasFileWriter.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "las/LasCodec.h"
#include "las/LasDate.h"
#include "las/LasHeaderWrite.h"
#include "las/LasLimits.h"

namespace orv::las {

namespace {
// A header text as the bulk writer has always cut it: at most 31 bytes, so the 32-byte field
// ends in a NUL.
std::string headerText(const char* text) {
    return text ? std::string(text, strnlen(text, 31)) : std::string();
}
}  // namespace

AOrvLASFile::AOrvLASFile(const las::WriterTexts& texts) : m_texts(texts) {}

AOrvLASFile::~AOrvLASFile() {
    discard();
}

bool AOrvLASFile::open(const char* path) {
    if (m_file.isOpen()) return false;
    m_file.create(path);
    m_lengthKnown = false;
    m_recordLength = las::kWrittenRecordLength;
    m_writing = false;
    m_pointCount = 0;
    m_refusedCount = 0;
    m_bufferedCount = 0;
    m_minPoint = m_maxPoint = XPnt3d();
    m_header = LasFileHeader();
    m_progress.start(0);
    m_header.versionMajor = 1;
    m_header.versionMinor = 1;
    m_header.systemIdentifier = headerText(m_texts.systemIdentifier);
    m_header.generatingSoftware = headerText(m_texts.generatingSoftware);
    m_header.headerSize = sizeof(LasHeader);
    m_header.pointFormat = 0;
    m_header.recordLength = static_cast<uint16_t>(m_recordLength);
    m_header.scale[0] = m_header.scale[1] = m_header.scale[2] = 0.001;
    las::today(m_header.creationDay, m_header.creationYear);
    return true;
}

void AOrvLASFile::expectPoints(uint64_t points) noexcept {
    // No file holds more than its header's count can state.
    const uint64_t records = points < UINT32_MAX ? points : UINT32_MAX;
    m_lengthKnown = true;
    m_progress.setTotal(records);
    m_file.reserve(sizeof(LasHeader) + records * m_recordLength);
}

bool AOrvLASFile::begin() {
    if (!m_file.isOpen() || m_writing) return false;
    if (!m_buffer)
        m_buffer.reset(static_cast<uint8_t*>(allocateLargeBlock(las::kWriteBufferBytes)));
    m_writing = true;
    m_firstPoint = true;
    m_offset[0] = m_offset[1] = m_offset[2] = 0.0;
    m_pointCount = 0;
    m_refusedCount = 0;
    m_bufferedCount = 0;
    m_minPoint = m_maxPoint = XPnt3d();
    writeHeader();
    return true;
}

int AOrvLASFile::writeFirst(const LasPnt* point, const double c[3]) {
    if (m_pointCount == UINT32_MAX) return -1;  // the header's count field could not state more
    // The first point fixes the offsets: X and Y truncated toward zero, Z relative to 0.
    double offset[3] = {0.0, 0.0, 0.0};
    int32_t xyz[3];
    if (!las::toOffset(c[0], offset[0]) || !las::toOffset(c[1], offset[1]) ||
        !las::toStoredInts(c, offset, xyz))
        return -1;
    if (m_firstPoint) {
        m_firstPoint = false;
        for (int axis = 0; axis < 3; ++axis) m_offset[axis] = offset[axis];
        for (int axis = 0; axis < 3; ++axis) m_header.offset[axis] = offset[axis];
        m_minPoint = m_maxPoint = XPnt3d(c[0], c[1], c[2], point->pnt.attr);
    }
    las::encodeRecord0(m_buffer.get() + size_t{m_bufferedCount} * m_recordLength, xyz, *point);
    const unsigned slot = point->returnNumber - 1u;
    if (slot < 5) ++m_header.legacyPointsByReturn[slot];
    ++m_pointCount;
    if (++m_bufferedCount == las::kWriteBufferRecords) flush();
    return 0;
}

void AOrvLASFile::flush() {
    if (m_bufferedCount == 0) return;
    const size_t bytes = size_t{m_bufferedCount} * m_recordLength;
    m_bufferedCount = 0;
    // A writer told nothing of its length (the output stream) reserves as it goes: room taken
    // write by write costs the file system far more than room taken in large steps.
    if (!m_lengthKnown)
        m_file.reserveAhead(sizeof(LasHeader) + uint64_t{m_pointCount} * m_recordLength);
    m_file.write(m_buffer.get(), bytes);
    m_progress.block(m_pointCount);
}

bool AOrvLASFile::close() {
    if (!m_file.isOpen()) return false;
    if (m_writing) flush();
    m_writing = false;
    m_buffer.reset();
    // The bounds of what the records hold: truncation keeps order, so the extreme coordinates
    // become the extreme stored integers.
    const double lo[3] = {m_minPoint.x, m_minPoint.y, m_minPoint.z};
    const double hi[3] = {m_maxPoint.x, m_maxPoint.y, m_maxPoint.z};
    int32_t storedLo[3], storedHi[3];
    double mins[3], maxs[3];
    const bool stored = m_pointCount > 0 && las::toStoredInts(lo, m_offset, storedLo) &&
                        las::toStoredInts(hi, m_offset, storedHi);
    for (int axis = 0; axis < 3; ++axis) {
        mins[axis] = stored ? storedLo[axis] * 0.001 + m_offset[axis] : lo[axis];
        maxs[axis] = stored ? storedHi[axis] * 0.001 + m_offset[axis] : hi[axis];
    }
    for (int axis = 0; axis < 3; ++axis) {
        m_header.min[axis] = mins[axis];
        m_header.max[axis] = maxs[axis];
    }
    m_header.legacyPointCount = m_pointCount;
    m_header.numberOfVlrs = 0;
    m_header.offsetToPointData = sizeof(LasHeader);
    m_file.seekToStart();
    writeHeader();
    m_file.close();
    m_progress.end(m_pointCount);
    return true;
}

void AOrvLASFile::writeHeader() {
    const std::vector<uint8_t> bytes = headerBytes(m_header);
    m_file.write(bytes.data(), bytes.size());
}

void AOrvLASFile::discard() noexcept {
    m_writing = false;
    m_bufferedCount = 0;
    m_buffer.reset();
    m_file.discard();
}

}  // namespace orv::las
