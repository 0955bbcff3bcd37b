// Packets from Python: one XML document read and written by slash-separated paths.
#include <OrvXmlEdit.h>
#include <OrvXmlPack.h>

#include <optional>
#include <string>

#include "bindings.h"

namespace orvpy {

namespace {

class Packet {
public:
    explicit Packet(const py::object& path) : m_pack(newOrvXmlPack()) {
        if (!m_pack) throw std::bad_alloc();
        if (path.is_none()) return;
        m_path = fsPath(path);
        orv::XmlError error;
        const int result = orv::loadXmlFile(m_pack->getDoc(), m_path, &error);
        if (result != 0) raiseIfUnreadable(m_path);
        loaded(result, error, "cannot load " + m_path);
    }

    static Packet fromString(const std::string& text) {
        Packet p{py::none()};
        orv::XmlError error;
        const int result = orv::loadXmlString(p.m_pack->getDoc(), text, &error);
        p.loaded(result, error, "not a document");
        return p;
    }

    py::object get(const std::string& path, std::optional<std::string> attr, py::object fallback) {
        if (!m_pack->findElem(path)) return fallback;
        return py::str(attr ? m_pack->getAttr(path, *attr) : m_pack->getText(path));
    }

    void set(const std::string& path, const std::string& value, std::optional<std::string> attr,
             bool create) {
        std::string why;
        switch (
            orv::setPacketValue(m_pack.get(), path, value, attr ? &*attr : nullptr, create, &why)) {
            case orv::XmlEdit::refused:
                throw py::value_error(why);
            case orv::XmlEdit::notFound:
                throw py::key_error("no element at " + path);
            case orv::XmlEdit::done:
                break;
        }
    }

    std::string xml() { return m_pack->getXml(m_pack->getDoc()->getRoot()); }

    void save(const py::object& path) {
        const std::string target = path.is_none() ? m_path : fsPath(path);
        if (target.empty())
            throw py::value_error("the packet was not loaded from a file: give a path");
        xml();  // composes the document text that saveFile writes
        if (m_pack->getDoc()->saveFile(target.c_str()) != 0) {
            PyErr_Format(PyExc_OSError, "cannot write %s", target.c_str());
            throw py::error_already_set();
        }
        m_path = target;
    }

    const std::string& path() const { return m_path; }

private:
    // After a load: the cursor on the root as the packet's own load leaves it, and what the
    // parser drops restored so that a save keeps it; a refusal carries the parser's message.
    void loaded(int result, const orv::XmlError& error, const std::string& what) {
        m_pack->toRoot();
        if (result != 0) throw FormatError(what + (error.text.empty() ? "" : ": " + error.text));
        orv::keepLoadedShape(m_pack->getDoc());
    }

    orv::OrvPtr<IOrvXmlPack> m_pack;
    std::string m_path;
};

}  // namespace

void bindPacket(py::module_& m) {
    py::class_<Packet>(m, "Packet", "An XML document read and written by slash-separated paths.")
        .def(py::init<const py::object&>(), py::arg("path") = py::none(),
             "Loads `path`, or starts empty")
        .def_static("from_string", &Packet::fromString, py::arg("text"))
        .def("get", &Packet::get, py::arg("path"), py::arg("attr") = py::none(),
             py::arg("default") = py::none(),
             "The text (or attribute) of the element at `path`, or `default` without one")
        .def("set", &Packet::set, py::arg("path"), py::arg("value"), py::arg("attr") = py::none(),
             py::arg("create") = true, "Sets a text or attribute, making missing elements")
        .def("save", &Packet::save, py::arg("path") = py::none(),
             "Writes the document (by default where it was loaded from), replacing the file whole")
        .def_property_readonly("xml", &Packet::xml)
        .def_property_readonly("path", &Packet::path);
}

}  // namespace orvpy
