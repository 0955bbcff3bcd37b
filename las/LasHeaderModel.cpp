#include "las/LasHeaderModel.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "OrvLas.h"
#include "las/LasCodec.h"
#include "las/LasLimits.h"

namespace orv::las {
namespace {

// A fixed-size text field: every byte except the trailing NULs, so a copy writes it back as it was.
std::string fixedText(const uint8_t* at, size_t size) {
    while (size > 0 && at[size - 1] == 0) --size;
    return std::string(reinterpret_cast<const char*>(at), size);
}

// Reads `count` bytes at `offset`; false when the file has fewer there.
bool readAt(platform::InputFile& file, uint64_t offset, void* out, size_t count) {
    return file.seek(offset) && file.read(out, count) == count;
}

// The fields a VLR and an EVLR header share; only where the description starts differs (after
// the 16-bit length of a VLR, the 64-bit one of an EVLR).
LasVlr vlrIdentity(const uint8_t* head, size_t descriptionAt) {
    LasVlr v;
    v.reserved = load<uint16_t>(head);
    v.userId = fixedText(head + 2, 16);
    v.recordId = load<uint16_t>(head + 18);
    v.description = fixedText(head + descriptionAt, 32);
    return v;
}

}  // namespace

void note(LasFileHeader& h, uint32_t bit, std::string text) {
    h.warnings |= bit;
    h.notes.push_back(std::move(text));
}

uint16_t standardHeaderSize(uint8_t versionMajor, uint8_t versionMinor) {
    if (versionMajor != 1 || versionMinor <= 2) return 227;
    return versionMinor == 3 ? 235 : kHeaderSize14;
}

bool parseFixedHeader(const uint8_t* bytes, size_t got, uint64_t fileSize, LasFileHeader& out,
                      LasHeader* raw, bool signed_, bool fixedHeaderOnly) {
    if (got < sizeof(LasHeader)) return false;
    if (signed_ && std::memcmp(bytes, "LASF", 4) != 0) return false;
    LasHeader r;
    std::memcpy(&r, bytes, sizeof r);
    if (raw) *raw = r;

    LasFileHeader h;
    h.fileSourceId = r.fileSourceId;
    h.globalEncoding = r.reserved;
    std::memcpy(h.guid, bytes + 8, sizeof h.guid);
    h.versionMajor = r.versionMajor;
    h.versionMinor = r.versionMinor;
    h.systemIdentifier = fixedText(bytes + 26, 32);
    h.generatingSoftware = fixedText(bytes + 58, 32);
    h.creationDay = r.creationDay;
    h.creationYear = r.creationYear;
    h.headerSize = r.headerSize;
    h.offsetToPointData = r.offsetToPointData;
    h.numberOfVlrs = r.numberOfVlrs;
    const uint8_t formatByte = r.pointDataFormat;
    // Compressed files mark the format byte with bit 7 (or bit 6 in early writers).
    const uint8_t bare = formatByte & 0x3F;
    h.compressed = (formatByte & 0xC0) != 0 && bare <= kLasLastPointFormat;
    h.pointFormat = h.compressed ? bare : formatByte;
    h.recordLength = r.pointDataRecordLength;
    h.legacyPointCount = r.numberOfPointRecords;
    std::memcpy(h.legacyPointsByReturn, r.numberOfPointsByReturn, sizeof h.legacyPointsByReturn);
    double fields[12];  // scales, offsets, then max and min of each axis
    std::memcpy(fields, bytes + 131, sizeof fields);
    for (int axis = 0; axis < 3; ++axis) {
        h.scale[axis] = fields[axis];
        h.offset[axis] = fields[3 + axis];
        h.max[axis] = fields[6 + 2 * axis];
        h.min[axis] = fields[7 + 2 * axis];
    }
    if (h.versionMajor == 1 && h.versionMinor >= 3 && h.headerSize >= 235 && got >= 235)
        h.waveformDataOffset = load<uint64_t>(bytes + 227);

    h.fileSize = fileSize;
    h.hasExtension = hasLas14Extension(r, fileSize) && got >= kHeaderSize14;
    Las14Extension e;
    if (h.hasExtension) {
        e = loadExtension(bytes);
        h.waveformDataOffset = e.waveformDataOffset;
        h.evlrOffset = e.evlrOffset;
        h.numberOfEvlrs = e.numberOfEvlrs;
        h.pointCount = e.numberOfPointRecords;
        std::memcpy(h.pointsByReturn, e.numberOfPointsByReturn, sizeof h.pointsByReturn);
    }
    const Las14Extension* ext = h.hasExtension ? &e : nullptr;
    h.statedPoints = statedPointCount(r, ext);
    h.presentRecords = recordsPresent(r, fileSize, ext);
    const RecordLayout layout = RecordLayout::forFormat(formatByte);
    const uint32_t length = r.pointDataRecordLength;
    if (length >= layout.minLength)
        h.readablePoints = h.statedPoints < h.presentRecords ? h.statedPoints : h.presentRecords;

    // Records that would start inside the header are the header's own bytes: none are read.
    const uint64_t headerEnd =
        fixedHeaderOnly
            ? sizeof(LasHeader)
            : std::max<uint64_t>(sizeof(LasHeader),
                                 std::min<uint64_t>({h.headerSize,
                                                     standardHeaderSize(1, h.versionMinor),
                                                     fileSize}));
    if (h.offsetToPointData < headerEnd) {
        h.presentRecords = h.readablePoints = 0;
        note(h, kLasPointsInHeader,
             "the offset to point data (" + std::to_string(h.offsetToPointData) +
                 ") lies inside the " + std::to_string(headerEnd) + "-byte header");
    }
    const uint32_t formatLength = formatByte <= kLasLastPointFormat
                                      ? kLasPointLayouts[formatByte].length
                                      : (h.compressed ? kLasPointLayouts[bare].length : 0);
    if (length < formatLength || length < layout.minLength)
        note(h, kLasRecordTooShort, "records are shorter than their point format's");
    // A compressed file's size says nothing of its records: its decoder counts them.
    if (h.statedPoints > h.presentRecords && !h.compressed)
        note(h, kLasPointsBeyondEnd, "the header states more points than the file holds");
    if (h.hasExtension && r.numberOfPointRecords != 0 &&
        r.numberOfPointRecords != e.numberOfPointRecords)
        note(h, kLasCountsDisagree, "the legacy and 64-bit point counts disagree");
    out = std::move(h);
    return true;
}

Las14Extension extensionOf(const LasFileHeader& h) {
    Las14Extension e;
    e.waveformDataOffset = h.waveformDataOffset;
    e.evlrOffset = h.evlrOffset;
    e.numberOfEvlrs = h.numberOfEvlrs;
    e.numberOfPointRecords = h.pointCount;
    std::memcpy(e.numberOfPointsByReturn, h.pointsByReturn, sizeof e.numberOfPointsByReturn);
    return e;
}

namespace {

// The VLRs, EVLRs (`withEvlrs`) and kept bytes of a parsed header, over any positional reader:
// `fetch(offset, out, count)` is true when all `count` bytes were read.
template <class Fetch>
int readVlrsWith(Fetch fetch, uint64_t size, LasFileHeader& h, bool withEvlrs) {
    // The header's own extra bytes, then the VLRs up to the point data.
    const uint16_t standard = standardHeaderSize(h.versionMajor, h.versionMinor);
    const uint64_t pointData = h.offsetToPointData < size ? h.offsetToPointData : size;
    uint64_t at = h.headerSize > sizeof(LasHeader) ? h.headerSize : sizeof(LasHeader);
    if (h.headerSize > standard && h.headerSize <= pointData) {
        h.headerExtra.resize(h.headerSize - standard);
        if (!fetch(standard, h.headerExtra.data(), h.headerExtra.size())) return -1;
    }
    const std::string ofVlrs = " of " + std::to_string(h.numberOfVlrs);
    const std::string atPoints = " the point data at offset " + std::to_string(h.offsetToPointData);
    for (uint32_t i = 0; i < h.numberOfVlrs; ++i) {
        uint8_t head[kVlrHeaderBytes];
        if (at + kVlrHeaderBytes > pointData) {
            note(h, kLasVlrsCut,
                 "VLR " + std::to_string(i + 1) + ofVlrs + " does not fit before" + atPoints);
            break;
        }
        if (!fetch(at, head, sizeof head)) return -1;
        const uint16_t length = load<uint16_t>(head + 20);
        if (at + kVlrHeaderBytes + length > pointData) {
            note(h, kLasVlrsCut,
                 "VLR " + std::to_string(i + 1) + ofVlrs + " (" + std::to_string(length) +
                     " bytes) runs past" + atPoints);
            break;
        }
        LasVlr v = vlrIdentity(head, 22);
        v.payload.resize(length);
        if (length > 0 && !fetch(at + kVlrHeaderBytes, v.payload.data(), length)) return -1;
        h.vlrs.push_back(std::move(v));
        at += kVlrHeaderBytes + length;
    }
    if (at < pointData) {
        h.afterVlrs.resize(static_cast<size_t>(pointData - at));
        if (!fetch(at, h.afterVlrs.data(), h.afterVlrs.size())) return -1;
    }

    // Extended VLRs after the points, each bounded by the file.
    at = h.evlrOffset;
    for (uint32_t i = 0; withEvlrs && i < h.numberOfEvlrs; ++i) {
        uint8_t head[kEvlrHeaderBytes];
        const auto cut = [&] {
            note(h, kLasEvlrsCut,
                 "EVLR " + std::to_string(i + 1) + " of " + std::to_string(h.numberOfEvlrs) +
                     " runs past the end of the file");
        };
        if (at < h.offsetToPointData || at > size || size - at < kEvlrHeaderBytes) {
            cut();
            break;
        }
        if (!fetch(at, head, sizeof head)) return -1;
        const uint64_t length = load<uint64_t>(head + 20);
        if (length > size - at - kEvlrHeaderBytes) {
            cut();
            break;
        }
        LasVlr v = vlrIdentity(head, 28);
        v.payload.resize(static_cast<size_t>(length));
        if (length > 0 && !fetch(at + kEvlrHeaderBytes, v.payload.data(), v.payload.size()))
            return -1;
        h.evlrs.push_back(std::move(v));
        at += kEvlrHeaderBytes + length;
    }
    return 0;
}

template <class Fetch>
int readHeaderWith(Fetch fetch, const uint8_t* bytes, size_t got, uint64_t size, LasFileHeader& out,
                   bool withVlrs, bool withEvlrs, LasHeader* raw) {
    LasFileHeader h;
    if (!parseFixedHeader(bytes, got, size, h, raw)) return -2;
    if (withVlrs) {
        const int result = readVlrsWith(fetch, size, h, withEvlrs);
        if (result != 0) return result;
    }
    out = std::move(h);
    return 0;
}

auto fileFetch(platform::InputFile& file) {
    return [&file](uint64_t offset, void* to, size_t count) {
        return readAt(file, offset, to, count);
    };
}

}  // namespace

int readFixedBytes(platform::InputFile& file, uint64_t size, uint8_t (&bytes)[kFixedHeaderBytes],
                   size_t& got) {
    // No more than the file holds: one read, with no second one to find the end.
    const size_t want = size > 0 && size < sizeof bytes ? static_cast<size_t>(size) : sizeof bytes;
    // A short read of a file long enough to hold what was asked is a failed read.
    got = file.read(bytes, want);
    if (got < sizeof(LasHeader)) return size >= sizeof(LasHeader) ? -1 : -2;
    return got < want ? -1 : 0;
}

int readVlrs(platform::InputFile& file, LasFileHeader& header) {
    return readVlrsWith(fileFetch(file), header.fileSize, header, true);
}

int readHeader(platform::InputFile& file, uint64_t size, LasFileHeader& out, bool withVlrs,
               LasHeader* raw) {
    uint8_t bytes[kFixedHeaderBytes] = {};
    size_t got = 0;
    const int result = readFixedBytes(file, size, bytes, got);
    if (result != 0) return result;
    return readHeaderWith(fileFetch(file), bytes, got, size, out, withVlrs, true, raw);
}

int readHeader(const laz::ByteSource& source, LasFileHeader& out, bool withEvlrs) {
    const uint64_t size = source.size();
    uint8_t bytes[kFixedHeaderBytes] = {};
    const size_t want = size < sizeof bytes ? static_cast<size_t>(size) : sizeof bytes;
    const size_t got = source.readAt(0, bytes, want);
    if (got < sizeof(LasHeader)) return size >= sizeof(LasHeader) ? -1 : -2;
    if (got < want) return -1;
    const auto fetch = [&source](uint64_t offset, void* to, size_t count) {
        return source.readAt(offset, to, count) == count;
    };
    return readHeaderWith(fetch, bytes, got, size, out, true, withEvlrs, nullptr);
}

}  // namespace orv::las
