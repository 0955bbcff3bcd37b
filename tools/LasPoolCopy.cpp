// las copy --pool: the whole cloud through the bulk reader and writer, which hold coordinates
// as floats.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LasCopyCore.h"
#include "OrvLas.h"

namespace orvter {
namespace {

// Bytes this process has read ("rchar:") or written ("wchar:") so far, as the kernel counts
// them, or 0 where it does not tell.
uint64_t bytesMoved(const char* which) {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == which) return value;
    return 0;
}

// Moves the progress line while the bulk reader or writer, which report nothing themselves,
// work: the bytes the process reads or writes, over the record length, are the points done.
class IoTicker {
    static constexpr uint64_t kLeastMoved = 1 << 20;

public:
    IoTicker(PointProgress& progress, const char* which, uint32_t recordLength) {
        if (!progress.shown() || recordLength == 0) return;
        m_thread = std::thread([this, &progress, which, recordLength] {
            const uint64_t before = bytesMoved(which);
            std::unique_lock<std::mutex> lock(m_mutex);
            while (
                !m_cv.wait_for(lock, std::chrono::milliseconds(100), [this] { return m_done; })) {
                // Reading a mapped file moves no count (nor do a few bytes of /proc): then
                // the time spent is all the line can tell.
                const uint64_t moved = bytesMoved(which) - before;
                if (moved < kLeastMoved)
                    progress.tick();
                else
                    progress.update(moved / recordLength);
            }
        });
    }
    ~IoTicker() {
        if (!m_thread.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_one();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace

void runPool(const CopyOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    const InputPath in(o.in);
    LasHeader header;
    checkLasFile(in, header);  // the bulk reader itself takes any bytes for a header
    const double origin[3] = {o.shift.empty() ? 0.0 : -o.shift[0],
                              o.shift.empty() ? 0.0 : -o.shift[1],
                              o.shift.empty() ? 0.0 : -o.shift[2]};
    warnFloatMovement(header, origin, "--pool and --shift");
    if (o.strict) requireAgreement(in);
    const uint64_t stated = countsOf(in).stated;
    OutputPath out(o.out);
    out.refuseInput(in.identity(), in.name());
    PointProgress progress(o.quiet, "reading " + in.name(), stated, 0.5);
    orv::LasPntPool* read = nullptr;
    long readResult = 0;
    {
        IoTicker ticker(progress, "rchar:", header.pointDataRecordLength);
        readResult = orv::orvReadLas(in.path().c_str(), &read, nullptr);
    }
    if (readResult != 1 || !read)
        throw CommandError("cannot read '" + in.name() + "' as a LAS file");
    orv::OrvPtr<orv::LasPntPool> points = orv::OrvPtr<orv::LasPntPool>::adopt(read);
    progress.update(stated);
    reportShortRead(in, points->size(), stated, o.strict);
    orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(points.get());
    if (!pointers) throw CommandError("out of memory");
    progress.phase("writing " + out.name(), 0.5);

    orv::XPnt3d shift;
    if (!o.shift.empty()) shift = orv::XPnt3d(o.shift[0], o.shift[1], o.shift[2]);
    // A failing write throws orv::FileError, which main reports as one line. All or nothing: a
    // point the file cannot hold leaves the target as it was.
    long result = 0;
    uint64_t refused = 0;
    // The bulk writer writes uncompressed records only: a compressed target gets them from a
    // spool.
    std::unique_ptr<Spool> spool;
    if (compressedOutput(o.out, o.laz)) spool = std::make_unique<Spool>();
    {
        constexpr uint32_t kWrittenRecord = 20;  // point format 0
        IoTicker ticker(progress, "wchar:", kWrittenRecord);
        result = orv::orvSavePoint2LasWhole(pointers.get(), o.shift.empty() ? nullptr : &shift,
                                            spool ? spool->path().c_str() : out.path().c_str(),
                                            &refused);
    }
    if (result != 0)
        throw CommandError(std::to_string(refused) + " of " + std::to_string(points->size()) +
                           " points lie beyond what the file's 32-bit coordinates can hold: '" +
                           out.name() + "' was not written");
    if (spool && result == 0) compressCopy(spool->path(), out.path());
    out.finish();
    progress.end();
    warnCrsLeftBehind(in.path(), in.name());
    report(o, in.name(), out.name(), points->size(), points->size(), since(start), "copied");
}

}  // namespace orvter
