// The CRS side of las copy and las merge. Every path that writes CRS records goes through
// prepareCrs, so no output carries a CRS its points are not in, nor one in a form its version's
// readers do not look for.
#include "LasCrsCopy.h"

#include <sys/stat.h>
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include "Command.h"
#include "OrvLasCrs.h"

namespace orvter {
namespace {

// Points along each edge of a file's bounding box that are transformed to bound its image.
constexpr int kEdgeSamples = 9;
// The finest step a geographic target gets at most: 1e-7 degree is about a centimetre.
constexpr double kCoarsestDegreeScale = 1e-7;
// Stored integers stay this far inside int32, so points just beyond the sampled bounds fit.
constexpr double kIntegerRoom = 0.9 * 2147483647.0;

// A CRS given on the command line: a definition PROJ reads, or the name of a file holding one.
orv::Crs crsArgument(const std::string& arg, const char* option) {
    std::string text = arg;
    struct stat st {};
    if (::stat(arg.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        std::ifstream f(arg, std::ios::binary);
        std::ostringstream all;
        all << f.rdbuf();
        text = all.str();
    }
    std::string error;
    orv::Crs c = orv::Crs::fromText(text, &error);
    if (c.empty()) throw CommandError(std::string(option) + " '" + arg + "': " + error, kExitUsage);
    return c;
}

std::string describe(const orv::Crs& c) {
    if (c.empty()) return "no CRS";
    return c.name() + (c.epsg() ? " (EPSG:" + std::to_string(c.epsg()) + ")" : "");
}

void warn(const std::string& what) {
    std::fprintf(stderr, "warning: %s\n", what.c_str());
}

// The largest power of ten not above `step`: the target keeps at least the input's precision.
double decimalStep(double step) {
    return std::pow(10.0, std::floor(std::log10(step) + 1e-9));
}

// Scale and offset for points moved into `to`: the input's precision carried over in the
// target's units, and an offset at the centre of the transformed bounds of every input.
void chooseQuantisation(std::vector<CrsInput>& inputs, orv::LasFileHeader& target,
                        const orv::Crs& to, bool scaleGiven, bool offsetGiven) {
    double lo[3], hi[3];
    std::fill(lo, lo + 3, std::numeric_limits<double>::infinity());
    std::fill(hi, hi + 3, -std::numeric_limits<double>::infinity());
    for (CrsInput& in : inputs) {
        const orv::LasFileHeader& h = in.header;
        std::vector<double> x, y, z;
        for (int i = 0; i < kEdgeSamples; ++i)
            for (int j = 0; j < kEdgeSamples; ++j)
                for (int k = 0; k < 2; ++k) {
                    x.push_back(h.min[0] + (h.max[0] - h.min[0]) * i / (kEdgeSamples - 1));
                    y.push_back(h.min[1] + (h.max[1] - h.min[1]) * j / (kEdgeSamples - 1));
                    z.push_back(k ? h.max[2] : h.min[2]);
                }
        // Corners PROJ cannot move (beyond a projection's reach) just bound nothing.
        for (size_t p = 0; p < x.size(); ++p) {
            if (in.transform->transform(&x[p], &y[p], &z[p], 1) != 1) continue;
            const double v[3] = {x[p], y[p], z[p]};
            for (int a = 0; a < 3; ++a)
                lo[a] = std::min(lo[a], v[a]), hi[a] = std::max(hi[a], v[a]);
        }
    }
    if (!std::isfinite(lo[0]) && !offsetGiven)
        throw CommandError("the bounds of '" + inputs.front().name + "' cannot be transformed to " +
                           describe(to) + "; give --scale and --offset");
    if (!offsetGiven)
        for (int a = 0; a < 3; ++a) target.offset[a] = std::round((lo[a] + hi[a]) / 2);
    if (scaleGiven) return;
    const orv::Crs& from = inputs.front().crs;
    const orv::LasFileHeader& h = inputs.front().header;
    for (int a = 0; a < 3; ++a) {
        double s = h.scale[a];
        if (a < 2) {
            s = decimalStep(s * from.horizontalUnit() / to.horizontalUnit());
            if (to.isGeographic()) s = std::min(s, kCoarsestDegreeScale);
        } else if (from.hasHeight() && to.hasHeight()) {
            s = decimalStep(s * from.verticalUnit() / to.verticalUnit());
        }
        // Wide extents at a fine step: coarser steps until the stored integers fit.
        const double reach =
            std::max(std::abs(hi[a] - target.offset[a]), std::abs(lo[a] - target.offset[a]));
        while (std::isfinite(reach) && reach / s > kIntegerRoom) s *= 10;
        target.scale[a] = s;
    }
}

}  // namespace

void addCrsOptions(CLI::App* cmd, CrsOptions& o, bool assign) {
    if (assign)
        cmd->add_option("--crs", o.assign,
                        "The input's CRS (EPSG:n, WKT, PROJJSON, a PROJ string, or a file holding "
                        "one), written without moving points");
    cmd->add_option("--to-crs", o.to, "Reproject every point into this CRS");
    cmd->add_option("--threads", o.threads, "Threads that reproject (default: the cores)");
    cmd->add_flag("--force", o.force,
                  "Drop a CRS the output cannot hold, or merge different CRSs, with a warning");
}

void prepareCrs(std::vector<CrsInput>& inputs, orv::LasFileHeader& target, const CrsOptions& o,
                bool scaleGiven, bool offsetGiven) {
    const orv::Crs assigned = o.assign.empty() ? orv::Crs() : crsArgument(o.assign, "--crs");
    std::string unreadable;
    for (CrsInput& in : inputs) {
        std::string note;
        in.crs = assigned.empty() ? orv::lasCrs(in.header, &note) : assigned;
        if (in.crs.empty() && !note.empty() && unreadable.empty())
            unreadable = "'" + in.name + "': " + note;
    }
    orv::Crs written = inputs.front().crs;
    if (!o.to.empty()) {
        written = crsArgument(o.to, "--to-crs");
        const unsigned threads =
            o.threads ? o.threads : std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
        for (CrsInput& in : inputs) {
            if (in.crs.empty())
                throw CommandError(
                    "'" + in.name + "' has no CRS" +
                    (unreadable.empty() ? "" : " it can be read by (" + unreadable + ")") +
                    "; say which it is with --crs");
            in.transform = std::make_unique<orv::CrsTransform>();
            if (in.transform->open(in.crs, written, threads) != 0)
                throw CommandError("cannot reproject '" + in.name + "': " + in.transform->error());
        }
        chooseQuantisation(inputs, target, written, scaleGiven, offsetGiven);
    } else {
        std::string differ;
        for (const CrsInput& in : inputs)
            if (!in.crs.equivalentTo(written))
                differ += "; '" + in.name + "' has " + describe(in.crs);
        if (!differ.empty()) {
            const std::string what = "the inputs' CRSs differ: '" + inputs.front().name + "' has " +
                                     describe(written) + differ;
            if (!o.force)
                throw CommandError(what + " (--to-crs reprojects them all; --force merges anyway)");
            warn(what + "; the output has the first one's");
        }
    }
    // Another version writes the records its readers look for first: WKT from 1.4 on.
    const bool rewrite = !o.to.empty() || !assigned.empty() || !orv::lasCrsFormFits(target) ||
                         target.versionMinor != inputs.front().header.versionMinor;
    if (!rewrite || (written.empty() && unreadable.empty())) return;
    std::string error;
    if (written.empty())
        error = "its CRS records cannot be read (" + unreadable + ")";
    else if (orv::lasSetCrs(target, written, &error) == 0)
        return;
    const std::string version = "LAS 1." + std::to_string(target.versionMinor);
    if (!o.force)
        throw CommandError("the output cannot carry the CRS as " + version + " needs: " + error +
                           " (--force writes it without one)");
    warn("the output has no CRS: " + error);
    orv::lasSetCrs(target, orv::Crs());
}

}  // namespace orvter
