// The LAS input streams: CPntsInStreamLas reads 1.x files and hands 2.0 files to
// CPntsInStreamLas2_0, forwarding every later call to it.
#pragma once

#include "OrvLasFormat.h"
#include "OrvLasStream.h"
#include "las/LasBlockReader.h"

namespace orv::las {

// True when any coordinate of the origin carries the "choose it for me" marker.
bool isUnsetOrigin(const IOrvPoint& origin);

// Reads files of the 2.0 layout (322-byte header, coordinates stored as doubles).
class CPntsInStreamLas2_0 final : public IOrvInPntsStream {
public:
    CPntsInStreamLas2_0() = default;
    // Reads through `shared`, which the 1.x stream that delegates to it has opened already and
    // which must outlive it: the file is opened once.
    explicit CPntsInStreamLas2_0(BlockReader* shared) : m_reader(*shared) {}
    int open(const char* path, IOrvPoint* origin) override;
    // As open, on the file the reader has open.
    int openOpened(const char* path, IOrvPoint* origin);
    int close() override;
    IOrvPoint* getOrigin() override { return m_origin.get(); }
    int getPntCount(int unused = 0) override;
    OrvPtr<LasPntArray> readPnts(int step, int count, int unused = 0) override;

private:
    ~CPntsInStreamLas2_0() override = default;

    BlockReader m_own;
    BlockReader& m_reader = m_own;
    Las2Header m_header;
    bool m_headerRead = false;
    OrvString m_path;
    OrvPtr<IOrvPoint> m_origin;
};

// Reads 1.x files itself and delegates 2.0 files.
class CPntsInStreamLas final : public IOrvInPntsStream {
public:
    CPntsInStreamLas() = default;
    int open(const char* path, IOrvPoint* origin) override;
    int close() override;
    IOrvPoint* getOrigin() override;
    int getPntCount(int unused = 0) override;
    OrvPtr<LasPntArray> readPnts(int step, int count, int unused = 0) override;

private:
    ~CPntsInStreamLas() override = default;
    // Real-world coordinates of the first record, for an origin the caller left unset.
    XPnt3d firstPoint();

    BlockReader m_reader;
    LasHeader m_header;
    bool m_headerRead = false;
    // Where records keep the fields beyond X, Y, Z and intensity, from the point data format.
    RecordLayout m_layout = RecordLayout::forFormat(0);
    // What getPntCount answers: the header's count, or the 64-bit one of a 1.4 header.
    int m_count = 0;
    OrvString m_path;
    OrvPtr<IOrvPoint> m_origin;
    bool m_delegating = false;
    OrvPtr<CPntsInStreamLas2_0> m_delegate;
};

}  // namespace orv::las
