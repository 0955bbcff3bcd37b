// A counting sort of points into cells, and searches that widen ring by ring.
#include "terrain/PointGrid.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "terrain/TerrainGrid.h"

namespace orv::terrain {

void PointGrid::build(const double* x, const double* y, const double* z, size_t count,
                      double perCell) {
    m_x = x, m_y = y, m_z = z, m_count = count;
    m_start.clear(), m_order.clear();
    if (count == 0) return;
    double minX = x[0], maxX = x[0], minY = y[0], maxY = y[0];
    for (size_t i = 1; i < count; ++i) {
        minX = std::min(minX, x[i]), maxX = std::max(maxX, x[i]);
        minY = std::min(minY, y[i]), maxY = std::max(maxY, y[i]);
    }
    const double w = std::max(maxX - minX, 1e-9), h = std::max(maxY - minY, 1e-9);
    const double cells =
        std::min(static_cast<double>(kMaxGridCells), std::max(1.0, count / perCell));
    m_size = std::max(std::sqrt(w * h / cells), std::max(w, h) / 65536.0);
    m_minX = minX, m_minY = minY;
    m_cols = static_cast<int>(w / m_size) + 1, m_rows = static_cast<int>(h / m_size) + 1;
    const size_t n = static_cast<size_t>(m_cols) * m_rows;
    m_start.assign(n + 1, 0);
    std::vector<uint32_t> cellIndex(count);
    for (size_t i = 0; i < count; ++i) {
        int cx, cy;
        cellOf(x[i], y[i], cx, cy);
        cellIndex[i] = static_cast<uint32_t>(static_cast<size_t>(cy) * m_cols + cx);
        ++m_start[cellIndex[i] + 1];
    }
    for (size_t c = 0; c < n; ++c) m_start[c + 1] += m_start[c];
    m_order.resize(count);
    std::vector<uint32_t> fill(m_start.begin(), m_start.end() - 1);
    for (size_t i = 0; i < count; ++i) m_order[fill[cellIndex[i]]++] = static_cast<uint32_t>(i);
}

void PointGrid::cellOf(double x, double y, int& cx, int& cy) const {
    const double fx = (x - m_minX) / m_size, fy = (y - m_minY) / m_size;
    cx = static_cast<int>(std::clamp(fx, 0.0, m_cols - 1.0));
    cy = static_cast<int>(std::clamp(fy, 0.0, m_rows - 1.0));
}

template <class Visit>
void PointGrid::ring(int cx, int cy, int r, Visit&& visit) const {
    auto cell = [&](int c, int row) {
        if (c < 0 || row < 0 || c >= m_cols || row >= m_rows) return;
        const size_t at = static_cast<size_t>(row) * m_cols + c;
        for (uint32_t k = m_start[at]; k < m_start[at + 1]; ++k) visit(m_order[k]);
    };
    if (r == 0) return cell(cx, cy);
    for (int c = cx - r; c <= cx + r; ++c) cell(c, cy - r), cell(c, cy + r);
    for (int row = cy - r + 1; row <= cy + r - 1; ++row) cell(cx - r, row), cell(cx + r, row);
}

size_t PointGrid::nearest(double x, double y) const {
    if (m_count == 0) return SIZE_MAX;
    int cx, cy;
    cellOf(x, y, cx, cy);
    size_t best = SIZE_MAX;
    double bestD = std::numeric_limits<double>::infinity();
    const int maxRing = std::max(m_cols, m_rows);
    for (int r = 0; r <= maxRing; ++r) {
        // Every point of ring r lies at least (r - 1) cells away from (x, y).
        const double reach = (r - 1) * m_size;
        if (best != SIZE_MAX && reach > 0 && reach * reach > bestD) break;
        ring(cx, cy, r, [&](uint32_t i) {
            const double dx = m_x[i] - x, dy = m_y[i] - y, d = dx * dx + dy * dy;
            if (d < bestD) bestD = d, best = i;
        });
    }
    return best;
}

void PointGrid::nearestInSpace(size_t i, unsigned k, double limit,
                               std::vector<double>& distances) const {
    distances.clear();
    int cx, cy;
    cellOf(m_x[i], m_y[i], cx, cy);
    const double limit2 = limit * limit;
    // A max-heap of the k best squared distances so far.
    const int maxRing = static_cast<int>(std::ceil(limit / m_size)) + 1;
    for (int r = 0; r <= maxRing; ++r) {
        const double reach = (r - 1) * m_size;
        if (reach > 0 && distances.size() == k && reach * reach > distances.front()) break;
        ring(cx, cy, r, [&](uint32_t j) {
            if (j == i) return;
            const double dx = m_x[j] - m_x[i], dy = m_y[j] - m_y[i];
            const double dz = m_z ? m_z[j] - m_z[i] : 0.0;
            const double d = dx * dx + dy * dy + dz * dz;
            if (d > limit2) return;
            if (distances.size() < k) {
                distances.push_back(d);
                std::push_heap(distances.begin(), distances.end());
            } else if (d < distances.front()) {
                std::pop_heap(distances.begin(), distances.end());
                distances.back() = d;
                std::push_heap(distances.begin(), distances.end());
            }
        });
    }
    std::sort_heap(distances.begin(), distances.end());
    for (double& d : distances) d = std::sqrt(d);
}

unsigned PointGrid::neighboursWithin(size_t i, double radius, unsigned enough) const {
    int cx, cy;
    cellOf(m_x[i], m_y[i], cx, cy);
    const double r2 = radius * radius;
    unsigned found = 0;
    const int rings = static_cast<int>(std::ceil(radius / m_size));
    for (int r = 0; r <= rings && found < enough; ++r)
        ring(cx, cy, r, [&](uint32_t j) {
            if (j == i) return;
            const double dx = m_x[j] - m_x[i], dy = m_y[j] - m_y[i];
            const double dz = m_z ? m_z[j] - m_z[i] : 0.0;
            if (dx * dx + dy * dy + dz * dz <= r2) ++found;
        });
    return found;
}

}  // namespace orv::terrain
