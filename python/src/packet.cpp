// Packets from Python: one XML document read and written by slash-separated paths.
#include <OrvXmlPack.h>

#include <unistd.h>
#include <cstdio>
#include <optional>
#include <string>

#include "bindings.h"

namespace orvpy {

namespace {

// The parser explains a refusal on standard output; the Python caller gets that text in the
// exception instead.
template <class Load>
std::string captureStdout(Load load, int& result) {
    std::fflush(stdout);
    std::FILE* sink = std::tmpfile();
    const int saved = sink ? dup(STDOUT_FILENO) : -1;
    if (saved < 0 || dup2(fileno(sink), STDOUT_FILENO) < 0) {
        if (saved >= 0) close(saved);
        if (sink) std::fclose(sink);
        result = load();
        return std::string();
    }
    result = load();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string said;
    std::rewind(sink);
    char buffer[512];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, sink)) > 0;) said.append(buffer, n);
    std::fclose(sink);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
    return said;
}

class Packet {
public:
    explicit Packet(const py::object& path) : m_pack(newOrvXmlPack()) {
        if (!m_pack) throw std::bad_alloc();
        if (path.is_none()) return;
        m_path = fsPath(path);
        int result = 0;
        const std::string said = captureStdout([&] { return m_pack->loadFile(m_path); }, result);
        if (result != 0) raiseIfUnreadable(m_path);
        if (result != 0)
            throw FormatError("cannot load " + m_path + (said.empty() ? "" : ": " + said));
    }

    static Packet fromString(const std::string& text) {
        Packet p{py::none()};
        int result = 0;
        const std::string said = captureStdout(
            [&] { return p.m_pack->loadString(text, static_cast<int>(text.size())); }, result);
        if (result != 0) throw FormatError("not a document" + (said.empty() ? "" : ": " + said));
        return p;
    }

    py::object get(const std::string& path, std::optional<std::string> attr, py::object fallback) {
        if (!m_pack->findElem(path)) return fallback;
        return py::str(attr ? m_pack->getAttr(path, *attr) : m_pack->getText(path));
    }

    void set(const std::string& path, const std::string& value, std::optional<std::string> attr,
             bool create) {
        IOrvXmlElem* elem = m_pack->findElem(path);
        if (!elem && create) elem = m_pack->makePath(path);
        if (!elem) throw py::key_error("no element at " + path);
        if (attr)
            m_pack->setAttr(elem, *attr, value);
        else
            m_pack->setText(elem, value);
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
