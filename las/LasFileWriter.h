// The one writer of LAS 1.1 files (point data format 0): header filling, bounds, points by
// return and the block buffer. The bulk writer and the output stream both drive it; they differ
// only in the texts they put into the header.
#pragma once

#include <cstdint>
#include <memory>

#include "OrvBasic.h"
#include "OrvLasFormat.h"
#include "las/LasCodec.h"
#include "las/LasLimits.h"
#include "platform/Files.h"

namespace orv::las {

// The two header texts that tell which writer made a file.
struct WriterTexts {
    const char* systemIdentifier;
    const char* generatingSoftware;
};

// The texts of the bulk writer.
constexpr WriterTexts kBulkWriterTexts{"ORV_LAS_RAW_DATA", "ORV_LAS_TRANSFER"};

}  // namespace orv::las

// Writes one LAS file at a time: open, begin, writePnt per point, close. File-layer failures
// throw orv::FileError; the destructor then closes the file and frees the buffer.
class AOrvLASFile {
public:
    explicit AOrvLASFile(const orv::las::WriterTexts& texts = orv::las::kBulkWriterTexts);
    AOrvLASFile(const AOrvLASFile&) = delete;
    AOrvLASFile& operator=(const AOrvLASFile&) = delete;
    virtual ~AOrvLASFile();

    // Creates (or truncates) the file and fills the header. False, doing nothing, when a file is
    // open already; throws orv::FileError when the file cannot be created.
    bool open(const char* path);
    // Writes the placeholder header and starts accepting points. False, doing nothing, when no
    // file is open or points are accepted already.
    bool begin();
    // Encodes one point, adding `shift` (may be null) to its coordinates. 0 when the point was
    // written or dropped (not begun); -1 when refused because a coordinate would not fit the
    // 32-bit stored integer (NaN, infinite, too far from the offsets): it is then neither
    // written nor counted nor in the bounds.
    // Inline: it runs once per point.
    int writePnt(const LasPnt* point, const orv::XPnt3d* shift) {
        const orv::XPnt3f p = point->pnt;
        double c[3] = {p.x, p.y, p.z};
        if (shift) {
            c[0] += shift->x;
            c[1] += shift->y;
            c[2] += shift->z;
        }
        if (!m_writing) return 0;
        if (m_firstPoint || m_pointCount == UINT32_MAX) return writeSlow(point, c);
        int32_t xyz[3];
        if (!orv::las::toStoredInts(c, m_offset, xyz)) {
            ++m_refusedCount;
            return -1;
        }
        // What orv::getMin and orv::getMax compute, inline: a call into the basic library per
        // point would cost more than encoding the record.
        m_minPoint.x = c[0] < m_minPoint.x ? c[0] : m_minPoint.x;
        m_minPoint.y = c[1] < m_minPoint.y ? c[1] : m_minPoint.y;
        m_minPoint.z = c[2] < m_minPoint.z ? c[2] : m_minPoint.z;
        m_maxPoint.x = c[0] > m_maxPoint.x ? c[0] : m_maxPoint.x;
        m_maxPoint.y = c[1] > m_maxPoint.y ? c[1] : m_maxPoint.y;
        m_maxPoint.z = c[2] > m_maxPoint.z ? c[2] : m_maxPoint.z;
        store(point, xyz);
        return 0;
    }
    // Writes what is buffered and the final header, and closes the file. False, doing nothing,
    // when no file is open.
    bool close();
    // Closes the file as it stands on disk, without writing anything more; never throws.
    void discard() noexcept;

    bool isOpen() const { return m_file.isOpen(); }
    bool isWriting() const { return m_writing; }
    // Points written since begin.
    uint32_t pointCount() const { return m_pointCount; }
    // Points refused since begin.
    uint64_t refusedCount() const { return m_refusedCount; }
    const LasHeader& header() const { return m_header; }

private:
    // The first point (it fixes the offsets) and the point past the last one a file can count.
    int writeSlow(const LasPnt* point, const double c[3]);
    // Encodes an accepted point into the buffer and counts it.
    void store(const LasPnt* point, const int32_t xyz[3]) {
        orv::las::encodeRecord0(m_buffer.get() + size_t{m_bufferedCount} * m_recordLength, xyz,
                                *point);
        const unsigned slot = point->returnNumber - 1u;  // return numbers 1 to 5 are counted
        if (slot < 5) ++m_header.numberOfPointsByReturn[slot];
        ++m_pointCount;
        if (++m_bufferedCount == orv::las::kWriteBufferRecords) flush();
    }
    void flush();

    orv::las::WriterTexts m_texts;
    orv::platform::OutputFile m_file;
    LasHeader m_header;
    bool m_writing = false;
    bool m_firstPoint = false;
    uint32_t m_recordLength = 0;
    uint32_t m_pointCount = 0;
    uint64_t m_refusedCount = 0;
    double m_offset[3] = {0.0, 0.0, 0.0};  // the header's offsets, aligned for the hot path
    orv::XPnt3d m_minPoint;
    orv::XPnt3d m_maxPoint;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_bufferedCount = 0;
};
