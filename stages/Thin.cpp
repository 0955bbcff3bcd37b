// Thinning: one point per occupied cell, an even sample whatever the density. A first pass finds
// each cell's pick, the run keeps it; memory grows with the occupied cells, not the points.
#include <cmath>
#include <unordered_map>

#include "OrvStages.h"

namespace orv {
namespace {

uint64_t mix(uint64_t v) {
    v += 0x9E3779B97F4A7C15ull;
    v = (v ^ (v >> 30)) * 0xBF58476D1CE4E5B9ull;
    v = (v ^ (v >> 27)) * 0x94D049BB133111EBull;
    return v ^ (v >> 31);
}

// The cell along one axis; coordinates beyond any file's reach share the outermost cells.
int64_t cellIndex(double v, double size) {
    const double c = std::floor(v / size);
    if (!(c > -9e18)) return INT64_MIN;
    return c < 9e18 ? static_cast<int64_t>(c) : INT64_MAX;
}

struct Cell {
    int64_t x, y, z;
    bool operator==(const Cell& o) const { return x == o.x && y == o.y && z == o.z; }
};
struct CellHash {
    size_t operator()(const Cell& c) const {
        return static_cast<size_t>(
            mix(static_cast<uint64_t>(c.x) ^
                mix(static_cast<uint64_t>(c.y) ^ mix(static_cast<uint64_t>(c.z)))));
    }
};
struct Pick {
    double score;  // the lowest z, or a draw from the seed and the point's position
    uint64_t index;
};

class ThinFilter : public Stage {
public:
    explicit ThinFilter(const ThinStageOptions& o) : m_o(o) {}
    std::string type() const override {
        return m_o.voxel ? "filters.voxeldownsize" : "filters.sample";
    }
    bool prepare(Schema&, std::string& error) override {
        if (m_o.cell > 0) return true;
        error = "the cell size must be above 0";
        return false;
    }
    bool wantsFirstPass() const override { return true; }
    void observe(Block& block) override {
        const double *x = block.x(), *y = block.y(), *z = block.z();
        for (size_t i = 0; i < block.size(); ++i) {
            const uint64_t at = block.index(i);
            const Pick p{score(z[i], at), at};
            auto [it, added] = m_cells.emplace(cell(x[i], y[i], z[i]), p);
            // Ties go to the earlier point, so the pick is the same whatever the blocks.
            if (!added && p.score < it->second.score) it->second = p;
        }
    }
    bool run(Block& block, std::string&) override {
        const double *x = block.x(), *y = block.y(), *z = block.z();
        m_keep.resize(block.size());
        for (size_t i = 0; i < block.size(); ++i) {
            const auto at = m_cells.find(cell(x[i], y[i], z[i]));
            m_keep[i] = at != m_cells.end() && at->second.index == block.index(i);
        }
        block.keep(m_keep);
        if (m_o.center) toCenters(block);
        return true;
    }

private:
    void toCenters(Block& block) {
        double *x, *y, *z;
        block.moveCoordinates(x, y, z);
        for (size_t i = 0; i < block.size(); ++i) {
            const Cell c = cell(x[i], y[i], z[i]);
            x[i] = (static_cast<double>(c.x) + 0.5) * m_o.cell;
            y[i] = (static_cast<double>(c.y) + 0.5) * m_o.cell;
            if (m_o.voxel) z[i] = (static_cast<double>(c.z) + 0.5) * m_o.cell;
        }
    }
    Cell cell(double x, double y, double z) const {
        return {cellIndex(x, m_o.cell), cellIndex(y, m_o.cell),
                m_o.voxel ? cellIndex(z, m_o.cell) : 0};
    }
    double score(double z, uint64_t index) const {
        if (m_o.first) return static_cast<double>(index);
        if (!m_o.random) return z;
        return static_cast<double>(mix(m_o.seed ^ mix(index)) >> 11);  // exact in a double
    }

    ThinStageOptions m_o;
    std::unordered_map<Cell, Pick, CellHash> m_cells;
    std::vector<uint8_t> m_keep;
};

}  // namespace

std::unique_ptr<Stage> makeThinFilter(const ThinStageOptions& o) {
    return std::make_unique<ThinFilter>(o);
}

}  // namespace orv
