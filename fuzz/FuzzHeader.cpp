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
    orvfuzz::require(orv::ReadLasInfo(path, info) == result);
    if (valid) {
        orvfuzz::require(info.fileSize == size && info.formatName != nullptr);
        orvfuzz::require(info.readablePoints <= info.presentRecords &&
                         info.readablePoints <= info.statedPoints);
        orvfuzz::require(info.readablePoints * info.readableRecordLength <= size);
        orvfuzz::require(info.hasExtension == (size >= 375 && data[24] == 1 && data[25] >= 4 &&
                                               (data[94] | data[95] << 8) >= 375));
    }
    return 0;
}
