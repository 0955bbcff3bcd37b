// Helpers of the XML tests.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include "OrvXml.h"
#include "support/TestSupport.h"
#include "xml/DOMDocument.h"
#include "xml/DOMElement.h"

// The tests reach the parser and the visitors by their short names.
using orv::xml::DOMDocument;
using orv::xml::ElemQuery;
using orv::xml::matchTag;
using orv::xml::matchTagAttr;

namespace orvtest {

// What `action` prints on standard output; only the action's own output is taken.
template <class Action>
std::string captureStdout(Action&& action) {
    std::fflush(stdout);
    std::FILE* sink = std::tmpfile();
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(::fileno(sink), STDOUT_FILENO);
    action();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    std::string out;
    std::rewind(sink);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, sink)) > 0) out.append(buffer, n);
    std::fclose(sink);
    return out;
}

// A free-standing tree that is torn down when the test lets go of it.
class OwnedTree {
public:
    OwnedTree() : m_root(static_cast<DOMElement*>(newOrvXmlElem())) {}
    ~OwnedTree() { orv::releaseXmlTree(m_root.get()); }
    OwnedTree(const OwnedTree&) = delete;
    OwnedTree& operator=(const OwnedTree&) = delete;
    DOMElement* operator->() const { return m_root.get(); }
    DOMElement* get() const { return m_root.get(); }

private:
    orv::OrvPtr<DOMElement> m_root;
};

inline orv::OrvPtr<DOMDocument> newDocument() {
    return orv::OrvPtr<DOMDocument>(static_cast<DOMDocument*>(newOrvXmlDoc()));
}

// The shared XML samples, or "" when this checkout has none beside it.
inline std::string xmlDataDir() {
    const std::string dir = orvtest::testDataDir() + "/xml";
    return ::access((dir + "/project.xml").c_str(), R_OK) == 0 ? dir : std::string();
}

}  // namespace orvtest
