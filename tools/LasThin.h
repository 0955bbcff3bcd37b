// las copy --thin-grid and --thin-voxel: one point per occupied cell, an even sample whatever the
// density. Two passes over the records: the first finds each cell's pick, the second keeps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "OrvLasFile.h"

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
};

// The pick of every occupied cell: memory grows with the cells, not the points.
class Thinning {
public:
    explicit Thinning(const ThinOptions& o) : m_o(o) {}
    // First pass: notes the records at `firstIndex`... that `keep` lets through.
    void observe(const orv::LasFileHeader& h, const uint8_t* records, size_t n, uint64_t firstIndex,
                 const std::vector<uint8_t>& keep);
    // Second pass: clears keep[i] of each record that is not its cell's pick.
    void select(const orv::LasFileHeader& h, const uint8_t* records, size_t n, uint64_t firstIndex,
                std::vector<uint8_t>& keep);
    size_t cells() const { return m_cells.size(); }

private:
    struct Cell {
        int64_t x, y, z;
        bool operator==(const Cell& o) const { return x == o.x && y == o.y && z == o.z; }
    };
    struct CellHash {
        size_t operator()(const Cell& c) const;
    };
    struct Pick {
        double score;  // the lowest z, or a draw from the seed and the record's index
        uint64_t index;
    };
    void decode(const orv::LasFileHeader& h, const uint8_t* records, size_t n);
    Cell cellOf(size_t i) const;
    double scoreOf(size_t i, uint64_t index) const;

    ThinOptions m_o;
    std::unordered_map<Cell, Pick, CellHash> m_cells;
    std::vector<double> m_x, m_y, m_z;
};

}  // namespace orvter
