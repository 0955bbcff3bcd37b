#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <vector>

#include "OrvError.h"
#include "OrvLas.h"
#include "las/LasCodec.h"
#include "las/LasFileWriter.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orvtest::makePnt;

using orv::las::load;

// Writes `points` with the bulk writer and returns its result.
long save(std::vector<LasPnt>& points, const std::string& path, orv::XPnt3d* shift = nullptr) {
    orv::OrvPtr<orv::PLasPntPool> pool = orv::newPLasPntPool();
    for (LasPnt& p : points) {
        LasPnt* address = &p;
        pool->add(&address);
    }
    return shift ? orv::orvSavePoint2Las(pool.get(), shift, path.c_str(), nullptr)
                 : orv::orvSavePoint2Las(pool.get(), path.c_str(), nullptr);
}

LasHeader headerOf(const std::vector<uint8_t>& bytes) {
    LasHeader h;
    EXPECT_GE(bytes.size(), sizeof h);
    if (bytes.size() >= sizeof h) std::memcpy(&h, bytes.data(), sizeof h);
    return h;
}

struct Stored {
    int32_t x, y, z;
    uint16_t intensity = 0;
    uint8_t returnByte = 0, classification = 0, scanAngle = 0, userData = 0;
    uint16_t source = 0;
};

Stored record(const std::vector<uint8_t>& bytes, size_t i) {
    const uint8_t* r = bytes.data() + sizeof(LasHeader) + 20 * i;
    Stored s{load<int32_t>(r), load<int32_t>(r + 4), load<int32_t>(r + 8)};
    s.intensity = load<uint16_t>(r + 12);
    s.returnByte = r[14];
    s.classification = r[15];
    s.scanAngle = r[16];
    s.userData = r[17];
    s.source = load<uint16_t>(r + 18);
    return s;
}

class Writer : public orvtest::CountedTest {
protected:
    orvtest::TempDir dir;
};

TEST_F(Writer, EmptyPoolGivesBareHeader) {
    std::vector<LasPnt> none;
    ASSERT_EQ(save(none, dir.path("empty.las")), 0);
    auto bytes = orvtest::readFile(dir.path("empty.las"));
    ASSERT_EQ(bytes.size(), 227u);
    LasHeader h = headerOf(bytes);
    EXPECT_EQ(std::memcmp(h.signature, "LASF", 4), 0);
    EXPECT_EQ(+h.versionMajor, 1);
    EXPECT_EQ(+h.versionMinor, 1);
    EXPECT_STREQ(h.systemIdentifier, "ORV_LAS_RAW_DATA");
    EXPECT_STREQ(h.generatingSoftware, "ORV_LAS_TRANSFER");
    EXPECT_EQ(+h.headerSize, 227);
    EXPECT_EQ(+h.offsetToPointData, 227u);
    EXPECT_EQ(+h.pointDataFormat, 0);
    EXPECT_EQ(+h.pointDataRecordLength, 20);
    EXPECT_EQ(+h.numberOfPointRecords, 0u);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(+h.numberOfPointsByReturn[k], 0u);
    EXPECT_EQ(+h.xScale, 0.001);
    EXPECT_EQ(+h.zScale, 0.001);
    EXPECT_EQ(+h.xOffset, 0.0);
    EXPECT_EQ(+h.yOffset, 0.0);
    EXPECT_EQ(+h.zOffset, 0.0);
    // Every byte no rule sets is zero: compare with a header built from the named fields only.
    LasHeader expected;
    std::memcpy(expected.signature, "LASF", 4);
    expected.versionMajor = expected.versionMinor = 1;
    std::strcpy(expected.systemIdentifier, "ORV_LAS_RAW_DATA");
    std::strcpy(expected.generatingSoftware, "ORV_LAS_TRANSFER");
    expected.headerSize = 227;
    expected.offsetToPointData = 227;
    expected.pointDataRecordLength = 20;
    expected.xScale = expected.yScale = expected.zScale = 0.001;
    // A new file carries today's date (UTC).
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    gmtime_r(&now, &today);
    expected.creationDay = static_cast<uint16_t>(today.tm_yday + 1);
    expected.creationYear = static_cast<uint16_t>(today.tm_year + 1900);
    EXPECT_EQ(std::memcmp(&expected, bytes.data(), 227), 0);
}

TEST_F(Writer, FixesOffsetsFromFirstPointAndTruncatesTowardZero) {
    struct Case {
        const char* what;
        std::vector<LasPnt> points;
        bool shifted;
        double xOffset, yOffset;
        std::vector<Stored> stored;  // x, y, z only
    };
    std::vector<Case> cases = {
        {"shift added", {makePnt(1.5f, 2.25f, 3.0f)}, true, 100001.0, 200002.0, {{500, 250, 3000}}},
        {"negative",
         {makePnt(-12.75f, 0.5f, -1.0f), makePnt(-12.0625f, 0.0f, 0.0f)},
         false,
         -12.0,
         0.0,
         {{-750, 500, -1000}, {-62, 0, 0}}},
        {"fraction",
         {makePnt(1234.5678f, -98.7654f, 12.0f)},
         false,
         1234.0,
         -98.0,
         {{static_cast<int32_t>((double(1234.5678f) - 1234.0) * 1000.0),
           static_cast<int32_t>((double(-98.7654f) + 98.0) * 1000.0), 12000}}},
    };
    for (Case& c : cases) {
        orv::XPnt3d shift(100000.0, 200000.0, 0.0);
        ASSERT_EQ(save(c.points, dir.path("o.las"), c.shifted ? &shift : nullptr), 0) << c.what;
        auto bytes = orvtest::readFile(dir.path("o.las"));
        ASSERT_EQ(bytes.size(), 227 + 20 * c.points.size()) << c.what;
        LasHeader h = headerOf(bytes);
        EXPECT_EQ(+h.xOffset, c.xOffset) << c.what;
        EXPECT_EQ(+h.yOffset, c.yOffset) << c.what;
        EXPECT_EQ(+h.zOffset, 0.0) << c.what;
        for (size_t i = 0; i < c.stored.size(); ++i) {
            Stored s = record(bytes, i);
            EXPECT_EQ(s.x, c.stored[i].x) << c.what << " #" << i;
            EXPECT_EQ(s.y, c.stored[i].y) << c.what << " #" << i;
            EXPECT_EQ(s.z, c.stored[i].z) << c.what << " #" << i;
        }
    }
}

TEST_F(Writer, WritesAttributesCountsReturnsAndBounds) {
    std::vector<LasPnt> points = {
        makePnt(10.0f, 20.0f, 5.0f, 100, 1, 2, 200), makePnt(12.0f, 18.0f, 7.0f, 65535, 1, 12, 0),
        makePnt(11.0f, 25.0f, 1.0f, 0, 2, 6, 1),     makePnt(9.0f, 19.0f, 4.0f, 7, 5, 0, 255),
        makePnt(10.5f, 21.0f, 9.0f, 1, 0, 255, 3),   makePnt(10.0f, 20.0f, 5.0f, 1, 0x0F, 1, 3),
    };
    ASSERT_EQ(save(points, dir.path("a.las")), 0);
    auto bytes = orvtest::readFile(dir.path("a.las"));
    ASSERT_EQ(bytes.size(), 227u + 20 * points.size());
    LasHeader h = headerOf(bytes);
    EXPECT_EQ(+h.numberOfPointRecords, points.size());
    // Return 0x0F is 7 in its three bits: written, not counted.
    const uint32_t byReturn[5] = {2, 1, 0, 0, 1};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(+h.numberOfPointsByReturn[k], byReturn[k]) << k;
    EXPECT_EQ(+h.minX, 9.0);
    EXPECT_EQ(+h.maxX, 12.0);
    EXPECT_EQ(+h.minY, 18.0);
    EXPECT_EQ(+h.maxY, 25.0);
    EXPECT_EQ(+h.minZ, 1.0);
    EXPECT_EQ(+h.maxZ, 9.0);
    for (size_t i = 0; i < points.size(); ++i) {
        Stored s = record(bytes, i);
        EXPECT_EQ(s.intensity, +points[i].pnt.attr) << i;
        EXPECT_EQ(s.returnByte, +points[i].returnNumber & 7) << i;
        EXPECT_EQ(+s.classification, +points[i].classification) << i;
        EXPECT_EQ(s.source, +points[i].pointSource) << i;
        EXPECT_EQ(s.scanAngle + s.userData, 0) << i;
    }
}

TEST_F(Writer, FillsWholeBuffersAndTheRemainder) {
    const uint32_t full = 524288;
    for (uint32_t n : {full, full + 1}) {
        std::vector<LasPnt> points(n);
        for (uint32_t i = 0; i < n; ++i)
            points[i] = makePnt(float(i % 1000), float(i / 1000), 0.0f, uint16_t(i));
        ASSERT_EQ(save(points, dir.path("big.las")), 0);
        auto bytes = orvtest::readFile(dir.path("big.las"));
        ASSERT_EQ(bytes.size(), 227u + 20ull * n);
        EXPECT_EQ(+headerOf(bytes).numberOfPointRecords, n);
        Stored last = record(bytes, n - 1);
        EXPECT_EQ(last.x, int32_t((n - 1) % 1000) * 1000);
        EXPECT_EQ(last.intensity, uint16_t(n - 1));
    }
}

TEST_F(Writer, ReplacesAnExistingFileCompletely) {
    orvtest::writeFile(dir.path("old.las"), std::vector<uint8_t>(5000, 0x5A));
    std::vector<LasPnt> one = {makePnt(1, 2, 3)};
    ASSERT_EQ(save(one, dir.path("old.las")), 0);
    EXPECT_EQ(orvtest::readFile(dir.path("old.las")).size(), 247u);
}

TEST_F(Writer, RefusesCoordinatesBeyondInt32AndWritesTheRest) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* what;
        std::vector<LasPnt> points;
        std::vector<float> writtenX;  // the X of the points that must reach the file, in order
    };
    std::vector<Case> cases = {
        {"nan x", {makePnt(1, 1, 1), makePnt(nan, 1, 1), makePnt(2, 2, 2)}, {1, 2}},
        {"inf z", {makePnt(1, 1, 1), makePnt(3, 1, -inf), makePnt(2, 2, 2)}, {1, 2}},
        {"far x", {makePnt(0, 0, 0), makePnt(2147484.0f, 0, 0), makePnt(-2147484.0f, 0, 0)}, {0}},
        {"far z", {makePnt(0, 0, 0), makePnt(1, 1, 2147484.0f), makePnt(1, 1, 2147483.0f)}, {0, 1}},
        {"first x beyond int32", {makePnt(3e9f, 0, 0), makePnt(5, 6, 7)}, {5}},
        {"first y nan", {makePnt(0, nan, 0), makePnt(-5, 6, 7), makePnt(-6, 6, 7)}, {-5, -6}},
        {"all refused", {makePnt(nan, 0, 0), makePnt(inf, 0, 0)}, {}},
    };
    for (Case& c : cases) {
        ASSERT_EQ(save(c.points, dir.path("r.las")), -1) << c.what;
        auto bytes = orvtest::readFile(dir.path("r.las"));
        ASSERT_EQ(bytes.size(), 227 + 20 * c.writtenX.size()) << c.what;
        LasHeader h = headerOf(bytes);
        EXPECT_EQ(+h.numberOfPointRecords, c.writtenX.size()) << c.what;
        EXPECT_EQ(+h.numberOfPointsByReturn[0], 0u) << c.what;
        if (c.writtenX.empty()) continue;
        EXPECT_EQ(+h.xOffset, std::trunc(double(c.writtenX[0]))) << c.what;
        double lo = c.writtenX[0], hi = c.writtenX[0];
        for (size_t i = 0; i < c.writtenX.size(); ++i) {
            lo = std::min<double>(lo, c.writtenX[i]);
            hi = std::max<double>(hi, c.writtenX[i]);
            EXPECT_EQ(h.xOffset + record(bytes, i).x / 1000.0, c.writtenX[i])
                << c.what << " #" << i;
        }
        EXPECT_EQ(+h.minX, lo) << c.what;
        EXPECT_EQ(+h.maxX, hi) << c.what;
        EXPECT_TRUE(std::isfinite(h.minZ) && std::isfinite(h.maxZ)) << c.what;
    }
}

TEST_F(Writer, FileFailuresReachTheCallerAsFileError) {
    std::vector<LasPnt> points(600000, makePnt(1, 2, 3));
    EXPECT_THROW(save(points, dir.path("no/such/folder/x.las")), orv::FileError);
    // Disk full: the first full buffer or the final header fails.
    EXPECT_THROW(save(points, "/dev/full"), orv::FileError);
    std::vector<LasPnt> few(3, makePnt(1, 2, 3));
    EXPECT_THROW(save(few, "/dev/full"), orv::FileError);
}

TEST_F(Writer, WriterRefusesCallsOutOfOrder) {
    orv::las::AOrvLASFile writer;
    LasPnt p = makePnt(1, 2, 3);
    EXPECT_FALSE(writer.begin()) << "begin without a file";
    EXPECT_FALSE(writer.close()) << "close without a file";
    EXPECT_EQ(writer.writePnt(&p, nullptr), 0) << "dropped before begin";
    ASSERT_TRUE(writer.open(dir.path("w.las").c_str()));
    EXPECT_FALSE(writer.open(dir.path("other.las").c_str())) << "a file is open already";
    EXPECT_EQ(writer.writePnt(&p, nullptr), 0);
    EXPECT_EQ(writer.pointCount(), 0u) << "points before begin are dropped";
    ASSERT_TRUE(writer.begin());
    EXPECT_FALSE(writer.begin()) << "begin twice";
    EXPECT_EQ(writer.writePnt(&p, nullptr), 0);
    EXPECT_TRUE(writer.close());
    EXPECT_FALSE(writer.close());
    EXPECT_FALSE(writer.begin()) << "begin after close";
    EXPECT_EQ(orvtest::readFile(dir.path("w.las")).size(), 247u);
}

TEST_F(Writer, OtherTextsGoIntoTheHeader) {
    {
        orv::las::AOrvLASFile writer({"Pelvaron", "Lodrune"});
        ASSERT_TRUE(writer.open(dir.path("t.las").c_str()));
        ASSERT_TRUE(writer.begin());
        ASSERT_TRUE(writer.close());
    }
    LasHeader h = headerOf(orvtest::readFile(dir.path("t.las")));
    EXPECT_STREQ(h.systemIdentifier, "Pelvaron");
    EXPECT_STREQ(h.generatingSoftware, "Lodrune");
}

}  // namespace

namespace {

TEST_F(Writer, WalkStopsAtANullEntryAndLeavesTheCursorPastIt) {
    std::vector<LasPnt> points = {makePnt(1, 1, 1), makePnt(2, 2, 2), makePnt(3, 3, 3)};
    orv::OrvPtr<orv::PLasPntPool> pool = orv::newPLasPntPool();
    LasPnt* entries[] = {&points[0], nullptr, &points[2]};
    for (LasPnt*& e : entries) pool->add(&e);
    ASSERT_EQ(orv::orvSavePoint2Las(pool.get(), dir.path("n.las").c_str(), nullptr), 0);
    EXPECT_EQ(orvtest::readFile(dir.path("n.las")).size(), 247u);
    EXPECT_EQ(pool->next(), &points[2]);

    orv::OrvPtr<orv::PLasPntPool> full = orv::newPLasPntPool();
    full->add(&entries[0]);
    ASSERT_EQ(orv::orvSavePoint2Las(full.get(), dir.path("n.las").c_str(), nullptr), 0);
    EXPECT_EQ(full->next(), nullptr);
}

// A null past the first full buffer, in the middle of an encoding run: the points before it are
// all in the file, none after it, and the cursor stands just past it.
TEST_F(Writer, NullDeepInThePoolEndsTheWalkMidRun) {
    const size_t before = orv::las::kWriteBufferRecords + 300;
    std::vector<LasPnt> points(before + 700);
    for (size_t i = 0; i < points.size(); ++i)
        points[i] = makePnt(static_cast<float>(i % 1000), 2.0f, 3.0f);
    orv::OrvPtr<orv::PLasPntPool> pool = orv::newPLasPntPool();
    for (size_t i = 0; i < points.size(); ++i) {
        LasPnt* entry = i == before ? nullptr : &points[i];
        pool->add(&entry);
    }
    ASSERT_EQ(orv::orvSavePoint2Las(pool.get(), dir.path("deep.las").c_str(), nullptr), 0);
    const std::vector<uint8_t> bytes = orvtest::readFile(dir.path("deep.las"));
    ASSERT_EQ(bytes.size(), sizeof(LasHeader) + 20 * before);
    LasHeader h;
    std::memcpy(&h, bytes.data(), sizeof h);
    EXPECT_EQ(+h.numberOfPointRecords, before);
    EXPECT_EQ(pool->next(), &points[before + 1]);
}

}  // namespace
