// orvter las stream: copies a LAS file through the input and output streams, block by block,
// optionally thinning it, with bounded memory whatever the size of the file.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "Command.h"
#include "LasCopyCore.h"
#include "LasCrsCopy.h"
#include "OrvLasStream.h"
#include "OrvProgress.h"

namespace orvter {
namespace {

// The marker that asks the input stream to take the origin from the file's first point.
constexpr double kUnsetOrigin = orv::kOriginFromFirstPoint;

struct StreamOptions {
    std::string in;
    std::string out;
    int step = 1;
    int block = 1000000;
    std::string origin = "auto";
    bool quiet = false;
    bool json = false;
    bool strict = false;
    bool laz = false;
};

// "auto", "none" or "X,Y,Z"; anything else is a usage error.
bool parseOrigin(const std::string& text, orv::XPnt3d& point, bool& none) {
    none = text == "none";
    if (none) return true;
    if (text == "auto") {
        point = orv::XPnt3d(kUnsetOrigin, kUnsetOrigin, kUnsetOrigin);
        return true;
    }
    std::istringstream in(text);
    char c1 = 0, c2 = 0;
    in >> point.x >> c1 >> point.y >> c2 >> point.z;
    return in && c1 == ',' && c2 == ',' && in.peek() == std::char_traits<char>::eof();
}

// The origin the input stream is asked for: none, the file's first point, or the one given.
orv::OrvPtr<IOrvPoint> originOf(const StreamOptions& o) {
    orv::XPnt3d wanted;
    bool noOrigin = false;
    if (!parseOrigin(o.origin, wanted, noOrigin))
        throw CLI::ValidationError("--origin",
                                   "expected auto, none or X,Y,Z, got '" + o.origin + "'");
    orv::OrvPtr<IOrvPoint> origin;
    if (!noOrigin) {
        origin = newOrvPoint();
        if (!origin) throw CommandError("out of memory");
        origin->setPoint(wanted);
    }
    return origin;
}

// What a run did, for its closing line.
struct StreamRun {
    long long consumed = 0, written = 0;
    const IOrvPoint* used = nullptr;  // the origin in use, or null
    orv::XPnt3d shift;                // its point, added back to every point written
};

// Streams the points of `in` into `out`, a block at a time; throws where a point cannot be stored.
void copyPoints(const StreamOptions& o, IOrvInPntsStream& in, IOrvOutPntsStream& out,
                const InputPath& inPath, const OutputPath& outPath, PointProgress& progress,
                StreamRun& r) {
    const long long total = in.getPntCount();
    while (orv::OrvPtr<orv::LasPntArray> points = in.readPnts(o.step, o.block)) {
        const int n = static_cast<int>(points->size());
        if (out.writePntArray(points->data(), n, &r.shift) != 0)
            throw CommandError("some points of '" + inPath.name() + "' could not be stored in '" +
                               outPath.name() +
                               "' (coordinates beyond the 32-bit range of the file's offsets): "
                               "it was not written");
        r.written += n;
        r.consumed = r.consumed + o.block < total ? r.consumed + o.block : total;
        progress.update(static_cast<uint64_t>(r.consumed));
    }
}

// Every block but a file's last is whole: the records read end where the file's do. A header
// that states no points has its whole records read to the end, and says so. Returns the records
// read, after warning of what the file lacked.
uint64_t warnAfterRead(const InputPath& inPath, const LasCounts& counts, long long consumed,
                       bool is20) {
    const uint64_t read =
        counts.stated == 0 && !is20
            ? counts.present
            : std::min<uint64_t>(static_cast<uint64_t>(consumed), counts.readable);
    std::fflush(stdout);
    for (const std::string& w :
         readWarnings(counts.warnings & (orv::kLasChunkTableLost | orv::kLasRecordsDamaged),
                      counts.stated, counts.readable))
        std::fprintf(stderr, "warning: '%s': %s\n", inPath.name().c_str(), w.c_str());
    if (counts.stated == 0 && read > 0)
        std::fprintf(stderr,
                     "warning: '%s': the header states no points; read the %llu whole records "
                     "that follow\n",
                     inPath.name().c_str(), static_cast<unsigned long long>(read));
    if (!(counts.warnings & orv::kLasRecordsDamaged))
        reportShortRead(inPath, read, counts.stated, false);
    return read;
}

void printSummary(const StreamOptions& o, const InputPath& inPath, const OutputPath& outPath,
                  const LasInput& input, const StreamRun& r, uint64_t read, double seconds) {
    const bool toStderr = o.out == "-";
    if (o.json) {
        printJson({{"input", inPath.name()},
                   {"output", outPath.name()},
                   {"stated_points", input.counts.stated},
                   {"points_read", read},
                   {"points_written", r.written},
                   {"seconds", seconds},
                   {"step", o.step},
                   {"block", o.block},
                   {"origin", r.used ? nlohmann::ordered_json{r.shift.x, r.shift.y, r.shift.z}
                                     : nlohmann::ordered_json()}},
                  toStderr);
        return;
    }
    // The origin is printed at the file's precision; a 2.0 file has no scale.
    const LasHeader& header = input.header;
    const bool is20 = input.layout20;
    const int digits[3] = {is20 ? -1 : decimalsOf(header.xScale),
                           is20 ? -1 : decimalsOf(header.yScale),
                           is20 ? -1 : decimalsOf(header.zScale)};
    std::fprintf(toStderr ? stderr : stdout,
                 "streamed %lld of %llu points from %s to %s (step %d, blocks of %d, origin %s)\n",
                 r.written, static_cast<unsigned long long>(read), inPath.name().c_str(),
                 outPath.name().c_str(), o.step, o.block,
                 r.used
                     ? (formatFixed(r.shift.x, digits[0]) + "," +
                        formatFixed(r.shift.y, digits[1]) + "," + formatFixed(r.shift.z, digits[2]))
                           .c_str()
                     : "none");
}

void run(const StreamOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    const orv::OrvPtr<IOrvPoint> origin = originOf(o);
    const InputPath inPath(o.in);
    const LasInput input = openLasInput(inPath, true);  // the stream takes any bytes
    if (o.strict) requireAgreement(inPath, input);
    OutputPath outPath(o.out);
    outPath.refuseInput(inPath.identity(), inPath.name());
    orv::OrvPtr<IOrvInPntsStream> in(newInLasPntStream());
    orv::OrvPtr<IOrvOutPntsStream> out(newOutLasPntStream());
    if (!in || !out) throw CommandError("out of memory");
    if (in->open(inPath.path().c_str(), origin.get()) != 0)
        throw CommandError("cannot read '" + inPath.name() + "' as a LAS file");
    errno = 0;
    // The stream writes uncompressed records only: a compressed target gets them from a spool.
    std::unique_ptr<Spool> spool;
    if (compressedOutput(o.out, o.laz)) spool = std::make_unique<Spool>();
    if (out->open(spool ? spool->path().c_str() : outPath.path().c_str()) != 0)
        throw CommandError("cannot create '" + outPath.name() + "'" +
                           (errno ? std::string(": ") + std::strerror(errno) : std::string()));
    // Released open, the stream would complete its file: any failure abandons it instead, so
    // the target keeps what it held.
    struct Abandon {
        IOrvOutPntsStream* stream;
        ~Abandon() {
            if (stream) discardOutLasPntStream(stream);
        }
    } abandon{out.get()};
    out->begin();

    // The points come back relative to the origin in use; adding it back makes OUT absolute.
    StreamRun r;
    r.used = in->getOrigin();
    if (r.used) r.shift = orv::XPnt3d(r.used->x, r.used->y, r.used->z);
    if (!input.layout20) {
        const double at[3] = {r.shift.x, r.shift.y, r.shift.z};
        warnFloatMovement(input.header, at,
                          r.used ? "the points of las stream, relative to its origin,"
                                 : "the points of las stream without an origin");
    }
    const long long total = in->getPntCount();
    PointProgress progress(o.quiet, "streaming " + inPath.name(), total > 0 ? total : 0);
    copyPoints(o, *in, *out, inPath, outPath, progress, r);
    in->close();
    abandon.stream = nullptr;
    out->close();
    if (spool) compressCopy(spool->path(), outPath.path());
    outPath.finish();
    progress.end();
    warnCrsLeftBehind(inPath.path(), inPath.name());
    const uint64_t read = warnAfterRead(inPath, input.counts, r.consumed, input.layout20);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printSummary(o, inPath, outPath, input, r, read, seconds);
}

}  // namespace

void addLasStream(CLI::App& las) {
    auto options = std::make_shared<StreamOptions>();
    CLI::App* cmd = las.add_subcommand(
        "stream",
        "Copy a LAS file (1.x or 2.0) block by block to a LAS 1.1 file, optionally thinned");
    cmd->add_option("IN", options->in, "LAS file to read (- reads standard input)")->required();
    addLasOutput(*cmd, options->out, options->laz);
    cmd->add_option("--step", options->step, "Keep every N-th point of each block")
        ->check(wholeNumber)
        ->check(CLI::Range(1, INT_MAX))
        ->capture_default_str();
    cmd->add_option("--block", options->block, "Points read per block")
        ->check(wholeNumber)
        ->check(CLI::Range(1, INT_MAX))
        ->capture_default_str();
    cmd->add_option("--origin", options->origin,
                    "Origin subtracted while reading: auto (the first point), none, or X,Y,Z")
        ->capture_default_str();
    cmd->add_flag("--json", options->json, "Print the summary as one JSON object");
    cmd->add_flag("--quiet", options->quiet, "Show no progress line");
    addThreadsOption(cmd);
    cmd->add_flag("--strict", options->strict,
                  "Exit with status 3 when the file disagrees with its header");
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
