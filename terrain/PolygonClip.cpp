// Polygons of a vector layer read through GDAL/OGR, moved into the cloud's CRS, and tested
// point by point with crossing counts over edges binned by height.
#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>
#include <cpl_error.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "OrvTerrain.h"
#include "terrain/Gdal.h"

namespace orv {
namespace {

// Bands of each polygon's height: a point is tested against the edges of its band only.
constexpr int kMaxBands = 1024;

struct Edge {
    double x0, y0, x1, y1;
};

// One polygon: its rings' edges (outer and holes alike: a crossing count treats them the same).
struct Polygon {
    double minX = HUGE_VAL, minY = HUGE_VAL, maxX = -HUGE_VAL, maxY = -HUGE_VAL;
    std::vector<Edge> edges;
    int bands = 1;
    std::vector<std::vector<uint32_t>> band;  // edge indices per band

    void index() {
        bands = std::clamp(static_cast<int>(edges.size() / 4), 1, kMaxBands);
        band.assign(static_cast<size_t>(bands), {});
        for (size_t i = 0; i < edges.size(); ++i) {
            const Edge& e = edges[i];
            const int b0 = bandOf(std::min(e.y0, e.y1)), b1 = bandOf(std::max(e.y0, e.y1));
            for (int b = b0; b <= b1; ++b) band[static_cast<size_t>(b)].push_back(static_cast<uint32_t>(i));
        }
    }
    int bandOf(double y) const {
        const double h = maxY - minY;
        if (!(h > 0)) return 0;
        return std::clamp(static_cast<int>((y - minY) / h * bands), 0, bands - 1);
    }
    bool contains(double px, double py) const {
        if (px < minX || px > maxX || py < minY || py > maxY) return false;
        bool in = false;
        for (uint32_t i : band[static_cast<size_t>(bandOf(py))]) {
            const Edge& e = edges[i];
            const double cross = (e.x1 - e.x0) * (py - e.y0) - (e.y1 - e.y0) * (px - e.x0);
            // On the edge itself: inside.
            if (cross == 0 && px >= std::min(e.x0, e.x1) && px <= std::max(e.x0, e.x1) &&
                py >= std::min(e.y0, e.y1) && py <= std::max(e.y0, e.y1))
                return true;
            if ((e.y0 > py) != (e.y1 > py)) {
                const double x = e.x0 + (py - e.y0) * (e.x1 - e.x0) / (e.y1 - e.y0);
                if (x > px) in = !in;
            }
        }
        return in;
    }
};

void addRing(OGRGeometryH ring, Polygon& p) {
    const int n = OGR_G_GetPointCount(ring);
    for (int i = 0; i + 1 < n; ++i) {
        const Edge e{OGR_G_GetX(ring, i), OGR_G_GetY(ring, i), OGR_G_GetX(ring, i + 1),
                     OGR_G_GetY(ring, i + 1)};
        p.edges.push_back(e);
        p.minX = std::min({p.minX, e.x0, e.x1}), p.maxX = std::max({p.maxX, e.x0, e.x1});
        p.minY = std::min({p.minY, e.y0, e.y1}), p.maxY = std::max({p.maxY, e.y0, e.y1});
    }
    // A ring left open by its writer closes on its first point.
    if (n > 2 && (OGR_G_GetX(ring, 0) != OGR_G_GetX(ring, n - 1) ||
                  OGR_G_GetY(ring, 0) != OGR_G_GetY(ring, n - 1)))
        p.edges.push_back({OGR_G_GetX(ring, n - 1), OGR_G_GetY(ring, n - 1), OGR_G_GetX(ring, 0),
                           OGR_G_GetY(ring, 0)});
}

// The polygons of a geometry: a polygon, or those inside a multipolygon or collection.
void collect(OGRGeometryH g, std::vector<Polygon>& out) {
    const OGRwkbGeometryType type = wkbFlatten(OGR_G_GetGeometryType(g));
    if (type == wkbPolygon || type == wkbCurvePolygon) {
        OGRGeometryH linear = type == wkbPolygon ? g : OGR_G_GetLinearGeometry(g, 0, nullptr);
        Polygon p;
        for (int r = 0; r < OGR_G_GetGeometryCount(linear); ++r)
            addRing(OGR_G_GetGeometryRef(linear, r), p);
        if (linear != g) OGR_G_DestroyGeometry(linear);
        if (!p.edges.empty()) p.index(), out.push_back(std::move(p));
    } else if (type == wkbMultiPolygon || type == wkbGeometryCollection ||
               type == wkbMultiSurface) {
        for (int i = 0; i < OGR_G_GetGeometryCount(g); ++i) collect(OGR_G_GetGeometryRef(g, i), out);
    }
}

struct SrsDeleter {
    void operator()(void* s) const { OSRDestroySpatialReference(static_cast<OGRSpatialReferenceH>(s)); }
};
using Srs = std::unique_ptr<void, SrsDeleter>;

}  // namespace

struct PolygonClip::Impl {
    std::vector<Polygon> polygons;
    std::string error;
};

PolygonClip::PolygonClip() : m_impl(std::make_unique<Impl>()) {}
PolygonClip::~PolygonClip() = default;

int PolygonClip::open(const std::string& path, const std::string& layerName,
                      const std::string& targetWkt) {
    Impl& m = *m_impl;
    m.polygons.clear();
    auto fail = [&](const std::string& why) {
        m.error = why;
        m.polygons.clear();
        return -1;
    };
    terrain::registerGdal();
    CPLErrorReset();
    GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr,
                                 nullptr, nullptr);
    if (!ds) return fail("cannot open '" + path + "' as a vector file: " + CPLGetLastErrorMsg());
    std::unique_ptr<void, void (*)(void*)> closer(ds, [](void* d) { GDALClose(d); });
    OGRLayerH layer = layerName.empty() ? GDALDatasetGetLayer(ds, 0)
                                        : GDALDatasetGetLayerByName(ds, layerName.c_str());
    if (!layer)
        return fail(layerName.empty() ? "'" + path + "' has no layer"
                                      : "'" + path + "' has no layer '" + layerName + "'");
    OGRCoordinateTransformationH move = nullptr;
    OGRSpatialReferenceH source = OGR_L_GetSpatialRef(layer);
    Srs target;
    if (!targetWkt.empty()) {
        target.reset(OSRNewSpatialReference(nullptr));
        auto* t = static_cast<OGRSpatialReferenceH>(target.get());
        if (OSRSetFromUserInput(t, targetWkt.c_str()) != OGRERR_NONE)
            return fail("the cloud's CRS is not one GDAL reads");
        OSRSetAxisMappingStrategy(t, OAMS_TRADITIONAL_GIS_ORDER);
        if (source && !OSRIsSame(source, t)) {
            Srs s(OSRClone(source));
            OSRSetAxisMappingStrategy(static_cast<OGRSpatialReferenceH>(s.get()),
                                      OAMS_TRADITIONAL_GIS_ORDER);
            move = OCTNewCoordinateTransformation(static_cast<OGRSpatialReferenceH>(s.get()), t);
            if (!move) return fail("no way from the polygons' CRS to the cloud's");
        }
    }
    std::unique_ptr<void, void (*)(void*)> moveCloser(
        move, [](void* c) { OCTDestroyCoordinateTransformation(static_cast<OGRCoordinateTransformationH>(c)); });
    OGR_L_ResetReading(layer);
    while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
        OGRGeometryH g = OGR_F_GetGeometryRef(f);
        bool ok = true;
        if (g) {
            OGRGeometryH copy = OGR_G_Clone(g);
            ok = !move || OGR_G_Transform(copy, move) == OGRERR_NONE;
            if (ok) collect(copy, m.polygons);
            OGR_G_DestroyGeometry(copy);
        }
        OGR_F_Destroy(f);
        if (!ok) return fail("a polygon of '" + path + "' cannot be moved into the cloud's CRS");
    }
    if (m.polygons.empty()) return fail("'" + path + "' holds no polygon");
    return 0;
}

const std::string& PolygonClip::error() const {
    return m_impl->error;
}

size_t PolygonClip::polygonCount() const {
    return m_impl->polygons.size();
}

void PolygonClip::inside(const double* x, const double* y, size_t count, uint8_t* in) const {
    const auto& polygons = m_impl->polygons;
    for (size_t i = 0; i < count; ++i) {
        bool any = false;
        for (size_t p = 0; p < polygons.size() && !any; ++p) any = polygons[p].contains(x[i], y[i]);
        in[i] = any ? 1 : 0;
    }
}

}  // namespace orv
