// The CRS value and block transforms for Python; the package's CRS class wraps them.
#include <OrvCrs.h>
#include <OrvLasCrs.h>

#include "bindings.h"

namespace orvpy {
namespace {

orv::Crs crsOf(const std::string& text) {
    std::string error;
    orv::Crs c = orv::Crs::fromText(crsText(text, "definition"), &error);
    if (c.empty()) throw py::value_error(error);
    return c;
}

py::object optional(const orv::Crs& c) {
    return c.empty() ? py::object(py::none()) : py::cast(c);
}

// A float64 array of one axis that the transform may change in place.
double* coordinates(py::array& a, size_t n, py::ssize_t& stride, const char* name) {
    if (!a.dtype().is(py::dtype::of<double>()) || a.ndim() != 1 || !a.writeable() ||
        static_cast<size_t>(a.shape(0)) != n || a.strides(0) <= 0)
        throw py::value_error(std::string(name) +
                              ": a writable one-dimensional float64 array as long as x");
    if (stride != 0 && a.strides(0) != stride)
        throw py::value_error("x, y and z must have the same layout");
    stride = a.strides(0);
    return static_cast<double*>(a.mutable_data());
}

std::array<double, 3> triple(const py::object& t) {
    return t.cast<std::array<double, 3>>();
}

}  // namespace

void bindCrs(py::module_& m) {
    py::class_<orv::Crs>(m, "Crs", "A coordinate reference system")
        .def(py::init(&crsOf), py::arg("definition"),
             "From EPSG:n, WKT1, WKT2, PROJJSON or a PROJ string")
        .def_property_readonly("name", &orv::Crs::name)
        .def_property_readonly("epsg",
                               [](const orv::Crs& c) {
                                   return c.epsg() ? py::object(py::int_(c.epsg())) : py::none();
                               })
        .def(
            "to_wkt",
            [](const orv::Crs& c, const std::string& version) {
                if (version == "WKT1_GDAL") return c.wkt1();
                if (version == "WKT2_2019") return c.wkt2();
                throw py::value_error("version: WKT1_GDAL or WKT2_2019");
            },
            py::arg("version") = "WKT2_2019")
        .def("to_json", &orv::Crs::projJson)
        .def_property_readonly("horizontal", [](const orv::Crs& c) { return c.horizontal(); })
        .def_property_readonly("vertical", [](const orv::Crs& c) { return optional(c.vertical()); })
        .def_property_readonly("is_geographic", &orv::Crs::isGeographic)
        .def("equivalent_to", &orv::Crs::equivalentTo, py::arg("other"));

    py::class_<orv::CrsTransform>(m, "Transform", "Moves coordinates between two CRSs")
        .def(py::init([](const orv::Crs& from, const orv::Crs& to, unsigned threads,
                         bool network) {
                 auto t = std::make_unique<orv::CrsTransform>();
                 t->setNetwork(network);
                 if (t->open(from, to, threads) != 0) throw py::value_error(t->error());
                 return t;
             }),
             py::arg("source"), py::arg("target"), py::arg("threads") = 1,
             py::arg("network") = false)
        .def(
            "transform",
            [](orv::CrsTransform& t, py::array x, py::array y, py::object z) {
                const size_t n = static_cast<size_t>(x.shape(0));
                py::ssize_t stride = 0;
                double* px = coordinates(x, n, stride, "x");
                double* py_ = coordinates(y, n, stride, "y");
                double* pz = nullptr;
                py::array za;
                if (!z.is_none()) za = z.cast<py::array>(), pz = coordinates(za, n, stride, "z");
                size_t done = 0;
                {
                    py::gil_scoped_release unlocked;
                    done = t.transform(px, py_, pz, n, static_cast<size_t>(stride));
                }
                if (done < n)
                    throw py::value_error("point " + std::to_string(done) +
                                          " cannot be transformed");
            },
            py::arg("x"), py::arg("y"), py::arg("z") = py::none(),
            "Transforms the coordinates in place (x easting or longitude first)")
        .def(
            "transform_box",
            [](orv::CrsTransform& t, const py::object& lo, const py::object& hi) -> py::object {
                const auto a = triple(lo), b = triple(hi);
                double outLo[3], outHi[3];
                if (!t.transformBox(a.data(), b.data(), outLo, outHi)) return py::none();
                return py::make_tuple(py::make_tuple(outLo[0], outLo[1], outLo[2]),
                                      py::make_tuple(outHi[0], outHi[1], outHi[2]));
            },
            py::arg("min"), py::arg("max"), "The bounds of a box moved into the target, or None");

    m.def("keeping_heights", &orv::crsKeepingHeights, py::arg("source"), py::arg("target"),
          "The target, joined with the source's heights where it states none of its own");
    m.def(
        "reprojected_quantisation",
        [](const py::object& scale, const orv::Crs& from, const orv::Crs& to, const py::object& lo,
           const py::object& hi) {
            const auto s = triple(scale), a = triple(lo), b = triple(hi);
            double outScale[3], outOffset[3];
            orv::lasReprojectedQuantisation(s.data(), from, to, a.data(), b.data(), outScale,
                                            outOffset);
            return py::make_tuple(py::make_tuple(outScale[0], outScale[1], outScale[2]),
                                  py::make_tuple(outOffset[0], outOffset[1], outOffset[2]));
        },
        py::arg("scale"), py::arg("source"), py::arg("target"), py::arg("min"), py::arg("max"),
        "Scale and offset that keep the source's precision for points moved into the target");
}

}  // namespace orvpy
