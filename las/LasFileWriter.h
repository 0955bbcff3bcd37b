// The lean writer of LAS 1.1 files (point data format 0): header filling, bounds, points by
// return and the block buffer. The bulk writer and the output stream both drive it; they differ
// only in the texts they put into the header.
#pragma once

#include <cstdint>
#include <memory>

#include "OrvBasic.h"
#include "OrvLasFile.h"
#include "OrvLasFormat.h"
#include "las/LasCodec.h"
#include "las/LasEncodeRun.h"
#include "las/LasLimits.h"
#include "las/LasProgress.h"
#include "platform/Files.h"

namespace orv::las {

// The two header texts that tell which writer made a file.
struct WriterTexts {
    const char* systemIdentifier;
    const char* generatingSoftware;
};

// The texts of the bulk writer.
constexpr WriterTexts kBulkWriterTexts{"ORV_LAS_RAW_DATA", "ORV_LAS_TRANSFER"};

// Writes one LAS file at a time: open, begin, writePnt per point, close. File-layer failures
// throw FileError; the destructor then closes the file and frees the buffer.
class AOrvLASFile {
public:
    explicit AOrvLASFile(const WriterTexts& texts = kBulkWriterTexts);
    AOrvLASFile(const AOrvLASFile&) = delete;
    AOrvLASFile& operator=(const AOrvLASFile&) = delete;
    virtual ~AOrvLASFile();

    // Creates (or truncates) the file and fills the header. False, doing nothing, when a file is
    // open already; throws FileError when the file cannot be created.
    bool open(const char* path);
    // Tells the file system that about `points` points will follow, so that their room can be
    // reserved in one piece; a hint, never a failure.
    void expectPoints(uint64_t points) noexcept;
    // Told the points written after each block once expectPoints gave their total, and the
    // points written when close succeeds.
    void setProgress(ProgressCallback progress) { m_progress.set(std::move(progress)); }
    // Writes the placeholder header and starts accepting points. False, doing nothing, when no
    // file is open or points are accepted already.
    bool begin();
    // Encodes one point, adding `shift` (may be null) to its coordinates. 0 when the point was
    // written or dropped (not begun); -1 when refused because a coordinate would not fit the
    // 32-bit stored integer (NaN, infinite, too far from the offsets) or the file holds the
    // most points its header can count: it is then neither written nor counted nor in the
    // bounds.
    int writePnt(const LasPnt* point, const XPnt3d* shift) {
        const auto only = [point](size_t) { return point; };
        return writePnts(1, only, shift) == 0 ? 0 : -1;
    }
    // Encodes `count` points, the i-th at pointAt(i) (never null), as writePnt would one by one.
    // Returns the number refused.
    template <class PointAt>
    uint64_t writePnts(size_t count, PointAt pointAt, const XPnt3d* shift) {
        size_t taken = 0;
        return writeSome<false>(count, pointAt, shift, taken);
    }
    // As writePnts, but the points end early at the first null pointAt(i). `taken` is set to the
    // points looked at before it (all `count` when there is none).
    template <class PointAt>
    uint64_t writePntsUntilNull(size_t count, PointAt pointAt, const XPnt3d* shift, size_t& taken) {
        return writeSome<true>(count, pointAt, shift, taken);
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
    const LasFileHeader& header() const { return m_header; }

private:
    template <bool kStopAtNull, class PointAt>
    uint64_t writeSome(size_t count, PointAt pointAt, const XPnt3d* shift, size_t& taken) {
        taken = 0;
        if (!m_writing) return 0;
        return shift ? writeRange<true, kStopAtNull>(count, pointAt, *shift, taken)
                     : writeRange<false, kStopAtNull>(count, pointAt, XPnt3d(), taken);
    }

    template <bool kShift, bool kStopAtNull, class PointAt>
    uint64_t writeRange(size_t count, PointAt pointAt, const XPnt3d& shift, size_t& taken) {
        uint64_t refused = 0;
        size_t i = 0;
        while (i < count) {
            if (m_firstPoint || m_pointCount == UINT32_MAX) {
                const LasPnt* point = pointAt(i);
                if (kStopAtNull && !point) break;
                ++i;
                const XPnt3f p = point->pnt;
                double c[3] = {p.x, p.y, p.z};
                if (kShift) {
                    c[0] += shift.x;
                    c[1] += shift.y;
                    c[2] += shift.z;
                }
                if (writeFirst(point, c) != 0) ++refused;
                continue;
            }
            size_t run = count - i;
            run = run < kWriteBufferRecords - m_bufferedCount
                      ? run
                      : kWriteBufferRecords - m_bufferedCount;
            run = run < size_t{UINT32_MAX - m_pointCount} ? run : UINT32_MAX - m_pointCount;
            RunState state{{m_minPoint.x, m_minPoint.y, m_minPoint.z},
                           {m_maxPoint.x, m_maxPoint.y, m_maxPoint.z},
                           {}};
            for (int k = 0; k < 5; ++k) state.byReturn[k] = m_header.legacyPointsByReturn[k];
            const RunCount done = encodeRun<kShift, kStopAtNull>(
                pointAt, i, run, m_offset, shift,
                m_buffer.get() + size_t{m_bufferedCount} * kWrittenRecordLength, state);
            const size_t written = done.written;
            m_minPoint.x = state.lo[0], m_minPoint.y = state.lo[1], m_minPoint.z = state.lo[2];
            m_maxPoint.x = state.hi[0], m_maxPoint.y = state.hi[1], m_maxPoint.z = state.hi[2];
            for (int k = 0; k < 5; ++k) m_header.legacyPointsByReturn[k] = state.byReturn[k];
            refused += done.taken - written;
            i += done.taken;
            m_pointCount += static_cast<uint32_t>(written);
            m_bufferedCount += static_cast<uint32_t>(written);
            if (m_bufferedCount == kWriteBufferRecords) flush();
            if (done.taken < run) break;  // a null ended the points
        }
        m_refusedCount += refused;
        taken = i;
        return refused;
    }

    // The first point, which fixes the offsets, and the point past the most a file can count.
    int writeFirst(const LasPnt* point, const double c[3]);
    void flush();
    void writeHeader();

    WriterTexts m_texts;
    platform::OutputFile m_file;
    LasFileHeader m_header;
    bool m_writing = false;
    bool m_firstPoint = false;
    bool m_lengthKnown = false;  // expectPoints reserved the room; otherwise flush reserves ahead
    uint32_t m_recordLength = 0;
    uint32_t m_pointCount = 0;
    uint64_t m_refusedCount = 0;
    double m_offset[3] = {0.0, 0.0, 0.0};  // the header's offsets, aligned for the hot path
    XPnt3d m_minPoint;
    XPnt3d m_maxPoint;
    // The encoded records waiting to be written; a large block, given back with its size.
    struct BufferRelease {
        void operator()(uint8_t* block) const noexcept { freeLargeBlock(block, kWriteBufferBytes); }
    };
    std::unique_ptr<uint8_t[], BufferRelease> m_buffer;
    uint32_t m_bufferedCount = 0;
    ProgressReport m_progress;
};

}  // namespace orv::las
