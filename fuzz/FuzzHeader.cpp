// The header reader on any file: the header and the file's length, or a refusal that says why.
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
    return 0;
}
