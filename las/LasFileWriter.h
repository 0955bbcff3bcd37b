// The one writer of LAS 1.1 files (point data format 0): header filling, bounds, points by
// return and the block buffer. The bulk writer and the output stream both drive it; they differ
// only in the texts they put into the header.
#pragma once

#include <cstdint>
#include <memory>

#include "OrvBasic.h"
#include "OrvLasFormat.h"
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
    int writePnt(const LasPnt* point, const orv::XPnt3d* shift);
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
    void flush();

    orv::las::WriterTexts m_texts;
    orv::platform::OutputFile m_file;
    LasHeader m_header;
    bool m_writing = false;
    bool m_firstPoint = false;
    uint32_t m_recordLength = 0;
    uint32_t m_pointCount = 0;
    uint64_t m_refusedCount = 0;
    orv::XPnt3d m_minPoint;
    orv::XPnt3d m_maxPoint;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_bufferedCount = 0;
};
