// orvter las copy: a whole cloud through the bulk reader and the bulk writer.
#include <CLI/CLI.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "OrvLas.h"

namespace orvter {
namespace {

struct CopyOptions {
    std::string in, out;
    std::vector<double> shift;
    bool json = false;
    bool quiet = false;
    bool strict = false;
};

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

void run(const CopyOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    const InputPath in(o.in);
    LasHeader header;
    checkLasFile(in, header);  // the bulk reader itself takes any bytes for a header
    if (o.strict) requireAgreement(in);
    const uint64_t stated = countsOf(in).stated;
    OutputPath out(o.out);
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
    // A failing write throws orv::FileError, which main reports as one line.
    long result = 0;
    {
        constexpr uint32_t kWrittenRecord = 20;  // point format 0
        IoTicker ticker(progress, "wchar:", kWrittenRecord);
        result = orv::orvSavePoint2Las(pointers.get(), o.shift.empty() ? nullptr : &shift,
                                       out.path().c_str(), nullptr);
    }
    if (result != 0) {
        LasHeader written;
        const unsigned long long kept = orv::ReadLasHeader(out.path().c_str(), written) == 0
                                            ? +written.numberOfPointRecords
                                            : 0;
        throw CommandError("wrote " + std::to_string(kept) + " of " +
                           std::to_string(points->size()) + " points to '" + out.name() +
                           "': the others lie beyond what the file's 32-bit coordinates can hold");
    }
    out.finish();
    progress.end();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (o.json)
        printJson({{"input", in.name()},
                   {"output", out.name()},
                   {"points_read", points->size()},
                   {"points_written", points->size()},
                   {"seconds", seconds}},
                  o.out == "-");
    else
        std::fprintf(o.out == "-" ? stderr : stdout, "copied %zu points in %.3f s\n",
                     points->size(), seconds);
}

}  // namespace

void addLasCopy(CLI::App& las) {
    auto options = std::make_shared<CopyOptions>();
    CLI::App* cmd = las.add_subcommand(
        "copy",
        "Copy a LAS cloud into a new LAS 1.1 file (point format 0). Keeps X, Y, Z, intensity and "
        "classification; return numbers and every other field are not carried over");
    cmd->add_option("IN", options->in, "LAS file to read (- reads standard input)")->required();
    cmd->add_option("OUT", options->out,
                    "LAS file to write (replaced when it exists; - writes standard output)")
        ->required();
    cmd->add_option("--shift", options->shift, "Add X,Y,Z to every coordinate")
        ->delimiter(',')
        ->expected(3);
    cmd->add_flag("--json", options->json, "Print the summary as one JSON object");
    cmd->add_flag("--quiet", options->quiet, "Show no progress line");
    cmd->add_flag("--strict", options->strict,
                  "Exit with status 3 when the file holds fewer points than its header states");
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
