#include <cstring>

#include "OrvLas.h"
#include "las/LasCodec.h"
#include "las/LasLimits.h"
#include "platform/Files.h"

namespace orv {

long ReadFirstPntFromLas(const char* path, XPnt3d& point) {
    platform::MappedFile window;
    if (!window.map(path, las::kProbeWindowBytes)) return 0;

    const uint8_t* bytes = window.data();
    const uint64_t size = window.size();
    if (size < sizeof(LasHeader) || std::memcmp(bytes, "LASF", 4) != 0) return 0;

    LasHeader header;
    std::memcpy(&header, bytes, sizeof header);
    const uint64_t first = header.offsetToPointData;
    if (first + 12 > size) return 0;  // X, Y and Z of the first record must lie in the window

    double xyz[3];
    las::decodeXyz1x(bytes + first, las::Scaling::of(header), xyz);
    point.x = xyz[0];
    point.y = xyz[1];
    point.z = xyz[2];
    return 1;
}

}  // namespace orv
