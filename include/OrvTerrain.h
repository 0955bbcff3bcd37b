// Terrain from point clouds: ground classification, noise, polygon clips, height above ground
// and rasters. Every job takes blocks of points as columns, so that a reader, a pipeline stage
// or Python can feed it whatever holds the points; none keeps more than its grid or its ground.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OrvExport.h"

namespace orv {

// One block of points. Null columns read as: classification 1 (unclassified), return 1 of 1.
struct TerrainBlock {
    size_t count = 0;
    const double* x = nullptr;
    const double* y = nullptr;
    const double* z = nullptr;
    const uint8_t* classification = nullptr;
    const uint8_t* returnNumber = nullptr;
    const uint8_t* numberOfReturns = nullptr;
    const uint16_t* intensity = nullptr;  // rasters of intensity only
};

// The classes the terrain jobs write and respect.
inline constexpr uint8_t kClassUnclassified = 1, kClassGround = 2, kClassLowVegetation = 3,
                         kClassMediumVegetation = 4, kClassHighVegetation = 5,
                         kClassBuilding = 6, kClassLowNoise = 7, kClassHighNoise = 18;
inline bool isNoiseClass(uint8_t c) {
    return c == kClassLowNoise || c == kClassHighNoise;
}
// The last return of its pulse (single returns included); a return number of 0 counts as 1.
inline bool isLastReturn(uint8_t ret, uint8_t count) {
    return ret >= count || count == 0;
}

// An area in the cloud's horizontal units.
struct TerrainExtent {
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
};

// ---- Ground --------------------------------------------------------------------------------

// A progressive morphological filter: a minimum surface of `cell`-sized cells, opened with
// windows growing to `window` (units) whose height threshold grows with `slope`; points within
// `threshold` + `scalar` x local slope of the surface left are ground.
struct GroundOptions {
    double cell = 1.0;
    double slope = 0.15;  // rise over run
    double window = 18.0;
    double threshold = 0.5;
    double scalar = 1.25;
    bool lastReturnsOnly = true;  // only last (and single) returns can be ground
};

// Two passes over the same points: observe() every block, then classify() every block. Memory:
// a few floats per cell of the extent, never per point.
class ORV_API GroundFilter {
public:
    GroundFilter();
    ~GroundFilter();
    GroundFilter(const GroundFilter&) = delete;
    GroundFilter& operator=(const GroundFilter&) = delete;

    // 0, or -1 when an option or the extent is refused (error() says which).
    int start(const TerrainExtent& extent, const GroundOptions& options);
    void observe(const TerrainBlock& block);
    // Builds the ground surface from what was observed; -1 when nothing could be ground.
    int finish();
    // New classes for the block: 2 for ground, 1 for points the input called ground that are
    // not, every other class (noise included) as it was.
    void classify(const TerrainBlock& block, uint8_t* classes) const;
    const std::string& error() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// How a classification compares with the truth, for ground against everything else (noise
// classes of the truth left out).
struct GroundAccuracy {
    uint64_t groundAsGround = 0, groundAsOther = 0, otherAsGround = 0, otherAsOther = 0;
    double typeI() const;   // ground rejected, of ground
    double typeII() const;  // other accepted, of other
    double total() const;   // wrong, of all
    double kappa() const;   // Cohen's kappa
    void add(const uint8_t* truth, const uint8_t* found, size_t count);
};

// ---- Height above ground -------------------------------------------------------------------

// A surface of ground points: a Delaunay triangulation interpolated linearly, or the nearest
// ground point. Holds the ground points (three doubles each) and their triangles.
class ORV_API GroundSurface {
public:
    GroundSurface();
    ~GroundSurface();
    GroundSurface(const GroundSurface&) = delete;
    GroundSurface& operator=(const GroundSurface&) = delete;

    // Keeps the block's ground points (class 2).
    void addGround(const TerrainBlock& block);
    // Keeps every point given as ground.
    void addPoints(const double* x, const double* y, const double* z, size_t count);
    size_t groundCount() const;
    // Triangulates (with `triangulate`) and indexes the points. 0, or -1 without three ground
    // points that are not in one line for a triangulation, or without any for the nearest.
    int build(bool triangulate = true);
    const std::string& error() const;
    // The surface's height at (x, y): the triangle's plane inside the hull of the ground, NaN
    // outside it (or without a triangulation).
    double linearAt(double x, double y) const;
    // The height of the nearest ground point in x and y.
    double nearestAt(double x, double y) const;
    // z minus the surface for every point of the block: linear inside the hull and the nearest
    // ground point outside it, or the nearest everywhere.
    void heightAboveGround(const TerrainBlock& block, float* heights, bool nearest = false) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The name of the extra dimension that carries heights above ground.
inline constexpr const char* kHeightFieldName = "HeightAboveGround";
struct LasFileHeader;
// Gives `header` a float32 HeightAboveGround extra dimension, described in its extra-bytes VLR
// (records grow by 4 bytes at their end), or finds the one it has. `offset` receives the field's
// byte offset in a record. 0, or -1 with `error` when the records cannot grow.
ORV_API int lasHeightField(LasFileHeader& header, size_t* offset, std::string* error = nullptr);

// ---- Noise ---------------------------------------------------------------------------------

// Statistical outliers: points whose mean distance to their `neighbours` nearest is beyond the
// cloud's mean plus `multiplier` standard deviations. Radius outliers (with `radius` > 0):
// points with fewer than `minNeighbours` others within `radius`.
struct NoiseOptions {
    unsigned neighbours = 8;
    double multiplier = 4.0;  // 3 marks the sparse tops of crowns, about 0.6 % of a forest
    double radius = 0.0;
    unsigned minNeighbours = 2;
};
// Sets outlier[i] to 1 for the outliers among `count` points, 0 for the others. Points already
// of a noise class (classification may be null) are measured against but not counted in the
// statistics. 0, or -1 with `error` when the options are refused.
ORV_API int findOutliers(const double* x, const double* y, const double* z,
                         const uint8_t* classification, size_t count, const NoiseOptions& options,
                         uint8_t* outlier, std::string* error = nullptr);

// ---- Polygons ------------------------------------------------------------------------------

// The polygons of one layer of a vector file (GeoJSON, GeoPackage, Shapefile, anything GDAL
// reads), moved into the cloud's CRS. Holes and multipolygons count; a point on an edge is in.
class ORV_API PolygonClip {
public:
    PolygonClip();
    ~PolygonClip();
    PolygonClip(const PolygonClip&) = delete;
    PolygonClip& operator=(const PolygonClip&) = delete;

    // Reads `layer` (empty: the first) of `path`; `targetWkt` (may be empty: no move) is the
    // cloud's CRS. 0, or -1 with error(): unreadable file, no such layer, no polygon, no way
    // between the CRSs, or a layer without a CRS when the cloud has one (taken as the same).
    int open(const std::string& path, const std::string& layer, const std::string& targetWkt);
    const std::string& error() const;
    // inside[i] = 1 when (x[i], y[i]) lies in some polygon.
    void inside(const double* x, const double* y, size_t count, uint8_t* inside) const;
    size_t polygonCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// ---- Rasters -------------------------------------------------------------------------------

enum class DemKind {
    Dtm,        // ground points, interpolated by their triangulation
    Dsm,        // the highest first return of each cell
    Chm,        // the highest height above ground of each cell
    Intensity,  // the mean intensity of each cell's first returns
    Density     // points per square unit
};
// Parses "dtm", "dsm", "chm", "intensity", "density"; false for anything else.
ORV_API bool demKindFromName(const std::string& name, DemKind& kind);

// A raster of `resolution`-sized cells over an extent, filled block by block, written as a
// tiled, compressed cloud-optimised GeoTIFF. Memory: the raster's cells.
class ORV_API DemRaster {
public:
    DemRaster();
    ~DemRaster();
    DemRaster(const DemRaster&) = delete;
    DemRaster& operator=(const DemRaster&) = delete;

    // The extent is widened to whole cells from multiples of the resolution. 0, or -1 when the
    // resolution or the raster's size is refused.
    int start(DemKind kind, const TerrainExtent& extent, double resolution);
    // Adds points: DSM, intensity, density. `heights` (CHM) are each point's height above ground.
    void add(const TerrainBlock& block, const float* heights = nullptr);
    // DTM: every cell's centre from the surface's triangulation (no value outside its hull).
    void fill(const GroundSurface& surface);
    int columns() const;
    int rows() const;
    // Left, top, and cell size: the geotransform of the raster.
    double left() const;
    double top() const;
    // Cell (column, row), row 0 at the top; NaN where it has no value.
    float value(int column, int row) const;
    // Writes the raster with `wkt` as its CRS (may be empty) and `nodata` where it has no value.
    // 0, or -1 with error().
    int write(const std::string& path, const std::string& wkt, float nodata = -9999.0f);
    const std::string& error() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// ---- Generated terrain ---------------------------------------------------------------------

// An airborne scene with its truth in the classes: hills, a ridge, a 45-degree scarp, buildings,
// trees of several heights (pulses of up to five returns), low and high noise. A LAS 1.4 file,
// point format 6, with a CRS; the same for the same seed.
struct TerrainSceneOptions {
    uint64_t points = 0;
    uint64_t seed = 1;
    double density = 10.0;  // points per square metre; sets the side of the square scene
    bool compress = false;
};
// 0, or -1 with `error` (the file is then left as it was).
ORV_API int writeTerrainScene(const std::string& path, const TerrainSceneOptions& options,
                              std::string* error = nullptr);

}  // namespace orv
