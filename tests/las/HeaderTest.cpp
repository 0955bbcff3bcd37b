#include <gtest/gtest.h>

#include "OrvLas.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

TEST(LasHeader, ConstructedHeaderIsAllZero) {
    LasHeader h;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&h);
    for (size_t i = 0; i < sizeof h; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
    Las2Header h2;
    const auto* bytes2 = reinterpret_cast<const uint8_t*>(&h2);
    for (size_t i = 0; i < sizeof h2; ++i) ASSERT_EQ(bytes2[i], 0) << "byte " << i;
}

TEST(LasHeader, FieldsLieAtTheirFileOffsets) {
    LasHeader h;
    h.pointDataRecordLength = 0x1234;
    h.numberOfPointRecords = 0xA1B2C3D4;
    h.xScale = 0.5;
    const auto* b = reinterpret_cast<const uint8_t*>(&h);
    EXPECT_EQ(b[105], 0x34);
    EXPECT_EQ(b[106], 0x12);
    EXPECT_EQ(b[107], 0xD4);
    EXPECT_EQ(b[110], 0xA1);
    double scale;
    std::memcpy(&scale, b + 131, 8);
    EXPECT_EQ(scale, 0.5);
}

TEST(ReadLasHeader, ReportsWhyAFileIsRefused) {
    orvtest::TempDir dir;
    orvtest::LasBuilder las;
    las.add({1, 2, 3, 4, 1, 2});
    const auto good = las.bytes();
    auto wrongSignature = good;
    wrongSignature[3] = 'X';

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int expected;
    } cases[] = {
        {"good", good, 0},
        {"empty", {}, -2},
        {"short", std::vector<uint8_t>(good.begin(), good.begin() + 226), -2},
        {"exactly the header", std::vector<uint8_t>(good.begin(), good.begin() + 227), 0},
        {"signature", wrongSignature, -2},
    };
    for (const Case& c : cases) {
        const std::string path = dir.path(c.name);
        orvtest::writeFile(path, c.bytes);
        LasHeader h;
        uint64_t size = 0;
        EXPECT_EQ(orv::ReadLasHeader(path.c_str(), h, &size), c.expected) << c.name;
        EXPECT_EQ(size, c.bytes.size()) << c.name;
        if (c.expected == 0) {
            EXPECT_EQ(+h.numberOfPointRecords, 1u) << c.name;
        }
    }
    LasHeader h;
    EXPECT_EQ(orv::ReadLasHeader(dir.path("missing").c_str(), h), -1);
    EXPECT_EQ(orv::ReadLasHeader(dir.path("").c_str(), h), -1);  // a folder
}

}  // namespace
