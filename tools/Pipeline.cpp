// orvter pipeline: stages read from a JSON pipeline, in the form other point cloud tools write.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Command.h"
#include "OrvStages.h"

namespace orvter {
namespace {

struct PipelineOptions {
    std::string file;
    bool json = false, quiet = false;
};

std::string readAll(const std::string& arg) {
    std::ostringstream all;
    if (arg == "-") {
        all << std::cin.rdbuf();
        return all.str();
    }
    std::ifstream f(arg, std::ios::binary);
    if (!f) throw CommandError("cannot read '" + arg + "'");
    all << f.rdbuf();
    return all.str();
}

// "stage 3 (filters.range): ..." for a stage's failure.
std::string where(orv::Pipeline& p, const orv::PipelineError& e) {
    if (e.stage < 0) return e.text;
    std::string at = "stage " + std::to_string(e.stage + 1);
    if (static_cast<size_t>(e.stage) < p.size()) at += " (" + p.stage(e.stage).type() + ")";
    return at + ": " + e.text;
}

void run(const PipelineOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    orv::Pipeline p;
    orv::PipelineError error;
    if (!orv::parsePipeline(readAll(o.file), p, error))
        throw CommandError(where(p, error), kExitUsage);
    if (!p.prepare(error)) {
        // A source that cannot be read is the input's failure; anything else the pipeline's.
        const bool source = error.stage >= 0 && static_cast<size_t>(error.stage) < p.size() &&
                            dynamic_cast<orv::ReaderStage*>(&p.stage(error.stage));
        throw CommandError(where(p, error), source ? kExitFailure : kExitUsage);
    }
    for (size_t i = 0; i < p.size(); ++i)
        for (const std::string& w : p.stage(i).warnings())
            std::fprintf(stderr, "warning: %s\n", w.c_str());
    PointProgress progress(o.quiet, "running the pipeline", p.schema().points);
    p.setProgress([&](uint64_t done, uint64_t) { progress.update(done); });
    orv::PipelineSummary summary;
    if (!p.run(error, &summary)) throw CommandError(where(p, error));
    progress.end();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (o.json)
        printJson({{"points_read", summary.read},
                   {"points_written", summary.written},
                   {"seconds", seconds}});
    else
        std::printf("%llu points read, %llu written in %.3f s\n",
                    static_cast<unsigned long long>(summary.read),
                    static_cast<unsigned long long>(summary.written), seconds);
}

}  // namespace

void addPipeline(CLI::App& app) {
    auto options = std::make_shared<PipelineOptions>();
    CLI::App* cmd = app.add_subcommand(
        "pipeline",
        "Run a JSON pipeline: readers.las, readers.copc, filters.range, filters.crop, "
        "filters.reprojection, filters.sample, filters.voxeldownsize, filters.merge, "
        "filters.decimation, filters.returns, writers.las, writers.copc, writers.text (and "
        "writers.png); a bare file name reads, or writes when last");
    cmd->add_option("FILE", options->file, "The pipeline (- reads standard input)")->required();
    cmd->add_flag("--json", options->json, "Print the summary as one JSON object");
    cmd->add_flag("--quiet", options->quiet, "Show no progress line");
    addThreadsOption(cmd);
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
