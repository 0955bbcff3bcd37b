// The element tree behind IOrvXmlElem.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvXml.h"

class DOMElement;

namespace orv::xml {

// Attributes are stored as "name\0value\0" pairs one after another, sorted by name (bytes
// compared as unsigned values): elements carry a few short attributes, and one block costs a
// fraction of the memory and allocations of a node map.
struct AttrItem {
    std::string_view first;   // name
    std::string_view second;  // value
};

class AttrIterator {
public:
    AttrIterator(const char* at, uint32_t left) : m_at(at), m_left(left) {}
    AttrItem operator*() const;
    AttrIterator& operator++();
    bool operator!=(const AttrIterator& other) const { return m_left != other.m_left; }

private:
    const char* m_at;
    uint32_t m_left;
};

struct AttrRange {
    const char* data;
    uint32_t count;
    AttrIterator begin() const { return AttrIterator(data, count); }
    AttrIterator end() const { return AttrIterator(nullptr, 0); }
};

// A name and value to store; names need not be unique or ordered.
struct AttrPair {
    const char* name;
    size_t nameSize;
    const char* value;
    size_t valueSize;
};

// Orders `pairs` by name and drops repeated names, keeping the first value of each.
void sortAttrPairs(std::vector<AttrPair>& pairs);

// A free-standing attribute block, for the parser's tag reader used on its own.
class AttrMap {
public:
    using Pair = AttrPair;

    // The value stored for `name` (a C string), or null.
    const char* find(const char* name) const;
    // Replaces the contents with `pairs`, ordered by name, the first value of a repeated name
    // kept. Reorders `pairs`.
    void assign(std::vector<Pair>& pairs);
    void clear() {
        m_data.reset();
        m_count = 0;
    }
    size_t size() const { return m_count; }
    AttrRange items() const { return AttrRange{m_data.get(), m_count}; }

private:
    std::unique_ptr<char[]> m_data;
    uint32_t m_count = 0;
};

class ElemArena;

// Told once, before the first change to the tree it watches, while the tree is still as it was.
class ComposeWatch {
public:
    virtual void treeChanging() = 0;

protected:
    ~ComposeWatch() = default;
};

// Takes each piece of a text written in pieces; may throw.
using PieceWriter = void (*)(void* context, const char* data, size_t size);

}  // namespace orv::xml

namespace orv::xml {

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

}  // namespace orv::xml

// Every element lives in the arena of the tree it was made in: a free-standing element (or a
// document's root) starts one, and every element made under it joins it. The arena hands out
// element slots and string room in large blocks, lives as long as any of its elements does, and
// knows every element ever made in it, so that releasing a document frees them all, including
// those removed from the tree whose counted links still form cycles.
class DOMElement final : public IOrvXmlElem {
    // Tags are mostly a few bytes, compared once per end tag: in place rather than by a call.
    static bool sameBytes(const char* a, const char* b, size_t n) {
        if (n >= 8 && n <= 16) {
            uint64_t a0, a1, b0, b1;
            std::memcpy(&a0, a, 8);
            std::memcpy(&b0, b, 8);
            std::memcpy(&a1, a + n - 8, 8);
            std::memcpy(&b1, b + n - 8, 8);
            return ((a0 ^ b0) | (a1 ^ b1)) == 0;
        }
        if (n >= 4 && n < 8) {
            uint32_t a0, a1, b0, b1;
            std::memcpy(&a0, a, 4);
            std::memcpy(&b0, b, 4);
            std::memcpy(&a1, a + n - 4, 4);
            std::memcpy(&b1, b + n - 4, 4);
            return ((a0 ^ b0) | (a1 ^ b1)) == 0;
        }
        if (n < 4) {
            for (size_t i = 0; i < n; ++i)
                if (a[i] != b[i]) return false;
            return true;
        }
        return std::memcmp(a, b, n) == 0;
    }

public:
    // A new free-standing element, in an arena of its own.
    static DOMElement* create();
    // A new element linked under `parent` (when not null) as its last child.
    static DOMElement* create(DOMElement* parent);

    orv::OrvString getAttrText() override;
    orv::OrvString getAttr(const orv::OrvString& name) override;
    int setAttr(const orv::OrvString& name, const orv::OrvString& value) override;
    orv::OrvString getTagName() override { return orv::OrvString(tag(), tagSize()); }
    int setTagName(const orv::OrvString& name) override;
    int getLevel() override { return level; }
    int setLevel(int newLevel) override;
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
    int getChildCount() override { return static_cast<int>(m_childCount); }
    int removeAllChildren() override;
    orv::OrvString getText() override { return m_text ? orv::OrvString(m_text) : orv::OrvString(); }

    // Plain-string forms used by packets; null arguments do nothing or give nothing.
    void setAttr(const char* name, const char* value);
    void getAttr(const char* name, std::string& out) const;
    DOMElement* addChild(const char* tag, const char* textValue);
    DOMElement* nextSiblingImp() const { return nextSibling.get(); }
    DOMElement* parentImp() const { return parent.get(); }

    // The tag name (never null) and its length.
    const char* tag() const { return m_strings ? m_strings : ""; }
    size_t tagSize() const { return m_strings ? m_attrsAt - 1 : 0; }
    bool tagIs(std::string_view name) const {
        return name.size() == tagSize() && sameBytes(name.data(), tag(), name.size());
    }
    void setTag(std::string_view name);
    // The text as a C string, or null for "no text".
    const char* textPtr() const { return m_text; }
    bool hasText() const { return m_text != nullptr; }
    // Replaces the text with a copy of `bytes` (null: no text).
    void setTextBytes(const char* bytes, size_t length);
    void setTextCString(const char* value) { setTextBytes(value, value ? std::strlen(value) : 0); }
    orv::xml::AttrRange attrItems() const {
        return orv::xml::AttrRange{m_strings ? m_strings + m_attrsAt : nullptr, m_attrCount};
    }
    const char* findAttr(const char* name) const;
    size_t childCount() const { return m_childCount; }
    DOMElement* childAt(size_t i) const { return m_children[i].get(); }

    // The number of bytes writeXml appends for this subtree.
    size_t xmlSize() const;
    // Writes the bytes of writeXml to `put` in pieces of about `piece` bytes (more only for an
    // element whose start tag and text alone are longer), holding no more than one piece.
    void writeXmlPieces(size_t piece, orv::xml::PieceWriter put, void* context) const;

    // Tells the watch of this element's tree, if any, that the tree is about to change.
    void changing();
    // Makes `watch` the one watch of this element's tree; false when another one holds it.
    bool watchTree(orv::xml::ComposeWatch* watch);
    void unwatchTree(orv::xml::ComposeWatch* watch);

    // Depth-first walk in document order from this element, in bounded stack.
    int traverse(orv::xml::ElemVisitor visit, orv::xml::ElemQuery* query);

    // Clears the links of the subtree and of the elements chained to it by sibling links,
    // without recursion (see orv::releaseXmlTree).
    static void tearDown(DOMElement* top);
    // Clears the links of every element ever made in `member`'s arena; elements held elsewhere
    // survive with their links cleared, the others are freed.
    static void tearDownArena(DOMElement* member);
    // True when `e` began its arena (a free-standing element or a document's root).
    static bool startedArena(const DOMElement* e);

    // The parser's fast path. makeParsed links a new element under `parent` after `previous`
    // (its sibling links) without adding it to the parent's list; the parser hands each
    // element's children over in one block once they are all known (appendParsed), so the list
    // is allocated once at its exact size.
    static DOMElement* makeParsed(DOMElement* parent, DOMElement* previous);
    // Marks the tree as no longer only built up (an element may be left out of its parent's list).
    void markReshaped();
    void appendParsed(DOMElement* const* kids, size_t count);
    DOMElement* lastChild() const { return m_childCount ? childAt(m_childCount - 1) : nullptr; }
    void setParsedTag(std::string_view name, std::vector<orv::xml::AttrPair>& pairs);
    void setParsedText(const char* bytes, size_t length);

    // Elements come from their arena only.
    static void* operator new(size_t) = delete;
    static void* operator new(size_t size, orv::xml::ElemArena& arena);
    static void operator delete(void* p, orv::xml::ElemArena& arena);
    static void operator delete(void* p);

    // The level comes first so that it fills the padding after the count of the base.
    int32_t level = 0;
    orv::OrvPtr<DOMElement> parent;
    orv::OrvPtr<DOMElement> nextSibling;
    orv::OrvPtr<DOMElement> prevSibling;  // held, never read

private:
    friend class orv::xml::ElemArena;
    explicit DOMElement(orv::xml::ElemArena* arena) : m_arena(arena) {}
    ~DOMElement() override;

    void linkUnder(DOMElement* parentElem, DOMElement* previous);
    void growChildren(size_t wanted);
    void replaceStrings(std::string_view name, std::vector<orv::xml::AttrPair>& pairs,
                        bool inArena);
    void freeStrings();
    void freeText();
    void freeChildren();

    orv::xml::ElemArena* m_arena;
    // Tag name, a zero byte, then the attribute pairs; null for an empty tag without attributes.
    char* m_strings = nullptr;
    char* m_text = nullptr;  // owned C string, or null for "no text"
    orv::OrvPtr<DOMElement>* m_children = nullptr;
    uint32_t m_childCount = 0;
    uint32_t m_childCapacity = 0;  // 0 with children: the list lies in the arena
    uint32_t m_attrsAt = 1;        // offset of the attribute pairs in m_strings
    uint32_t m_attrCount = 0;
    uint32_t m_attrBytes = 0;  // size of the attribute pairs, zero bytes included
    // Which of the blocks above came from the heap (set, text, children list changed through
    // the interface after loading) rather than from the arena.
    bool m_heapStrings = false;
    bool m_heapText = false;
    bool m_pinned = false;  // during an arena's tear-down: holds one reference of the arena's
};

static_assert(sizeof(void*) != 8 || sizeof(DOMElement) <= 96, "an element takes 96 bytes");
