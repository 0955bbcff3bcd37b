// orvter las merge: LAS files of one point format into one, through the copy's record pump.
#include <CLI/CLI.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "LasCopyCore.h"
#include "OrvLas.h"

namespace orvter {
namespace {

struct MergeOptions {
    std::string out;
    std::vector<std::string> in;
    bool json = false;
    bool quiet = false;
    bool laz = false;
    CrsOptions crs;
};

void runMerge(const MergeOptions& m) {
    const auto start = std::chrono::steady_clock::now();
    // Every input is checked before the output is begun.
    std::vector<std::unique_ptr<InputPath>> ins;
    uint64_t total = 0;
    orv::LasFileHeader target;
    std::vector<CrsInput> crs;
    for (const std::string& arg : m.in) {
        ins.push_back(std::make_unique<InputPath>(arg));
        orv::LasReader reader;
        openReader(reader, *ins.back());
        const orv::LasFileHeader& h = reader.header();
        if (ins.size() == 1) target = h;
        if (h.pointFormat != target.pointFormat || h.recordLength != target.recordLength)
            throw CommandError(
                "'" + ins.back()->name() + "' has point format " + std::to_string(h.pointFormat) +
                " with " + std::to_string(h.recordLength) + "-byte records; '" +
                ins.front()->name() + "' has format " + std::to_string(target.pointFormat) +
                " with " + std::to_string(target.recordLength));
        total += reader.pointCount();
        crs.push_back({ins.back()->name(), h, orv::Crs(), nullptr});
    }
    prepareCrs(crs, target, m.crs, false, false);
    OutputPath out(m.out);
    for (const auto& in : ins) out.refuseInput(in->identity(), in->name());
    PointProgress progress(m.quiet, "merging into " + out.name(), total);
    orv::LasWriter writer;
    writer.setCompressed(m.laz);
    if (writer.open(out.path().c_str(), target) != 0)
        throw CommandError("cannot write '" + out.name() + "': " + writer.error());
    CopyOptions none;
    uint64_t read = 0;
    for (size_t i = 0; i < ins.size(); ++i) {
        orv::LasReader reader;
        openReader(reader, *ins[i]);
        const uint64_t before = read;
        pump(reader, target, writer, none, ins[i]->name(), progress, read, crs[i].transform.get());
        reportReadDamage(reader, *ins[i], read - before, false);
    }
    writer.close();
    out.finish();
    progress.end();
    CopyOptions o;
    o.out = m.out, o.json = m.json;
    report(o, ins.front()->name(), out.name(), read, writer.pointCount(), since(start), "merged");
}

}  // namespace

void addLasMerge(CLI::App& las) {
    auto merge = std::make_shared<MergeOptions>();
    CLI::App* mcmd = las.add_subcommand(
        "merge",
        "Merge LAS files of one point format into one: the header, VLRs, scale and offset of the "
        "first; the others' points re-quantised to them");
    addLasOutput(*mcmd, merge->out, merge->laz);
    mcmd->add_option("IN", merge->in, "LAS files to read (- reads standard input)")->required();
    mcmd->add_flag("--json", merge->json, "Print the summary as one JSON object");
    mcmd->add_flag("--quiet", merge->quiet, "Show no progress line");
    addCrsOptions(mcmd, merge->crs, false);
    mcmd->callback([merge] { runMerge(*merge); });
}

}  // namespace orvter
