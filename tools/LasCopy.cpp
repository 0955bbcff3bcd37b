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
#include "OrvStages.h"

namespace orvter {
namespace {

orv::DimRange exactly(const char* dimension, int value) {
    return dimRange(dimension, value, value);
}

// The writer stage of the kind asked for.
std::unique_ptr<orv::Stage> writerStage(const CopyOptions& o, const std::string& kind,
                                        const std::string& path) {
    if (kind == "text") {
        orv::TextWriteOptions t;
        t.path = path;
        return orv::makeTextWriter(t);
    }
    if (kind == "png") {
        orv::PngWriteOptions p;
        p.path = path;
        p.threads = o.crs.threads;
        return orv::makePngWriter(p);
    }
    if (kind == "copc") {
        orv::CopcWriteStageOptions c;
        c.path = path;
        return orv::makeCopcWriter(c);
    }
    orv::LasWriteOptions w;
    w.path = path;
    w.name = o.out;
    w.compressed = kind == "laz" || compressedOutput(o.out, o.laz);
    w.format = o.format;
    if (!o.setVersion.empty()) w.minorVersion = o.setVersion == "1.2" ? 2 : 4;
    for (int axis = 0; axis < 3; ++axis) {
        w.scaleGiven[axis] = !o.scale.empty();
        if (w.scaleGiven[axis]) w.scale[axis] = o.scale[o.scale.size() == 1 ? 0 : axis];
        w.offsetGiven[axis] = !o.offset.empty();
        if (w.offsetGiven[axis]) w.offset[axis] = o.offset[axis];
    }
    w.force = o.crs.force;
    return orv::makeLasWriter(w);
}

// The stages of a copy: the reader, the filters in the order the options are listed, the
// thinning, the CRS and the writer.
orv::Pipeline copyPipeline(const CopyOptions& o, const std::string& inPath,
                           const std::string& inName, const std::string& kind,
                           const std::string& outPath) {
    orv::Pipeline p;
    orv::LasReadOptions r;
    r.path = inPath, r.name = inName;
    p.add(orv::makeLasReader(r));
    if (o.step > 1) p.add(orv::makeStepFilter(o.step));
    std::vector<orv::DimRange> classes, returns;
    for (int c : o.keepClass) classes.push_back(exactly("classification", c));
    if (!classes.empty()) p.add(orv::makeRangeFilter(classes));
    if (!o.dropClass.empty())
        p.add(orv::makeDropFilter(0, std::vector<uint8_t>(o.dropClass.begin(), o.dropClass.end())));
    for (int c : o.keepReturn) returns.push_back(exactly("return_number", c));
    if (!returns.empty()) p.add(orv::makeRangeFilter(returns));
    if (o.bbox.size() == 4) p.add(orv::makeCropFilter(o.bbox.data()));
    if (!o.clip.empty()) p.add(orv::makeClipFilter(o.clip, o.clipOutside));
    o.more.addStages(p);
    if (o.thin.active()) p.add(orv::makeThinFilter(o.thin.stage()));
    if (!o.crs.assign.empty()) p.add(orv::makeAssignCrs(crsArgument(o.crs.assign, "--crs")));
    if (!o.crs.to.empty())
        p.add(orv::makeReprojection(orv::Crs(), crsArgument(o.crs.to, "--to-crs"), o.crs.threads,
                                    o.crs.network));
    p.add(writerStage(o, kind, outPath));
    return p;
}

void runLossless(const CopyOptions& o, const std::string& kind) {
    const auto start = std::chrono::steady_clock::now();
    const InputPath in(o.in);
    OutputPath out(o.out);
    orv::Pipeline pipeline = copyPipeline(o, in.path(), in.name(), kind, out.path());
    orv::PipelineError error;
    if (!pipeline.prepare(error)) throw CommandError(error.text);
    const orv::LasReader& reader = *dynamic_cast<orv::ReaderStage&>(pipeline.stage(0)).lasReader();
    if (o.strict) requireAgreement(in);
    reportShortRead(in, reader.pointCount(), reader.header().statedPoints, o.strict);
    for (size_t i = 0; i < pipeline.size(); ++i)
        for (const std::string& w : pipeline.stage(i).warnings())
            std::fprintf(stderr, "warning: %s\n", w.c_str());
    out.refuseInput(in.identity(), in.name());
    PointProgress progress(o.quiet, "copying " + in.name(), reader.pointCount());
    orv::PipelineSummary summary;
    // Under --strict the copy is abandoned before its output is put in place.
    pipeline.setBeforeFinish([&] { reportReadDamage(reader, in, summary.read, o.strict); });
    pipeline.setProgress([&](uint64_t done, uint64_t) {
        summary.read = done;
        progress.update(done);
    });
    if (!pipeline.run(error, &summary)) throw CommandError(error.text);
    out.finish();
    progress.end();
    report(o, in.name(), out.name(), summary.read, summary.written, since(start),
           kind == "text" || kind == "png" ? "wrote" : "copied");
}

// What the output's name asks to be written, or --writer; refused when neither says.
std::string outputKind(const CopyOptions& o) {
    if (!o.writer.empty()) return o.writer;
    std::string kind = orv::writerForName(o.out);
    std::error_code ec;
    const bool device =
        std::filesystem::exists(o.out, ec) && !std::filesystem::is_regular_file(o.out, ec);
    if (kind.empty() && (o.laz || device)) kind = o.laz ? "laz" : "las";
    if (kind.empty())
        throw CLI::ValidationError("'" + o.out + "' names no kind of output (" +
                                   orv::writerExtensions() + "); give --writer");
    return kind;
}

// Copies one file as the options say, by whichever path they take.
void copyOne(const CopyOptions& o) {
    const std::string kind = o.copc ? "copc" : outputKind(o);
    // An area or a level of a COPC file (or URL) is read through its octree; other filters
    // go the ordinary way, over every point.
    const bool url = o.in.rfind("http://", 0) == 0 || o.in.rfind("https://", 0) == 0;
    const bool needsOctree = o.resolution > 0 || o.level >= 0 || o.bbox.size() == 6 || url;
    const bool changes = !o.setVersion.empty() || o.format >= 0 || !o.scale.empty() ||
                         !o.offset.empty() || !o.keepClass.empty() || !o.dropClass.empty() ||
                         !o.keepReturn.empty() || o.step > 1 || !o.crs.assign.empty() ||
                         !o.crs.to.empty() || o.more.active() || o.thin.active() ||
                         !o.clip.empty();
    const bool others = changes || o.pool || !o.shift.empty();
    if (kind == "copc" && !others && !needsOctree && o.bbox.empty()) {
        writeCopcCopy(o.in, o.out, o.json, o.quiet);
        return;
    }
    if (needsOctree && (others || (kind != "las" && kind != "laz")))
        throw CLI::ValidationError(
            "--resolution, --level, a 3D --bbox and URLs take no other filters and write LAS");
    if (needsOctree || (!o.bbox.empty() && !others && o.in != "-" && isCopcSource(o.in) &&
                        (kind == "las" || kind == "laz"))) {
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
        if (changes || !o.bbox.empty() || (kind != "las" && kind != "laz"))
            throw CLI::ValidationError("--pool and --shift take no other copy options");
        runPool(o);
    } else {
        runLossless(o, kind);
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
    cmd->add_option("--writer", options->writer,
                    "What to write whatever OUT's name: las, laz, copc, text (as to-text) or png "
                    "(as render); by default the name's extension says")
        ->check(CLI::IsMember({"las", "laz", "copc", "text", "png"}));
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
