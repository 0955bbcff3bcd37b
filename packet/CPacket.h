// The packet behind IOrvXmlPack.
#pragma once

#include <string>

#include "OrvXmlPack.h"
#include "xml/DOMDocument.h"
#include "xml/DOMElement.h"

namespace orv {

class CPacket : public IOrvXmlPack {
public:
    CPacket();

    int loadString(const std::string& text, int length) override;
    int loadFile(const std::string& path) override;
    IOrvXmlElem* findElem(const std::string& path, const std::string& attrName,
                          const std::string& attrValue) override;
    IOrvXmlElem* findElem(const std::string& path) override { return resolve(path, false); }
    IOrvXmlElem* findSibling(const std::string& tag, const std::string& attrName,
                             const std::string& attrValue) override;
    IOrvXmlElem* nextSibling(bool move) override;
    int setCurrent(IOrvXmlElem* elem) override;
    int setCurrent(const std::string& path) override;
    std::string getText(const std::string& path, const std::string& attrName,
                        const std::string& attrValue) override;
    std::string getText(const std::string& path) override;
    int setText(IOrvXmlElem* elem, const std::string& text) override;
    int setText(const std::string& path, const std::string& text) override;
    std::string getAttr(IOrvXmlElem* elem, const std::string& name) override;
    std::string getAttr(const std::string& path, const std::string& name) override;
    int setAttr(IOrvXmlElem* elem, const std::string& name, const std::string& value) override;
    int setAttr(const std::string& path, const std::string& name,
                const std::string& value) override;
    IOrvXmlDoc* getDoc() override { return document.get(); }
    IOrvXmlElem* makePath(const std::string& path) override;
    int setRootTag(const orv::OrvString& name) override;
    void toRoot() override { current = root(); }
    std::string getXml(IOrvXmlElem* elem) override;
    IOrvXmlElem* getCurrent() override { return current.get(); }

    orv::OrvPtr<IOrvXmlDoc> document;
    orv::OrvPtr<DOMElement> current;
    std::string searchAttrName;
    std::string searchAttrValue;
    orv::OrvPtr<DOMElement> lastFound;

protected:
    ~CPacket() override;

private:
    xml::DOMDocument* doc() const { return static_cast<xml::DOMDocument*>(document.get()); }
    DOMElement* root() const { return doc()->getRootImp(); }
    // Where a path starts; `skip` is 1 for an absolute path (its first character is dropped).
    DOMElement* startOf(const std::string& path, size_t& skip);
    // Path resolution; with `qualified`, the last segment must also carry the search attribute.
    DOMElement* resolve(const std::string& path, bool qualified);
    static std::string textOf(const DOMElement* e);
};

}  // namespace orv
