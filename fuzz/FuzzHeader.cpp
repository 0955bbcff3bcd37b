// The header readers on any file: the header and the file's length, or a refusal that says why;
// and what the header says measured against the file, never more points than it holds.
#include <cstring>

#include "FuzzInput.h"
#include "OrvLas.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = orvfuzz::inputFile(data, size);
    LasHeader header{};
    uint64_t fileSize = 0;
    const int result = orv::ReadLasHeader(path, header, &fileSize);
    orvfuzz::require(fileSize == size);
    const bool valid = size >= sizeof(LasHeader) && std::memcmp(data, "LASF", 4) == 0;
    orvfuzz::require(result == (valid ? 0 : -2));
    if (valid) orvfuzz::require(std::memcmp(&header, data, sizeof header) == 0);

    orv::LasFileInfo info;
    const int infoResult = orv::ReadLasInfo(path, info);
    // A signed header of another version, or compressed records the decoder refuses, is
    // refused by the describing reader alone.
    const bool compressed = valid && (data[104] & 0xC0) != 0 && (data[104] & 0x3F) <= 10;
    orvfuzz::require(infoResult == result || (valid && infoResult == -2 && data[24] != 1) ||
                     (compressed && infoResult == -3));
    if (valid && infoResult == 0) {
        orvfuzz::require(info.fileSize == size && info.formatName != nullptr);
        orvfuzz::require(info.readablePoints <= info.presentRecords &&
                         info.readablePoints <= info.statedPoints);
        // Compressed records are counted as they decode: their bytes are fewer.
        if (!compressed) orvfuzz::require(info.readablePoints * info.readableRecordLength <= size);
        orvfuzz::require(info.hasExtension == (size >= 375 && data[24] == 1 && data[25] >= 4 &&
                                               (data[94] | data[95] << 8) >= 375));
    }
    return 0;
}
