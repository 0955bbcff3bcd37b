// Reading LAS point clouds block by block, relative to an origin, and writing them point by point.
#pragma once

#include "OrvBasic.h"
#include "OrvExport.h"

namespace orv {
// An origin coordinate of this value asks IOrvInPntsStream::open to take that coordinate from
// the file's first point.
constexpr double kOriginFromFirstPoint = -2147483647.0;
}  // namespace orv

// Reads a point cloud in blocks of LasPnt values whose coordinates are floats relative to an
// origin, so that map coordinates keep their precision. Read strictly forward.
class ORV_API IOrvInPntsStream : public orv::OrvReferenced {
public:
    IOrvInPntsStream();
    IOrvInPntsStream(const IOrvInPntsStream& other);
    IOrvInPntsStream& operator=(const IOrvInPntsStream&) { return *this; }

    // Opens `path`, closing whatever was open. `origin` (may be null) is subtracted from every
    // coordinate; any coordinate of orv::kOriginFromFirstPoint asks the stream to fill it from
    // the file's first point. Returns 0, or -1 when the file cannot be opened or its header read.
    virtual int open(const char* path, IOrvPoint* origin) = 0;
    // Closes the file; returns 0.
    virtual int close() = 0;
    // The origin in use (borrowed, no reference added), or null.
    virtual IOrvPoint* getOrigin() = 0;
    // Number of point records the header states (0 when no header was read).
    virtual int getPntCount(int unused = 0) = 0;
    // The next `count` records, keeping records 0, step, 2*step... of this block (step below 1
    // counts as 1). Null once the file is exhausted or unreadable; an empty array for count <= 0.
    virtual orv::OrvPtr<orv::LasPntArray> readPnts(int step, int count, int unused = 0) = 0;

protected:
    ~IOrvInPntsStream() override;
};

// Writes a LAS 1.1 file of format-0 records point by point; the final header is written by close.
class ORV_API IOrvOutPntsStream : public orv::OrvReferenced {
public:
    IOrvOutPntsStream();
    IOrvOutPntsStream(const IOrvOutPntsStream& other);
    IOrvOutPntsStream& operator=(const IOrvOutPntsStream&) { return *this; }

    // Creates (or truncates) `path`, completing any file still open first. Returns 0 or -1.
    virtual int open(const char* path, int unused1 = 0, int unused2 = 0) = 0;
    // Writes the placeholder header and starts accepting points. Returns 0, or -1 when no file
    // is open or it was begun already.
    virtual int begin() = 0;
    // Writes `count` points given by pointer; `shift` (may be null) is added to each.
    // Returns 0, or -1 when any point was refused (the others are written).
    virtual int writePntPtrs(const LasPnt* const* points, int count, const orv::XPnt3d* shift) = 0;
    // Writes `count` consecutive points; as writePntPtrs.
    virtual int writePntArray(const LasPnt* points, int count, const orv::XPnt3d* shift) = 0;
    // Writes one point. Returns 0 (also when not begun: the point is dropped), or -1 when its
    // coordinates cannot be stored (nothing written). File-layer failures throw orv::FileError.
    virtual int writePnt(const LasPnt* point, const orv::XPnt3d* shift) = 0;
    // Flushes the points, writes the final header and closes. Returns 0, or -1 when no file is
    // open.
    virtual int close(int unused = 0) = 0;

protected:
    ~IOrvOutPntsStream() override;
};

// A new LAS input stream (count 0: the caller takes the first reference), or null.
ORV_API IOrvInPntsStream* newInLasPntStream();
// A new LAS output stream (count 0: the caller takes the first reference), or null.
ORV_API IOrvOutPntsStream* newOutLasPntStream();
// Abandons the file a stream from newOutLasPntStream is writing: the target keeps what it held
// and the stream is closed. For a caller whose work failed half-way, since releasing an open
// stream completes its file. Nothing for a stream that writes no file or is not the LAS one.
ORV_API void discardOutLasPntStream(IOrvOutPntsStream* stream) noexcept;
