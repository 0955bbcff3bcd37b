#include "OrvLas.h"
#include "las/LasCodec.h"
#include "las/LasHeaderModel.h"
#include "las/LasLimits.h"
#include "platform/Files.h"

namespace orv {
namespace {

// Names of the point data formats 0 to 10.
constexpr const char* kFormatNames[] = {
    "core",
    "core + GPS time",
    "core + RGB",
    "core + GPS time + RGB",
    "core + GPS time + wave packets",
    "core + GPS time + RGB + wave packets",
    "extended core + GPS time",
    "extended core + GPS time + RGB",
    "extended core + GPS time + RGB + NIR",
    "extended core + GPS time + wave packets",
    "extended core + GPS time + RGB + NIR + wave packets",
};
static_assert(sizeof kFormatNames / sizeof kFormatNames[0] == las::kLastKnownPointFormat + 1,
              "one entry a known format");

}  // namespace

int ReadLasInfo(const char* path, LasFileInfo& info) {
    platform::InputFile file;
    if (!file.open(path)) return -1;
    LasFileHeader model;
    LasFileInfo out;
    const int result = las::readHeader(file, file.size(), model, false, &out.header);
    if (result != 0) return result;
    out.fileSize = model.fileSize;
    out.hasExtension = model.hasExtension;
    if (out.hasExtension) out.extension = las::extensionOf(model);
    const uint8_t format = out.header.pointDataFormat;
    if (format <= las::kLastKnownPointFormat) {
        out.formatName = kFormatNames[format];
        out.formatRecordLength = kLasPointLayouts[format].length;
    } else {
        out.formatName = "unknown";
    }
    out.readableRecordLength = las::RecordLayout::forFormat(format).minLength;
    out.statedPoints = model.statedPoints;
    out.presentRecords = model.presentRecords;
    out.readablePoints = model.readablePoints;
    out.warnings = model.warnings;
    info = out;
    return 0;
}

}  // namespace orv
