// The element tree behind IOrvXmlElem.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvXml.h"

namespace orv::xml {

// Attribute names mapped to values, sorted by name (bytes compared as unsigned values). They live
// in one heap block, "name\0value\0" after one another: elements carry a few short attributes,
// and one block costs a fraction of the memory and allocations of a node map.
class AttrMap {
public:
    struct Item {
        std::string_view first;   // name
        std::string_view second;  // value
    };
    class Iterator {
    public:
        explicit Iterator(const char* at) : m_at(at) {}
        Item operator*() const;
        Iterator& operator++();
        bool operator!=(const Iterator& other) const { return m_at != other.m_at; }

    private:
        const char* m_at;
    };
    struct Range {
        const char* begin_;
        const char* end_;
        Iterator begin() const { return Iterator(begin_); }
        Iterator end() const { return Iterator(end_); }
    };
    // A name and value to store; names need not be unique or ordered.
    struct Pair {
        const char* name;
        size_t nameSize;
        const char* value;
        size_t valueSize;
    };

    AttrMap() = default;
    AttrMap(const AttrMap&) = delete;
    AttrMap& operator=(const AttrMap&) = delete;

    // The value stored for `name` (a C string), or null.
    const char* find(const char* name) const;
    // Inserts or overwrites; neither may hold a zero byte beyond its end.
    void set(const char* name, const char* value);
    // Replaces the contents with `pairs`, ordered by name, the first value of a repeated name
    // kept. Reorders `pairs`.
    void assign(std::vector<Pair>& pairs);
    void clear();
    bool empty() const { return m_count == 0; }
    size_t size() const { return m_count; }
    Range items() const { return Range{m_data.get(), m_data.get() + m_bytes}; }

private:
    std::unique_ptr<char[]> m_data;
    uint32_t m_bytes = 0;
    uint32_t m_count = 0;
};

}  // namespace orv::xml

class DOMElement;

// The search record of the two visitors below.
struct ElemQuery {
    std::string tag;
    std::string attrName;
    std::string attrValue;
    DOMElement* found = nullptr;  // not counted; written on a match only
};

// Visitor of a subtree walk: 0 continues, anything else stops the walk and is its result.
using ElemVisitor = int (*)(DOMElement* elem, ElemQuery* query);

// Matches an element whose tag is query->tag.
int matchTag(DOMElement* elem, ElemQuery* query);
// Matches an element whose tag is query->tag and whose attribute query->attrName (absent reads
// as "") is query->attrValue.
int matchTagAttr(DOMElement* elem, ElemQuery* query);

class DOMElement : public IOrvXmlElem {
public:
    DOMElement();
    // Links the new element under `parent` (when not null) as its last child.
    explicit DOMElement(DOMElement* parent);

    orv::OrvString getAttrText() override;
    orv::OrvString getAttr(const orv::OrvString& name) override;
    int setAttr(const orv::OrvString& name, const orv::OrvString& value) override;
    orv::OrvString getTagName() override { return tagName; }
    int setTagName(const orv::OrvString& name) override;
    int getLevel() override { return level; }
    int setLevel(int newLevel) override {
        level = newLevel;
        return 0;
    }
    IOrvXmlElem* getParent() override { return parent.get(); }
    int setParent(IOrvXmlElem* newParent) override;
    IOrvXmlElem* getNextSibling() override { return nextSibling.get(); }
    int writeXml(orv::OrvString& out) override;
    IOrvXmlElem* addChild(const orv::OrvString& tag, const orv::OrvString& text) override;
    IOrvXmlElem* appendChild(const orv::OrvString& tag, const orv::OrvString& text) override;
    orv::OrvXmlElemArray* getChildrenByTag(const orv::OrvString& tag) override;
    IOrvXmlElem* findChild(const orv::OrvString& tag, bool recursive) override;
    orv::OrvXmlElemArray* getChildren() override;
    IOrvXmlElem* getChild(int index) override;
    IOrvXmlElem* getOrAddChild(const char* tag) override;
    bool hasChild(const char* tag) override;
    int removeChild(const char* tag) override;
    int removeChildAt(int index) override;
    int getChildCount() override { return static_cast<int>(children.size()); }
    int removeAllChildren() override;
    orv::OrvString getText() override {
        return text ? orv::OrvString(text.get()) : orv::OrvString();
    }

    // Plain-string forms used by packets; null arguments do nothing or give nothing.
    void setAttr(const char* name, const char* value);
    void getAttr(const char* name, std::string& out) const;
    DOMElement* addChild(const char* tag, const char* textValue);
    DOMElement* nextSiblingImp() const { return nextSibling.get(); }
    DOMElement* parentImp() const { return parent.get(); }
    const std::string& tag() const { return tagName; }

    // Replaces the text with a heap copy of `bytes` (null: no text).
    void setTextBytes(const char* bytes, size_t length);
    void setTextCString(const char* value) { setTextBytes(value, value ? std::strlen(value) : 0); }
    void clearText() { text.reset(); }
    bool hasText() const { return text != nullptr; }

    // Depth-first walk in document order from this element, in bounded stack.
    int traverse(ElemVisitor visit, ElemQuery* query);

    // Clears the links of the subtree, without recursion (see orv::releaseXmlTree).
    static void tearDown(DOMElement* top);

    // The level comes first so that it fills the padding after the count of the base: an
    // element then takes 120 bytes, which the C library's allocator keeps in its fast bins.
    int32_t level = 0;
    std::string tagName;
    std::unique_ptr<char[]> text;  // owned C string, or null for "no text"
    orv::OrvPtr<DOMElement> parent;
    orv::OrvPtr<DOMElement> nextSibling;
    orv::OrvPtr<DOMElement> prevSibling;  // held, never read
    std::vector<orv::OrvPtr<DOMElement>> children;
    orv::xml::AttrMap attributes;

protected:
    ~DOMElement() override;
};

static_assert(sizeof(void*) != 8 || sizeof(DOMElement) <= 120, "an element fits a 128-byte chunk");
