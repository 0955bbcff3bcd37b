// Shared pieces of the Python module: each file binds one interface family.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

namespace orvpy {

namespace py = pybind11;

void bindPacket(py::module_& m);
void bindStream(py::module_& m);
void bindLas(py::module_& m);
void bindCrs(py::module_& m);

// A file the library refuses: raised in Python as orvterdep.FormatError (a ValueError) with the
// library's message.
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A path given as str or os.PathLike.
inline std::string fsPath(const py::handle& path) {
    return py::str(py::module_::import("os").attr("fspath")(path));
}

// A numpy array over memory `owner` keeps alive: numpy takes the owner in a capsule, so the
// buffer the library filled is handed over without a copy.
template <class Owner>
py::array arrayOver(const py::dtype& dtype, size_t count, void* data, Owner* owner) {
    py::capsule keep(owner, [](void* p) { delete static_cast<Owner*>(p); });
    return py::array(dtype, {static_cast<py::ssize_t>(count)}, {dtype.itemsize()}, data, keep);
}

}  // namespace orvpy
