// The LAS output stream: the shared LAS writer driven point by point, with its own header texts.
#pragma once

#include "OrvLasStream.h"
#include "las/LasFileWriter.h"

namespace orv::las {
// The texts of the output stream.
constexpr WriterTexts kStreamWriterTexts{"Pelvaron", "Lodrune"};

class CPntsOutStreamLas final : public IOrvOutPntsStream {
public:
    CPntsOutStreamLas() : m_writer(kStreamWriterTexts) {}
    int open(const char* path, int unused1 = 0, int unused2 = 0) override;
    int begin() override;
    int writePntPtrs(const LasPnt* const* points, int count, const XPnt3d* shift) override;
    int writePntArray(const LasPnt* points, int count, const XPnt3d* shift) override;
    int writePnt(const LasPnt* point, const XPnt3d* shift) override;
    int close(int unused = 0) override;
    // Abandons the file being written: the target stays as it was.
    void discard() noexcept { m_writer.discard(); }

private:
    // A file still open is completed as close completes it; an error is swallowed here.
    ~CPntsOutStreamLas() override;
    // Flushes and writes the final header; on a file-layer failure drops the file and rethrows.
    void complete();

    AOrvLASFile m_writer;
};

}  // namespace orv::las
