// Coordinate reference systems: one value for whatever form a CRS arrives in, and transforms of
// blocks of coordinates between two of them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "OrvExport.h"

namespace orv {

// The longest CRS text taken: the largest real definitions (a WKT with every axis and
// identifier spelt out) stay below a few tens of kilobytes.
constexpr size_t kCrsTextLimit = size_t{1} << 20;

// A coordinate reference system. Holds its definitions as text, so copies are cheap and may
// cross threads. An empty value means "no CRS".
class ORV_API Crs {
public:
    Crs();
    // From "EPSG:n" (or "EPSG:h+v" for a compound), WKT1, WKT2, PROJJSON or a PROJ string.
    // Empty, with `error` set, when the text is not a CRS or is longer than kCrsTextLimit.
    static Crs fromText(const std::string& text, std::string* error = nullptr);
    static Crs fromEpsg(int code, std::string* error = nullptr);

    bool empty() const;
    const std::string& name() const;
    // The EPSG code of the whole CRS; 0 when it has none.
    int epsg() const;
    // WKT1 as GDAL writes it: what LAS readers expect in a WKT record.
    const std::string& wkt1() const;
    // WKT2 (2019).
    const std::string& wkt2() const;
    const std::string& projJson() const;
    // The horizontal part (the CRS itself when it is not compound) and the vertical part (empty
    // when there is none).
    Crs horizontal() const;
    Crs vertical() const;
    // The horizontal part measures longitude and latitude in degrees.
    bool isGeographic() const;
    // Metres per unit of the horizontal axes (for geographic CRSs, metres per degree at the
    // equator) and of the vertical axis (1 without a vertical part).
    double horizontalUnit() const;
    double verticalUnit() const;
    // Both describe the same system, whatever their names or forms.
    bool equivalentTo(const Crs& other) const;
    // The text that recreates it through fromText.
    const std::string& definition() const;
    // Its vertical coordinate is a height: a vertical part, or a 3D geographic CRS.
    bool hasHeight() const;

private:
    struct Data;
    std::shared_ptr<const Data> m_data;
};

// The CRS that points of `from` land in when moved to `to`: `to` itself where it states heights
// or `from` has none; otherwise `to` joined with `from`'s heights (its vertical CRS in a
// compound, or ellipsoidal heights in 3D), so that Z, left as it is, keeps a datum and unit the
// output states.
ORV_API Crs crsKeepingHeights(const Crs& from, const Crs& to);

// Moves coordinates from one CRS to another, a block at a time. Axis order is always easting,
// northing (longitude, latitude), height, whatever order the CRSs declare. Each thread it uses
// has its own PROJ context and transformation.
class ORV_API CrsTransform {
public:
    CrsTransform();
    CrsTransform(const CrsTransform&) = delete;
    CrsTransform& operator=(const CrsTransform&) = delete;
    ~CrsTransform();

    // Before open(): lets PROJ fetch the grids it lacks from its network (off unless asked,
    // whatever PROJ_NETWORK says). The grids are fetched whole in open(), which refuses when one
    // cannot be.
    void setNetwork(bool allowed);
    // Prepares the transformation on `threads` threads (at least 1). 0, or -1 when PROJ knows
    // no way between the two, when heights would change through a grid it does not have (or,
    // with the network, when the transformation PROJ ranks first needs a grid it cannot fetch;
    // see error(), the grid is named), or when heights would change through a ballpark.
    int open(const Crs& from, const Crs& to, unsigned threads = 1);
    const std::string& error() const;
    // Transforms `n` points in place, each coordinate `stride` bytes after the one before (the
    // fields of an array of records); z may be null. Returns n, or the index of the first point
    // that cannot be transformed (its coordinates then mean nothing).
    size_t transform(double* x, double* y, double* z, size_t n, size_t stride = sizeof(double));
    // The box min..max moved into the target, sampled along its edges and at both heights;
    // false when PROJ can move none of it.
    bool transformBox(const double min[3], const double max[3], double outMin[3], double outMax[3]);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace orv
