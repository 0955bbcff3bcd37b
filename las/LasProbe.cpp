#include "OrvLas.h"
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
    rules.fixedHeaderOnly = true;
    las::OpenedLas opened;
    if (las::openRecords(file, rules, opened) != 0) return 0;
    // X, Y and Z of the first record must lie in the window the probe looks at.
    return las::firstRecordPoint(file, opened, las::kProbeWindowBytes, point) ? 1 : 0;
}

}  // namespace orv
