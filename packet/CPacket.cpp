#include "packet/CPacket.h"

#include <new>
#include <vector>

using orv::CPacket;
using orv::xml::ElemQuery;
using orv::xml::ElemVisitor;

namespace {

std::vector<std::string> splitSegments(const std::string& path, size_t from) {
    std::vector<std::string> segments;
    size_t begin = from;
    while (begin <= path.size()) {
        size_t end = path.find('/', begin);
        if (end == std::string::npos) end = path.size();
        if (end > begin) segments.push_back(path.substr(begin, end - begin));
        begin = end + 1;
    }
    return segments;
}

DOMElement* asElement(IOrvXmlElem* elem) {
    return dynamic_cast<DOMElement*>(elem);
}

}  // namespace

IOrvXmlPack::IOrvXmlPack() = default;
IOrvXmlPack::IOrvXmlPack(const IOrvXmlPack& other) : orv::OrvReferenced(other) {}
IOrvXmlPack::~IOrvXmlPack() = default;

CPacket::CPacket() : document(newOrvXmlDoc()) {
    // Every operation reaches the document through its implementation.
    if (!dynamic_cast<orv::xml::DOMDocument*>(document.get())) throw std::bad_alloc();
}

CPacket::~CPacket() {
    lastFound = nullptr;
    current = nullptr;
    document = nullptr;
}

int CPacket::loadString(const std::string& text, int length) {
    const int result = doc()->parseText(text.c_str(), length);
    current = root();
    return result;
}

int CPacket::loadFile(const std::string& path) {
    const int result = doc()->parseFile(path.c_str());
    current = root();
    return result;
}

DOMElement* CPacket::startOf(const std::string& path, size_t& skip) {
    if (!path.empty() && (path[0] == '/' || path[0] == '\\')) {
        skip = 1;
        return root();
    }
    skip = 0;
    if (!current) current = root();
    return current.get();
}

DOMElement* CPacket::resolve(const std::string& path, bool qualified) {
    size_t skip = 0;
    DOMElement* at = startOf(path, skip);
    lastFound = nullptr;
    const std::vector<std::string> segments = splitSegments(path, skip);
    for (size_t i = 0; i < segments.size(); ++i) {
        ElemQuery query;
        query.tag = segments[i];
        ElemVisitor visit = orv::xml::matchTag;
        if (qualified && i + 1 == segments.size()) {
            query.attrName = searchAttrName;
            query.attrValue = searchAttrValue;
            visit = orv::xml::matchTagAttr;
        }
        doc()->walkElements(visit, at, &query);
        if (!query.found) {
            lastFound = nullptr;
            return nullptr;
        }
        lastFound = query.found;
        at = query.found;
    }
    return lastFound.get();
}

IOrvXmlElem* CPacket::findElem(const std::string& path, const std::string& attrName,
                               const std::string& attrValue) {
    searchAttrName = attrName;
    searchAttrValue = attrValue;
    return resolve(path, true);
}

IOrvXmlElem* CPacket::findSibling(const std::string& tag, const std::string& attrName,
                                  const std::string& attrValue) {
    if (!current) return nullptr;
    std::string value;
    for (DOMElement* e = current->nextSiblingImp(); e; e = e->nextSiblingImp()) {
        if (!e->tagIs(tag)) continue;
        e->getAttr(attrName.c_str(), value);
        if (value == attrValue) return e;
    }
    return nullptr;
}

IOrvXmlElem* CPacket::nextSibling(bool move) {
    if (!current) return nullptr;
    DOMElement* next = current->nextSiblingImp();
    if (next && move) current = next;
    return next;
}

int CPacket::setCurrent(IOrvXmlElem* elem) {
    DOMElement* e = asElement(elem);
    if (!e) return -1;
    current = e;
    return 0;
}

int CPacket::setCurrent(const std::string& path) {
    DOMElement* e = resolve(path, false);
    if (!e) return -1;
    current = e;
    return 0;
}

std::string CPacket::textOf(const DOMElement* e) {
    return e && e->hasText() ? std::string(e->textPtr()) : std::string();
}

std::string CPacket::getText(const std::string& path, const std::string& attrName,
                             const std::string& attrValue) {
    searchAttrName = attrName;
    searchAttrValue = attrValue;
    return textOf(resolve(path, true));
}

std::string CPacket::getText(const std::string& path) {
    return textOf(resolve(path, false));
}

int CPacket::setText(IOrvXmlElem* elem, const std::string& text) {
    DOMElement* e = asElement(elem);
    if (!e) return -1;
    e->setTextCString(text.c_str());
    return 0;
}

int CPacket::setText(const std::string& path, const std::string& text) {
    DOMElement* e = resolve(path, false);
    return e ? setText(e, text) : -1;
}

std::string CPacket::getAttr(IOrvXmlElem* elem, const std::string& name) {
    std::string value;
    if (DOMElement* e = asElement(elem)) e->getAttr(name.c_str(), value);
    return value;
}

std::string CPacket::getAttr(const std::string& path, const std::string& name) {
    DOMElement* e = resolve(path, false);
    return e ? getAttr(e, name) : std::string();
}

int CPacket::setAttr(IOrvXmlElem* elem, const std::string& name, const std::string& value) {
    DOMElement* e = asElement(elem);
    if (!e) return -1;
    e->setAttr(name.c_str(), value.c_str());
    return 0;
}

int CPacket::setAttr(const std::string& path, const std::string& name, const std::string& value) {
    DOMElement* e = resolve(path, false);
    return e ? setAttr(e, name, value) : -1;
}

IOrvXmlElem* CPacket::makePath(const std::string& path) {
    if (path == "./" || path == ".\\") return current.get();
    size_t skip = 0;
    DOMElement* at = startOf(path, skip);
    const std::string rest = path.substr(skip);
    size_t segmentStart = 0;
    // Every segment but the last is looked up first (as the path up to it) and made if missing.
    for (size_t sep = rest.find('/'); sep != std::string::npos; sep = rest.find('/', sep + 1)) {
        if (DOMElement* found = resolve(path.substr(0, skip + sep), false))
            at = found;
        else
            at = at->addChild(rest.substr(segmentStart, sep - segmentStart).c_str(), nullptr);
        segmentStart = sep + 1;
    }
    return at->addChild(rest.substr(segmentStart).c_str(), nullptr);
}

int CPacket::setRootTag(const orv::OrvString& name) {
    DOMElement* r = root();
    if (!r) return 0;
    r->setTag(name.c_str());
    return 1;
}

std::string CPacket::getXml(IOrvXmlElem* elem) {
    DOMElement* e = asElement(elem);
    if (!e) return std::string();
    doc()->buildText(e);
    return doc()->copyText();
}

IOrvXmlPack* newOrvXmlPack() {
    try {
        return new CPacket();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
