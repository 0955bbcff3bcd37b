// The document behind IOrvXmlDoc, with the parser of its text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "OrvXml.h"
#include "OrvXmlLoad.h"
#include "xml/DOMElement.h"

namespace orv::xml {

class DOMDocument : public IOrvXmlDoc, private ComposeWatch {
public:
    DOMDocument();

    int loadString(const orv::OrvString& text, int length) override;
    int loadFile(const orv::OrvString& path) override;
    int buildString(IOrvXmlElem* elem) override;
    int saveFile(const char* path) override;
    IOrvXmlElem* getRoot() override { return root.get(); }
    orv::OrvString getString() override { return copyText(); }
    orv::OrvString getVersion() override { return version; }
    DOMElement* getRootImp() override { return dynamic_cast<DOMElement*>(root.get()); }

    // The parser. Each returns 0 (or a count) on success and -1 on failure; the failures named
    // in the messages print one line on standard output.
    int parseText(const char* text, int length);
    int parseFile(const char* path);
    int readDeclaration();
    int parseRoot();
    int parseChildren(DOMElement* parent);
    // parseText and parseFile printing nothing: the failure is kept in lastError.
    int parseTextQuietly(const char* text);
    int parseFileQuietly(const char* path);
    // Why the last parse failed (status ok after a success).
    const orv::XmlError& lastError() const { return m_error; }
    int nextTag(std::string& tag, std::string& text);
    int parseTag(const char* tagText, std::string& name, orv::xml::AttrMap& attributes);

    // Composes the declaration and `elem`'s subtree (null: the root) into the text.
    int buildText(DOMElement* elem);
    int buildDeclaration();
    // The text, composed first if that was put off.
    std::string copyText() {
        composePending();
        return xmlText;
    }
    // Depth-first walk from `elem`, itself first; -1 for a null visitor or element.
    int walkElements(ElemVisitor visit, DOMElement* elem, ElemQuery* query);

    std::string encodingText() const { return encoding; }

    size_t cursor = 0;  // scan position; a size_t so that texts beyond 4 GiB cannot wrap it
    std::string xmlText;
    std::string version = "1.0";
    std::string encoding = "GB2312";
    orv::OrvPtr<IOrvXmlElem> root;

protected:
    ~DOMDocument() override;

private:
    // A composition is put off until its text is wanted: a save then composes it in pieces as
    // they are written, never holding the whole text. Until then xmlText holds the declaration,
    // the subtree of m_composeFrom follows it, and a change to that tree composes it first.
    void treeChanging() override;
    void composePending();
    void dropPending();
    orv::OrvPtr<DOMElement> m_composeFrom;
    bool m_textLost = false;  // memory ran out composing before a change: a save must fail

    // A piece of xmlText: the parser cuts and compares without copying.
    struct Span {
        const char* data = nullptr;
        size_t size = 0;
    };
    // Parses `text`, whose root is looked for from `rootFrom` (just after its last "?>").
    int parseOwnedText(std::string&& text, size_t rootFrom);
    int parseRootFrom(size_t start);
    int parseElements(DOMElement* parent);
    // Keeps a failure as data and returns -1; `reported` prints its message, the one place the
    // parser's words reach standard output.
    int failed(orv::XmlStatus status, size_t offset, std::string text = std::string());
    int reported(int result) const;
    orv::XmlError m_error;
    int nextTagSpan(Span& tag, Span& text);
    // The name and attribute pairs of a start tag; the pairs read before a failure stay. The
    // tag lies in memory readable up to `limit`.
    int readTag(Span tag, const char* limit, Span& name, std::vector<orv::xml::AttrPair>& pairs);

    // Scratch of the parser, kept from one load to the next.
    struct Open {
        DOMElement* elem;
        size_t firstChild;  // where its children start in m_pending
    };
    std::vector<Open> m_open;            // the elements whose end tag is still to come
    std::vector<DOMElement*> m_pending;  // their children, handed over at each end tag
    std::vector<orv::xml::AttrPair> m_pairs;
};

}  // namespace orv::xml
