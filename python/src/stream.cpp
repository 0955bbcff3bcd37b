// The input stream from Python: blocks of float points relative to an origin, as numpy arrays
// over the stream's own blocks.
#include <OrvLasStream.h>

#include <cmath>
#include <optional>
#include <string>

#include "bindings.h"

namespace orvpy {

namespace {

// Asks the stream to take that coordinate of the origin from the file's first point.
using orv::kOriginFromFirstPoint;

// The 22-byte packed LasPnt, field by field.
py::dtype lasPntDtype() {
    py::list names, formats, offsets;
    const struct {
        const char* name;
        const char* format;
        int offset;
    } fields[] = {
        {"x", "<f4", 0},
        {"y", "<f4", 4},
        {"z", "<f4", 8},
        {"intensity", "<u2", 12},
        {"classification", "u1", 16},
        {"return_number", "u1", 17},
        {"point_source", "u1", 19},
    };
    for (const auto& f : fields) {
        names.append(f.name);
        formats.append(f.format);
        offsets.append(f.offset);
    }
    return py::dtype(names, formats, offsets, static_cast<py::ssize_t>(sizeof(LasPnt)));
}

class InStream {
public:
    InStream(const py::object& file, py::object origin) : m_in(newInLasPntStream()) {
        const std::string path = fsPath(file);
        if (!m_in) throw std::bad_alloc();
        if (!origin.is_none()) {
            m_origin = newOrvPoint();
            if (py::isinstance<py::str>(origin)) {
                if (origin.cast<std::string>() != "first")
                    throw py::value_error("origin: 'first', None or (x, y, z)");
                m_origin->setPoint(orv::XPnt3d(kOriginFromFirstPoint, kOriginFromFirstPoint,
                                               kOriginFromFirstPoint));
            } else {
                const auto xyz = origin.cast<std::tuple<double, double, double>>();
                if (!std::isfinite(std::get<0>(xyz)) || !std::isfinite(std::get<1>(xyz)) ||
                    !std::isfinite(std::get<2>(xyz)))
                    throw py::value_error("origin: (x, y, z) of finite numbers");
                m_origin->setPoint(
                    orv::XPnt3d(std::get<0>(xyz), std::get<1>(xyz), std::get<2>(xyz)));
            }
        }
        if (m_in->open(path.c_str(), m_origin.get()) != 0) {
            raiseIfUnreadable(path);
            throw FormatError("cannot read the LAS header of " + path);
        }
        m_reading.emplace(path);
    }

    py::object origin() {
        const IOrvPoint* o = m_in->getOrigin();
        if (!o) return py::none();
        return py::make_tuple(o->x, o->y, o->z);
    }

    int count() { return m_in->getPntCount(); }

    py::object read(int count, int step) {
        if (m_closed) throw py::value_error("read: the stream is closed");
        orv::OrvPtr<orv::LasPntArray> block = m_in->readPnts(step, count);
        if (!block) return py::none();
        auto* owner = new orv::OrvPtr<orv::LasPntArray>(block);
        return arrayOver(dtype(), block->size(), block->data(), owner);
    }

    void close() {
        m_in->close();
        m_closed = true;
    }

private:
    static const py::dtype& dtype() {
        static const py::dtype* d = new py::dtype(lasPntDtype());  // lives as long as the module
        return *d;
    }

    orv::OrvPtr<IOrvInPntsStream> m_in;
    orv::OrvPtr<IOrvPoint> m_origin;
    std::optional<ReadingMark> m_reading;
    bool m_closed = false;
};

}  // namespace

void bindStream(py::module_& m) {
    m.attr("lean_point_dtype") = lasPntDtype();
    py::class_<InStream>(
        m, "InStream", "Reads a LAS file forward in blocks of float points relative to an origin.")
        .def(py::init<const py::object&, py::object>(), py::arg("path"),
             py::arg("origin") = py::none(),
             "origin: None (no shift), 'first' (the file's first point) or (x, y, z)")
        .def_property_readonly("origin", &InStream::origin)
        .def_property_readonly("count", &InStream::count, "Points the header states")
        .def("read", &InStream::read, py::arg("count"), py::arg("step") = 1,
             "The next `count` records, keeping every `step`-th; None at the end")
        .def("close", &InStream::close);
}

}  // namespace orvpy
