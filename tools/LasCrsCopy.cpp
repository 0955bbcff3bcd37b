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

// A CRS given on the command line: a definition PROJ reads, or the name of a file holding one.
orv::Crs crsArgument(const std::string& arg, const char* option) {
    std::string text = arg;
    struct stat st {};
    if (::stat(arg.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (static_cast<uint64_t>(st.st_size) > orv::kCrsTextLimit)
            throw CommandError(std::string(option) + " '" + arg + "': a file of " +
                                   std::to_string(st.st_size) + " bytes, more than the " +
                                   std::to_string(orv::kCrsTextLimit) + " a CRS text may have",
                               kExitUsage);
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

// Scale and offset for points moved into `to`: the first input's precision carried over in the
// target's units, within the transformed bounds of every input.
void chooseQuantisation(std::vector<CrsInput>& inputs, orv::LasFileHeader& target,
                        const orv::Crs& to, bool scaleGiven, bool offsetGiven) {
    double lo[3], hi[3];
    bool any = false;
    for (CrsInput& in : inputs) {
        double a[3], b[3];
        if (!in.transform->transformBox(in.header.min, in.header.max, a, b)) continue;
        for (int k = 0; k < 3; ++k) {
            lo[k] = any ? std::min(lo[k], a[k]) : a[k];
            hi[k] = any ? std::max(hi[k], b[k]) : b[k];
        }
        any = true;
    }
    if (!any && !offsetGiven)
        throw CommandError("the bounds of '" + inputs.front().name + "' cannot be transformed to " +
                           describe(to) + "; give --scale and --offset");
    if (!any) return;
    double scale[3], offset[3];
    orv::lasReprojectedQuantisation(inputs.front().header.scale, inputs.front().crs, to, lo, hi,
                                    scale, offset);
    for (int k = 0; k < 3; ++k) {
        if (!scaleGiven) target.scale[k] = scale[k];
        if (!offsetGiven) target.offset[k] = offset[k];
    }
}

}  // namespace

void warnCrsLeftBehind(const std::string& path, const std::string& name) {
    orv::LasReader reader;
    const int opened = reader.open(path.c_str());
    if (opened != 0 && opened != -3) return;
    const orv::Crs crs = orv::lasCrs(reader.header());
    if (!crs.empty())
        warn("'" + name + "' is in " + describe(crs) +
             "; this output carries no CRS (las copy without --pool keeps it)");
}

void addCrsOptions(CLI::App* cmd, CrsOptions& o, bool assign) {
    if (assign)
        cmd->add_option("--crs", o.assign,
                        "The input's CRS (EPSG:n, WKT, PROJJSON, a PROJ string, or a file holding "
                        "one), written without moving points");
    cmd->add_option("--to-crs", o.to,
                    "Reproject every point into this CRS (without heights of its own, Z keeps "
                    "the input's vertical CRS, which the output then states)");
    cmd->add_flag("--proj-network", o.network,
                  "Let PROJ fetch the grids a reprojection needs from its network (off by "
                  "default, whatever PROJ_NETWORK says)");
    addThreadsOption(cmd, &o.threads);
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
        const orv::Crs asked = crsArgument(o.to, "--to-crs");
        written = orv::crsKeepingHeights(inputs.front().crs, asked);
        if (!written.equivalentTo(asked))
            warn("--to-crs names no heights: Z keeps those of '" + inputs.front().name + "' (" +
                 describe(inputs.front().crs.vertical().empty() ? inputs.front().crs
                                                                : inputs.front().crs.vertical()) +
                 "), and the output's CRS is " + describe(written));
        const unsigned threads =
            o.threads ? o.threads : std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
        for (CrsInput& in : inputs) {
            if (in.crs.empty())
                throw CommandError(
                    "'" + in.name + "' has no CRS" +
                    (unreadable.empty() ? "" : " it can be read by (" + unreadable + ")") +
                    "; say which it is with --crs");
            in.transform = std::make_unique<orv::CrsTransform>();
            in.transform->setNetwork(o.network);
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
    // A copy that keeps version and format keeps every VLR as it was. Another version or
    // format writes the records its readers look for: WKT from 1.4 on.
    const orv::LasFileHeader& first = inputs.front().header;
    const bool rewrite = !o.to.empty() || !assigned.empty() ||
                         target.versionMinor != first.versionMinor ||
                         target.pointFormat != first.pointFormat;
    if (!rewrite || (written.empty() && unreadable.empty())) return;
    std::string error;
    if (written.empty()) {
        // Records no one here can read stay as they are where the target's readers look for
        // them, global encoding bit 4 naming the form kept.
        for (const uint16_t wktBit : {0, 16}) {
            orv::LasFileHeader kept = target;
            kept.globalEncoding = static_cast<uint16_t>((kept.globalEncoding & ~16) | wktBit);
            if (!orv::lasCrsFormFits(kept)) continue;
            target.globalEncoding = kept.globalEncoding;
            warn(unreadable + "; the output keeps its CRS records as they are");
            return;
        }
        error = "its CRS records cannot be read (" + unreadable + ")";
    } else if (orv::lasSetCrs(target, written, &error) == 0) {
        return;
    }
    const std::string version = "LAS 1." + std::to_string(target.versionMinor);
    if (!o.force)
        throw CommandError("the output cannot carry the CRS as " + version + " needs: " + error +
                           " (--force writes it without one)");
    warn("the output has no CRS: " + error);
    orv::lasSetCrs(target, orv::Crs());
}

bool reprojectInPlace(const orv::LasFileHeader& from, const orv::LasFileHeader& to,
                      uint8_t* records, size_t n, orv::CrsTransform* move, uint64_t firstIndex,
                      const std::string& path) {
    if (!move || from.pointFormat != to.pointFormat || from.recordLength != to.recordLength)
        return false;
    bool unfit = false;
    const size_t moved = orv::lasReprojectRecords(from, to, records, n, *move, unfit);
    if (moved < n)
        throw CommandError("point " + std::to_string(firstIndex + moved) + " of '" + path +
                           (unfit ? "' does not fit the target's scale and offset"
                                  : "' cannot be transformed to the target CRS"));
    return true;
}

}  // namespace orvter
