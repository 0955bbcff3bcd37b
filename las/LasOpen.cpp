#include "las/LasOpen.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "las/LasCodec.h"
#include "las/LasLimits.h"
#include "laz/LazCodec.h"

namespace orv::las {
namespace {

bool hasCompressionVlr(const LasFileHeader& header) {
    for (const LasVlr& v : header.vlrs)
        if (v.userId == laz::kVlrUserId && v.recordId == laz::kVlrRecordId) return true;
    return false;
}

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
static_assert(sizeof kFormatNames / sizeof kFormatNames[0] == kLastKnownPointFormat + 1,
              "one entry a known format");

}  // namespace

void OpenedLas::clear() {
    decoder.reset();
    header = LasFileHeader();
    raw = LasHeader();
    headBytes = 0;
    compression = Compression::kNone;
    error.clear();
    storedReason.clear();
}

std::string recordRefusal(const LasFileHeader& h) {
    const uint16_t standard = lasStandardRecordLength(h.pointFormat);
    if (h.warnings & kLasPointsInHeader)
        return "the offset to point data " + std::to_string(h.offsetToPointData) +
               " lies inside the header";
    if (standard == 0)
        return "point format " + std::to_string(h.pointFormat) + " has no known layout";
    if (h.recordLength < standard)
        return "records of " + std::to_string(h.recordLength) +
               " bytes are shorter than point format " + std::to_string(h.pointFormat) + "'s " +
               std::to_string(standard);
    return {};
}

int openRecords(platform::InputFile& file, const OpenRules& rules, OpenedLas& out) {
    out.clear();
    const uint64_t size = file.size();  // 0 when the length cannot be learned
    int result = readFixedBytes(file, size, out.head, out.headBytes);
    // A regular file that gave a header has a length: without it nothing can be measured.
    if (result == 0 && size == 0 && file.isRegular()) result = -1;
    if (result == 0 &&
        !parseFixedHeader(out.head, out.headBytes, size, out.header, &out.raw, !rules.anySignature,
                          rules.fixedHeaderOnly))
        result = -2;
    if (result != 0) {
        out.error = result == -1 ? "cannot read the header" : "not a LAS file";
        return result;
    }
    LasFileHeader& h = out.header;
    const bool signedHeader = std::memcmp(out.head, "LASF", 4) == 0;
    const bool compressed = h.compressed && signedHeader;
    if (rules.vlrs || compressed) {
        // What the lists say of themselves concerns only a reader that asked for them.
        const uint32_t warnings = h.warnings;
        const std::vector<std::string> notes = h.notes;
        if (readVlrs(file, h) != 0) {
            out.error = "cannot read the header";
            return -1;
        }
        if (!rules.vlrs) {
            h.warnings = warnings;
            h.notes = notes;
        }
    }
    if (!h.compressed) return 0;
    const uint64_t present = h.presentRecords, readable = h.readablePoints;
    if (compressed && h.versionMajor == 1 && recordRefusal(h).empty()) {
        // The decoder finds where the points end: the file's length says nothing about them.
        countCompressed(h, h.statedPoints);
        out.decoder = compressedRecords(file, h, out.error, rules.threads);
        if (out.decoder) {
            out.compression = Compression::kDecoded;
            return 0;
        }
    }
    if (!rules.storedWithoutVlr || (compressed && hasCompressionVlr(h))) {
        out.compression = Compression::kRefused;
        return 0;
    }
    out.storedReason = std::move(out.error);
    out.error.clear();
    h.presentRecords = present;
    h.readablePoints = readable;
    // Without the compression VLR the records are read as stored: the file's size counts them.
    if (h.statedPoints > h.presentRecords)
        note(h, kLasPointsBeyondEnd, "the header states more points than the file holds");
    return 0;
}

void countDecoded(OpenedLas& opened) {
    if (!opened.decoder) return;
    LasFileHeader& h = opened.header;
    const size_t block = std::max<size_t>(1, kReadBlockBytes / h.recordLength);
    std::vector<uint8_t> records(block * h.recordLength);
    uint64_t decoded = 0;
    while (const size_t got = opened.decoder->read(records.data(), block)) decoded += got;
    countCompressed(h, decoded);
    opened.decoder->seek(0);
}

bool firstRecordPoint(platform::InputFile& file, OpenedLas& opened, uint64_t within,
                      XPnt3d& point) {
    const LasFileHeader& h = opened.header;
    if ((h.warnings & kLasPointsInHeader) || opened.compression == Compression::kRefused)
        return false;
    uint8_t record[12];
    if (opened.decoder) {
        std::vector<uint8_t> whole(h.recordLength);
        const bool read =
            whole.size() >= sizeof record && opened.decoder->read(whole.data(), 1) == 1;
        opened.decoder->seek(0);
        if (!read) return false;
        std::memcpy(record, whole.data(), sizeof record);
    } else {
        const uint64_t first = h.offsetToPointData;
        if (first + sizeof record > within) return false;
        if (!file.seek(first) || file.read(record, sizeof record) != sizeof record) return false;
    }
    double xyz[3];
    decodeXyz1x(record, Scaling::of(opened.raw), xyz);
    point.x = xyz[0];  // the point's other fields stay as they were
    point.y = xyz[1];
    point.z = xyz[2];
    return true;
}

LasFileInfo describe(const OpenedLas& opened) {
    const LasFileHeader& h = opened.header;
    LasFileInfo info;
    info.header = opened.raw;
    info.fileSize = h.fileSize;
    info.hasExtension = h.hasExtension;
    if (h.hasExtension) info.extension = extensionOf(h);
    // Records read as stored keep the format byte as stored, compression bits and all.
    const uint8_t format =
        opened.compression == Compression::kNone ? opened.raw.pointDataFormat : h.pointFormat;
    if (format <= kLastKnownPointFormat) {
        info.formatName = kFormatNames[format];
        info.formatRecordLength = kLasPointLayouts[format].length;
    } else {
        info.formatName = "unknown";
    }
    info.readableRecordLength = RecordLayout::forFormat(format).minLength;
    info.statedPoints = h.statedPoints;
    info.presentRecords = h.presentRecords;
    info.readablePoints = h.readablePoints;
    info.warnings = h.warnings;
    return info;
}

}  // namespace orv::las
