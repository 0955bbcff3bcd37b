// Document load and compose on any text: 0 or -1, a composed document that loads again and
// composes to the same text, and every element freed with the document.
#include <string>

#include "FuzzInput.h"
#include "OrvXml.h"

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
        const int result = doc->loadString(text, static_cast<int>(text.size()));
        orvfuzz::require(result == 0 || result == -1);
        // Loading a file gives what loading the same text gives.
        orv::OrvPtr<IOrvXmlDoc> fromFile = newOrvXmlDoc();
        orvfuzz::require(fromFile->loadFile(orvfuzz::inputFile(data, size)) == result);
        const std::string composed = compose(*doc);
        if (result == 0) {
            orvfuzz::require(compose(*fromFile) == composed);
            orv::OrvPtr<IOrvXmlDoc> again = newOrvXmlDoc();
            orvfuzz::require(again->loadString(composed, static_cast<int>(composed.size())) == 0);
            orvfuzz::require(compose(*again) == composed);
        }
    }
    orvfuzz::require(orv::OrvReferenced::liveObjects() == liveBefore);
    return 0;
}
