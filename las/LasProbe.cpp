#include "OrvLas.h"
#include "las/LasCodec.h"
#include "las/LasHeaderModel.h"
#include "las/LasLimits.h"
#include "platform/Files.h"

namespace orv {

long ReadFirstPntFromLas(const char* path, XPnt3d& point) {
    platform::MappedFile window;
    if (!window.map(path, las::kProbeWindowBytes)) return 0;

    const uint8_t* bytes = window.data();
    const uint64_t size = window.size();
    LasFileHeader model;
    LasHeader header;
    if (!las::parseFixedHeader(bytes, size, window.fileSize(), model, &header)) return 0;
    const uint64_t first = model.offsetToPointData;
    if (first + 12 > size) return 0;  // X, Y and Z of the first record must lie in the window

    double xyz[3];
    las::decodeXyz1x(bytes + first, las::Scaling::of(header), xyz);
    point.x = xyz[0];
    point.y = xyz[1];
    point.z = xyz[2];
    return 1;
}

}  // namespace orv
