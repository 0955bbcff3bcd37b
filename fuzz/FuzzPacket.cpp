// Packet path operations on a loaded document with fuzzed paths. The input is the document, a
// NUL byte, then paths separated by NUL bytes; each path gets the next operation in turn.
#include <cstring>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "OrvXmlEdit.h"
#include "OrvXmlPack.h"

namespace {

// Whether the path's last segment names a tag: only then does a made path resolve again. "./"
// and ".\\" stand for the cursor itself.
bool endsInTag(const std::string& path) {
    if (path == "./" || path == ".\\") return false;
    return !path.empty() && path.back() != '/' && !(path.size() == 1 && path[0] == '\\');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const long liveBefore = orv::OrvReferenced::liveObjects();
    const char* bytes = reinterpret_cast<const char*>(data);
    const char* end = bytes + size;
    const char* nul = static_cast<const char*>(std::memchr(bytes, '\0', size));
    const std::string document(bytes, nul ? nul : end);
    std::vector<std::string> paths;
    for (const char* p = nul; p && p < end;) {
        const char* from = p + 1;
        p = static_cast<const char*>(std::memchr(from, '\0', static_cast<size_t>(end - from)));
        paths.emplace_back(from, p ? p : end);
    }
    {
        orv::OrvPtr<IOrvXmlPack> pack = newOrvXmlPack();
        orvfuzz::require(pack.get() != nullptr);
        const int loaded = orv::loadXmlString(pack->getDoc(), document, nullptr);
        orvfuzz::require(loaded == 0 || loaded == -1);
        pack->toRoot();  // where the packet's own load leaves the cursor
        for (size_t i = 0; i < paths.size(); ++i) {
            const std::string& path = paths[i];
            IOrvXmlElem* found = pack->findElem(path);
            switch (i % 4) {
                case 0:
                    if (found) orvfuzz::require(pack->findElem(path) == found);
                    break;
                case 1:
                    orvfuzz::require(pack->getText(path) == (found ? found->getText() : ""));
                    break;
                case 2: {
                    const int r = pack->setAttr(path, "k", path);
                    orvfuzz::require(r == (found ? 0 : -1));
                    if (found) orvfuzz::require(found->getAttr("k") == path.c_str());
                    break;
                }
                default: {
                    IOrvXmlElem* made = pack->makePath(path);
                    if (made && endsInTag(path)) orvfuzz::require(pack->findElem(path) != nullptr);
                    break;
                }
            }
        }
        pack->getXml(pack->getDoc()->getRoot());
    }
    orvfuzz::require(orv::OrvReferenced::liveObjects() == liveBefore);
    return 0;
}
