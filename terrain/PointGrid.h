// Points binned into square cells of about a few points each, for nearest-neighbour questions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orv::terrain {

class PointGrid {
public:
    // Indexes `count` points (x and y; z for the 3D questions, may be null). The arrays must
    // outlive the grid. `perCell` points per cell on average.
    void build(const double* x, const double* y, const double* z, size_t count,
               double perCell = 3.0);
    bool empty() const { return m_count == 0; }
    double cellSize() const { return m_size; }
    // The point nearest (x, y) in the plane; SIZE_MAX without points.
    size_t nearest(double x, double y) const;
    // The distances in space from point `i` to its `k` nearest others within `limit`, nearest
    // first; fewer when fewer lie within it.
    void nearestInSpace(size_t i, unsigned k, double limit, std::vector<double>& distances) const;
    // Others within `radius` of point `i` in space, counted up to `enough`.
    unsigned neighboursWithin(size_t i, double radius, unsigned enough) const;

private:
    // Visits the points of the cells in ring `ring` around cell (cx, cy).
    template <class Visit>
    void ring(int cx, int cy, int ring, Visit&& visit) const;
    void cellOf(double x, double y, int& cx, int& cy) const;

    const double *m_x = nullptr, *m_y = nullptr, *m_z = nullptr;
    size_t m_count = 0;
    double m_minX = 0, m_minY = 0, m_size = 1;
    int m_cols = 0, m_rows = 0;
    std::vector<uint32_t> m_start;  // per cell, where its points begin in m_order
    std::vector<uint32_t> m_order;  // point indices, cell by cell
};

}  // namespace orv::terrain
