#include <gtest/gtest.h>

#include <dirent.h>
#include <cstring>
#include <string>
#include <vector>

#include "OrvLas.h"
#include "OrvLasFile.h"
#include "OrvLasInspect.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

// Every file of a folder whose name ends in .las or .laz.
std::vector<std::string> cloudsIn(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 4 &&
                (name.substr(name.size() - 4) == ".las" || name.substr(name.size() - 4) == ".laz"))
                out.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    return out;
}

// One open gives what the probe, ReadLasInfo and LasReader each find on their own.
void expectSameAsSeparateOpens(const std::string& path) {
    SCOPED_TRACE(path);
    orv::LasInspector file;
    orv::LasFileInfo info;
    const int status = file.open(path.c_str());
    ASSERT_EQ(status, orv::ReadLasInfo(path.c_str(), info));
    orv::LasReader reader;
    const int opened = reader.open(path.c_str());
    if (status != 0) {
        if (status == -3) {
            EXPECT_EQ(file.refusal(), reader.error());
        }
        return;
    }
    const orv::LasFileInfo& got = file.info();
    EXPECT_EQ(std::memcmp(&got.header, &info.header, sizeof info.header), 0);
    EXPECT_EQ(got.statedPoints, info.statedPoints);
    EXPECT_EQ(got.presentRecords, info.presentRecords);
    EXPECT_EQ(got.readablePoints, info.readablePoints);
    EXPECT_EQ(got.warnings, info.warnings);
    EXPECT_STREQ(got.formatName, info.formatName);

    orv::XPnt3d probed, first;
    if (orv::ReadFirstPntFromLas(path.c_str(), probed) == 1) {
        ASSERT_TRUE(file.firstPoint(first));
        EXPECT_EQ(first.x, probed.x);
        EXPECT_EQ(first.y, probed.y);
        EXPECT_EQ(first.z, probed.z);
    }
    EXPECT_EQ(file.header().vlrs.size(), reader.header().vlrs.size());
    EXPECT_EQ(file.header().evlrs.size(), reader.header().evlrs.size());
    EXPECT_EQ(file.header().warnings & orv::kLasVlrsCut,
              reader.header().warnings & orv::kLasVlrsCut);
    // Records the reader refuses are refused here too, for the same reason.
    ASSERT_EQ(file.reader() != nullptr, opened == 0) << file.refusal();
    if (opened != 0) {
        EXPECT_EQ(file.refusal(), reader.error());
        return;
    }
    std::vector<uint8_t> a(size_t{reader.header().recordLength} * 4096), b(a.size());
    size_t gotA = 0, gotB = 0;
    do {
        gotA = file.reader()->readRaw(a.data(), 4096);
        gotB = reader.readRaw(b.data(), 4096);
        ASSERT_EQ(gotA, gotB);
        ASSERT_EQ(std::memcmp(a.data(), b.data(), gotA * reader.header().recordLength), 0);
    } while (gotA > 0);
}

TEST(Inspect, AgreesWithTheSeparateReadersOnEverySample) {
    const std::string dir = orvtest::testDataDir();
    std::vector<std::string> files = cloudsIn(dir + "/las");
    for (const std::string& f : cloudsIn(dir + "/laz")) files.push_back(f);
    if (files.empty()) GTEST_SKIP() << "shared samples not found";
    for (const std::string& f : files) expectSameAsSeparateOpens(f);
}

// Files the lean readers and LasReader see differently: records shorter than their format's,
// compressed records without their VLR (read as stored), a first point beyond the probe's window.
TEST(Inspect, AgreesWhereTheReadersDiffer) {
    orvtest::TempDir dir;
    struct Case {
        const char* name;
        uint8_t format;
        uint16_t length;
        uint32_t gap;
    } cases[] = {
        {"plain.las", 1, 28, 0},         {"short.las", 3, 20, 0},   {"tiny.las", 3, 11, 0},
        {"stored.laz", 0x83, 34, 0},     {"far.las", 0, 20, 70000}, {"unknown.las", 11, 34, 0},
        {"far-short.las", 3, 11, 70000},
    };
    for (const Case& c : cases) {
        orvtest::LasBuilder las;
        las.header.pointDataFormat = c.format;
        las.header.pointDataRecordLength = c.length;
        las.gap = c.gap;
        las.add({1, 2, 3, 0, 1, 2}).add({4, 5, 6, 0, 1, 2});
        orvtest::writeFile(dir.path(c.name), las.bytes());
        expectSameAsSeparateOpens(dir.path(c.name));
    }
}

TEST(Inspect, TellsTheLayout20FromOtherFiles) {
    orvtest::TempDir dir;
    orvtest::Las20Builder old;
    old.header.xOffset = 1000.0;
    old.add({1.25, 2.5, 3.0, 7, 1, 2});
    orvtest::writeFile(dir.path("old.las"), old.bytes());
    std::vector<uint8_t> cut = old.bytes();
    cut.resize(100);
    orvtest::writeFile(dir.path("cut.las"), cut);
    orvtest::writeFile(dir.path("text.las"), std::vector<uint8_t>(400, 'x'));
    const struct {
        const char* name;
        int layout20;
        bool hasFirst;
    } cases[] = {{"old.las", 1, true}, {"cut.las", -1, false}, {"text.las", 0, false}};
    for (const auto& c : cases) {
        orv::LasInspector file;
        ASSERT_EQ(file.open(dir.path(c.name).c_str()), -2) << c.name;
        Las2Header h;
        uint64_t present = 0;
        EXPECT_EQ(file.layout20(h, present), c.layout20) << c.name;
        orv::XPnt3d first;
        EXPECT_EQ(file.firstPoint(first), c.hasFirst) << c.name;
        if (c.layout20 == 1) {
            EXPECT_EQ(present, 1u);
        }
        if (c.hasFirst) {
            EXPECT_EQ(first.x, 1001.25);
        }
    }
}

}  // namespace
