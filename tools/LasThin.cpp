#include "LasThin.h"

#include <CLI/CLI.hpp>

namespace orvter {
void ThinOptions::addOptions(CLI::App& cmd) {
    cmd.add_option("--thin-grid", grid,
                   "Keep one point per SIZE x SIZE cell in x and y (two passes; memory grows with "
                   "the occupied cells)")
        ->check(CLI::PositiveNumber);
    cmd.add_option("--thin-voxel", voxel,
                   "Keep one point per SIZE cube in x, y and z (as --thin-grid)")
        ->check(CLI::PositiveNumber);
    cmd.add_option("--thin-pick", pick, "Which point of a cell: lowest, or random")
        ->check(CLI::IsMember({"lowest", "random"}))
        ->capture_default_str();
    cmd.add_option("--thin-seed", seed, "Seed of the random pick: the same seed, the same points")
        ->capture_default_str();
}

orv::ThinStageOptions ThinOptions::stage() const {
    orv::ThinStageOptions t;
    t.voxel = voxel > 0;
    t.cell = t.voxel ? voxel : grid;
    t.random = pick == "random";
    t.seed = seed;
    return t;
}

}  // namespace orvter
