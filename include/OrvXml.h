// XML documents: element trees, element arrays and documents that load, compose and save text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "OrvBasic.h"
#include "OrvExport.h"

class IOrvXmlElem;
class IOrvXmlDoc;
class DOMElement;

namespace orv {

// The shape shared by the element and document arrays (and OrvXmlPack.h's packet array): an
// index-addressed sequence of counted objects. `Self` is the concrete interface, `T` its element
// pointer type.
template <class Self, class T>
class ORV_API OrvItemArray : public OrvArray {
public:
    // Appends `count` items in order (nothing for count <= 0); returns the new size.
    virtual int appendItems(const T* items, int count) = 0;
    // Appends every element of `other`; returns the new size.
    virtual int appendArray(Self* other) = 0;
    virtual int pushBack(T item) = 0;
    // Inserts before `index` (0 <= index <= size); returns the new size.
    virtual int insert(int index, T item) = 0;
    // Range-checked access: throws std::out_of_range "invalid vector<T> subscript".
    virtual T at(unsigned index) = 0;
    virtual T* atPtr(unsigned index) = 0;
    virtual T back() = 0;
    virtual T front() = 0;
    virtual void popBack() = 0;
    virtual void popFront() = 0;
    // Removes the elements first .. last - 1.
    virtual void eraseRange(int first, int last) = 0;
    virtual void erase(int index) = 0;
    virtual int size() = 0;
    virtual int capacity() = 0;
    virtual void reserve(int n) = 0;
    // Grows with null entries or shrinks by dropping the tail.
    virtual void resize(int n) = 0;
    virtual int assignArray(Self* other) = 0;
    virtual int assignItems(const T* items, int count) = 0;
    // A new plain array (it holds no references) with the same pointers.
    virtual Self* clone() = 0;
    virtual const T* getData() const = 0;
    virtual T* getData() = 0;
    virtual T* getPointer() = 0;

protected:
    ~OrvItemArray() override = default;
};

// Elements returned by element queries; the library's arrays hold a reference to each.
class ORV_API OrvXmlElemArray : public OrvItemArray<OrvXmlElemArray, IOrvXmlElem*> {
public:
    OrvXmlElemArray();
    OrvXmlElemArray(const OrvXmlElemArray& other);
    OrvXmlElemArray& operator=(const OrvXmlElemArray& other);

protected:
    ~OrvXmlElemArray() override;
};

// Declared for callers' own document collections; the library implements none.
class ORV_API OrvXmlDocArray : public OrvItemArray<OrvXmlDocArray, IOrvXmlDoc*> {
public:
    OrvXmlDocArray();
    OrvXmlDocArray(const OrvXmlDocArray& other);
    OrvXmlDocArray& operator=(const OrvXmlDocArray& other);

protected:
    ~OrvXmlDocArray() override;
};

// A new, empty reference-holding element array with a count of 0, or null when out of memory.
ORV_API OrvXmlElemArray* newOrvXmlElemArray();

}  // namespace orv

// One XML element: tag name, optional text, attributes ordered by name, children in order.
// Returned element pointers are borrowed; the tree holds them.
class ORV_API IOrvXmlElem : public orv::OrvReferenced {
public:
    IOrvXmlElem();
    IOrvXmlElem(const IOrvXmlElem& other);
    IOrvXmlElem& operator=(const IOrvXmlElem&) { return *this; }

    // The attributes as written in a start tag: ` name ="value"` for each, in name order.
    virtual orv::OrvString getAttrText() = 0;
    // The attribute's value; "" when absent.
    virtual orv::OrvString getAttr(const orv::OrvString& name) = 0;
    virtual int setAttr(const orv::OrvString& name, const orv::OrvString& value) = 0;
    virtual orv::OrvString getTagName() = 0;
    virtual int setTagName(const orv::OrvString& name) = 0;
    // Nesting level: the writer indents by it.
    virtual int getLevel() = 0;
    virtual int setLevel(int level) = 0;
    virtual IOrvXmlElem* getParent() = 0;
    // Changes only the parent link; -1 for null or a foreign element.
    virtual int setParent(IOrvXmlElem* parent) = 0;
    virtual IOrvXmlElem* getNextSibling() = 0;
    // Appends the element and its subtree as XML text to `out`.
    virtual int writeXml(orv::OrvString& out) = 0;
    // A new last child with the tag and a copy of the text.
    virtual IOrvXmlElem* addChild(const orv::OrvString& tag, const orv::OrvString& text) = 0;
    virtual IOrvXmlElem* appendChild(const orv::OrvString& tag, const orv::OrvString& text) = 0;
    // A new array (count 0) of the direct children with the tag.
    virtual orv::OrvXmlElemArray* getChildrenByTag(const orv::OrvString& tag) = 0;
    // The first child with the tag; with `recursive`, depth-first in document order.
    virtual IOrvXmlElem* findChild(const orv::OrvString& tag, bool recursive) = 0;
    // A new array (count 0) of all direct children.
    virtual orv::OrvXmlElemArray* getChildren() = 0;
    virtual IOrvXmlElem* getChild(int index) = 0;
    // The first direct child with the tag, created with an empty text when there is none.
    virtual IOrvXmlElem* getOrAddChild(const char* tag) = 0;
    virtual bool hasChild(const char* tag) = 0;
    // Removes the first direct child with the tag; the new child count, or -1.
    virtual int removeChild(const char* tag) = 0;
    virtual int removeChildAt(int index) = 0;
    virtual int getChildCount() = 0;
    virtual int removeAllChildren() = 0;
    // The text; "" when there is none.
    virtual orv::OrvString getText() = 0;

protected:
    ~IOrvXmlElem() override;
};

// A new free-standing element with a count of 0.
ORV_API IOrvXmlElem* newOrvXmlElem();

namespace orv {
// Clears the parent, sibling and child links of every element of `elem`'s subtree and of the
// elements chained to them by sibling links, so that a tree built with newOrvXmlElem, or children
// taken out of a tree, are freed once the caller lets go: counted parent and sibling links would
// keep them alive for ever. Meant for roots and removed elements (siblings are cleared too).
// Elements still referenced elsewhere stay valid with their links cleared. -1 for null or a
// foreign element.
ORV_API int releaseXmlTree(IOrvXmlElem* elem);
}  // namespace orv

// A document: a text buffer and an element tree under a root that lives as long as the document.
class ORV_API IOrvXmlDoc : public orv::OrvReferenced {
public:
    IOrvXmlDoc();
    IOrvXmlDoc(const IOrvXmlDoc& other);
    IOrvXmlDoc& operator=(const IOrvXmlDoc&) { return *this; }

    // Parses the text into the tree; 0, or -1 with the parser's message on standard output.
    virtual int loadString(const orv::OrvString& text, int length) = 0;
    virtual int loadFile(const orv::OrvString& path) = 0;
    // Composes the declaration and the element's subtree into the document text.
    virtual int buildString(IOrvXmlElem* elem) = 0;
    // Writes the document text; -1 when the file cannot be opened, written or closed.
    virtual int saveFile(const char* path) = 0;
    virtual IOrvXmlElem* getRoot() = 0;
    // The text of the last load or composition.
    virtual orv::OrvString getString() = 0;
    virtual orv::OrvString getVersion() = 0;
    virtual DOMElement* getRootImp() = 0;

protected:
    ~IOrvXmlDoc() override;
};

// A new empty document with a count of 0, or null when out of memory.
ORV_API IOrvXmlDoc* newOrvXmlDoc();
