// orvter las copc, the COPC part of las info, and las copy of an area or a level of detail of a
// COPC file (or URL).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "OrvCopc.h"
#include "OrvError.h"

namespace orvter {
namespace {

struct CopcOptions {
    std::vector<std::string> files;
    std::string memory = "1G";
    unsigned threads = 0;
    bool json = false;
    bool quiet = false;
    bool strict = false;
};

// "512M", "1G", "1500000000": bytes; 0 when the text is not a size.
uint64_t parseSize(const std::string& text) {
    if (text.empty()) return 0;
    size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        return 0;
    }
    const std::string unit = text.substr(used);
    double factor = 1;
    if (unit == "K" || unit == "k" || unit == "KiB")
        factor = 1024.0;
    else if (unit == "M" || unit == "m" || unit == "MiB")
        factor = 1024.0 * 1024;
    else if (unit == "G" || unit == "g" || unit == "GiB")
        factor = 1024.0 * 1024 * 1024;
    else if (!unit.empty())
        return 0;
    const double bytes = value * factor;
    return bytes >= 1 && bytes < 1e18 ? static_cast<uint64_t>(bytes) : 0;
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void runCopc(const CopcOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> ins(o.files.begin(), o.files.end() - 1);
    const std::string out = o.files.back();
    for (const std::string& in : ins)
        if (in == "-") throw CLI::ValidationError("las copc reads files, not standard input");
    if (out == "-") throw CLI::ValidationError("las copc writes a file, not standard output");
    const OutputPath target(out);
    std::vector<StatedPoints> stated;
    for (const std::string& in : ins) {
        target.refuseInput(identityOf(in), in);
        stated.push_back(checkStatedPoints(InputPath(in), o.strict));
    }
    orv::CopcWriteOptions options;
    options.memoryBytes = parseSize(o.memory);
    if (options.memoryBytes < (uint64_t{16} << 20))
        throw CommandError("--memory takes a size of at least 16M, such as 512M or 2G", kExitUsage);
    options.threads = o.threads;
    PointProgress progress(o.quiet, "indexing", 1000);
    options.progress = [&progress](double f) { progress.update(static_cast<uint64_t>(f * 1000)); };
    orv::CopcWriteSummary s;
    std::string error;
    if (!orv::writeCopc(ins, out, options, s, error))
        throw CommandError("cannot write '" + out + "': " + error);
    progress.end();
    // Compressed records that end early show only in the points indexed.
    uint64_t held = 0;
    for (const StatedPoints& p : stated) held += p.held;
    if (ins.size() == 1) {
        stated.front().afterCheck(InputPath(ins.front()), s.points, o.strict);
    } else if (s.points < held) {
        const std::string text = "indexed " + std::to_string(s.points) + " of the " +
                                 std::to_string(held) + " points the inputs' headers state";
        if (o.strict) throw CommandError(text, kExitStrict);
        std::fprintf(stderr, "warning: %s\n", text.c_str());
    }
    const double seconds = since(start);
    if (o.json)
        printJson({{"inputs", ins},
                   {"output", out},
                   {"points", s.points},
                   {"nodes", s.nodes},
                   {"levels", s.levels},
                   {"spill_files", s.spillFiles},
                   {"spill_bytes", s.spillBytes},
                   {"seconds", seconds}});
    else
        std::printf("indexed %" PRIu64 " points into %u nodes on %d levels in %.3f s\n", s.points,
                    s.nodes, s.levels, seconds);
}

}  // namespace

void addLasCopc(CLI::App& las) {
    auto o = std::make_shared<CopcOptions>();
    CLI::App* cmd = las.add_subcommand(
        "copc",
        "Write a cloud-optimised LAZ file (COPC) from LAS/LAZ files of one coordinate reference "
        "system: an octree whose every level is an even sample of the cloud, readable by area and "
        "level of detail");
    cmd->add_option("FILES", o->files, "Input files, then the output (e.g. out.copc.laz)")
        ->required()
        ->expected(2, -1);
    cmd->add_option("--memory", o->memory,
                    "Working memory (default 1G); larger clouds spill to scratch files beside "
                    "the output");
    cmd->add_option("--threads", o->threads, "Compressing threads (default: every core)");
    cmd->add_flag("--json", o->json, "Print the summary as one JSON object");
    cmd->add_flag("--quiet", o->quiet, "Show no progress line");
    cmd->add_flag("--strict", o->strict,
                  "Exit with status 3 when an input holds fewer points than its header states");
    cmd->callback([o] { runCopc(*o); });
}

StatedPoints checkStatedPoints(const InputPath& in, bool strict) {
    orv::LasReader reader;
    StatedPoints p;
    if (reader.open(in.path().c_str()) != 0) return p;  // the command's own open says why
    if (strict) requireAgreement(in);
    p.stated = reader.header().statedPoints;
    p.held = reader.pointCount();
    reportShortRead(in, p.held, p.stated, strict);
    return p;
}

void writeCopcCopy(const std::string& in, const std::string& out, bool json, bool quiet) {
    CopcOptions o;
    o.files = {in, out};
    o.json = json;
    o.quiet = quiet;
    runCopc(o);
}

bool isCopcSource(const std::string& pathOrUrl) {
    if (pathOrUrl.rfind("http://", 0) == 0 || pathOrUrl.rfind("https://", 0) == 0) return true;
    orv::CopcReader reader;
    return reader.open(pathOrUrl) == 0;
}

// The reader's warnings from the `from`th on, one line each; under --strict the copy then ends
// with exit status 3. Returns the warnings printed so far.
size_t reportCopcWarnings(const orv::CopcReader& reader, const std::string& in, bool strict,
                          size_t from) {
    const std::vector<orv::CopcNote>& notes = reader.warnings();
    for (size_t i = from; i < notes.size(); ++i)
        std::fprintf(stderr, "warning: '%s': %s\n", in.c_str(), notes[i].text.c_str());
    if (strict && notes.size() > from)
        throw CommandError("'" + in + "': the copy is abandoned (--strict)", kExitStrict);
    return notes.size();
}

void copyCopcQuery(const CopcQueryOptions& q) {
    const auto start = std::chrono::steady_clock::now();
    orv::CopcReader reader;
    if (reader.open(q.in) != 0) throw CommandError("cannot read '" + q.in + "': " + reader.error());
    const size_t noted = reportCopcWarnings(reader, q.in, q.strict, 0);
    orv::CopcQuery query;
    if (q.bbox.size() == 4) {
        query.min[0] = q.bbox[0], query.min[1] = q.bbox[1];
        query.max[0] = q.bbox[2], query.max[1] = q.bbox[3];
    } else if (q.bbox.size() == 6) {
        for (int axis = 0; axis < 3; ++axis) {
            query.min[axis] = q.bbox[axis];
            query.max[axis] = q.bbox[3 + axis];
        }
    }
    query.resolution = q.resolution;
    query.maxLevel = q.level;
    OutputPath out(q.out);
    orv::LasWriter writer;
    writer.setCompressed(q.laz);
    if (writer.open(out.path().c_str(), reader.header()) != 0)
        throw CommandError("cannot write '" + out.name() + "': " + writer.error());
    // The points go to the writer node by node: a query of any size takes the memory of a few.
    const int64_t count = reader.read(query, [&writer](const uint8_t* records, size_t n) {
        writer.writeRaw(records, n);
        return true;
    });
    if (count < 0) throw CommandError("cannot read '" + q.in + "': " + reader.error());
    reportCopcWarnings(reader, q.in, q.strict, noted);
    writer.close();
    out.finish();
    const orv::CopcTraffic t = reader.traffic();
    const double seconds = since(start);
    FILE* to = q.out == "-" ? stderr : stdout;
    if (q.json)
        printJson({{"input", q.in},
                   {"output", out.name()},
                   {"points_written", count},
                   {"requests", t.requests},
                   {"bytes_read", t.bytes},
                   {"seconds", seconds}},
                  q.out == "-");
    else
        std::fprintf(to, "copied %" PRId64 " points in %.3f s (%" PRIu64 " bytes read)\n", count,
                     seconds, t.bytes);
}

void printCopcInfo(const std::string& path, const int decimals[3], bool json,
                   nlohmann::ordered_json* j) {
    orv::CopcReader reader;
    if (reader.open(path) != 0) return;
    const orv::CopcInfo& info = reader.info();
    std::vector<orv::CopcNode> nodes;
    const bool ok = reader.nodes(orv::CopcQuery(), nodes);
    std::map<int, std::pair<uint64_t, uint64_t>> levels;  // nodes and points by level
    for (const orv::CopcNode& n : nodes) {
        ++levels[n.level].first;
        levels[n.level].second += static_cast<uint64_t>(n.pointCount);
    }
    // The cube in the file's coordinates: at their precision, its half size at the finest.
    std::string center[3];
    for (int axis = 0; axis < 3; ++axis)
        center[axis] = formatFixed(info.center[axis], decimals[axis]);
    const std::string halfSize =
        formatFixed(info.halfSize, std::max({decimals[0], decimals[1], decimals[2]}));
    if (json) {
        nlohmann::ordered_json c;
        c["center"] = {readBack(center[0]), readBack(center[1]), readBack(center[2])};
        c["half_size"] = readBack(halfSize);
        c["spacing"] = info.spacing;
        c["root_page"] = {info.rootPageOffset, info.rootPageSize};
        c["gps_time"] = {info.gpsTimeMin, info.gpsTimeMax};
        c["nodes"] = nodes.size();
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const auto& [level, np] : levels)
            list.push_back({{"level", level}, {"nodes", np.first}, {"points", np.second}});
        c["levels"] = list;
        if (!ok) c["error"] = reader.error();
        for (const orv::CopcNote& note : reader.warnings()) c["warnings"].push_back(note.text);
        (*j)["copc"] = c;
        return;
    }
    std::printf("COPC cube:         center %s %s %s, half size %s\n", center[0].c_str(),
                center[1].c_str(), center[2].c_str(), halfSize.c_str());
    std::printf("COPC spacing:      %s\n", formatNumber(info.spacing).c_str());
    std::printf("COPC GPS time:     %s %s\n", formatNumber(info.gpsTimeMin).c_str(),
                formatNumber(info.gpsTimeMax).c_str());
    std::printf("COPC nodes:        %zu\n", nodes.size());
    for (const auto& [level, np] : levels)
        std::printf("COPC level %-7d%" PRIu64 " nodes, %" PRIu64 " points\n", level, np.first,
                    np.second);
    std::fflush(stdout);
    for (const orv::CopcNote& note : reader.warnings())
        std::fprintf(stderr, "warning: '%s': %s\n", path.c_str(), note.text.c_str());
    if (!ok) std::fprintf(stderr, "warning: '%s': %s\n", path.c_str(), reader.error().c_str());
}

}  // namespace orvter
