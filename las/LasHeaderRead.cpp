#include <cstring>

#include "OrvLas.h"
#include "platform/Files.h"

namespace orv {

int ReadLasHeader(const char* path, LasHeader& header, uint64_t* fileSize) {
    platform::InputFile file;
    if (!file.open(path)) return -1;
    if (fileSize) *fileSize = file.size();
    LasHeader read;
    if (file.read(&read, sizeof read) != sizeof read) return -2;
    if (std::memcmp(read.signature, "LASF", 4) != 0) return -2;
    header = read;
    return 0;
}

}  // namespace orv
