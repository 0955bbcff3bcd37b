// Document load and compose on any text: 0 or -1, the same tree from a file as from the text,
// and every element freed with the document. The composed text is loaded again, but need not
// give the same tree: names and texts are written as they were read, without escapes (a name
// ending in "/" reads back as a self-closing tag), and the indentation after a text followed by
// children becomes part of that text.
#include <string>

#include "FuzzInput.h"
#include "OrvXml.h"
#include "OrvXmlEdit.h"

namespace {

std::string compose(IOrvXmlDoc& doc) {
    doc.buildString(doc.getRoot());
    return doc.getString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const long liveBefore = orv::OrvReferenced::liveObjects();
    {
        const std::string text(reinterpret_cast<const char*>(data), size);
        orv::OrvPtr<IOrvXmlDoc> doc = newOrvXmlDoc();
        orvfuzz::require(doc.get() != nullptr);
        orv::XmlError error, fileError;
        const int result = orv::loadXmlString(doc.get(), text, &error);
        orvfuzz::require(result == 0 || result == -1);
        orvfuzz::require((result == 0) == (error.status == orv::XmlStatus::ok));
        // Loading a file gives what loading the same text gives, for the same reason.
        orv::OrvPtr<IOrvXmlDoc> fromFile = newOrvXmlDoc();
        orvfuzz::require(
            orv::loadXmlFile(fromFile.get(), orvfuzz::inputFile(data, size), &fileError) == result);
        orvfuzz::require(size == 0 || fileError.text == error.text);
        const std::string composed = compose(*doc);
        if (result == 0) {
            orvfuzz::require(compose(*fromFile) == composed);
            orv::OrvPtr<IOrvXmlDoc> again = newOrvXmlDoc();
            const int reloaded = orv::loadXmlString(again.get(), composed, nullptr);
            orvfuzz::require(reloaded == 0 || reloaded == -1);
            compose(*again);
        }
    }
    orvfuzz::require(orv::OrvReferenced::liveObjects() == liveBefore);
    return 0;
}
