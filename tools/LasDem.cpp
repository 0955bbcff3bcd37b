// orvter las dem: one raster (a cloud-optimised GeoTIFF) of one or more LAS files: bare earth,
// surface, canopy height, intensity or density.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <memory>

#include "LasCopyCore.h"
#include "TerrainIo.h"

namespace orvter {
namespace {

struct DemCommand {
    std::vector<std::string> inputs;  // the last one is the raster
    std::string kind = "dtm";
    double resolution = 1.0;
    bool quiet = false, json = false;
};

void run(const DemCommand& o) {
    const auto start = std::chrono::steady_clock::now();
    if (o.inputs.size() < 2) throw CLI::ValidationError("give IN... and OUT.tif");
    orv::DemKind kind;
    if (!orv::demKindFromName(o.kind, kind)) throw CLI::ValidationError("unknown --kind");
    const std::string outPath = o.inputs.back();
    std::vector<std::unique_ptr<TerrainInput>> inputs;
    orv::TerrainExtent extent;
    uint64_t total = 0;
    for (size_t i = 0; i + 1 < o.inputs.size(); ++i) {
        inputs.push_back(std::make_unique<TerrainInput>(o.inputs[i]));
        const orv::TerrainExtent e = inputs.back()->extent();
        if (i == 0) extent = e;
        extent.minX = std::min(extent.minX, e.minX), extent.minY = std::min(extent.minY, e.minY);
        extent.maxX = std::max(extent.maxX, e.maxX), extent.maxY = std::max(extent.maxY, e.maxY);
        total += inputs.back()->pointCount();
    }
    orv::DemRaster raster;
    if (raster.start(kind, extent, o.resolution) != 0)
        throw CommandError("cannot make the raster: " + raster.error(), kExitUsage);
    const bool surfaceNeeded = kind == orv::DemKind::Dtm || kind == orv::DemKind::Chm;
    PointProgress progress(o.quiet, "reading", total, surfaceNeeded ? 0.5 : 1.0);
    uint64_t done = 0;
    orv::GroundSurface surface;
    if (surfaceNeeded) {
        for (auto& in : inputs) {
            while (in->next()) {
                surface.addGround(in->block());
                progress.update(done += in->block().count);
            }
            in->rewind();
        }
        if (surface.build() != 0)
            throw CommandError("cannot make a ground surface: " + surface.error() +
                               " (run las ground first)");
        progress.phase("rastering", 0.5);
        done = 0;
    }
    if (kind == orv::DemKind::Dtm) {
        raster.fill(surface);
    } else {
        std::vector<float> heights;
        for (auto& in : inputs)
            while (in->next()) {
                const orv::TerrainBlock& b = in->block();
                if (kind == orv::DemKind::Chm) {
                    heights.resize(b.count);
                    surface.heightAboveGround(b, heights.data());
                }
                raster.add(b, heights.empty() ? nullptr : heights.data());
                progress.update(done += b.count);
            }
    }
    if (raster.write(outPath, inputs.front()->wkt()) != 0)
        throw CommandError("cannot write '" + outPath + "': " + raster.error());
    progress.end();
    const double seconds = since(start);
    if (o.json)
        printJson({{"inputs", inputs.size()},
                   {"output", outPath},
                   {"kind", o.kind},
                   {"columns", raster.columns()},
                   {"rows", raster.rows()},
                   {"seconds", seconds}});
    else
        std::printf("wrote a %d x %d %s raster to %s in %.3f s\n", raster.columns(), raster.rows(),
                    o.kind.c_str(), outPath.c_str(), seconds);
}

}  // namespace

void addLasDem(CLI::App& las) {
    auto o = std::make_shared<DemCommand>();
    CLI::App* cmd = las.add_subcommand(
        "dem",
        "Write one raster of one or more LAS files as a tiled, compressed cloud-optimised "
        "GeoTIFF with their CRS: dtm (ground points, linear over their triangulation), dsm "
        "(highest first return), chm (highest height above ground), intensity (mean of first "
        "returns), density (points per square unit)");
    cmd->add_option("FILES", o->inputs, "IN... OUT.tif")->required()->expected(2, -1);
    cmd->add_option("--kind", o->kind, "dtm, dsm, chm, intensity or density")
        ->check(CLI::IsMember({"dtm", "dsm", "chm", "intensity", "density"}))
        ->capture_default_str();
    cmd->add_option("--resolution", o->resolution, "Cell size in the cloud's units")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    cmd->add_flag("--json", o->json, "Print the summary as one JSON object");
    cmd->add_flag("--quiet", o->quiet, "Show no progress line");
    cmd->callback([o] { run(*o); });
}

}  // namespace orvter
