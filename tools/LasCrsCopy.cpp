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
#include "OrvStages.h"

namespace orvter {

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

namespace {

void warn(const std::string& what) {
    std::fprintf(stderr, "warning: %s\n", what.c_str());
}

}  // namespace

void warnCrsLeftBehind(const std::string& path, const std::string& name) {
    orv::LasReader reader;
    const int opened = reader.open(path.c_str());
    if (opened != 0 && opened != -3) return;
    const orv::Crs crs = orv::lasCrs(reader.header());
    if (!crs.empty())
        warn("'" + name + "' is in " + orv::describeCrs(crs) +
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
    std::vector<std::string> notes(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        CrsInput& in = inputs[i];
        in.crs = assigned.empty() ? orv::lasCrs(in.header, &notes[i]) : assigned;
        if (in.crs.empty() && !notes[i].empty() && unreadable.empty())
            unreadable = "'" + in.name + "': " + notes[i];
    }
    orv::Crs written = inputs.front().crs;
    if (!o.to.empty()) {
        // Z never stays in a unit or datum the output's CRS does not state.
        const orv::Crs asked = crsArgument(o.to, "--to-crs");
        written = orv::crsKeepingHeights(inputs.front().crs, asked);
        if (written.empty()) written = asked;
        if (!written.equivalentTo(asked))
            warn("--to-crs names no heights: Z keeps those of '" + inputs.front().name + "' (" +
                 orv::describeCrs(inputs.front().crs.vertical().empty()
                                      ? inputs.front().crs
                                      : inputs.front().crs.vertical()) +
                 "), and the output's CRS is " + orv::describeCrs(written));
        std::vector<orv::CrsSource> sources(inputs.size());
        for (size_t i = 0; i < inputs.size(); ++i) {
            sources[i].name = inputs[i].name;
            sources[i].header = &inputs[i].header;
            sources[i].crs = inputs[i].crs;
            sources[i].note = notes[i];
        }
        std::string error;
        if (!orv::planReprojection(sources, written, o.threads, target, scaleGiven, offsetGiven,
                                   error, o.network))
            throw CommandError(error);
        for (size_t i = 0; i < inputs.size(); ++i)
            inputs[i].transform = std::move(sources[i].transform);
    } else {
        std::string differ;
        for (const CrsInput& in : inputs)
            if (!in.crs.equivalentTo(written))
                differ += "; '" + in.name + "' has " + orv::describeCrs(in.crs);
        if (!differ.empty()) {
            const std::string what = "the inputs' CRSs differ: '" + inputs.front().name + "' has " +
                                     orv::describeCrs(written) + differ;
            if (!o.force)
                throw CommandError(what + " (--to-crs reprojects them all; --force merges anyway)");
            warn(what + "; the output has the first one's");
        }
    }
    const orv::LasFileHeader& first = inputs.front().header;
    std::string warning, error;
    if (!orv::writeCrsRecords(target, written, unreadable, !o.to.empty() || !assigned.empty(),
                              first.versionMinor, first.pointFormat, o.force, warning, error))
        throw CommandError(error);
    if (!warning.empty()) warn(warning);
}

}  // namespace orvter
