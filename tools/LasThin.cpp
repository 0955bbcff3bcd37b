#include "LasThin.h"

#include <CLI/CLI.hpp>
#include <cmath>

namespace orvter {
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

}  // namespace

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

size_t Thinning::CellHash::operator()(const Cell& c) const {
    return static_cast<size_t>(
        mix(static_cast<uint64_t>(c.x) ^
            mix(static_cast<uint64_t>(c.y) ^ mix(static_cast<uint64_t>(c.z)))));
}

void Thinning::decode(const orv::LasFileHeader& h, const uint8_t* records, size_t n) {
    m_x.resize(n), m_y.resize(n), m_z.resize(n);
    orv::LasColumns c;
    c.x = m_x.data(), c.y = m_y.data(), c.z = m_z.data();
    orv::decodeLasRecords(h, records, n, c);
}

Thinning::Cell Thinning::cellOf(size_t i) const {
    const double size = m_o.voxel > 0 ? m_o.voxel : m_o.grid;
    return {cellIndex(m_x[i], size), cellIndex(m_y[i], size),
            m_o.voxel > 0 ? cellIndex(m_z[i], size) : 0};
}

double Thinning::scoreOf(size_t i, uint64_t index) const {
    if (m_o.pick == "lowest") return m_z[i];
    return static_cast<double>(mix(m_o.seed ^ mix(index)) >> 11);  // exact in a double
}

void Thinning::observe(const orv::LasFileHeader& h, const uint8_t* records, size_t n,
                       uint64_t firstIndex, const std::vector<uint8_t>& keep) {
    decode(h, records, n);
    for (size_t i = 0; i < n; ++i) {
        if (!keep[i]) continue;
        const Pick p{scoreOf(i, firstIndex + i), firstIndex + i};
        auto [at, added] = m_cells.emplace(cellOf(i), p);
        // Ties go to the earlier record, so the pick is the same whatever the blocks.
        if (!added && p.score < at->second.score) at->second = p;
    }
}

void Thinning::select(const orv::LasFileHeader& h, const uint8_t* records, size_t n,
                      uint64_t firstIndex, std::vector<uint8_t>& keep) {
    decode(h, records, n);
    for (size_t i = 0; i < n; ++i) {
        if (!keep[i]) continue;
        const auto at = m_cells.find(cellOf(i));
        keep[i] = at != m_cells.end() && at->second.index == firstIndex + i;
    }
}

}  // namespace orvter
