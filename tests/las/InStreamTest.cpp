#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>

#include "OrvLasStream.h"
#include "las/LasLimits.h"
#include "support/ExpectedLas.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orv::OrvPtr;

struct Pt {
    double x, y, z;  // real-world, whole thousandths so that both layouts hold them exactly
    uint16_t intensity;
    uint8_t returnByte;
    uint8_t classification;
};

enum class Layout { V1x, V20 };
const char* name(Layout l) {
    return l == Layout::V1x ? "1.x" : "2.0";
}

constexpr double kOffX = 1000.0, kOffY = 2000.0, kOffZ = 0.0;

// A file of either layout holding `points`, with header offsets (1000, 2000, 0).
std::vector<uint8_t> makeFile(Layout layout, const std::vector<Pt>& points, int recordLength = -1,
                              uint32_t gap = 0) {
    if (layout == Layout::V1x) {
        orvtest::LasBuilder las;
        las.header.xOffset = kOffX;
        las.header.yOffset = kOffY;
        las.header.zOffset = kOffZ;
        if (recordLength >= 0)
            las.header.pointDataRecordLength = static_cast<uint16_t>(recordLength);
        las.gap = gap;
        for (const Pt& p : points)
            las.add({static_cast<int32_t>(std::lround((p.x - kOffX) * 1000)),
                     static_cast<int32_t>(std::lround((p.y - kOffY) * 1000)),
                     static_cast<int32_t>(std::lround((p.z - kOffZ) * 1000)), p.intensity,
                     p.returnByte, p.classification});
        return las.bytes();
    }
    orvtest::Las20Builder las;
    las.header.xOffset = kOffX;
    las.header.yOffset = kOffY;
    las.header.zOffset = kOffZ;
    if (recordLength >= 0) las.header.pointRecordLength = static_cast<uint16_t>(recordLength);
    las.gap = gap;
    for (const Pt& p : points)
        las.add(
            {p.x - kOffX, p.y - kOffY, p.z - kOffZ, p.intensity, p.returnByte, p.classification});
    return las.bytes();
}

std::vector<Pt> tenPoints() {
    std::vector<Pt> pts;
    for (int i = 0; i < 10; ++i)
        pts.push_back({1000.5 + i, 2000.25 - i, 3.0 + 0.125 * i, static_cast<uint16_t>(100 + i),
                       static_cast<uint8_t>(0xF8 | (i % 8)), static_cast<uint8_t>(i + 1)});
    return pts;
}

class InStream : public orvtest::CountedTest {
protected:
    OrvPtr<IOrvInPntsStream> openOn(Layout layout, const std::vector<uint8_t>& bytes,
                                    IOrvPoint* origin, int expectedOpen = 0) {
        const std::string path = m_dir.path(std::string("f") + std::to_string(m_files++) + ".las");
        orvtest::writeFile(path, bytes);
        OrvPtr<IOrvInPntsStream> s(newInLasPntStream());
        EXPECT_EQ(s->open(path.c_str(), origin), expectedOpen) << name(layout);
        return s;
    }
    std::string path(const std::string& n) { return m_dir.path(n); }

    orvtest::TempDir m_dir;
    int m_files = 0;
};

// Sizes of the blocks until null, as "4 4 2 null".
std::string blockSizes(IOrvInPntsStream& s, int step, int count, int maxCalls = 8) {
    std::string out;
    for (int k = 0; k < maxCalls; ++k) {
        OrvPtr<orv::LasPntArray> b = s.readPnts(step, count);
        if (!out.empty()) out += ' ';
        if (!b) return out + "null";
        out += std::to_string(b->size());
    }
    return out;
}

void expectPoint(const LasPnt& got, const Pt& want, double ox, double oy, double oz,
                 const std::string& what) {
    EXPECT_FLOAT_EQ(+got.pnt.x, static_cast<float>(want.x - ox)) << what;
    EXPECT_FLOAT_EQ(+got.pnt.y, static_cast<float>(want.y - oy)) << what;
    EXPECT_FLOAT_EQ(+got.pnt.z, static_cast<float>(want.z - oz)) << what;
    EXPECT_EQ(+got.pnt.attr, want.intensity) << what;
    EXPECT_EQ(+got.returnNumber, want.returnByte & 7) << what;
    EXPECT_EQ(+got.classification, +want.classification) << what;
    EXPECT_EQ(+got.spare, 0) << what;
}

TEST_F(InStream, ReadsBlocksAndKeepsEveryStepthRecordOfEachBlock) {
    struct Case {
        int step, count;
        const char* sizes;
    } cases[] = {
        {1, 4, "4 4 2 null"}, {3, 10, "4 null"},  {0, 4, "4 4 2 null"}, {-5, 4, "4 4 2 null"},
        {3, 4, "2 2 1 null"}, {1, 10, "10 null"}, {1, 11, "10 null"},   {20, 10, "1 null"},
    };
    for (Layout layout : {Layout::V1x, Layout::V20}) {
        const auto bytes = makeFile(layout, tenPoints());
        for (const Case& c : cases) {
            auto s = openOn(layout, bytes, nullptr);
            EXPECT_EQ(blockSizes(*s, c.step, c.count), c.sizes)
                << name(layout) << " step " << c.step << " count " << c.count;
        }
        // Records 0, 3, 6 and 9 of a block of 10, with every field.
        OrvPtr<IOrvPoint> origin(newOrvPoint());
        origin->setPoint(orv::XPnt3d(1000, 2000, 0));
        auto s = openOn(layout, bytes, origin.get());
        OrvPtr<orv::LasPntArray> block = s->readPnts(3, 10);
        ASSERT_TRUE(block);
        ASSERT_EQ(block->size(), 4u);
        for (size_t k = 0; k < 4; ++k)
            expectPoint((*block)[k], tenPoints()[k * 3], 1000, 2000, 0,
                        std::string(name(layout)) + " kept " + std::to_string(k));
        // A count of zero gives an empty array, never null, and consumes nothing.
        auto t = openOn(layout, bytes, nullptr);
        for (int k = 0; k < 2; ++k) {
            OrvPtr<orv::LasPntArray> empty = t->readPnts(1, 0);
            ASSERT_TRUE(empty) << name(layout);
            EXPECT_EQ(empty->size(), 0u);
        }
        EXPECT_EQ(blockSizes(*t, 1, 100), "10 null");
    }
}

TEST_F(InStream, UnsetOriginIsFilledFromTheFirstPointOtherOriginsAreUsedAsGiven) {
    const auto pts = tenPoints();
    for (Layout layout : {Layout::V1x, Layout::V20}) {
        const auto bytes = makeFile(layout, pts);
        for (int axis = 0; axis < 3; ++axis) {  // the marker in any one coordinate
            OrvPtr<IOrvPoint> origin(newOrvPoint());
            orv::XPnt3d o(5, 6, 7);
            (axis == 0 ? o.x : axis == 1 ? o.y : o.z) = orv::kOriginFromFirstPoint;
            origin->setPoint(o);
            auto s = openOn(layout, bytes, origin.get());
            EXPECT_EQ(s->getOrigin(), origin.get());
            EXPECT_DOUBLE_EQ(origin->x, pts[0].x) << name(layout);
            EXPECT_DOUBLE_EQ(origin->y, pts[0].y) << name(layout);
            EXPECT_DOUBLE_EQ(origin->z, pts[0].z) << name(layout);
            OrvPtr<orv::LasPntArray> block = s->readPnts(1, 2);
            ASSERT_TRUE(block);
            expectPoint((*block)[0], pts[0], pts[0].x, pts[0].y, pts[0].z, "first is (0,0,0)");
            expectPoint((*block)[1], pts[1], pts[0].x, pts[0].y, pts[0].z, "second relative");
        }
        // An ordinary origin is subtracted unchanged.
        OrvPtr<IOrvPoint> origin(newOrvPoint());
        origin->setPoint(orv::XPnt3d(999, 1999, 1));
        auto s = openOn(layout, bytes, origin.get());
        EXPECT_EQ(origin->x, 999);
        EXPECT_EQ(s->getPntCount(), 10);
        OrvPtr<orv::LasPntArray> block = s->readPnts(1, 1);
        ASSERT_TRUE(block);
        expectPoint((*block)[0], pts[0], 999, 1999, 1, name(layout));
    }
}

TEST_F(InStream, WithoutOriginThe1xStreamIsAbsoluteAnd20MakesItsOwnFromStoredDoubles) {
    const auto pts = tenPoints();
    auto s1 = openOn(Layout::V1x, makeFile(Layout::V1x, pts), nullptr);
    EXPECT_EQ(s1->getOrigin(), nullptr);
    OrvPtr<orv::LasPntArray> b1 = s1->readPnts(1, 1);
    ASSERT_TRUE(b1);
    expectPoint((*b1)[0], pts[0], 0, 0, 0, "1.x absolute");

    // 2.0: the own origin is the first record's stored doubles without the header offsets.
    orvtest::Las20Builder las;
    las.header.xOffset = 1000;
    las.header.yOffset = 2000;
    las.add({100.5, 200.25, 3.0, 1, 1, 1}).add({101.5, 199.25, 4.0, 2, 2, 2});
    auto s2 = openOn(Layout::V20, las.bytes(), nullptr);
    IOrvPoint* own = s2->getOrigin();
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->x, 100.5);
    EXPECT_EQ(own->y, 200.25);
    EXPECT_EQ(own->z, 3.0);
    OrvPtr<orv::LasPntArray> b2 = s2->readPnts(1, 2);
    ASSERT_TRUE(b2);
    EXPECT_EQ(+(*b2)[0].pnt.x, 1000.0f);
    EXPECT_EQ(+(*b2)[0].pnt.y, 2000.0f);
    EXPECT_EQ(+(*b2)[1].pnt.x, 1001.0f);
    EXPECT_EQ(+(*b2)[1].pnt.z, 1.0f);
}

TEST_F(InStream, Unset20OriginBecomesTheFirstRealPoint) {
    orvtest::Las20Builder las;
    las.header.xOffset = 1000;
    las.header.yOffset = 2000;
    las.add({100.5, 200.25, 3.0, 1, 1, 1}).add({101.5, 199.25, 4.0, 2, 2, 2});
    OrvPtr<IOrvPoint> origin(newOrvPoint());
    origin->setPoint(orv::XPnt3d(orv::kOriginFromFirstPoint, orv::kOriginFromFirstPoint,
                                 orv::kOriginFromFirstPoint));
    auto s = openOn(Layout::V20, las.bytes(), origin.get());
    EXPECT_EQ(origin->x, 1100.5);
    EXPECT_EQ(origin->y, 2200.25);
    EXPECT_EQ(origin->z, 3.0);
    OrvPtr<orv::LasPntArray> b = s->readPnts(1, 2);
    ASSERT_TRUE(b);
    EXPECT_EQ(+(*b)[0].pnt.x, 0.0f);
    EXPECT_EQ(+(*b)[0].pnt.y, 0.0f);
    EXPECT_EQ(+(*b)[0].pnt.z, 0.0f);
    EXPECT_EQ(+(*b)[1].pnt.x, 1.0f);
    EXPECT_EQ(+(*b)[1].pnt.y, -1.0f);
    EXPECT_EQ(+(*b)[1].pnt.z, 1.0f);
}

TEST_F(InStream, EmptyPointAreaGivesNullAndAZeroOriginWhenUnset) {
    for (Layout layout : {Layout::V1x, Layout::V20}) {
        const auto bytes = makeFile(layout, {});
        auto plain = openOn(layout, bytes, nullptr);
        EXPECT_EQ(plain->getOrigin(), nullptr) << name(layout);
        EXPECT_EQ(plain->getPntCount(), 0);
        EXPECT_EQ(blockSizes(*plain, 1, 5), "null");
        OrvPtr<IOrvPoint> origin(newOrvPoint());
        origin->setPoint(orv::XPnt3d(1, orv::kOriginFromFirstPoint, 1));
        auto s = openOn(layout, bytes, origin.get());
        EXPECT_EQ(origin->x, 0.0) << name(layout);
        EXPECT_EQ(origin->y, 0.0) << name(layout);
        EXPECT_EQ(origin->z, 0.0) << name(layout);
    }
}

TEST_F(InStream, OriginBeyondTheProbeWindowIsTakenFromTheFirstRecord) {
    const auto pts = tenPoints();
    // Point data starts past 64 KiB, where the probe does not look.
    const auto bytes = makeFile(Layout::V1x, pts, 20, 70000);
    OrvPtr<IOrvPoint> origin(newOrvPoint());
    origin->setPoint(orv::XPnt3d(orv::kOriginFromFirstPoint, 0, 0));
    auto s = openOn(Layout::V1x, bytes, origin.get());
    EXPECT_DOUBLE_EQ(origin->x, pts[0].x);
    EXPECT_DOUBLE_EQ(origin->y, pts[0].y);
    EXPECT_DOUBLE_EQ(origin->z, pts[0].z);
    OrvPtr<orv::LasPntArray> b = s->readPnts(1, 100);
    ASSERT_TRUE(b);
    ASSERT_EQ(b->size(), 10u);
    EXPECT_EQ(+(*b)[0].pnt.x, 0.0f);
    expectPoint((*b)[9], pts[9], pts[0].x, pts[0].y, pts[0].z, "last");
}

TEST_F(InStream, RefusesAShortHeaderAndAMissingFile) {
    const auto v1 = makeFile(Layout::V1x, tenPoints());
    const auto v2 = makeFile(Layout::V20, tenPoints());
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"empty", {}},
        {"1.x cut at 226", std::vector<uint8_t>(v1.begin(), v1.begin() + 226)},
        {"1.x cut at 30", std::vector<uint8_t>(v1.begin(), v1.begin() + 30)},
        {"2.0 cut at 321", std::vector<uint8_t>(v2.begin(), v2.begin() + 321)},
        {"2.0 cut at 25", std::vector<uint8_t>(v2.begin(), v2.begin() + 25)},
        {"2.0 cut at 250", std::vector<uint8_t>(v2.begin(), v2.begin() + 250)},
    };
    for (const Case& c : cases) {
        OrvPtr<IOrvPoint> origin(newOrvPoint());
        origin->setPoint(orv::XPnt3d(orv::kOriginFromFirstPoint, 0, 0));
        auto s = openOn(Layout::V1x, c.bytes, origin.get(), -1);
        EXPECT_EQ(s->getPntCount(), 0) << c.name;
        EXPECT_FALSE(s->readPnts(1, 10)) << c.name;
        EXPECT_EQ(s->close(), 0) << c.name;
    }
    OrvPtr<IOrvInPntsStream> s(newInLasPntStream());
    EXPECT_EQ(s->open(path("missing.las").c_str(), nullptr), -1);
    EXPECT_EQ(s->getPntCount(), 0);
    EXPECT_FALSE(s->readPnts(1, 10));
    EXPECT_EQ(s->open(nullptr, nullptr), -1);
}

TEST_F(InStream, RecordLengthsTooShortAreRefusedLongOnesSkipTheirTail) {
    const auto pts = tenPoints();
    struct Case {
        Layout layout;
        int recordLength;
        bool readable;
    } cases[] = {
        {Layout::V1x, 0, false}, {Layout::V1x, 12, false}, {Layout::V1x, 15, false},
        {Layout::V1x, 16, true}, {Layout::V1x, 257, true}, {Layout::V1x, 4000, true},
        {Layout::V20, 0, false}, {Layout::V20, 24, false}, {Layout::V20, 27, false},
        {Layout::V20, 28, true}, {Layout::V20, 300, true}, {Layout::V20, 65535, true},
    };
    for (const Case& c : cases) {
        const std::string what =
            std::string(name(c.layout)) + " length " + std::to_string(c.recordLength);
        OrvPtr<IOrvPoint> zero(newOrvPoint());  // absolute coordinates in both layouts
        auto s = openOn(c.layout, makeFile(c.layout, pts, c.recordLength), zero.get());
        EXPECT_EQ(s->getPntCount(), 10) << what;
        OrvPtr<orv::LasPntArray> b = s->readPnts(1, 100);
        if (!c.readable) {
            EXPECT_FALSE(b) << what;
            continue;
        }
        ASSERT_TRUE(b) << what;
        ASSERT_EQ(b->size(), 10u) << what;
        for (size_t k = 0; k < 10; ++k) expectPoint((*b)[k], pts[k], 0, 0, 0, what);
    }
}

TEST_F(InStream, ACutLastRecordIsNotAPoint) {
    const auto pts = tenPoints();
    for (Layout layout : {Layout::V1x, Layout::V20}) {
        auto bytes = makeFile(layout, pts);
        bytes.resize(bytes.size() - 5);
        auto s = openOn(layout, bytes, nullptr);
        EXPECT_EQ(s->getPntCount(), 10) << "the header's count, whatever the file holds";
        EXPECT_EQ(blockSizes(*s, 1, 4), "4 4 1 null") << name(layout);
    }
}

TEST_F(InStream, OpenOnAnOpenStreamStartsAfresh) {
    const auto pts = tenPoints();
    const std::string p1 = path("a1.las"), p2 = path("a2.las");
    orvtest::writeFile(p1, makeFile(Layout::V1x, pts));
    std::vector<Pt> three(pts.begin(), pts.begin() + 3);
    orvtest::writeFile(p2, makeFile(Layout::V20, three));

    OrvPtr<IOrvInPntsStream> s(newInLasPntStream());
    OrvPtr<IOrvPoint> origin(newOrvPoint());
    ASSERT_EQ(s->open(p1.c_str(), origin.get()), 0);
    EXPECT_TRUE(s->readPnts(1, 2));
    ASSERT_EQ(s->open(p2.c_str(), nullptr), 0);  // 1.x, then 2.0: delegates
    EXPECT_EQ(s->getPntCount(), 3);
    EXPECT_NE(s->getOrigin(), origin.get());
    EXPECT_EQ(blockSizes(*s, 1, 10), "3 null");
    ASSERT_EQ(s->open(p1.c_str(), origin.get()), 0);  // 2.0, then 1.x: no longer delegates
    EXPECT_EQ(s->getPntCount(), 10);
    EXPECT_EQ(s->getOrigin(), origin.get());
    EXPECT_EQ(blockSizes(*s, 1, 6), "6 4 null");
    EXPECT_EQ(s->close(), 0);
    EXPECT_FALSE(s->readPnts(1, 6)) << "closed";
    ASSERT_EQ(s->open(p1.c_str(), nullptr), 0);  // and once more after close
    EXPECT_EQ(blockSizes(*s, 1, 20), "10 null");
}

TEST_F(InStream, VersionByteMustHoldTheCharacterTwo) {
    // Binary 2 at offset 24 is a 1.x file: read with the 1.x layout.
    auto bytes = makeFile(Layout::V1x, tenPoints());
    bytes[24] = 2;
    auto s = openOn(Layout::V1x, bytes, nullptr);
    OrvPtr<orv::LasPntArray> b = s->readPnts(1, 1);
    ASSERT_TRUE(b);
    expectPoint((*b)[0], tenPoints()[0], 0, 0, 0, "binary 2");
}

// Records start at the offset to point data whatever header size and version the header
// states; only an offset inside the 227 fixed bytes is refused.
TEST_F(InStream, RecordsStartAtTheOffsetWhateverHeaderSizeIsStated) {
    struct Case {
        uint8_t minor;
        uint16_t headerSize;
        uint32_t offset;
        bool read;
    } cases[] = {
        {4, 0x1234, 227, true}, {3, 0x1234, 227, true}, {4, 375, 227, true},
        {2, 0, 227, true},      {2, 227, 226, false},   {4, 375, 100, false},
    };
    for (const Case& c : cases) {
        const std::string what = "1." + std::to_string(c.minor) + " size " +
                                 std::to_string(c.headerSize) + " offset " +
                                 std::to_string(c.offset);
        auto bytes = makeFile(Layout::V1x, tenPoints());
        LasHeader h;
        std::memcpy(&h, bytes.data(), sizeof h);
        h.versionMinor = c.minor;
        h.headerSize = c.headerSize;
        h.offsetToPointData = c.offset;
        std::memcpy(bytes.data(), &h, sizeof h);
        OrvPtr<IOrvPoint> zero(newOrvPoint());
        auto s = openOn(Layout::V1x, bytes, zero.get(), c.read ? 0 : -1);
        EXPECT_EQ(blockSizes(*s, 1, 100), c.read ? "10 null" : "null") << what;
    }
}

TEST_F(InStream, CoordinatesBeyondFloatRangeBecomeInfinityNeverUndefined) {
    orvtest::Las20Builder las;
    las.add({1e300, -1e300, std::nan(""), 0, 0, 0}).add({3.5e38, -3.5e38, 3.4e38, 0, 0, 0});
    auto s = openOn(Layout::V20, las.bytes(), nullptr);
    s->close();
    OrvPtr<IOrvPoint> zero(newOrvPoint());
    ASSERT_EQ(s->open(path("f0.las").c_str(), zero.get()), 0);
    OrvPtr<orv::LasPntArray> b = s->readPnts(1, 2);
    ASSERT_TRUE(b);
    EXPECT_EQ(+(*b)[0].pnt.x, HUGE_VALF);
    EXPECT_EQ(+(*b)[0].pnt.y, -HUGE_VALF);
    EXPECT_TRUE(std::isnan((*b)[0].pnt.z));
    EXPECT_EQ(+(*b)[1].pnt.x, HUGE_VALF);
    EXPECT_EQ(+(*b)[1].pnt.y, -HUGE_VALF);
    EXPECT_EQ(+(*b)[1].pnt.z, 3.4e38f);
}

TEST_F(InStream, ReadsTheSharedSamplesLikeTheIndependentReader) {
    const std::string dir = orvtest::lasDataDir();
    if (dir.empty()) GTEST_SKIP() << "shared LAS samples not found";
    const auto expected = orvtest::loadExpectedLas(dir);
    ASSERT_GE(expected.size(), 20u);
    for (const auto& e : expected) {
        const std::string file = dir + "/" + e.name;
        OrvPtr<IOrvPoint> origin(newOrvPoint());
        origin->setPoint(orv::XPnt3d(orv::kOriginFromFirstPoint, 0, 0));
        OrvPtr<IOrvInPntsStream> s(newInLasPntStream());
        ASSERT_EQ(s->open(file.c_str(), origin.get()), 0) << e.name;
        EXPECT_EQ(s->getPntCount(), static_cast<int>(e.pointCount)) << e.name;
        // Whole records present, never more than the file holds.
        const uint64_t whole =
            e.fileSize > e.offsetToPoints ? (e.fileSize - e.offsetToPoints) / e.recordLength : 0;
        uint64_t total = 0;
        bool first = true;
        while (OrvPtr<orv::LasPntArray> b = s->readPnts(1, 500)) {
            if (first && e.firstPoint) {
                const double tol = e.firstPointTolerance * 1.0001 + 1e-6;
                EXPECT_NEAR(origin->x, (*e.firstPoint)[0], tol) << e.name;
                EXPECT_NEAR(origin->y, (*e.firstPoint)[1], tol) << e.name;
                EXPECT_NEAR(origin->z, (*e.firstPoint)[2], tol) << e.name;
                EXPECT_EQ(+(*b)[0].pnt.x, 0.0f) << e.name;
            }
            first = false;
            total += b->size();
        }
        EXPECT_EQ(total, whole) << e.name;
    }
}

}  // namespace
