// XML documents loaded without printing, and the checks an edit makes: the layer beneath
// `orvter xml` and the Python Packet. The interfaces of OrvXml.h keep their own behaviour (their
// loaders print the parser's message on standard output; these return it).
#pragma once

#include <cstddef>
#include <string>

#include "OrvExport.h"
#include "OrvXml.h"

namespace orv {

// Why a document was refused.
enum class XmlStatus {
    ok = 0,
    noText,       // a null text
    unreadable,   // the file cannot be opened or read (`systemError` says why)
    emptyFile,    // the file holds no byte
    noMemory,     // the text or the tree did not fit in memory
    notXml,       // no "<" after the last "?>"
    noRootName,   // no ">" after the root's "<", or "<>"
    rootNoMatch,  // "/" and the root's name appear nowhere
    unfinished,   // the text ends inside an element
    noFinishTag,  // no further tag inside an element
    wrongEndTag,  // an end tag that is not the open element's
    badTag,       // a start tag whose attributes cannot be read
};

// A load's outcome as data.
struct XmlError {
    XmlStatus status = XmlStatus::ok;
    size_t offset = 0;  // the byte of the text where the parser stopped
    std::string text;   // the line the interfaces' loaders print, without its line end; "" for none
    int systemError = 0;  // errno, for `unreadable`
};

// As IOrvXmlDoc::loadFile and loadString, printing nothing: 0, or -1 with `error` (may be null)
// filled. The string runs to its first NUL byte, as loadString's does.
ORV_API int loadXmlFile(IOrvXmlDoc* doc, const std::string& path, XmlError* error);
ORV_API int loadXmlString(IOrvXmlDoc* doc, const std::string& text, XmlError* error);

// Call right after a load of `doc`: restores what its parser drops or guesses and a save would
// lose. The root gets the attributes its start tag has in the loaded text (a double quote in a
// single-quoted value becomes "&quot;"); a text that declares no encoding and is valid UTF-8 gets
// "UTF-8", and one without a declaration version "1.0", instead of whatever the keyword search
// found elsewhere in the text.
ORV_API void keepLoadedShape(IOrvXmlDoc* doc);

// "" when `name` is an XML name that other readers accept as a tag or attribute name (UTF-8),
// else why not.
ORV_API std::string xmlNameProblem(const std::string& name);
// "" when `value` can stand as a text (an attribute value with `attribute`) of a document read
// and written without entities, else why not.
ORV_API std::string xmlValueProblem(const std::string& value, bool attribute);

// Whether `elem` has the attribute at all: getAttr reads an absent one and an empty one alike.
ORV_API bool hasXmlAttr(IOrvXmlElem* elem, const std::string& name);

}  // namespace orv
