#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "OrvLas.h"
#include "OrvLasFile.h"
#include "OrvLasSurvey.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

// One open gives what the probe, ReadLasInfo and LasReader each find on their own.
void expectSameAsSeparateOpens(const std::string& path) {
    SCOPED_TRACE(path);
    orv::LasSurvey file;
    orv::LasFileInfo info;
    const int status = file.open(path.c_str());
    ASSERT_EQ(status, orv::ReadLasInfo(path.c_str(), info));
    orv::LasReader reader;
    const int opened = reader.open(path.c_str());
    if (status == 0) {
        const orv::LasFileInfo& got = file.info();
        EXPECT_EQ(std::memcmp(&got.header, &info.header, sizeof info.header), 0);
        EXPECT_EQ(got.presentRecords, info.presentRecords);
        EXPECT_EQ(got.readablePoints, info.readablePoints);
        EXPECT_EQ(got.warnings, info.warnings);
        orv::XPnt3d probed, first;
        if (orv::ReadFirstPntFromLas(path.c_str(), probed) == 1) {
            ASSERT_TRUE(file.firstPoint(first));
            EXPECT_EQ(first.x, probed.x);
            EXPECT_EQ(first.z, probed.z);
        }
        EXPECT_EQ(file.header().vlrs.size(), reader.header().vlrs.size());
    }
    // Records the reader refuses are refused here too, for the same reason.
    ASSERT_EQ(file.reader() != nullptr, opened == 0) << file.refusal();
    if (opened == -3) {
        EXPECT_EQ(file.refusal(), reader.error());
    }
    if (opened != 0) return;
    std::vector<uint8_t> a(size_t{reader.header().recordLength} * 4096), b(a.size());
    size_t got = 0;
    do {
        got = file.reader()->readRaw(a.data(), 4096);
        ASSERT_EQ(got, reader.readRaw(b.data(), 4096));
        ASSERT_EQ(std::memcmp(a.data(), b.data(), got * reader.header().recordLength), 0);
    } while (got > 0);
}

TEST(Survey, AgreesWithTheSeparateReadersOnEverySample) {
    const std::string dir = orvtest::testDataDir();
    if (orvtest::lasDataDir().empty()) GTEST_SKIP() << "shared samples not found";
    for (const char* folder : {"/las", "/laz"})
        for (const auto& e : std::filesystem::directory_iterator(dir + folder))
            if (e.path().extension() == ".las" || e.path().extension() == ".laz")
                expectSameAsSeparateOpens(e.path().string());
}

// Files the lean readers and LasReader see differently: records shorter than their format's,
// compressed records without their VLR (read as stored), a first point beyond the probe's
// window, an unknown format; and files of the 2.0 layout, whole and cut short.
TEST(Survey, AgreesWhereTheReadersDiffer) {
    orvtest::TempDir dir;
    const struct {
        const char* name;
        uint8_t format;
        uint16_t length;
        uint32_t gap;
    } cases[] = {
        {"plain.las", 1, 28, 0},         {"short.las", 3, 20, 0},   {"tiny.las", 3, 11, 0},
        {"stored.laz", 0x83, 34, 0},     {"far.las", 0, 20, 70000}, {"unknown.las", 11, 34, 0},
        {"far-short.las", 3, 11, 70000},
    };
    for (const auto& c : cases) {
        orvtest::LasBuilder las;
        las.header.pointDataFormat = c.format;
        las.header.pointDataRecordLength = c.length;
        las.gap = c.gap;
        las.add({1, 2, 3, 0, 1, 2}).add({4, 5, 6, 0, 1, 2});
        orvtest::writeFile(dir.path(c.name), las.bytes());
        expectSameAsSeparateOpens(dir.path(c.name));
    }
    orvtest::Las20Builder old;
    old.header.xOffset = 1000.0;
    old.add({1.25, 2.5, 3.0, 7, 1, 2});
    std::vector<uint8_t> bytes = old.bytes();
    for (const size_t size : {bytes.size(), size_t{100}}) {
        bytes.resize(size);
        orvtest::writeFile(dir.path("old.las"), bytes);
        orv::LasSurvey file;
        ASSERT_EQ(file.open(dir.path("old.las").c_str()), -2);
        Las2Header h;
        uint64_t present = 0;
        orv::XPnt3d first(0.0, 0.0, 0.0);
        EXPECT_EQ(file.layout20(h, present), size == 100 ? -1 : 1);
        EXPECT_EQ(file.firstPoint(first), size != 100);
        EXPECT_EQ(first.x + present, size == 100 ? 0.0 : 1002.25);
    }
}

}  // namespace
