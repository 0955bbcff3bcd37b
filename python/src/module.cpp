// The compiled part of the `orvterdep` package.
#include <OrvError.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <utility>

#include "bindings.h"

namespace orvpy {

void raiseIfUnreadable(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) error = EISDIR;
        ::close(fd);
    }
    if (error == 0) return;
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
}

namespace {

std::mutex g_readingLock;
std::multiset<std::pair<uint64_t, uint64_t>> g_reading;  // device and inode

}  // namespace

ReadingMark::ReadingMark(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return;
    m_device = st.st_dev, m_inode = st.st_ino, m_marked = true;
    std::lock_guard<std::mutex> lock(g_readingLock);
    g_reading.emplace(m_device, m_inode);
}

ReadingMark::~ReadingMark() {
    if (!m_marked) return;
    std::lock_guard<std::mutex> lock(g_readingLock);
    const auto at = g_reading.find(std::make_pair(m_device, m_inode));
    if (at != g_reading.end()) g_reading.erase(at);
}

void refuseIfBeingRead(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    std::lock_guard<std::mutex> lock(g_readingLock);
    if (g_reading.count(std::make_pair(uint64_t(st.st_dev), uint64_t(st.st_ino))))
        throw py::value_error(path + ": the file is being read; write to another file");
}

}  // namespace orvpy

PYBIND11_MODULE(_core, m) {
    namespace py = pybind11;
    m.doc() = "LAS point clouds and XML packets, over the OrvTerDep library";
    m.attr("__version__") = ORV_VERSION;
    py::register_exception<orvpy::FormatError>(m, "FormatError", PyExc_ValueError);
    // The file layer's failures are the operating system's: OSError with errno and path.
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const orv::FileError& e) {
            PyObject* error = PyObject_CallFunction(PyExc_OSError, "iss", e.errorCode(), e.what(),
                                                    e.path().c_str());
            if (error) {
                PyErr_SetObject(PyExc_OSError, error);
                Py_DECREF(error);
            }
        }
    });
    orvpy::bindPacket(m);
    orvpy::bindStream(m);
    orvpy::bindLas(m);
    orvpy::bindRender(m);
    orvpy::bindCrs(m);
    orvpy::bindLasData(m);
    orvpy::bindTerrain(m);
    orvpy::bindPipeline(m);
}
