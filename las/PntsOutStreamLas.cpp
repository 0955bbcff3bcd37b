#include "las/PntsOutStreamLas.h"

#include <cerrno>
#include <new>

#include "OrvError.h"

namespace orv::las {

CPntsOutStreamLas::~CPntsOutStreamLas() {
    try {
        complete();
    } catch (...) {  // a destructor never throws; complete() has released the file already
    }
}

void CPntsOutStreamLas::complete() {
    if (!m_writer.isOpen()) return;
    try {
        m_writer.close();
    } catch (...) {
        m_writer.discard();
        throw;
    }
}

int CPntsOutStreamLas::open(const char* path, int, int) {
    // A file being written is finished first, so that none of its points is lost.
    complete();
    try {
        m_writer.open(path);
    } catch (const FileError& e) {
        errno = e.errorCode();  // the reason, for a caller that reports it
        return -1;
    }
    return 0;
}

int CPntsOutStreamLas::begin() {
    return m_writer.begin() ? 0 : -1;
}

int CPntsOutStreamLas::writePnt(const LasPnt* point, const XPnt3d* shift) {
    if (!point) return -1;
    return m_writer.writePnt(point, shift);
}

int CPntsOutStreamLas::writePntPtrs(const LasPnt* const* points, int count, const XPnt3d* shift) {
    if (count <= 0) return 0;
    if (!points) return -1;
    // Null entries are refused like unstorable points; the rest go through in one batch.
    int result = 0;
    int from = 0;
    for (int i = 0; i <= count; ++i) {
        if (i < count && points[i]) continue;
        const auto at = [points, from](size_t k) { return points[from + static_cast<int>(k)]; };
        if (m_writer.writePnts(static_cast<size_t>(i - from), at, shift) != 0) result = -1;
        if (i < count) result = -1;
        from = i + 1;
    }
    return result;
}

int CPntsOutStreamLas::writePntArray(const LasPnt* points, int count, const XPnt3d* shift) {
    if (count <= 0) return 0;
    if (!points) return -1;
    const auto at = [points](size_t k) { return points + k; };
    return m_writer.writePnts(static_cast<size_t>(count), at, shift) == 0 ? 0 : -1;
}

int CPntsOutStreamLas::close(int) {
    if (!m_writer.isOpen()) return -1;
    complete();
    return 0;
}

}  // namespace orv::las

using namespace orv;

IOrvOutPntsStream::IOrvOutPntsStream() = default;
IOrvOutPntsStream::IOrvOutPntsStream(const IOrvOutPntsStream& other) : OrvReferenced(other) {}
IOrvOutPntsStream::~IOrvOutPntsStream() = default;

IOrvOutPntsStream* newOutLasPntStream() {
    return new (std::nothrow) las::CPntsOutStreamLas;
}

void discardOutLasPntStream(IOrvOutPntsStream* stream) noexcept {
    if (auto* las = dynamic_cast<las::CPntsOutStreamLas*>(stream)) las->discard();
}
