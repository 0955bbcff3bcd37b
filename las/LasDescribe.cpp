#include <algorithm>
#include <vector>

#include "OrvLas.h"
#include "las/LasLimits.h"
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
    LasFileHeader& model = opened.header;
    // Bytes of another kind of file that happen to start with the signature.
    if (model.versionMajor != 1) return -2;
    if (opened.compression == las::Compression::kRefused) return -3;
    // A compressed file is described as its records decompressed: the decoder counts those that
    // decode, and notes in the header where damage ends them.
    if (opened.decoder) {
        const size_t block = std::max<size_t>(1, las::kReadBlockBytes / model.recordLength);
        std::vector<uint8_t> records(block * model.recordLength);
        uint64_t decoded = 0;
        while (const size_t got = opened.decoder->read(records.data(), block)) decoded += got;
        las::countCompressed(model, decoded);
    }
    info = las::describe(opened);
    return 0;
}

}  // namespace orv
