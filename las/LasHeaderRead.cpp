#include "OrvLas.h"
#include "las/LasHeaderModel.h"
#include "platform/Files.h"

namespace orv {

int ReadLasHeader(const char* path, LasHeader& header, uint64_t* fileSize) {
    platform::InputFile file;
    if (!file.open(path)) return -1;
    const uint64_t size = file.size();  // 0 when the length cannot be learned
    if (fileSize) *fileSize = size;
    LasFileHeader model;
    LasHeader read;
    const int result = las::readHeader(file, size, model, false, &read);
    if (result != 0) return result;
    // The caller asked for the length, and a file that just gave 227 bytes cannot have 0.
    if (fileSize && size < sizeof read) return -1;
    header = read;
    return 0;
}

}  // namespace orv
