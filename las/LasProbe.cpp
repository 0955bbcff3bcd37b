#include <cstring>

#include "OrvLas.h"
#include "las/LasCodec.h"
#include "las/LasLimits.h"
#include "platform/Files.h"

namespace orv {

long ReadFirstPntFromLas(const char* path, XPnt3d& point) {
    // Plain reads of the header and of one record's coordinates: a file shortened meanwhile
    // gives a short read, not a signal.
    platform::InputFile file;
    if (!file.open(path) || !file.isRegular()) return 0;

    LasHeader header;
    if (file.read(&header, sizeof header) != sizeof header ||
        std::memcmp(header.signature, "LASF", 4) != 0)
        return 0;
    const uint64_t first = header.offsetToPointData;
    // X, Y and Z of the first record must lie in the window the probe looks at.
    if (first + 12 > las::kProbeWindowBytes) return 0;
    uint8_t record[12];
    if (!file.seek(first) || file.read(record, sizeof record) != sizeof record) return 0;

    double xyz[3];
    las::decodeXyz1x(record, las::Scaling::of(header), xyz);
    point.x = xyz[0];
    point.y = xyz[1];
    point.z = xyz[2];
    return 1;
}

}  // namespace orv
