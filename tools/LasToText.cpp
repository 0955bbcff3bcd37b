// orvter las to-text: chosen fields of every point as delimited text, one line a point.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "OrvLasFile.h"
#include "OrvStages.h"

namespace orvter {
namespace {

struct TextOptions {
    std::string in, out;
    std::vector<std::string> fields{"x", "y", "z"};
    std::string separator = ",";
    bool header = false;
};

void run(const TextOptions& o) {
    const InputPath in(o.in);
    orv::Pipeline pipeline;
    orv::LasReadOptions r;
    r.path = in.path(), r.name = in.name();
    pipeline.add(orv::makeLasReader(r));
    orv::TextWriteOptions t;
    t.path = o.out, t.fields = o.fields, t.separator = o.separator, t.header = o.header;
    pipeline.add(orv::makeTextWriter(t));
    orv::PipelineError error;
    if (!pipeline.prepare(error)) {
        if (error.stage == 1) throw CLI::ValidationError("--fields", error.text);
        throw CommandError(error.text);
    }
    const orv::LasReader& reader = *dynamic_cast<orv::ReaderStage&>(pipeline.stage(0)).lasReader();
    // Records that end early at damage are an error here, after the text of those read.
    pipeline.setBeforeFinish([&] {
        if (!reader.error().empty()) throw CommandError("'" + in.name() + "': " + reader.error());
    });
    orv::PipelineSummary summary;
    if (!pipeline.run(error, &summary)) throw CommandError(error.text);
    std::fprintf(o.out == "-" ? stderr : stdout, "wrote %" PRIu64 " points as text\n",
                 summary.written);
}

}  // namespace

void addLasToText(CLI::App& las) {
    auto options = std::make_shared<TextOptions>();
    CLI::App* cmd = las.add_subcommand(
        "to-text", "Write chosen fields of every point as delimited text, one line a point");
    cmd->add_option("IN", options->in, "LAS or LAZ file to read (- reads standard input)")
        ->required();
    cmd->add_option("OUT", options->out, "Text file to write (- writes standard output)")
        ->required();
    valueList(cmd->add_option("--fields", options->fields,
                              "Fields in order (x,y,z,X,Y,Z,intensity,return_number,"
                              "number_of_returns,classification,scan_angle,gps_time,red,green,"
                              "blue,nir,...)"))
        ->capture_default_str();
    cmd->add_option("--separator", options->separator, "Between fields")->capture_default_str();
    cmd->add_flag("--header", options->header, "Start with a line of the field names");
    addThreadsOption(cmd);
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
