// Packets: one XML document read and written through slash-separated tag paths and a cursor.
#pragma once

#include <string>

#include "OrvBasic.h"
#include "OrvExport.h"
#include "OrvXml.h"

class IOrvXmlPack;

namespace orv {

// Declared for callers' own packet collections; the library implements none. It stands
// before IOrvXmlPack's definition, as it always has, so its base keeps the same linkage.
class ORV_API OrvXmlPackArray : public OrvItemArray<OrvXmlPackArray, IOrvXmlPack*> {
public:
    OrvXmlPackArray();
    OrvXmlPackArray(const OrvXmlPackArray& other);
    OrvXmlPackArray& operator=(const OrvXmlPackArray& other);

protected:
    ~OrvXmlPackArray() override;
};

}  // namespace orv

// Paths start at the cursor, or at the root when they begin with "/" or "\". Each segment is the
// first element with that tag at any depth below (or at) the element reached so far. Returned
// element pointers are borrowed.
class ORV_API IOrvXmlPack : public orv::OrvReferenced {
public:
    IOrvXmlPack();
    IOrvXmlPack(const IOrvXmlPack& other);
    IOrvXmlPack& operator=(const IOrvXmlPack&) { return *this; }

    // Parses into the packet's document and puts the cursor on the root; 0 or -1.
    virtual int loadString(const std::string& text, int length) = 0;
    virtual int loadFile(const std::string& path) = 0;
    // The element at `path` whose last segment also has attribute `attrName` = `attrValue`.
    virtual IOrvXmlElem* findElem(const std::string& path, const std::string& attrName,
                                  const std::string& attrValue) = 0;
    virtual IOrvXmlElem* findElem(const std::string& path) = 0;
    // The first later sibling of the cursor with the tag and attribute value.
    virtual IOrvXmlElem* findSibling(const std::string& tag, const std::string& attrName,
                                     const std::string& attrValue) = 0;
    // The cursor's next sibling; with `move`, the cursor goes there.
    virtual IOrvXmlElem* nextSibling(bool move) = 0;
    virtual int setCurrent(IOrvXmlElem* elem) = 0;
    virtual int setCurrent(const std::string& path) = 0;
    // Whole texts, of any length; "" when nothing is found.
    virtual std::string getText(const std::string& path, const std::string& attrName,
                                const std::string& attrValue) = 0;
    virtual std::string getText(const std::string& path) = 0;
    virtual int setText(IOrvXmlElem* elem, const std::string& text) = 0;
    // Never creates elements: -1 when the path finds none.
    virtual int setText(const std::string& path, const std::string& text) = 0;
    virtual std::string getAttr(IOrvXmlElem* elem, const std::string& name) = 0;
    virtual std::string getAttr(const std::string& path, const std::string& name) = 0;
    virtual int setAttr(IOrvXmlElem* elem, const std::string& name, const std::string& value) = 0;
    virtual int setAttr(const std::string& path, const std::string& name,
                        const std::string& value) = 0;
    virtual IOrvXmlDoc* getDoc() = 0;
    // Creates the path's missing elements; the last segment is always created anew.
    virtual IOrvXmlElem* makePath(const std::string& path) = 0;
    // Renames the root; 1 when done.
    virtual int setRootTag(const orv::OrvString& name) = 0;
    virtual void toRoot() = 0;
    // The declaration and `elem`'s subtree as text (it also becomes the document's text).
    virtual std::string getXml(IOrvXmlElem* elem) = 0;
    virtual IOrvXmlElem* getCurrent() = 0;

protected:
    ~IOrvXmlPack() override;
};

// A new packet with an empty document and a count of 0, or null when out of memory.
ORV_API IOrvXmlPack* newOrvXmlPack();
