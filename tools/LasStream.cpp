// orvter las stream: copies a LAS file through the input and output streams, block by block,
// optionally thinning it, with bounded memory whatever the size of the file.
#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "Command.h"
#include "OrvLasStream.h"
#include "OrvProgress.h"

namespace orvter {
namespace {

// The marker that asks the input stream to take the origin from the file's first point.
constexpr double kUnsetOrigin = -2147483647.0;

struct StreamOptions {
    std::string in;
    std::string out;
    int step = 1;
    int block = 1000000;
    std::string origin = "auto";
    bool quiet = false;
    bool json = false;
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

void run(const StreamOptions& o) {
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
    LasHeader header;
    checkLasFile(o.in, header, true);  // the stream itself takes any bytes for a header
    orv::OrvPtr<IOrvInPntsStream> in(newInLasPntStream());
    orv::OrvPtr<IOrvOutPntsStream> out(newOutLasPntStream());
    if (!in || !out) throw CommandError("out of memory");
    if (in->open(o.in.c_str(), origin.get()) != 0)
        throw CommandError("cannot read '" + o.in + "' as a LAS file");
    if (out->open(o.out.c_str()) != 0) throw CommandError("cannot create '" + o.out + "'");
    out->begin();

    // The points come back relative to the origin in use; adding it back makes OUT absolute.
    const IOrvPoint* used = in->getOrigin();
    const orv::XPnt3d shift = used ? orv::XPnt3d(used->x, used->y, used->z) : orv::XPnt3d();

    orv::OrvPtr<IOrvProgress> progress = startProgress(o.quiet, "streaming " + o.in);
    const long long total = in->getPntCount();

    long long consumed = 0, written = 0;
    bool refused = false;
    while (orv::OrvPtr<orv::LasPntArray> points = in->readPnts(o.step, o.block)) {
        const int n = static_cast<int>(points->size());
        if (out->writePntArray(points->data(), n, &shift) != 0) refused = true;
        written += n;
        const long long before = consumed;
        consumed = consumed + o.block < total ? consumed + o.block : total;
        if (total > 0) step(progress.get(), static_cast<double>(consumed - before) / total);
    }
    in->close();
    out->close();
    endProgress(progress);
    if (refused)
        throw CommandError("some points of '" + o.in + "' could not be stored in '" + o.out +
                           "' (coordinates beyond the 32-bit range of the file's offsets)");
    if (o.json) {
        printJson({{"in", o.in},
                   {"out", o.out},
                   {"point_count", total},
                   {"points_written", written},
                   {"step", o.step},
                   {"block", o.block},
                   {"origin", used ? nlohmann::ordered_json{shift.x, shift.y, shift.z}
                                   : nlohmann::ordered_json()}});
        return;
    }
    std::printf(
        "streamed %lld of %lld points from %s to %s (step %d, blocks of %d, origin %s)\n", written,
        total, o.in.c_str(), o.out.c_str(), o.step, o.block,
        used ? (formatNumber(shift.x) + "," + formatNumber(shift.y) + "," + formatNumber(shift.z))
                   .c_str()
             : "none");
}

}  // namespace

void addLasStream(CLI::App& las) {
    auto options = std::make_shared<StreamOptions>();
    CLI::App* cmd = las.add_subcommand(
        "stream",
        "Copy a LAS file (1.x or 2.0) block by block to a LAS 1.1 file, optionally thinned");
    cmd->add_option("IN", options->in, "LAS file to read")->required();
    cmd->add_option("OUT", options->out, "LAS 1.1 file to write (replaced when it exists)")
        ->required();
    cmd->add_option("--step", options->step, "Keep every N-th point of each block")
        ->check(CLI::Range(1, INT_MAX))
        ->capture_default_str();
    cmd->add_option("--block", options->block, "Points read per block")
        ->check(CLI::Range(1, INT_MAX))
        ->capture_default_str();
    cmd->add_option("--origin", options->origin,
                    "Origin subtracted while reading: auto (the first point), none, or X,Y,Z")
        ->capture_default_str();
    cmd->add_flag("--json", options->json, "Print the summary as one JSON object");
    cmd->add_flag("--quiet", options->quiet, "Show no progress line");
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
