// las copy --thin-grid and --thin-voxel: one point per occupied cell, an even sample whatever the
// density, through the library's thinning stage.
#pragma once

#include <cstdint>
#include <string>

#include "OrvStages.h"

namespace CLI {
class App;
}

namespace orvter {

struct ThinOptions {
    double grid = 0, voxel = 0;  // cell side in x and y (grid), or in x, y and z (voxel)
    std::string pick = "lowest";
    uint64_t seed = 1;
    void addOptions(CLI::App& cmd);
    bool active() const { return grid > 0 || voxel > 0; }
    orv::ThinStageOptions stage() const;
};

}  // namespace orvter
