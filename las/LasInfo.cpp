#include <cstring>

#include "OrvLas.h"
#include "las/LasCodec.h"
#include "las/LasLimits.h"
#include "platform/Files.h"

namespace orv {
namespace {

struct FormatTraits {
    const char* name;
    uint32_t recordLength;
};

// Names and record lengths of the point data formats 0 to 10.
constexpr FormatTraits kFormats[] = {
    {"core", 20},
    {"core + GPS time", 28},
    {"core + RGB", 26},
    {"core + GPS time + RGB", 34},
    {"core + GPS time + wave packets", 57},
    {"core + GPS time + RGB + wave packets", 63},
    {"extended core + GPS time", 30},
    {"extended core + GPS time + RGB", 36},
    {"extended core + GPS time + RGB + NIR", 38},
    {"extended core + GPS time + wave packets", 59},
    {"extended core + GPS time + RGB + NIR + wave packets", 67},
};
static_assert(sizeof kFormats / sizeof kFormats[0] == las::kLastKnownPointFormat + 1,
              "one entry a known format");

}  // namespace

int ReadLasInfo(const char* path, LasFileInfo& info) {
    platform::InputFile file;
    if (!file.open(path)) return -1;
    const uint64_t size = file.size();
    uint8_t bytes[las::kHeaderSize14] = {};
    // A short read of a file long enough to hold what was asked is a failed read.
    const size_t got = file.read(bytes, sizeof bytes);
    if (got < sizeof(LasHeader)) return size >= sizeof(LasHeader) ? -1 : -2;
    if (got < sizeof bytes && size > got) return -1;
    if (std::memcmp(bytes, "LASF", 4) != 0) return -2;

    LasFileInfo out;
    std::memcpy(&out.header, bytes, sizeof out.header);
    const LasHeader& h = out.header;
    out.fileSize = size;
    out.hasExtension = las::hasLas14Extension(h, size);
    if (out.hasExtension) out.extension = las::loadExtension(bytes);

    const uint8_t format = h.pointDataFormat;
    if (format <= las::kLastKnownPointFormat) {
        out.formatName = kFormats[format].name;
        out.formatRecordLength = kFormats[format].recordLength;
    } else {
        out.formatName = "unknown";
    }
    const las::RecordLayout layout = las::RecordLayout::forFormat(format);
    out.readableRecordLength = layout.minLength;

    out.statedPoints = las::statedPointCount(h, out.hasExtension ? &out.extension : nullptr);
    out.presentRecords = las::recordsPresent(h, size, out.hasExtension ? &out.extension : nullptr);
    const uint32_t length = h.pointDataRecordLength;
    if (length >= layout.minLength)
        out.readablePoints =
            out.statedPoints < out.presentRecords ? out.statedPoints : out.presentRecords;

    if (length < out.formatRecordLength || length < layout.minLength)
        out.warnings |= kLasRecordTooShort;
    if (out.statedPoints > out.presentRecords) out.warnings |= kLasPointsBeyondEnd;
    const uint64_t legacy = h.numberOfPointRecords;
    if (out.hasExtension && legacy != 0 && legacy != out.extension.numberOfPointRecords)
        out.warnings |= kLasCountsDisagree;
    info = out;
    return 0;
}

}  // namespace orv
