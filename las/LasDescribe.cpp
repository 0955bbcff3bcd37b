#include "OrvLas.h"
#include "las/LasOpen.h"
#include "platform/Files.h"

namespace orv {

int ReadLasInfo(const char* path, LasFileInfo& info) {
    platform::InputFile file;
    if (!file.open(path)) return -1;
    las::OpenRules rules;
    rules.vlrs = false;
    rules.storedWithoutVlr = true;
    las::OpenedLas opened;
    const int result = las::openRecords(file, rules, opened);
    if (result != 0) return result;
    // Bytes of another kind of file that happen to start with the signature.
    if (opened.header.versionMajor != 1) return -2;
    if (opened.compression == las::Compression::kRefused) return -3;
    // A compressed file is described as its records decompressed: the decoder counts those that
    // decode, and notes in the header where damage ends them.
    las::countDecoded(opened);
    info = las::describe(opened);
    return 0;
}

}  // namespace orv
