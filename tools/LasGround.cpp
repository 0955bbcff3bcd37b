// orvter las ground: ground points marked class 2 by the library's morphological filter, in two
// passes over the file; everything else in the records stays as it was.
#include <CLI/CLI.hpp>
#include <chrono>
#include <memory>

#include "LasCopyCore.h"
#include "TerrainIo.h"

namespace orvter {
namespace {

struct GroundCommand {
    TerrainCopyOptions io;
    orv::GroundOptions ground;
    bool allReturns = false;
};

void run(const GroundCommand& o) {
    const auto start = std::chrono::steady_clock::now();
    TerrainInput in(o.io.in);
    orv::GroundOptions settings = o.ground;
    settings.lastReturnsOnly = !o.allReturns;
    orv::GroundFilter filter;
    if (filter.start(in.extent(), settings) != 0)
        throw CommandError("cannot classify '" + in.path().name() + "': " + filter.error(),
                           kExitUsage);
    PointProgress progress(o.io.quiet, "surveying " + in.path().name(), in.pointCount(), 0.5);
    uint64_t done = 0;
    while (in.next()) {
        filter.observe(in.block());
        progress.update(done += in.block().count);
    }
    if (filter.finish() != 0)
        throw CommandError("cannot classify '" + in.path().name() + "': " + filter.error());
    in.rewind();
    OutputPath out(o.io.out);
    out.refuseInput(in.path().identity(), in.path().name());
    orv::LasWriter writer;
    writer.setCompressed(compressedOutput(o.io.out, o.io.laz));
    if (writer.open(out.path().c_str(), in.header()) != 0)
        throw CommandError("cannot write '" + out.name() + "': " + writer.error());
    progress.phase("classifying", 0.5);
    std::vector<uint8_t> classes;
    uint64_t ground = 0;
    done = 0;
    while (in.next()) {
        const orv::TerrainBlock& b = in.block();
        classes.resize(b.count);
        filter.classify(b, classes.data());
        for (uint8_t c : classes) ground += c == orv::kClassGround;
        setClasses(in.header(), in.records(), classes.data(), b.count);
        writer.writeRaw(in.records(), b.count);
        progress.update(done += b.count);
    }
    writer.close();
    out.finish();
    progress.end();
    reportTerrain(o.io, "classified", done, since(start), {{"ground", ground}});
}

}  // namespace

void addLasGround(CLI::App& las) {
    auto o = std::make_shared<GroundCommand>();
    CLI::App* cmd = las.add_subcommand(
        "ground",
        "Mark ground points class 2 (a progressive morphological filter over a minimum "
        "surface); points once ground that are not become 1, other classes stay");
    addTerrainCopyOptions(*cmd, o->io);
    cmd->add_option("--cell", o->ground.cell, "Cell size of the minimum surface")
        ->capture_default_str();
    cmd->add_option("--slope", o->ground.slope, "Steepest ground slope, rise over run")
        ->capture_default_str();
    cmd->add_option("--window", o->ground.window, "Widest object removed, in units")
        ->capture_default_str();
    cmd->add_option("--threshold", o->ground.threshold, "Height above the surface still ground")
        ->capture_default_str();
    cmd->add_option("--scalar", o->ground.scalar, "Extra height allowed per unit of slope")
        ->capture_default_str();
    cmd->add_flag("--all-returns", o->allReturns,
                  "Let every return be ground, not only last and single returns");
    cmd->callback([o] { run(*o); });
}

}  // namespace orvter
