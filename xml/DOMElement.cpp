#include "xml/DOMElement.h"

#include <algorithm>
#include <deque>
#include <new>
#include <stdexcept>

#include "xml/XmlArray.h"

namespace orv::xml {

AttrMap::Item AttrMap::Iterator::operator*() const {
    const size_t n = std::strlen(m_at);
    const char* value = m_at + n + 1;
    return Item{std::string_view(m_at, n), std::string_view(value, std::strlen(value))};
}

AttrMap::Iterator& AttrMap::Iterator::operator++() {
    m_at += std::strlen(m_at) + 1;
    m_at += std::strlen(m_at) + 1;
    return *this;
}

const char* AttrMap::find(const char* name) const {
    for (const char* p = m_data.get(); p < m_data.get() + m_bytes;) {
        const size_t n = std::strlen(p);
        const char* value = p + n + 1;
        if (std::strcmp(p, name) == 0) return value;
        p = value + std::strlen(value) + 1;
    }
    return nullptr;
}

void AttrMap::set(const char* name, const char* value) {
    std::vector<Pair> pairs;
    pairs.reserve(m_count + 1);
    pairs.push_back(Pair{name, std::strlen(name), value, std::strlen(value)});
    for (const Item& item : items()) {
        if (item.first == name) continue;  // replaced
        pairs.push_back(
            Pair{item.first.data(), item.first.size(), item.second.data(), item.second.size()});
    }
    assign(pairs);  // copies out of the old block before freeing it
}

void AttrMap::assign(std::vector<Pair>& pairs) {
    const auto before = [](const Pair& a, const Pair& b) {
        const int c = std::memcmp(a.name, b.name, std::min(a.nameSize, b.nameSize));
        return c < 0 || (c == 0 && a.nameSize < b.nameSize);
    };
    // A handful of attributes: a stable insertion sort allocates nothing.
    constexpr size_t kInsertionSortMax = 16;
    if (pairs.size() <= kInsertionSortMax) {
        for (size_t i = 1; i < pairs.size(); ++i)
            for (size_t j = i; j > 0 && before(pairs[j], pairs[j - 1]); --j)
                std::swap(pairs[j], pairs[j - 1]);
    } else {
        std::stable_sort(pairs.begin(), pairs.end(), before);
    }
    const auto sameName = [](const Pair& a, const Pair& b) {
        return a.nameSize == b.nameSize && std::memcmp(a.name, b.name, a.nameSize) == 0;
    };
    pairs.erase(std::unique(pairs.begin(), pairs.end(), sameName), pairs.end());
    size_t bytes = 0;
    for (const Pair& pair : pairs) bytes += pair.nameSize + pair.valueSize + 2;
    if (bytes > UINT32_MAX) throw std::length_error("attributes too long");
    std::unique_ptr<char[]> data(bytes ? new char[bytes] : nullptr);
    char* out = data.get();
    for (const Pair& pair : pairs) {
        std::memcpy(out, pair.name, pair.nameSize);
        out[pair.nameSize] = '\0';
        out += pair.nameSize + 1;
        std::memcpy(out, pair.value, pair.valueSize);
        out[pair.valueSize] = '\0';
        out += pair.valueSize + 1;
    }
    m_data = std::move(data);
    m_bytes = static_cast<uint32_t>(bytes);
    m_count = static_cast<uint32_t>(pairs.size());
}

void AttrMap::clear() {
    m_data.reset();
    m_bytes = 0;
    m_count = 0;
}

}  // namespace orv::xml

namespace {

// Releases that an element's destruction would otherwise make recursively (children, siblings,
// parent) are queued and drained by the outermost destruction, so a chain of a million siblings
// or a million levels is freed in bounded stack.
struct ReleaseQueue {
    std::deque<orv::OrvPtr<DOMElement>> pending;
    bool draining = false;
};
thread_local ReleaseQueue t_releases;

void queueRelease(orv::OrvPtr<DOMElement>& link) {
    if (link) t_releases.pending.push_back(std::move(link));
}

// A C string of an OrvString argument: its contents up to the first zero byte.
inline const char* cstr(const orv::OrvString& s) {
    return s.c_str();
}

bool tagIs(const DOMElement* e, const char* tag) {
    return std::strlen(tag) == e->tagName.size() && e->tagName.compare(tag) == 0;
}

}  // namespace

IOrvXmlElem::IOrvXmlElem() = default;
IOrvXmlElem::IOrvXmlElem(const IOrvXmlElem& other) : orv::OrvReferenced(other) {}
IOrvXmlElem::~IOrvXmlElem() = default;

DOMElement::DOMElement() = default;

DOMElement::DOMElement(DOMElement* parentElem) {
    if (!parentElem) return;
    // Make room first: once links point here, nothing may throw.
    auto& list = parentElem->children;
    if (list.size() == list.capacity()) list.reserve(list.empty() ? 4 : list.size() * 2);
    parent = parentElem;
    if (!parentElem->children.empty()) {
        DOMElement* last = parentElem->children.back().get();
        last->nextSibling = this;
        prevSibling = last;
    }
    parentElem->children.emplace_back(this);
    level = parentElem->level + 1;
}

DOMElement::~DOMElement() {
    ReleaseQueue& q = t_releases;
    for (auto& child : children) queueRelease(child);
    std::vector<orv::OrvPtr<DOMElement>>().swap(children);
    attributes.clear();
    queueRelease(prevSibling);
    queueRelease(nextSibling);
    queueRelease(parent);
    if (q.draining) return;
    q.draining = true;
    while (!q.pending.empty()) {
        orv::OrvPtr<DOMElement> next = std::move(q.pending.front());
        q.pending.pop_front();
        next = nullptr;  // may destroy it, which queues its own links here
    }
    q.draining = false;
}

orv::OrvString DOMElement::getAttrText() {
    orv::OrvString out;
    for (const auto& [name, value] : attributes.items()) {
        out += ' ';
        out += name;
        out += " =\"";
        out += value;
        out += '"';
    }
    return out;
}

orv::OrvString DOMElement::getAttr(const orv::OrvString& name) {
    std::string value;
    getAttr(cstr(name), value);
    return value;
}

int DOMElement::setAttr(const orv::OrvString& name, const orv::OrvString& value) {
    setAttr(cstr(name), cstr(value));
    return 0;
}

void DOMElement::setAttr(const char* name, const char* value) {
    if (!name || !value) return;
    attributes.set(name, value);
}

void DOMElement::getAttr(const char* name, std::string& out) const {
    out.clear();
    if (!name) return;
    if (const char* value = attributes.find(name)) out = value;
}

int DOMElement::setTagName(const orv::OrvString& name) {
    tagName = cstr(name);
    return 0;
}

int DOMElement::setParent(IOrvXmlElem* newParent) {
    auto* p = dynamic_cast<DOMElement*>(newParent);
    if (!p) return -1;
    parent = p;
    return 0;
}

void DOMElement::setTextBytes(const char* bytes, size_t length) {
    if (!bytes) {
        text.reset();
        return;
    }
    std::unique_ptr<char[]> copy(new char[length + 1]);
    std::memcpy(copy.get(), bytes, length);
    copy[length] = '\0';
    text = std::move(copy);
}

namespace {

// Indentation stops growing at this depth: four spaces a level on two lines an element would
// make a document nested 100,000 deep (700 KB of text) compose to 40 GB.
constexpr int kMaxIndentLevel = 64;

void appendIndent(std::string& out, int level) {
    if (level > kMaxIndentLevel) level = kMaxIndentLevel;
    if (level > 0) out.append(static_cast<size_t>(level) * 4, ' ');
}

void writeOpen(std::string& out, const DOMElement* e) {
    appendIndent(out, e->level);
    out += '<';
    out += e->tagName;
    for (const auto& [name, value] : e->attributes.items()) {
        out += ' ';
        out += name;
        out.append(" =\"", 3);
        out += value;
        out += '"';
    }
    out += '>';
    if (e->text)
        out += e->text.get();
    else
        out.append("\r\n", 2);
}

void writeClose(std::string& out, const DOMElement* e) {
    if (!e->text) appendIndent(out, e->level);
    out.append("</", 2);
    out += e->tagName;
    out.append(">\r\n", 3);
}

}  // namespace

int DOMElement::writeXml(orv::OrvString& out) {
    // An explicit stack of (element, next child): nesting depth costs heap, not call stack.
    struct Frame {
        const DOMElement* elem;
        size_t next;
    };
    std::vector<Frame> stack;
    writeOpen(out, this);
    stack.push_back({this, 0});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.elem->children.size()) {
            const DOMElement* child = f.elem->children[f.next++].get();
            writeOpen(out, child);
            stack.push_back({child, 0});
        } else {
            writeClose(out, f.elem);
            stack.pop_back();
        }
    }
    return 0;
}

DOMElement* DOMElement::addChild(const char* tag, const char* textValue) {
    if (!tag) return nullptr;
    auto* child = new DOMElement(this);
    child->tagName = tag;
    if (textValue) child->setTextCString(textValue);
    return child;
}

IOrvXmlElem* DOMElement::addChild(const orv::OrvString& tag, const orv::OrvString& textValue) {
    return addChild(cstr(tag), cstr(textValue));
}

IOrvXmlElem* DOMElement::appendChild(const orv::OrvString& tag, const orv::OrvString& textValue) {
    return addChild(cstr(tag), cstr(textValue));
}

orv::OrvXmlElemArray* DOMElement::getChildrenByTag(const orv::OrvString& tag) {
    orv::OrvXmlElemArray* array = orv::newOrvXmlElemArray();
    if (!array) return nullptr;
    for (const auto& child : children)
        if (tagIs(child.get(), cstr(tag))) array->pushBack(child.get());
    return array;
}

orv::OrvXmlElemArray* DOMElement::getChildren() {
    orv::OrvXmlElemArray* array = orv::newOrvXmlElemArray();
    if (!array) return nullptr;
    for (const auto& child : children) array->pushBack(child.get());
    return array;
}

IOrvXmlElem* DOMElement::findChild(const orv::OrvString& tag, bool recursive) {
    const char* wanted = cstr(tag);
    if (!recursive) {
        for (const auto& child : children)
            if (tagIs(child.get(), wanted)) return child.get();
        return nullptr;
    }
    struct Frame {
        const DOMElement* elem;
        size_t next;
    };
    std::vector<Frame> stack{{this, 0}};
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.elem->children.size()) {
            DOMElement* child = f.elem->children[f.next++].get();
            if (tagIs(child, wanted)) return child;
            stack.push_back({child, 0});
        } else {
            stack.pop_back();
        }
    }
    return nullptr;
}

IOrvXmlElem* DOMElement::getChild(int index) {
    if (index < 0 || static_cast<size_t>(index) >= children.size()) return nullptr;
    return children[static_cast<size_t>(index)].get();
}

IOrvXmlElem* DOMElement::getOrAddChild(const char* tag) {
    if (!tag) return nullptr;
    for (const auto& child : children)
        if (tagIs(child.get(), tag)) return child.get();
    return addChild(tag, "");
}

bool DOMElement::hasChild(const char* tag) {
    if (!tag) return false;
    for (const auto& child : children)
        if (tagIs(child.get(), tag)) return true;
    return false;
}

int DOMElement::removeChild(const char* tag) {
    if (!tag) return -1;
    for (size_t i = 0; i < children.size(); ++i)
        if (tagIs(children[i].get(), tag)) return removeChildAt(static_cast<int>(i));
    return -1;
}

int DOMElement::removeChildAt(int index) {
    if (index < 0 || static_cast<size_t>(index) >= children.size()) return -1;
    // Take the entry out before releasing it, so the list is whole if that release frees things.
    orv::OrvPtr<DOMElement> removed = std::move(children[static_cast<size_t>(index)]);
    children.erase(children.begin() + index);
    removed = nullptr;
    return static_cast<int>(children.size());
}

int DOMElement::removeAllChildren() {
    std::vector<orv::OrvPtr<DOMElement>> old;
    old.swap(children);
    for (auto& child : old) child = nullptr;  // first to last
    return 0;
}

int DOMElement::traverse(ElemVisitor visit, ElemQuery* query) {
    if (!visit) return 0;
    if (int r = visit(this, query)) return r;
    // Counted frames: a visitor may change the tree it is walking.
    struct Frame {
        orv::OrvPtr<DOMElement> elem;
        size_t next;
    };
    std::vector<Frame> stack;
    stack.push_back({orv::OrvPtr<DOMElement>(this), 0});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.elem->children.size()) {
            orv::OrvPtr<DOMElement> child = f.elem->children[f.next++];
            if (int r = visit(child.get(), query)) return r;
            stack.push_back({std::move(child), 0});
        } else {
            stack.pop_back();
        }
    }
    return 0;
}

void DOMElement::tearDown(DOMElement* top) {
    if (!top) return;
    // Every element taken off the stack is held by it, so clearing links frees nothing that is
    // still to be visited; an element freed here has no links left to release.
    std::vector<orv::OrvPtr<DOMElement>> stack;
    stack.emplace_back(top);
    while (!stack.empty()) {
        orv::OrvPtr<DOMElement> e = std::move(stack.back());
        stack.pop_back();
        for (auto& child : e->children) stack.push_back(std::move(child));
        std::vector<orv::OrvPtr<DOMElement>>().swap(e->children);
        // Sibling links reach children removed from a list, which nothing else would free.
        if (e->nextSibling) stack.push_back(std::move(e->nextSibling));
        if (e->prevSibling) stack.push_back(std::move(e->prevSibling));
        e->parent = nullptr;
    }
}

int matchTag(DOMElement* elem, ElemQuery* query) {
    if (!elem || !query || elem->tagName != query->tag) return 0;
    query->found = elem;
    return 1;
}

int matchTagAttr(DOMElement* elem, ElemQuery* query) {
    if (!elem || !query || elem->tagName != query->tag) return 0;
    const char* value = elem->attributes.find(query->attrName.c_str());
    if (query->attrValue != (value ? value : "")) return 0;
    query->found = elem;
    return 1;
}

IOrvXmlElem* newOrvXmlElem() {
    return new (std::nothrow) DOMElement();
}

namespace orv {

int releaseXmlTree(IOrvXmlElem* elem) {
    auto* e = dynamic_cast<DOMElement*>(elem);
    if (!e) return -1;
    DOMElement::tearDown(e);
    return 0;
}

}  // namespace orv
