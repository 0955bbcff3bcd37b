// Loads an XML file and reads a text and an attribute by path.
#include <OrvTerDep.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    orv::OrvPtr<IOrvXmlPack> pack(newOrvXmlPack());
    if (pack->loadFile(argv[1]) != 0) return 1;  // the parser has printed why

    // Each segment is the first element with that tag at any depth; "/" starts at the root.
    IOrvXmlElem* elem = pack->findElem(argv[2]);
    if (!elem) return 1;
    std::printf("text: %s\n", pack->getText(argv[2]).c_str());
    std::printf("%s: %s\n", argv[3], pack->getAttr(elem, argv[3]).c_str());
    return 0;
}
