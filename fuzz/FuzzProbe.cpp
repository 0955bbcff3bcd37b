// The first-point probe on any file: 1 with a point, or 0 with the point untouched.
#include <cstring>

#include "FuzzInput.h"
#include "OrvLas.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = orvfuzz::inputFile(data, size);
    orv::XPnt3d point(1.5, 2.5, 3.5, 7);
    const long result = orv::ReadFirstPntFromLas(path, point);
    orvfuzz::require(result == 0 || result == 1);
    orvfuzz::require(point.attr == 7);
    if (result == 0) orvfuzz::require(point.x == 1.5 && point.y == 2.5 && point.z == 3.5);
    // Only a signed file whose header lies whole within the input can give a point.
    if (result == 1) orvfuzz::require(size >= 227 && std::memcmp(data, "LASF", 4) == 0);
    return 0;
}
