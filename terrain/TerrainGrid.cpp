// The grid arithmetic the terrain jobs share: shapes, gap filling, square filters, bilinear
// reads.
#include "terrain/TerrainGrid.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace orv {

namespace terrain {

std::string GridShape::set(const TerrainExtent& e, double cellSize, bool align) {
    if (!(cellSize > 0) || !std::isfinite(cellSize)) return "the cell size must be above 0";
    if (!(e.maxX >= e.minX && e.maxY >= e.minY) || !std::isfinite(e.minX) ||
        !std::isfinite(e.maxX) || !std::isfinite(e.minY) || !std::isfinite(e.maxY))
        return "the extent is empty or not finite";
    size = cellSize;
    minX = align ? std::floor(e.minX / cellSize) * cellSize : e.minX;
    minY = align ? std::floor(e.minY / cellSize) * cellSize : e.minY;
    // A point on the far edge belongs to a cell of its own.
    const double c = std::floor((e.maxX - minX) / cellSize) + 1;
    const double r = std::floor((e.maxY - minY) / cellSize) + 1;
    if (c * r > static_cast<double>(kMaxGridCells))
        return "the grid would have " + std::to_string(static_cast<uint64_t>(c * r)) +
               " cells, more than " + std::to_string(kMaxGridCells) +
               ": take larger cells or split the cloud";
    cols = static_cast<int>(c), rows = static_cast<int>(r);
    return "";
}

bool fillGaps(std::vector<float>& grid, int cols, int rows) {
    const size_t n = grid.size();
    std::vector<size_t> ring, next;
    std::vector<uint8_t> filled(n, 0);
    for (size_t i = 0; i < n; ++i)
        if (!std::isnan(grid[i])) filled[i] = 1;
    // The first ring: empty cells beside a filled one.
    auto visit = [&](size_t i, std::vector<size_t>& into) {
        const int c = static_cast<int>(i % cols), r = static_cast<int>(i / cols);
        for (int dr = -1; dr <= 1; ++dr)
            for (int dc = -1; dc <= 1; ++dc) {
                const int cc = c + dc, rr = r + dr;
                if (cc < 0 || rr < 0 || cc >= cols || rr >= rows) continue;
                const size_t j = static_cast<size_t>(rr) * cols + cc;
                if (!filled[j]) filled[j] = 2, into.push_back(j);
            }
    };
    bool any = false;
    for (size_t i = 0; i < n; ++i)
        if (filled[i] == 1) any = true, visit(i, ring);
    if (!any) return false;
    while (!ring.empty()) {
        for (size_t i : ring) {
            const int c = static_cast<int>(i % cols), r = static_cast<int>(i / cols);
            double sum = 0;
            int count = 0;
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) {
                    const int cc = c + dc, rr = r + dr;
                    if (cc < 0 || rr < 0 || cc >= cols || rr >= rows) continue;
                    const size_t j = static_cast<size_t>(rr) * cols + cc;
                    if (filled[j] == 1) sum += grid[j], ++count;
                }
            grid[i] = static_cast<float>(sum / count);
        }
        for (size_t i : ring) filled[i] = 1;
        next.clear();
        for (size_t i : ring) visit(i, next);
        ring.swap(next);
    }
    return true;
}

namespace {

// Minimum (or maximum) over a window of 2r + 1 along one line of `n` values `stride` apart:
// a monotonic queue, so the cost does not grow with the window.
void slide(const float* in, float* out, int n, size_t stride, int r, bool maximum,
           std::vector<int>& queue) {
    queue.resize(static_cast<size_t>(n));
    int head = 0, tail = 0;
    auto worse = [&](float a, float b) { return maximum ? a <= b : a >= b; };
    int added = 0;
    for (int i = 0; i < n; ++i) {
        const int until = std::min(n - 1, i + r);
        for (; added <= until; ++added) {
            const float v = in[static_cast<size_t>(added) * stride];
            while (tail > head && worse(in[static_cast<size_t>(queue[tail - 1]) * stride], v))
                --tail;
            queue[tail++] = added;
        }
        while (queue[head] < i - r) ++head;
        out[static_cast<size_t>(i) * stride] = in[static_cast<size_t>(queue[head]) * stride];
    }
}

}  // namespace

void squareFilter(const std::vector<float>& in, std::vector<float>& out, int cols, int rows,
                  int r, bool maximum) {
    std::vector<float> across(in.size());
    out.resize(in.size());
    std::vector<int> queue;
    for (int row = 0; row < rows; ++row) {
        const size_t at = static_cast<size_t>(row) * cols;
        slide(in.data() + at, across.data() + at, cols, 1, r, maximum, queue);
    }
    for (int col = 0; col < cols; ++col)
        slide(across.data() + col, out.data() + col, rows, static_cast<size_t>(cols), r, maximum,
              queue);
}

float bilinear(const std::vector<float>& grid, int cols, int rows, double fx, double fy) {
    fx = std::clamp(fx, 0.0, cols - 1.0), fy = std::clamp(fy, 0.0, rows - 1.0);
    const int c0 = std::min(static_cast<int>(fx), std::max(0, cols - 2));
    const int r0 = std::min(static_cast<int>(fy), std::max(0, rows - 2));
    const int c1 = std::min(c0 + 1, cols - 1), r1 = std::min(r0 + 1, rows - 1);
    const double tx = fx - c0, ty = fy - r0;
    auto at = [&](int c, int r) { return grid[static_cast<size_t>(r) * cols + c]; };
    const double top = at(c0, r0) * (1 - tx) + at(c1, r0) * tx;
    const double bottom = at(c0, r1) * (1 - tx) + at(c1, r1) * tx;
    return static_cast<float>(top * (1 - ty) + bottom * ty);
}

}  // namespace terrain

}  // namespace orv
