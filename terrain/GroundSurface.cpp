// The ground as a surface: GDAL's Delaunay triangulation (the one gdal_grid's linear method
// uses, so that rasters agree with it), walked to the triangle under each point.
#include <gdal_alg.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "OrvTerrain.h"
#include "terrain/PointGrid.h"
#include "terrain/TerrainGrid.h"

namespace orv {

struct GroundSurface::Impl {
    // Kept relative to the first point: the triangulation lifts x and y to x^2 + y^2, which map
    // coordinates in the millions would leave with too few digits (qhull then crawls).
    double originX = 0, originY = 0;
    std::vector<double> x, y, z;
    std::vector<GDALTriFacet> facets;
    terrain::PointGrid grid;         // nearest ground point; also where walks start
    std::vector<int> startFacet;     // per point: a facet it is a corner of
    std::string error;

    // The facet holding (px, py), or -1 outside the hull. A visibility walk from a facet of
    // the nearest ground point: in a Delaunay triangulation it cannot cycle, and a point a few
    // edges away is reached in a few steps.
    void keep(double px, double py, double pz) {
        if (x.empty()) originX = px, originY = py;
        x.push_back(px - originX), y.push_back(py - originY), z.push_back(pz);
    }
    int locate(double px, double py) const {
        const size_t near = grid.nearest(px, py);
        if (near == SIZE_MAX) return -1;
        int f = startFacet[near];
        const size_t limit = facets.size() + 3;
        for (size_t step = 0; f >= 0 && step < limit; ++step) {
            const GDALTriFacet& t = facets[static_cast<size_t>(f)];
            int next = -2;
            for (int k = 0; k < 3 && next == -2; ++k) {
                const int a = t.anVertexIdx[(k + 1) % 3], b = t.anVertexIdx[(k + 2) % 3];
                const int c = t.anVertexIdx[k];
                const double side = orient(a, b, px, py), own = orient(a, b, x[c], y[c]);
                if (side * own < 0) next = t.anNeighborIdx[k];
            }
            if (next == -2) return f;
            f = next;
        }
        return -1;
    }
    double orient(int a, int b, double px, double py) const {
        return (x[b] - x[a]) * (py - y[a]) - (y[b] - y[a]) * (px - x[a]);
    }
};

GroundSurface::GroundSurface() : m_impl(std::make_unique<Impl>()) {}
GroundSurface::~GroundSurface() = default;

void GroundSurface::addGround(const TerrainBlock& b) {
    Impl& m = *m_impl;
    for (size_t i = 0; i < b.count; ++i)
        if (b.classification && b.classification[i] == kClassGround) m.keep(b.x[i], b.y[i], b.z[i]);
}

void GroundSurface::addPoints(const double* x, const double* y, const double* z, size_t count) {
    Impl& m = *m_impl;
    for (size_t i = 0; i < count; ++i) m.keep(x[i], y[i], z[i]);
}

size_t GroundSurface::groundCount() const {
    return m_impl->x.size();
}

int GroundSurface::build(bool triangulate) {
    Impl& m = *m_impl;
    m.facets.clear();
    const size_t n = m.x.size();
    if (n == 0 || n > static_cast<size_t>(std::numeric_limits<int>::max())) {
        m.error = n ? "too many ground points" : "there are no ground points";
        return -1;
    }
    m.grid.build(m.x.data(), m.y.data(), nullptr, n);
    if (!triangulate) return 0;
    if (n < 3 || !GDALHasTriangulation()) {
        m.error = n < 3 ? "fewer than three ground points" : "GDAL was built without Delaunay";
        return -1;
    }
    GDALTriangulation* t =
        GDALTriangulationCreateDelaunay(static_cast<int>(n), m.x.data(), m.y.data());
    if (!t || t->nFacets <= 0) {
        if (t) GDALTriangulationFree(t);
        m.error = "the ground points cannot be triangulated (all in one line?)";
        return -1;
    }
    m.facets.assign(t->pasFacets, t->pasFacets + t->nFacets);
    GDALTriangulationFree(t);
    m.startFacet.assign(n, -1);
    for (size_t f = 0; f < m.facets.size(); ++f)
        for (int k = 0; k < 3; ++k) m.startFacet[m.facets[f].anVertexIdx[k]] = static_cast<int>(f);
    // Points the triangulation left out (repeated positions) start from any facet.
    for (int& f : m.startFacet)
        if (f < 0) f = 0;
    return 0;
}

const std::string& GroundSurface::error() const {
    return m_impl->error;
}

double GroundSurface::linearAt(double px, double py) const {
    const Impl& m = *m_impl;
    px -= m.originX, py -= m.originY;
    if (m.facets.empty()) return std::numeric_limits<double>::quiet_NaN();
    const int f = m.locate(px, py);
    if (f < 0) return std::numeric_limits<double>::quiet_NaN();
    const int* v = m.facets[static_cast<size_t>(f)].anVertexIdx;
    const double area = m.orient(v[0], v[1], m.x[v[2]], m.y[v[2]]);
    if (area == 0) return m.z[v[0]];
    const double l0 = m.orient(v[1], v[2], px, py) / area;
    const double l1 = m.orient(v[2], v[0], px, py) / area;
    return l0 * m.z[v[0]] + l1 * m.z[v[1]] + (1 - l0 - l1) * m.z[v[2]];
}

double GroundSurface::nearestAt(double px, double py) const {
    const Impl& m = *m_impl;
    px -= m.originX, py -= m.originY;
    const size_t i = m.grid.nearest(px, py);
    return i == SIZE_MAX ? std::numeric_limits<double>::quiet_NaN() : m.z[i];
}

void GroundSurface::heightAboveGround(const TerrainBlock& b, float* heights, bool nearest) const {
    for (size_t i = 0; i < b.count; ++i) {
        double ground = nearest ? nearestAt(b.x[i], b.y[i]) : linearAt(b.x[i], b.y[i]);
        if (std::isnan(ground)) ground = nearestAt(b.x[i], b.y[i]);
        heights[i] = static_cast<float>(b.z[i] - ground);
    }
}

}  // namespace orv
