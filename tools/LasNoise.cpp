// orvter las noise: statistical and radius outliers marked class 7, or dropped.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstring>
#include <memory>

#include "LasCopyCore.h"
#include "TerrainIo.h"

namespace orvter {
namespace {

struct NoiseCommand {
    TerrainCopyOptions io;
    orv::NoiseOptions noise;
    bool drop = false;
};

void run(const NoiseCommand& o) {
    const auto start = std::chrono::steady_clock::now();
    TerrainInput in(o.io.in);
    // The neighbours of a point may lie anywhere in the file: its coordinates are held whole.
    std::vector<double> x, y, z;
    std::vector<uint8_t> cls;
    PointProgress progress(o.io.quiet, "reading " + in.path().name(), in.pointCount(), 0.5);
    while (in.next()) {
        const orv::TerrainBlock& b = in.block();
        x.insert(x.end(), b.x, b.x + b.count), y.insert(y.end(), b.y, b.y + b.count);
        z.insert(z.end(), b.z, b.z + b.count);
        cls.insert(cls.end(), b.classification, b.classification + b.count);
        progress.update(x.size());
    }
    std::vector<uint8_t> outlier(x.size());
    std::string why;
    if (orv::findOutliers(x.data(), y.data(), z.data(), cls.data(), x.size(), o.noise,
                          outlier.data(), &why) != 0)
        throw CommandError("cannot look for noise: " + why, kExitUsage);
    in.rewind();
    OutputPath out(o.io.out);
    out.refuseInput(in.path().identity(), in.path().name());
    orv::LasWriter writer;
    writer.setCompressed(compressedOutput(o.io.out, o.io.laz));
    if (writer.open(out.path().c_str(), in.header()) != 0)
        throw CommandError("cannot write '" + out.name() + "': " + writer.error());
    progress.phase("writing", 0.5);
    const size_t length = in.header().recordLength;
    std::vector<uint8_t> classes;
    uint64_t done = 0, found = 0;
    while (in.next()) {
        const orv::TerrainBlock& b = in.block();
        const uint8_t* flags = outlier.data() + done;
        size_t kept = 0;
        classes.resize(b.count);
        for (size_t i = 0; i < b.count; ++i) {
            found += flags[i];
            classes[i] = flags[i] ? orv::kClassLowNoise : b.classification[i];
        }
        if (o.drop) {
            for (size_t i = 0; i < b.count; ++i)
                if (!flags[i])
                    std::memmove(in.records() + kept++ * length, in.records() + i * length, length);
        } else {
            setClasses(in.header(), in.records(), classes.data(), b.count);
            kept = b.count;
        }
        writer.writeRaw(in.records(), kept);
        progress.update(done += b.count);
    }
    writer.close();
    out.finish();
    progress.end();
    reportTerrain(o.io, o.drop ? "cleaned" : "marked", done, since(start),
                  {{"outliers", found}});
}

}  // namespace

void addLasNoise(CLI::App& las) {
    auto o = std::make_shared<NoiseCommand>();
    CLI::App* cmd = las.add_subcommand(
        "noise",
        "Mark outliers class 7 (or drop them): points whose mean distance to their nearest "
        "neighbours is beyond the cloud's mean plus a multiple of its deviation, and with "
        "--radius points with too few neighbours within it");
    addTerrainCopyOptions(*cmd, o->io);
    cmd->add_option("--neighbours", o->noise.neighbours, "Neighbours k of each point")
        ->capture_default_str();
    cmd->add_option("--multiplier", o->noise.multiplier,
                    "Standard deviations beyond the mean distance")
        ->capture_default_str();
    cmd->add_option("--radius", o->noise.radius, "Radius of the neighbour count (0: none)")
        ->capture_default_str();
    cmd->add_option("--min-neighbours", o->noise.minNeighbours,
                    "Fewest neighbours within --radius")
        ->capture_default_str();
    cmd->add_flag("--drop", o->drop, "Leave outliers out instead of marking them");
    cmd->callback([o] { run(*o); });
}

}  // namespace orvter
