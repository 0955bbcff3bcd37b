// orvter las copy: point records carried over without loss, in bounded memory; `--pool` keeps
// the whole-cloud path through the bulk reader and writer.
#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Batch.h"
#include "LasCopyCore.h"
#include "OrvLas.h"

namespace orvter {
namespace {

// Takes its own copy of the options: the clip's polygons are read here, in the input's CRS.
void runLossless(CopyOptions o) {
    const auto start = std::chrono::steady_clock::now();
    const InputPath in(o.in);
    orv::LasReader reader;
    openReader(reader, in);
    if (o.strict) requireAgreement(in);
    reportShortRead(in, reader.pointCount(), reader.header().statedPoints, o.strict);
    if (!o.clip.empty()) o.clipper = openClip(o.clip, reader.header());
    orv::LasFileHeader target = targetHeader(reader.header(), o);
    std::vector<CrsInput> crs(1);
    crs[0].name = in.name(), crs[0].header = reader.header();
    prepareCrs(crs, target, o.crs, !o.scale.empty(), !o.offset.empty());
    OutputPath out(o.out);
    out.refuseInput(in.identity(), in.name());
    PointProgress progress(o.quiet, "copying " + in.name(), reader.pointCount());
    orv::LasWriter writer;
    writer.setCompressed(o.laz);
    // A failing write throws orv::FileError, which main reports as one line.
    if (writer.open(out.path().c_str(), target) != 0)
        throw CommandError("cannot write '" + out.name() + "': " + writer.error());
    std::unique_ptr<Thinning> thin;
    if (o.thin.active()) {
        thin = std::make_unique<Thinning>(o.thin);
        observeForThinning(reader, o, *thin);
    }
    uint64_t read = 0;
    pump(reader, target, writer, o, in.name(), progress, read, crs[0].transform.get(), thin.get());
    reportReadDamage(reader, in, read, o.strict);  // under --strict the copy is abandoned
    writer.close();
    out.finish();
    progress.end();
    report(o, in.name(), out.name(), read, writer.pointCount(), since(start), "copied");
}

// Copies one file as the options say, by whichever path they take.
void copyOne(const CopyOptions& o) {
    if (o.copc) {
        writeCopcCopy(o.in, o.out, o.json, o.quiet);
        return;
    }
    // An area or a level of a COPC file (or URL) is read through its octree; other filters
    // go the ordinary way, over every point.
    const bool url = o.in.rfind("http://", 0) == 0 || o.in.rfind("https://", 0) == 0;
    const bool needsOctree = o.resolution > 0 || o.level >= 0 || o.bbox.size() == 6 || url;
    const bool others = !o.setVersion.empty() || o.format >= 0 || !o.scale.empty() ||
                        !o.offset.empty() || !o.keepClass.empty() || !o.dropClass.empty() ||
                        !o.keepReturn.empty() || o.step > 1 || o.pool || !o.shift.empty() ||
                        !o.crs.assign.empty() || !o.crs.to.empty() || o.more.active() ||
                        o.thin.active() || !o.clip.empty();
    if (needsOctree && others)
        throw CLI::ValidationError(
            "--resolution, --level, a 3D --bbox and URLs take no other filters");
    if (needsOctree || (!o.bbox.empty() && !others && o.in != "-" && isCopcSource(o.in))) {
        if (!isCopcSource(o.in))
            throw CLI::ValidationError("--resolution, --level and a 3D --bbox need a COPC input");
        CopcQueryOptions q;
        q.in = o.in, q.out = o.out, q.bbox = o.bbox;
        q.resolution = o.resolution, q.level = o.level, q.json = o.json, q.laz = o.laz;
        q.strict = o.strict;
        copyCopcQuery(q);
        return;
    }
    if (o.pool || !o.shift.empty()) {
        const bool lossless = !o.setVersion.empty() || o.format >= 0 || !o.scale.empty() ||
                              !o.offset.empty() || !o.keepClass.empty() || !o.dropClass.empty() ||
                              !o.keepReturn.empty() || !o.bbox.empty() || o.step > 1 ||
                              !o.crs.assign.empty() || !o.crs.to.empty() || o.more.active() ||
                              o.thin.active() || !o.clip.empty();
        if (lossless) throw CLI::ValidationError("--pool and --shift take no other copy options");
        runPool(o);
    } else {
        runLossless(o);
    }
}

// The name a copy of `in` takes in `dir`: its own, with the extension of what is written.
std::string outputIn(const std::string& dir, const std::string& in, bool laz) {
    const std::string leaf = std::filesystem::path(in).filename().string();
    const size_t dot = leaf.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? leaf : leaf.substr(0, dot);
    return (std::filesystem::path(dir) / (stem + (compressedOutput(in, laz) ? ".laz" : ".las")))
        .string();
}

// Copies every input into --out-dir, --jobs at a time, and ends with a line for them all.
void copyMany(const CopyOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> inputs = {o.in};
    if (!o.out.empty()) inputs.push_back(o.out);
    inputs.insert(inputs.end(), o.moreInputs.begin(), o.moreInputs.end());
    std::vector<std::string> outputs;
    std::set<std::string> taken;
    for (const std::string& in : inputs) {
        if (in == "-") throw CLI::ValidationError("--out-dir takes files, not standard input");
        outputs.push_back(outputIn(o.outDir, in, o.laz));
        if (!taken.insert(outputs.back()).second)
            throw CLI::ValidationError("two inputs would be copied to '" + outputs.back() + "'");
    }
    std::error_code error;
    std::filesystem::create_directories(o.outDir, error);
    if (error) throw CommandError("cannot make '" + o.outDir + "': " + error.message());
    BatchLog log;
    const BatchResult r = runEach(inputs.size(), o.jobs, [&](size_t i) {
        CopyOptions one = o;
        one.in = inputs[i], one.out = outputs[i], one.batch = &log;
        one.quiet = o.quiet || o.jobs > 1;  // one progress line cannot show several files
        copyOne(one);
    });
    const double seconds = since(start);
    if (o.json)
        printJson({{"files", inputs.size()},
                   {"points_written", log.points},
                   {"failures", r.failures},
                   {"seconds", seconds},
                   {"copies", log.files}});
    else
        std::printf("%zu files, %llu points, %zu failures in %.3f s\n", inputs.size(),
                    static_cast<unsigned long long>(log.points), r.failures, seconds);
    if (r.failures) throw CommandError("", r.status);
}

}  // namespace

void addLasCopy(CLI::App& las) {
    auto options = std::make_shared<CopyOptions>();
    CLI::App* cmd = las.add_subcommand(
        "copy",
        "Copy a LAS file without loss: the same version, point format, scale, offset, VLRs and "
        "header identity, every record byte for byte (counts and bounds follow the records). "
        "With --pool (or --shift): the whole cloud through the bulk reader and writer into LAS "
        "1.1 point format 0, keeping X, Y, Z, intensity and classification only");
    cmd->add_option("IN", options->in, "LAS file to read (- reads standard input)")->required();
    // OUT is checked by the callback: with --out-dir a single input (a glob matching one
    // file) has none.
    addLasOutput(*cmd, options->out, options->laz, false);
    cmd->add_option("MORE", options->moreInputs, "With --out-dir: OUT and these are inputs too");
    cmd->add_option("--out-dir", options->outDir,
                    "Copy every input (one or more) into DIR, under its own name (.laz when "
                    "compressed)");
    cmd->add_option("--jobs", options->jobs, "With --out-dir: copy N files at a time")
        ->check(CLI::Range(1u, 64u));
    cmd->add_flag("--pool", options->pool, "Copy through the bulk reader and writer");
    valueList(cmd->add_option("--shift", options->shift,
                              "Add X,Y,Z to every coordinate (implies --pool)"),
              3);
    cmd->add_option("--set-version", options->setVersion, "Write LAS 1.2 or 1.4")
        ->check(CLI::IsMember({"1.2", "1.4"}));
    cmd->add_option("--format", options->format,
                    "Write point format N (fields it lacks are dropped, new ones are zero)")
        ->check(CLI::Range(0, int{orv::kLasLastPointFormat}));
    valueList(
        cmd->add_option("--scale", options->scale, "New scale X[,Y,Z]; coordinates are rounded"));
    valueList(
        cmd->add_option("--offset", options->offset, "New offset X,Y,Z; coordinates are rounded"),
        3);
    valueList(cmd->add_option("--keep-class", options->keepClass, "Keep only these classes"))
        ->check(classNumber());
    valueList(cmd->add_option("--drop-class", options->dropClass, "Drop these classes"))
        ->check(classNumber());
    valueList(
        cmd->add_option("--keep-return", options->keepReturn, "Keep only these return numbers"));
    valueList(cmd->add_option("--bbox", options->bbox,
                              "Keep points with MINX <= x <= MAXX, MINY <= y <= MAXY (of a COPC "
                              "input also MINX,MINY,MINZ,MAXX,MAXY,MAXZ)"));
    cmd->add_option("--resolution", options->resolution,
                    "COPC input: the levels down to a point spacing of at most R");
    cmd->add_option("--level", options->level, "COPC input: the levels down to N");
    cmd->add_flag("--copc", options->copc, "Write a COPC file (as las copc does)");
    cmd->add_option("--step", options->step, "Keep records 0, N, 2N... of the input")
        ->check(atLeastOne());
    cmd->add_option("--clip", options->clip,
                    "Keep the points inside the polygons of FILE[:LAYER] (GeoJSON, GeoPackage, "
                    "Shapefile...), moved into the cloud's CRS; holes and multipolygons count");
    cmd->add_flag("--clip-outside", options->clipOutside,
                  "With --clip: keep the points outside the polygons instead");
    options->more.addOptions(*cmd);
    options->thin.addOptions(*cmd);
    cmd->add_flag("--json", options->json, "Print the summary as one JSON object");
    cmd->add_flag("--quiet", options->quiet, "Show no progress line");
    cmd->add_flag("--strict", options->strict,
                  "Exit with status 3 when the file holds fewer points than its header states");
    addCrsOptions(cmd, options->crs, true);
    cmd->callback([options] {
        const CopyOptions& o = *options;
        // Usage errors: exit status 2 with the usage line.
        const size_t scales = o.scale.size(), box = o.bbox.size();
        if (scales && scales != 1 && scales != 3)
            throw CLI::ValidationError("--scale takes one or three values");
        if (box && box != 4 && box != 6)
            throw CLI::ValidationError(
                "--bbox takes four or six values: write them comma-separated: --bbox X0,Y0,X1,Y1 "
                "(or X0,Y0,Z0,X1,Y1,Z1)");
        if (o.setVersion == "1.2" && o.format >= 6)
            throw CLI::ValidationError("point format " + std::to_string(o.format) +
                                       " needs LAS 1.4, not --set-version 1.2");
        if (o.thin.grid > 0 && o.thin.voxel > 0)
            throw CLI::ValidationError("--thin-grid and --thin-voxel exclude each other");
        if (o.clipOutside && o.clip.empty())
            throw CLI::ValidationError("--clip-outside needs --clip");
        if (!o.outDir.empty()) return copyMany(o);
        if (o.out.empty()) throw CLI::ValidationError("OUT is required (or --out-dir)");
        if (!o.moreInputs.empty()) throw CLI::ValidationError("several inputs need --out-dir");
        if (o.jobs > 1) throw CLI::ValidationError("--jobs needs --out-dir");
        copyOne(o);
    });
}

}  // namespace orvter
