// A raster of floats over an extent, and the cell arithmetic the terrain jobs share.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "OrvTerrain.h"

namespace orv::terrain {

// The most cells a grid may have: its few floats per cell stay within a few hundred MiB.
constexpr uint64_t kMaxGridCells = uint64_t{1} << 26;

inline float noValue() {
    return std::numeric_limits<float>::quiet_NaN();
}

// Cells of `size` over an extent, column 0 at minX, row 0 at minY (rasters flip on writing).
struct GridShape {
    double minX = 0, minY = 0, size = 1;
    int cols = 0, rows = 0;

    // "" and the shape set, or why the extent cannot be gridded. `align` starts the cells at a
    // multiple of the size.
    std::string set(const TerrainExtent& e, double cellSize, bool align);
    size_t cells() const { return static_cast<size_t>(cols) * static_cast<size_t>(rows); }
    // The cell of a point, or false when it lies outside the grid.
    bool cellOf(double x, double y, int& col, int& row) const {
        const double fx = (x - minX) / size, fy = (y - minY) / size;
        if (!(fx >= 0 && fy >= 0 && fx < cols && fy < rows)) return false;
        col = static_cast<int>(fx), row = static_cast<int>(fy);
        return true;
    }
    double centreX(int col) const { return minX + (col + 0.5) * size; }
    double centreY(int row) const { return minY + (row + 0.5) * size; }
};

// Fills the NaN cells of a grid from their nearest filled cells, ring after ring: each takes
// the mean of the neighbours filled before it. False when no cell has a value.
bool fillGaps(std::vector<float>& grid, int cols, int rows);

// The grid eroded (a minimum) or dilated (a maximum) over a square of (2r + 1) cells a side,
// clipped at the borders.
void squareFilter(const std::vector<float>& in, std::vector<float>& out, int cols, int rows,
                  int r, bool maximum);

// The grid's value at (fx, fy) in cell units from the first centre, bilinear, clamped at the
// borders.
float bilinear(const std::vector<float>& grid, int cols, int rows, double fx, double fy);

}  // namespace orv::terrain
