// Shared pieces of the Python module: each file binds one interface family.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace orvpy {

namespace py = pybind11;

void bindPacket(py::module_& m);
void bindStream(py::module_& m);
void bindLas(py::module_& m);
void bindRender(py::module_& m);
void bindCrs(py::module_& m);
void bindLasData(py::module_& m);
void bindTerrain(py::module_& m);
void bindPipeline(py::module_& m);

// A file the library refuses: raised in Python as orvterdep.FormatError (a ValueError) with the
// library's message.
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A path given as str, bytes or os.PathLike, as the file system's bytes. A NUL byte would cut
// the path short, so it is refused as Python's own open refuses it.
inline std::string fsPath(const py::handle& path) {
    std::string bytes = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
    if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return bytes;
}

// A CRS definition as text; a NUL would cut it short, so it is refused naming `argument`.
inline std::string crsText(const std::string& bytes, const std::string& argument) {
    if (bytes.find('\0') != std::string::npos)
        throw py::value_error(argument + ": a NUL character in a CRS definition");
    return bytes;
}

// Raises the system's OSError (FileNotFoundError, PermissionError, IsADirectoryError...) with
// its errno when `path` cannot be opened for reading; returns when it can.
void raiseIfUnreadable(const std::string& path);

// Marks the file at `path` as being read while it lives: a writer of this module refuses to
// replace it (refuseIfBeingRead), whatever path names it.
class ReadingMark {
public:
    explicit ReadingMark(const std::string& path);
    ~ReadingMark();
    ReadingMark(const ReadingMark&) = delete;
    ReadingMark& operator=(const ReadingMark&) = delete;

private:
    bool m_marked = false;
    uint64_t m_device = 0, m_inode = 0;
};
// Raises ValueError when `path` is a file a live reader of this module is reading.
void refuseIfBeingRead(const std::string& path);

// A numpy array over memory `owner` keeps alive: numpy takes the owner in a capsule, so the
// buffer the library filled is handed over without a copy.
template <class Owner>
py::array arrayOver(const py::dtype& dtype, size_t count, void* data, Owner* owner) {
    py::capsule keep(owner, [](void* p) { delete static_cast<Owner*>(p); });
    return py::array(dtype, {static_cast<py::ssize_t>(count)}, {dtype.itemsize()}, data, keep);
}

}  // namespace orvpy
