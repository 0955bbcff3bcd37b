#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <vector>

#include "OrvLas.h"
#include "las/LasBulkRead.h"
#include "support/ExpectedLas.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orvtest::LasBuilder;
using orvtest::RawRecord;

struct Point {
    float x, y, z;
    uint16_t intensity;
    uint8_t classification;
};

class Reader : public orvtest::CountedTest {
protected:
    // Reads `path`; `ok` says whether a pool came back. The pool is released before returning.
    std::vector<Point> read(const std::string& path, bool& ok) {
        orv::LasPntPool* raw = &m_sentinel;
        const long result = orv::orvReadLas(path.c_str(), &raw, nullptr);
        ok = raw != &m_sentinel;
        EXPECT_EQ(result, ok ? 1 : 0) << path;
        std::vector<Point> points;
        if (!ok) return points;
        orv::OrvPtr<orv::LasPntPool> pool = orv::OrvPtr<orv::LasPntPool>::adopt(raw);
        EXPECT_EQ(pool->referenceCount(), 1);
        for (size_t i = 0; i < pool->size(); ++i) {
            const LasPnt p = pool->data()[i];
            EXPECT_EQ(+p.returnNumber + p.spare + +p.pointSource + p.spareWord, 0)
                << "no data for these";
            points.push_back({p.pnt.x, p.pnt.y, p.pnt.z, p.pnt.attr, p.classification});
        }
        return points;
    }
    std::vector<Point> readBytes(const std::vector<uint8_t>& bytes, bool& ok) {
        orvtest::writeFile(dir.path("in.las"), bytes);
        return read(dir.path("in.las"), ok);
    }

    orvtest::TempDir dir;

private:
    // Never handed out: its address only tells whether the reader wrote *pool. Not counted here.
    class Sentinel : public orv::LasPntPool {
    public:
        ~Sentinel() override = default;
    } m_sentinel;
};

TEST_F(Reader, ConvertsRecordsToRealWorldFloats) {
    LasBuilder las;
    las.header.xScale = 0.01;
    las.header.xOffset = 500.0;
    las.header.yOffset = -20.0;
    las.header.zScale = 0.5;
    las.add({1000, 2500, 7, 65535, 0x3F, 12}).add({-1000, 0, -7, 3, 1, 2});
    bool ok = false;
    auto points = read(dir.path("missing.las"), ok);
    EXPECT_FALSE(ok) << "a path that does not exist";
    points = readBytes(las.bytes(), ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].x, 510.0f);
    EXPECT_EQ(points[1].x, 490.0f);
    EXPECT_EQ(points[0].y, float(2.5 - 20.0));
    EXPECT_EQ(points[0].z, 3.5f);
    EXPECT_EQ(points[1].z, -3.5f);
    EXPECT_EQ(points[0].intensity, 65535);
    EXPECT_EQ(+points[0].classification, 12);
    EXPECT_EQ(points[1].intensity, 3);
    EXPECT_EQ(+points[1].classification, 2);
}

TEST_F(Reader, LayoutVariantsGiveTheSamePoints) {
    auto cloud = [] {
        LasBuilder las;
        las.header.xOffset = 1000.0;
        las.add({1, 2, 3, 4, 1, 2}).add({-5, 6, -7, 8, 2, 3}).add({9, 10, 11, 12, 3, 4});
        return las;
    };
    bool ok = false;
    const auto reference = readBytes(cloud().bytes(), ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(reference.size(), 3u);

    struct Variant {
        const char* what;
        void (*change)(LasBuilder&);
    };
    const Variant variants[] = {
        {"record length 28", [](LasBuilder& l) { l.header.pointDataRecordLength = 28; }},
        {"record length 16", [](LasBuilder& l) { l.header.pointDataRecordLength = 16; }},
        {"1,000 bytes before the points", [](LasBuilder& l) { l.gap = 1000 - 227; }},
        {"other return bits",
         [](LasBuilder& l) {
             for (auto& r : l.records) r.returnByte = 0xFF;
         }},
        {"byte 24 holds binary 2", [](LasBuilder& l) { l.header.versionMajor = 2; }},
        {"a 1.4 header stating 0x1234 header bytes",
         [](LasBuilder& l) { l.header.versionMinor = 4, l.header.headerSize = 0x1234; }},
        {"no signature", [](LasBuilder& l) { l.header.signature[0] = 'X'; }},
    };
    for (const Variant& v : variants) {
        LasBuilder las = cloud();
        v.change(las);
        const auto points = readBytes(las.bytes(), ok);
        ASSERT_TRUE(ok) << v.what;
        ASSERT_EQ(points.size(), reference.size()) << v.what;
        for (size_t i = 0; i < points.size(); ++i) {
            EXPECT_EQ(points[i].x, reference[i].x) << v.what;
            EXPECT_EQ(points[i].y, reference[i].y) << v.what;
            EXPECT_EQ(points[i].z, reference[i].z) << v.what;
            EXPECT_EQ(points[i].intensity, reference[i].intensity) << v.what;
            EXPECT_EQ(+points[i].classification, +reference[i].classification) << v.what;
        }
    }
}

TEST_F(Reader, NeverReadsOutsideTheFile) {
    LasBuilder three;
    three.add({1, 1, 1}).add({2, 2, 2}).add({3, 3, 3});
    const auto whole = three.bytes();  // 227 + 3 x 20 bytes

    auto withHeader = [&](void (*change)(LasHeader&)) {
        LasHeader h;
        std::memcpy(&h, whole.data(), sizeof h);
        change(h);
        auto bytes = whole;
        std::memcpy(bytes.data(), &h, sizeof h);
        return bytes;
    };
    auto cut = [&](size_t size) {
        return std::vector<uint8_t>(whole.begin(), whole.begin() + size);
    };

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool pool;
        size_t points;
    };
    const Case cases[] = {
        {"intact", whole, true, 3},
        {"last record cut", cut(whole.size() - 1), true, 2},
        {"only the header", cut(227), true, 0},
        {"shorter than the header", cut(226), false, 0},
        {"empty file", {}, false, 0},
        {"states a billion records",
         withHeader([](LasHeader& h) { h.numberOfPointRecords = 1000000000; }), true, 3},
        {"states the most records",
         withHeader([](LasHeader& h) { h.numberOfPointRecords = UINT32_MAX; }), true, 3},
        {"states fewer records", withHeader([](LasHeader& h) { h.numberOfPointRecords = 2; }), true,
         2},
        {"offset to points beyond the end",
         withHeader([](LasHeader& h) { h.offsetToPointData = 100000; }), true, 0},
        {"offset to points at the most",
         withHeader([](LasHeader& h) { h.offsetToPointData = UINT32_MAX; }), true, 0},
        {"offset inside the last record",
         withHeader([](LasHeader& h) { h.offsetToPointData = 227 + 45; }), true, 0},
        {"record length beyond the file",
         withHeader([](LasHeader& h) { h.pointDataRecordLength = 65535; }), true, 0},
        {"record length 15", withHeader([](LasHeader& h) { h.pointDataRecordLength = 15; }), false,
         0},
        {"record length 0", withHeader([](LasHeader& h) { h.pointDataRecordLength = 0; }), false,
         0},
    };
    for (const Case& c : cases) {
        bool ok = false;
        const auto points = readBytes(c.bytes, ok);
        EXPECT_EQ(ok, c.pool) << c.what;
        EXPECT_EQ(points.size(), c.points) << c.what;
    }
}

TEST_F(Reader, ExtremeScalesGiveInfinitiesNotUndefinedConversions) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    LasBuilder las;
    las.header.xScale = 1e300;
    las.header.yScale = -1e300;
    las.header.zOffset = nan;
    las.add({5, 5, 5});
    bool ok = false;
    const auto points = readBytes(las.bytes(), ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].x, std::numeric_limits<float>::infinity());
    EXPECT_EQ(points[0].y, -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(points[0].z));
}

TEST_F(Reader, ReadsAReadOnlyFile) {
    LasBuilder las;
    las.add({1, 2, 3});
    orvtest::writeFile(dir.path("ro.las"), las.bytes());
    ASSERT_EQ(chmod(dir.path("ro.las").c_str(), 0444), 0);
    bool ok = false;
    EXPECT_EQ(read(dir.path("ro.las"), ok).size(), 1u);
    EXPECT_TRUE(ok);
}

TEST_F(Reader, ReadLasFileFillsTheHeaderAndCountsWholeRecords) {
    LasBuilder las;
    las.header.numberOfPointRecords = 5;
    las.keepCount = true;
    las.add({1, 2, 3}).add({4, 5, 6});
    orvtest::writeFile(dir.path("h.las"), las.bytes());
    orv::las::COrvReadLas reader;
    orv::LasPntPool* raw = nullptr;
    LasHeader header;
    EXPECT_EQ(reader.ReadLasFile(dir.path("h.las").c_str(), &raw, header), 2);
    orv::OrvPtr<orv::LasPntPool> pool = orv::OrvPtr<orv::LasPntPool>::adopt(raw);
    ASSERT_TRUE(pool);
    EXPECT_EQ(pool->size(), 2u);
    EXPECT_EQ(+header.numberOfPointRecords, 5u);
    EXPECT_EQ(+header.xScale, 0.001);

    LasHeader untouched;
    untouched.xScale = 7.0;
    orv::LasPntPool* none = nullptr;
    EXPECT_EQ(reader.ReadLasFile(dir.path("nope.las").c_str(), &none, untouched), -1);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(+untouched.xScale, 7.0);
}

TEST_F(Reader, PointsToPoolPointsAtTheSourcePointsInOrder) {
    EXPECT_EQ(orv::PointsToPool(nullptr), nullptr);
    for (size_t n : {size_t{0}, size_t{3}}) {
        orv::OrvPtr<orv::LasPntPool> pool = orv::newLasPntPool();
        for (size_t i = 0; i < n; ++i) {
            LasPnt p;
            p.pnt.x = float(i);
            pool->add(&p);
        }
        orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(pool.get());
        ASSERT_TRUE(pointers);
        EXPECT_EQ(pointers->referenceCount(), 1) << "handed out with no reference";
        ASSERT_EQ(pointers->size(), n);
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(pointers->next(), pool->data() + i);
        EXPECT_EQ(pointers->next(), nullptr);
        EXPECT_EQ(pool->next(), nullptr) << "the source's cursor stands past its end";
    }
}

TEST_F(Reader, WrittenCloudsReadBackToFloatPrecision) {
    orv::OrvPtr<orv::LasPntPool> source = orv::newLasPntPool();
    for (int i = 0; i < 1000; ++i) {
        LasPnt p;
        p.pnt =
            orv::XPnt3f(float(i) * 0.37f, -float(i) * 1.5f, float(i % 17) - 8.0f, uint16_t(i * 61));
        p.classification = uint8_t(i % 32);
        p.returnNumber = uint8_t(i % 8);
        source->add(&p);
    }
    orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(source.get());
    orv::XPnt3d shift(512000.0, 4180000.0, 100.0);
    ASSERT_EQ(orv::orvSavePoint2Las(pointers.get(), &shift, dir.path("rt.las").c_str(), nullptr),
              0);
    bool ok = false;
    const auto back = read(dir.path("rt.las"), ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(back.size(), 1000u);
    for (size_t i = 0; i < back.size(); ++i) {
        const LasPnt p = source->data()[i];
        // Stored in thousandths, truncated; then rounded to float at map coordinates.
        EXPECT_NEAR(back[i].x, float(+p.pnt.x + shift.x), 0.07) << i;
        EXPECT_NEAR(back[i].y, float(+p.pnt.y + shift.y), 0.6) << i;
        EXPECT_NEAR(back[i].z, +p.pnt.z + shift.z, 0.002) << i;
        EXPECT_EQ(back[i].intensity, +p.pnt.attr) << i;
        EXPECT_EQ(+back[i].classification, +p.classification) << i;
    }
}

TEST_F(Reader, SharedSamplesGiveTheirWholeRecords) {
    const std::string data = orvtest::lasDataDir();
    if (data.empty()) GTEST_SKIP() << "no shared test data";
    const auto expected = orvtest::loadExpectedLas(data);
    ASSERT_FALSE(expected.empty());
    for (const auto& e : expected) {
        bool ok = false;
        const auto points = read(data + "/" + e.name, ok);
        ASSERT_TRUE(ok) << e.name;
        const uint64_t present =
            e.fileSize > e.offsetToPoints ? (e.fileSize - e.offsetToPoints) / e.recordLength : 0;
        EXPECT_EQ(points.size(), std::min<uint64_t>(e.pointCount, present)) << e.name;
        if (points.empty() || !e.firstPoint) continue;
        const auto& first = *e.firstPoint;
        // Floats hold about 7 digits: at map coordinates that is a few hundredths.
        for (int axis = 0; axis < 3; ++axis) {
            const float got = axis == 0 ? points[0].x : axis == 1 ? points[0].y : points[0].z;
            const double tolerance = e.firstPointTolerance + std::fabs(first[axis]) * 1e-7;
            EXPECT_NEAR(got, first[axis], tolerance) << e.name << " axis " << axis;
        }
    }
}

}  // namespace
