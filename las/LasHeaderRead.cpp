#include <cstring>

#include "OrvLas.h"
#include "platform/Files.h"

namespace orv {

int ReadLasHeader(const char* path, LasHeader& header, uint64_t* fileSize) {
    platform::InputFile file;
    if (!file.open(path)) return -1;
    const uint64_t size = file.size();  // 0 when the length cannot be learned
    if (fileSize) *fileSize = size;
    LasHeader read;
    // A short read of a file long enough to hold the header is a failed read, not a short file.
    if (file.read(&read, sizeof read) != sizeof read) return size >= sizeof read ? -1 : -2;
    if (std::memcmp(read.signature, "LASF", 4) != 0) return -2;
    // The caller asked for the length, and a file that just gave 227 bytes cannot have 0.
    if (fileSize && size < sizeof read) return -1;
    header = read;
    return 0;
}

}  // namespace orv
