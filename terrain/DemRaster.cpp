// Rasters of a cloud: cells filled block by block, written through GDAL as a cloud-optimised
// GeoTIFF (tiled, compressed, with overviews), north up.
#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>

#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "OrvTerrain.h"
#include "terrain/Gdal.h"
#include "terrain/TerrainGrid.h"

namespace orv {

namespace terrain {

void registerGdal() {
    static std::once_flag registered;
    std::call_once(registered, [] { GDALAllRegister(); });
}

}  // namespace terrain

bool demKindFromName(const std::string& name, DemKind& kind) {
    static const struct {
        const char* name;
        DemKind kind;
    } kKinds[] = {{"dtm", DemKind::Dtm},
                  {"dsm", DemKind::Dsm},
                  {"chm", DemKind::Chm},
                  {"intensity", DemKind::Intensity},
                  {"density", DemKind::Density}};
    for (const auto& k : kKinds)
        if (name == k.name) return kind = k.kind, true;
    return false;
}

struct DemRaster::Impl {
    DemKind kind = DemKind::Dtm;
    terrain::GridShape shape;
    std::vector<float> cells;     // row 0 at the bottom (minY)
    std::vector<uint32_t> count;  // points per cell, for the mean and the density
    std::string error;
};

DemRaster::DemRaster() : m_impl(std::make_unique<Impl>()) {}
DemRaster::~DemRaster() = default;

int DemRaster::start(DemKind kind, const TerrainExtent& extent, double resolution) {
    Impl& m = *m_impl;
    m.kind = kind;
    m.error = m.shape.set(extent, resolution, true);
    if (!m.error.empty()) return -1;
    m.cells.assign(m.shape.cells(), terrain::noValue());
    const bool counted = kind == DemKind::Intensity || kind == DemKind::Density;
    m.count.assign(counted ? m.shape.cells() : 0, 0);
    return 0;
}

void DemRaster::add(const TerrainBlock& b, const float* heights) {
    Impl& m = *m_impl;
    for (size_t i = 0; i < b.count; ++i) {
        if (b.classification && isNoiseClass(b.classification[i])) continue;
        int c, r;
        if (!m.shape.cellOf(b.x[i], b.y[i], c, r)) continue;
        const size_t at = static_cast<size_t>(r) * m.shape.cols + c;
        const bool first = !b.returnNumber || b.returnNumber[i] <= 1;
        float& cell = m.cells[at];
        switch (m.kind) {
            case DemKind::Dsm:
                if (first && (std::isnan(cell) || b.z[i] > cell)) cell = static_cast<float>(b.z[i]);
                break;
            case DemKind::Chm:
                if (heights && (std::isnan(cell) || heights[i] > cell)) cell = heights[i];
                break;
            case DemKind::Intensity:
                if (first && b.intensity) {
                    cell = (std::isnan(cell) ? 0.0f : cell) + b.intensity[i];
                    ++m.count[at];
                }
                break;
            case DemKind::Density:
                ++m.count[at];
                break;
            case DemKind::Dtm:
                break;
        }
    }
}

void DemRaster::fill(const GroundSurface& surface) {
    Impl& m = *m_impl;
    for (int r = 0; r < m.shape.rows; ++r)
        for (int c = 0; c < m.shape.cols; ++c)
            m.cells[static_cast<size_t>(r) * m.shape.cols + c] =
                static_cast<float>(surface.linearAt(m.shape.centreX(c), m.shape.centreY(r)));
}

int DemRaster::columns() const {
    return m_impl->shape.cols;
}
int DemRaster::rows() const {
    return m_impl->shape.rows;
}
double DemRaster::left() const {
    return m_impl->shape.minX;
}
double DemRaster::top() const {
    return m_impl->shape.minY + m_impl->shape.rows * m_impl->shape.size;
}

float DemRaster::value(int column, int row) const {
    const Impl& m = *m_impl;
    if (column < 0 || row < 0 || column >= m.shape.cols || row >= m.shape.rows)
        return terrain::noValue();
    const size_t at = static_cast<size_t>(m.shape.rows - 1 - row) * m.shape.cols + column;
    const float v = m.cells[at];
    switch (m.kind) {
        case DemKind::Intensity:
            return m.count[at] ? v / m.count[at] : terrain::noValue();
        case DemKind::Density:
            return m.count[at] ? static_cast<float>(m.count[at] / (m.shape.size * m.shape.size))
                               : terrain::noValue();
        default:
            return v;
    }
}

int DemRaster::write(const std::string& path, const std::string& wkt, float nodata) {
    Impl& m = *m_impl;
    terrain::registerGdal();
    GDALDriverH mem = GDALGetDriverByName("MEM"), cog = GDALGetDriverByName("COG");
    if (!mem || !cog) {
        m.error = "GDAL lacks its MEM or COG driver";
        return -1;
    }
    const int cols = m.shape.cols, rows = m.shape.rows;
    GDALDatasetH ds = GDALCreate(mem, "", cols, rows, 1, GDT_Float32, nullptr);
    if (!ds) {
        m.error = CPLGetLastErrorMsg();
        return -1;
    }
    double transform[6] = {left(), m.shape.size, 0, top(), 0, -m.shape.size};
    GDALSetGeoTransform(ds, transform);
    if (!wkt.empty()) GDALSetProjection(ds, wkt.c_str());
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    GDALSetRasterNoDataValue(band, nodata);
    std::vector<float> line(static_cast<size_t>(cols));
    CPLErr status = CE_None;
    for (int row = 0; row < rows && status == CE_None; ++row) {
        for (int c = 0; c < cols; ++c) {
            const float v = value(c, row);
            line[static_cast<size_t>(c)] = std::isnan(v) ? nodata : v;
        }
        status = GDALRasterIO(band, GF_Write, 0, row, cols, 1, line.data(), cols, 1, GDT_Float32,
                              0, 0);
    }
    // Written beside the target and renamed over it: a failed write leaves the target alone.
    const std::string part = path + ".part";
    char** options = nullptr;
    options = CSLSetNameValue(options, "COMPRESS", "DEFLATE");
    options = CSLSetNameValue(options, "PREDICTOR", "YES");
    options = CSLSetNameValue(options, "BLOCKSIZE", "512");
    GDALDatasetH out = status == CE_None
                           ? GDALCreateCopy(cog, part.c_str(), ds, FALSE, options, nullptr, nullptr)
                           : nullptr;
    CSLDestroy(options);
    GDALClose(ds);
    bool ok = out != nullptr;
    if (out) {
        CPLErrorReset();
        GDALClose(out);  // flushes: a failure shows as the last error
        ok = CPLGetLastErrorType() < CE_Failure;
    }
    if (!ok || std::rename(part.c_str(), path.c_str()) != 0) {
        m.error = ok ? "cannot rename the raster into place" : CPLGetLastErrorMsg();
        if (m.error.empty()) m.error = "GDAL could not write the raster";
        std::remove(part.c_str());
        return -1;
    }
    return 0;
}

const std::string& DemRaster::error() const {
    return m_impl->error;
}

}  // namespace orv
