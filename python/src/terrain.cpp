// Terrain jobs over numpy columns: ground, heights above it, outliers, polygons.
#include <OrvTerrain.h>

#include <algorithm>
#include <limits>

#include "bindings.h"

namespace orvpy {
namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Bytes = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>;

// The columns as one block; every given column as long as x.
struct Columns {
    Doubles x, y, z;
    py::object cls, ret, num;
    Bytes clsArray, retArray, numArray;
    orv::TerrainBlock block;

    Columns(const py::object& xs, const py::object& ys, const py::object& zs,
            const py::object& classes, const py::object& returns, const py::object& counts)
        : x(Doubles::ensure(xs)), y(Doubles::ensure(ys)), z(Doubles::ensure(zs)) {
        if (!x || !y || !z || x.ndim() != 1 || y.ndim() != 1 || z.ndim() != 1)
            throw py::value_error("x, y and z: one-dimensional arrays of numbers");
        block.count = static_cast<size_t>(x.shape(0));
        if (static_cast<size_t>(y.shape(0)) != block.count ||
            static_cast<size_t>(z.shape(0)) != block.count)
            throw py::value_error("x, y and z must be as long as each other");
        block.x = x.data(), block.y = y.data(), block.z = z.data();
        block.classification = bytes(classes, clsArray, "classification");
        block.returnNumber = bytes(returns, retArray, "return_number");
        block.numberOfReturns = bytes(counts, numArray, "number_of_returns");
    }
    const uint8_t* bytes(const py::object& o, Bytes& keep, const char* name) {
        if (o.is_none()) return nullptr;
        keep = Bytes::ensure(o);
        if (!keep || keep.ndim() != 1 || static_cast<size_t>(keep.shape(0)) != block.count)
            throw py::value_error(std::string(name) + ": a one-dimensional array as long as x");
        return keep.data();
    }
};

py::array_t<uint8_t> classifyGround(const py::object& x, const py::object& y, const py::object& z,
                                    const py::object& cls, const py::object& ret,
                                    const py::object& num, double cell, double slope,
                                    double window, double threshold, double scalar,
                                    bool lastReturnsOnly) {
    Columns c(x, y, z, cls, ret, num);
    py::array_t<uint8_t> out(static_cast<py::ssize_t>(c.block.count));
    if (c.block.count == 0) return out;
    orv::TerrainExtent e{c.block.x[0], c.block.y[0], c.block.x[0], c.block.y[0]};
    for (size_t i = 0; i < c.block.count; ++i) {
        e.minX = std::min(e.minX, c.block.x[i]), e.maxX = std::max(e.maxX, c.block.x[i]);
        e.minY = std::min(e.minY, c.block.y[i]), e.maxY = std::max(e.maxY, c.block.y[i]);
    }
    orv::GroundOptions o;
    o.cell = cell, o.slope = slope, o.window = window, o.threshold = threshold;
    o.scalar = scalar, o.lastReturnsOnly = lastReturnsOnly;
    orv::GroundFilter filter;
    if (filter.start(e, o) != 0) throw py::value_error(filter.error());
    filter.observe(c.block);
    if (filter.finish() != 0) throw py::value_error(filter.error());
    filter.classify(c.block, out.mutable_data());
    return out;
}

py::array_t<float> heightAboveGround(const py::object& x, const py::object& y,
                                     const py::object& z, const py::object& cls, bool nearest) {
    Columns c(x, y, z, cls, py::none(), py::none());
    if (!c.block.classification) throw py::value_error("classification is needed: ground is 2");
    orv::GroundSurface surface;
    surface.addGround(c.block);
    if (surface.build(!nearest) != 0) throw py::value_error(surface.error());
    py::array_t<float> out(static_cast<py::ssize_t>(c.block.count));
    surface.heightAboveGround(c.block, out.mutable_data(), nearest);
    return out;
}

py::array_t<bool> findOutliers(const py::object& x, const py::object& y, const py::object& z,
                               const py::object& cls, unsigned neighbours, double multiplier,
                               double radius, unsigned minNeighbours) {
    Columns c(x, y, z, cls, py::none(), py::none());
    orv::NoiseOptions o;
    o.neighbours = neighbours, o.multiplier = multiplier, o.radius = radius;
    o.minNeighbours = minNeighbours;
    py::array_t<bool> out(static_cast<py::ssize_t>(c.block.count));
    std::string why;
    if (orv::findOutliers(c.block.x, c.block.y, c.block.z, c.block.classification, c.block.count,
                          o, reinterpret_cast<uint8_t*>(out.mutable_data()), &why) != 0)
        throw py::value_error(why);
    return out;
}

py::array_t<bool> insidePolygons(const py::object& path, const py::object& x, const py::object& y,
                                 const std::string& layer, const std::string& crs) {
    Columns c(x, y, y, py::none(), py::none(), py::none());
    orv::PolygonClip clip;
    if (clip.open(fsPath(path), layer, crs) != 0) throw py::value_error(clip.error());
    py::array_t<bool> out(static_cast<py::ssize_t>(c.block.count));
    clip.inside(c.block.x, c.block.y, c.block.count, reinterpret_cast<uint8_t*>(out.mutable_data()));
    return out;
}

}  // namespace

void bindTerrain(py::module_& m) {
    m.def("classify_ground", &classifyGround, py::arg("x"), py::arg("y"), py::arg("z"),
          py::arg("classification") = py::none(), py::arg("return_number") = py::none(),
          py::arg("number_of_returns") = py::none(), py::arg("cell") = 1.0,
          py::arg("slope") = 0.15, py::arg("window") = 18.0, py::arg("threshold") = 0.5,
          py::arg("scalar") = 1.25, py::arg("last_returns_only") = true,
          "New classes: 2 for ground (a progressive morphological filter), 1 for points once "
          "ground that are not, others as they were");
    m.def("height_above_ground", &heightAboveGround, py::arg("x"), py::arg("y"), py::arg("z"),
          py::arg("classification"), py::arg("nearest") = false,
          "z minus the ground (class 2) surface: its Delaunay triangulation, the nearest ground "
          "point outside it (or everywhere with nearest)");
    m.def("find_outliers", &findOutliers, py::arg("x"), py::arg("y"), py::arg("z"),
          py::arg("classification") = py::none(), py::arg("neighbours") = 8,
          py::arg("multiplier") = 4.0, py::arg("radius") = 0.0, py::arg("min_neighbours") = 2,
          "True for statistical (and with radius, radius) outliers");
    m.def("inside_polygons", &insidePolygons, py::arg("path"), py::arg("x"), py::arg("y"),
          py::arg("layer") = "", py::arg("crs") = "",
          "True for the points inside the polygons of a vector file's layer, moved into crs");
}

}  // namespace orvpy
