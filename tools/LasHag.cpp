// orvter las hag: every point's height above the ground (class 2) surface, as a float32 extra
// dimension or in place of Z.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

#include "LasCopyCore.h"
#include "TerrainIo.h"

namespace orvter {
namespace {

struct HagCommand {
    TerrainCopyOptions io;
    bool nearest = false, normalize = false;
};

// The ground surface of `in`'s class-2 points; the input is then back at its first record.
void buildSurface(TerrainInput& in, orv::GroundSurface& surface, bool nearest) {
    while (in.next()) surface.addGround(in.block());
    in.rewind();
    if (surface.groundCount() == 0)
        throw CommandError("'" + in.path().name() +
                           "' has no ground points (class 2): run las ground first");
    if (surface.build(!nearest) != 0)
        throw CommandError("cannot make a ground surface of '" + in.path().name() +
                           "': " + surface.error());
}

void run(const HagCommand& o) {
    const auto start = std::chrono::steady_clock::now();
    TerrainInput in(o.io.in);
    orv::GroundSurface surface;
    buildSurface(in, surface, o.nearest);
    orv::LasFileHeader target = in.header();
    size_t field = 0;
    std::string why;
    if (!o.normalize && orv::lasHeightField(target, &field, &why) != 0)
        throw CommandError("cannot add heights to '" + in.path().name() + "': " + why);
    OutputPath out(o.io.out);
    out.refuseInput(in.path().identity(), in.path().name());
    orv::LasWriter writer;
    writer.setCompressed(compressedOutput(o.io.out, o.io.laz));
    if (writer.open(out.path().c_str(), target) != 0)
        throw CommandError("cannot write '" + out.name() + "': " + writer.error());
    PointProgress progress(o.io.quiet, "measuring " + in.path().name(), in.pointCount());
    const size_t from = in.header().recordLength, to = target.recordLength;
    std::vector<uint8_t> records;
    std::vector<float> heights;
    uint64_t done = 0;
    while (in.next()) {
        const orv::TerrainBlock& b = in.block();
        heights.resize(b.count);
        surface.heightAboveGround(b, heights.data(), o.nearest);
        records.assign(b.count * to, 0);
        for (size_t i = 0; i < b.count; ++i) {
            uint8_t* r = records.data() + i * to;
            std::memcpy(r, in.records() + i * from, from);
            if (!o.normalize) {
                std::memcpy(r + field, &heights[i], 4);
                continue;
            }
            const double stored = std::round((heights[i] - target.offset[2]) / target.scale[2]);
            if (!(std::fabs(stored) <= 2147483647.0))
                throw CommandError("a height of '" + in.path().name() +
                                   "' does not fit its Z scale and offset");
            const auto z = static_cast<int32_t>(stored);
            std::memcpy(r + orv::kLasZOffset, &z, 4);
        }
        writer.writeRaw(records.data(), b.count);
        progress.update(done += b.count);
    }
    writer.close();
    out.finish();
    progress.end();
    reportTerrain(o.io, "measured", done, since(start), {{"ground", surface.groundCount()}});
}

}  // namespace

void addLasHag(CLI::App& las) {
    auto o = std::make_shared<HagCommand>();
    CLI::App* cmd = las.add_subcommand(
        "hag",
        "Add each point's height above the ground (class 2) as the float32 extra dimension "
        "HeightAboveGround: from the ground's Delaunay triangulation (outside it, and with "
        "--nearest everywhere, from the nearest ground point)");
    addTerrainCopyOptions(*cmd, o->io);
    cmd->add_flag("--nearest", o->nearest, "Heights above the nearest ground point");
    cmd->add_flag("--normalize", o->normalize, "Write the heights into Z instead");
    cmd->callback([o] { run(*o); });
}

}  // namespace orvter
