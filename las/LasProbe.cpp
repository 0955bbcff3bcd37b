#include <cstring>
#include <vector>

#include "OrvLas.h"
#include "OrvLasFile.h"
#include "las/LasCodec.h"
#include "las/LasLimits.h"
#include "las/LasOpen.h"
#include "platform/Files.h"

namespace orv {

long ReadFirstPntFromLas(const char* path, XPnt3d& point) {
    // Plain reads of the header and of one record's coordinates: a file shortened meanwhile
    // gives a short read, not a signal.
    platform::InputFile file;
    if (!file.open(path) || !file.isRegular()) return 0;
    las::OpenRules rules;
    rules.vlrs = false;
    rules.storedWithoutVlr = true;
    las::OpenedLas opened;
    if (las::openRecords(file, rules, opened) != 0) return 0;
    const LasFileHeader& model = opened.header;
    if (model.warnings & kLasPointsInHeader) return 0;
    if (opened.compression == las::Compression::kRefused) return 0;
    uint8_t record[12];
    if (opened.decoder) {
        const size_t length = model.recordLength;
        std::vector<uint8_t> whole(length);
        if (length < sizeof record || opened.decoder->read(whole.data(), 1) != 1) return 0;
        std::memcpy(record, whole.data(), sizeof record);
    } else {
        const uint64_t first = model.offsetToPointData;
        // X, Y and Z of the first record must lie in the window the probe looks at.
        if (first + 12 > las::kProbeWindowBytes) return 0;
        if (!file.seek(first) || file.read(record, sizeof record) != sizeof record) return 0;
    }

    double xyz[3];
    las::decodeXyz1x(record, las::Scaling::of(opened.raw), xyz);
    point.x = xyz[0];
    point.y = xyz[1];
    point.z = xyz[2];
    return 1;
}

}  // namespace orv
