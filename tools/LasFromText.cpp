// orvter las from-text: delimited text, one line a point, into a LAS file: the way back from
// las to-text, with the scale each coordinate's digits ask for.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "LasCopyCore.h"
#include "OrvLasText.h"

namespace orvter {
namespace {

struct FromTextOptions {
    std::string in, out;
    std::vector<std::string> fields{"x", "y", "z"};
    std::string separator;  // empty: commas where the first line has one, else blanks
    bool json = false, quiet = false, laz = false;
};

std::string triple(const double v[3]) {
    return formatNumber(v[0]) + " " + formatNumber(v[1]) + " " + formatNumber(v[2]);
}

void run(const FromTextOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    orv::LasTextReader reader;
    if (o.separator.size() > 1) throw CommandError("--separator takes one character", kExitUsage);
    const char separator = o.separator.empty() ? 0 : o.separator[0];
    if (reader.open(nullptr, o.fields, separator) == -2)
        throw CommandError("--fields: " + reader.error(), kExitUsage);
    const InputPath in(o.in);
    OutputPath out(o.out);
    out.refuseInput(in.identity(), in.name());
    switch (reader.open(in.path().c_str(), o.fields, separator)) {
        case 0:
            break;
        case -1:
            throw CommandError("cannot read '" + in.name() + "': " + reader.error());
        default:
            throw CommandError("'" + in.name() + "': " + reader.error());
    }
    if (!reader.warning().empty())
        std::fprintf(stderr, "orvter: warning: '%s': %s\n", in.name().c_str(),
                     reader.warning().c_str());
    const orv::LasFileHeader& h = reader.header();
    PointProgress progress(o.quiet, "writing " + out.name(), reader.pointCount());
    orv::LasWriter writer;
    writer.setCompressed(compressedOutput(o.out, o.laz));
    if (writer.open(out.path().c_str(), h) != 0)
        throw CommandError("cannot write '" + out.name() + "': " + writer.error());
    constexpr size_t kBlock = 65536;
    orv::LasColumnBuffer buffer;
    orv::LasColumns columns = buffer.columns(kBlock);
    // The text gives real coordinates and angles: the writer takes these where the stored forms
    // are absent.
    columns.X = columns.Y = columns.Z = nullptr;
    columns.scanAngle = nullptr;
    uint64_t done = 0;
    while (const size_t n = reader.read(columns, kBlock)) {
        if (const size_t wrote = writer.write(columns, n); wrote != n)
            throw CommandError("'" + in.name() + "': point " + std::to_string(done + wrote + 1) +
                               " cannot be written: " + writer.error());
        done += n;
        progress.update(done);
    }
    if (!reader.error().empty()) throw CommandError("'" + in.name() + "': " + reader.error());
    writer.close();
    out.finish();
    progress.end();
    const double seconds = since(start);
    if (o.json) {
        printJson({{"input", in.name()},
                   {"output", out.name()},
                   {"points_written", done},
                   {"point_format", h.pointFormat},
                   {"scale", {h.scale[0], h.scale[1], h.scale[2]}},
                   {"offset", {h.offset[0], h.offset[1], h.offset[2]}},
                   {"seconds", seconds}},
                  o.out == "-");
        return;
    }
    std::fprintf(o.out == "-" ? stderr : stdout,
                 "wrote %llu points in point format %u, scale %s, offset %s in %.3f s\n",
                 static_cast<unsigned long long>(done), unsigned{h.pointFormat},
                 triple(h.scale).c_str(), triple(h.offset).c_str(), seconds);
}

}  // namespace

void addLasFromText(CLI::App& las) {
    auto options = std::make_shared<FromTextOptions>();
    CLI::App* cmd = las.add_subcommand(
        "from-text",
        "Write delimited text, one line a point (as las to-text writes it), as a LAS file: the "
        "smallest point format that holds the fields, each coordinate's scale from its digits "
        "after the point");
    cmd->add_option("IN", options->in, "Text file to read (- reads standard input)")->required();
    addLasOutput(*cmd, options->out, options->laz);
    valueList(cmd->add_option("--fields", options->fields,
                              "The columns in order, named as las to-text names them (x,y,z,"
                              "intensity,return_number,classification,gps_time,red,...; skip "
                              "ignores one)"))
        ->capture_default_str();
    cmd->add_option("--separator", options->separator,
                    "Between fields (default: a comma where the first line has one, else spaces "
                    "and tabs)");
    cmd->add_flag("--json", options->json, "Print the summary as one JSON object");
    cmd->add_flag("--quiet", options->quiet, "Show no progress line");
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
