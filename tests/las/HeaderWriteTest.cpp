#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "las/LasHeaderModel.h"
#include "las/LasHeaderWrite.h"

namespace {

using orv::kLasReturnByteOffset;
using orv::LasFileHeader;

// A header whose every fixed field holds a value of its own, so a field written to the wrong
// place or width reads back changed.
LasFileHeader distinctHeader(uint8_t minor) {
    LasFileHeader h;
    h.fileSourceId = 0x1234;
    h.globalEncoding = 0x0011;
    for (int i = 0; i < 16; ++i) h.guid[i] = static_cast<uint8_t>(0xA0 + i);
    h.versionMinor = minor;
    h.systemIdentifier = "a system of exactly thirty-two b";
    h.generatingSoftware = "sw";
    h.creationDay = 300;
    h.creationYear = 2024;
    h.headerExtra = {1, 2, 3};
    h.headerSize = static_cast<uint16_t>(orv::las::standardHeaderSize(1, minor) + 3);
    h.offsetToPointData = 5000;
    h.numberOfVlrs = 7;
    h.pointFormat = minor == 4 ? 7 : 3;
    h.compressed = true;
    h.recordLength = 40;
    h.legacyPointCount = 0x01020304;
    for (int k = 0; k < 5; ++k) h.legacyPointsByReturn[k] = 100u + k;
    for (int axis = 0; axis < 3; ++axis) {
        h.scale[axis] = 0.001 * (axis + 1);
        h.offset[axis] = 1000.0 * (axis + 1);
        h.min[axis] = -10.5 * (axis + 1);
        h.max[axis] = 20.25 * (axis + 1);
    }
    if (minor >= 3) h.waveformDataOffset = 0x1122334455ull;
    if (minor >= 4) {
        h.evlrOffset = 0x66778899AAull;
        h.numberOfEvlrs = 2;
        h.pointCount = 0x01020304;
        for (int k = 0; k < 15; ++k) h.pointsByReturn[k] = 1000u + k;
    }
    return h;
}

TEST(HeaderBytes, ParseBackToTheFieldsTheyWereMadeFrom) {
    for (const uint8_t minor : {2, 3, 4}) {
        SCOPED_TRACE(int(minor));
        const LasFileHeader h = distinctHeader(minor);
        const std::vector<uint8_t> bytes = orv::las::headerBytes(h);
        ASSERT_EQ(bytes.size(), h.headerSize);
        LasFileHeader back;
        ASSERT_TRUE(orv::las::parseFixedHeader(bytes.data(), bytes.size(), 1 << 20, back));
        EXPECT_EQ(back.fileSourceId, h.fileSourceId);
        EXPECT_EQ(back.globalEncoding, h.globalEncoding);
        EXPECT_EQ(std::memcmp(back.guid, h.guid, 16), 0);
        EXPECT_EQ(back.versionMinor, minor);
        EXPECT_EQ(back.systemIdentifier, h.systemIdentifier);
        EXPECT_EQ(back.generatingSoftware, h.generatingSoftware);
        EXPECT_EQ(back.creationDay, h.creationDay);
        EXPECT_EQ(back.creationYear, h.creationYear);
        EXPECT_EQ(back.headerSize, h.headerSize);
        EXPECT_EQ(back.offsetToPointData, h.offsetToPointData);
        EXPECT_EQ(back.numberOfVlrs, h.numberOfVlrs);
        EXPECT_EQ(back.pointFormat, h.pointFormat);
        EXPECT_TRUE(back.compressed);
        EXPECT_EQ(back.recordLength, h.recordLength);
        EXPECT_EQ(back.legacyPointCount, h.legacyPointCount);
        for (int k = 0; k < 5; ++k) EXPECT_EQ(back.legacyPointsByReturn[k], 100u + k);
        for (int axis = 0; axis < 3; ++axis) {
            EXPECT_EQ(back.scale[axis], h.scale[axis]);
            EXPECT_EQ(back.offset[axis], h.offset[axis]);
            EXPECT_EQ(back.min[axis], h.min[axis]);
            EXPECT_EQ(back.max[axis], h.max[axis]);
        }
        EXPECT_EQ(back.waveformDataOffset, h.waveformDataOffset);
        EXPECT_EQ(back.evlrOffset, h.evlrOffset);
        EXPECT_EQ(back.numberOfEvlrs, h.numberOfEvlrs);
        EXPECT_EQ(back.pointCount, h.pointCount);
        for (int k = 0; k < 15; ++k) EXPECT_EQ(back.pointsByReturn[k], h.pointsByReturn[k]);
        EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 3, bytes.end()), h.headerExtra);
    }
}

TEST(RecordTally, CountsReturnsByTheCoreOfTheFormat) {
    // Two records: return byte 0x3F is return 7 in a legacy core, 15 in an extended one.
    uint8_t records[2][30] = {};
    const int32_t xyz[2][3] = {{5, -7, 100}, {-3, 9, 50}};
    for (int i = 0; i < 2; ++i) std::memcpy(records[i], xyz[i], 12);
    records[0][kLasReturnByteOffset] = 0x3F;
    records[1][kLasReturnByteOffset] = 0x01;
    for (const bool extended : {false, true}) {
        orv::las::RecordTally t;
        t.add(records[0], 2, 30, extended);
        EXPECT_EQ(t.count, 2u);
        EXPECT_EQ(t.byReturn[0], 1u);
        EXPECT_EQ(t.byReturn[extended ? 14 : 6], 1u);
        EXPECT_EQ(t.lo[0], -3);
        EXPECT_EQ(t.hi[1], 9);
        EXPECT_EQ(t.lo[2], 50);
        EXPECT_EQ(t.hi[2], 100);
    }
}

}  // namespace
