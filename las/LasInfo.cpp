#include <algorithm>
#include <vector>

#include "OrvLas.h"
#include "OrvLasFile.h"
#include "las/LasCodec.h"
#include "las/LasHeaderModel.h"
#include "las/LasLimits.h"
#include "las/LasRecordSource.h"
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
    // Bytes of another kind of file that happen to start with the signature.
    if (model.versionMajor != 1) return -2;
    // A compressed file is described as its records decompressed: the decoder counts those that
    // decode, and says where damage ends them.
    LasReader reader;
    const las::Compression compression = las::openIfCompressed(path, model, reader);
    if (compression == las::Compression::kRefused) return -3;
    if (compression == las::Compression::kDecoded) {
        const size_t block = std::max<size_t>(1, las::kReadBlockBytes / model.recordLength);
        std::vector<uint8_t> records(block * model.recordLength);
        uint64_t decoded = 0;
        while (const size_t got = reader.readRaw(records.data(), block)) decoded += got;
        las::countCompressed(model, decoded);
        model.warnings |= reader.header().warnings & (kLasChunkTableLost | kLasRecordsDamaged);
    }
    const uint8_t format =
        compression != las::Compression::kNone ? model.pointFormat : out.header.pointDataFormat;
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
