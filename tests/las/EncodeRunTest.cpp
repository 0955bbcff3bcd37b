// The writer's fast loops against a straightforward encoding written here: same bytes, same
// bounds, same points by return, on points chosen to sit on the edges.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "OrvLas.h"
#include "las/LasEncodeRun.h"
#include "las/LasFileWriter.h"
#include "support/TestSupport.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

LasPnt makePnt(float x, float y, float z, uint16_t intensity, uint8_t ret, uint8_t cls,
               uint8_t source) {
    LasPnt p;
    p.pnt = orv::XPnt3f(x, y, z, intensity);
    p.pnt.padding = 0xBEEF;  // never reaches the file
    p.returnNumber = ret;
    p.classification = cls;
    p.spare = 0xAA;
    p.pointSource = source;
    p.spareWord = 0x5555;
    return p;
}

// What a file written from a list of points must hold, worked out one point at a time.
struct Expected {
    bool any = false;
    double offset[3] = {0, 0, 0};
    double lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    uint32_t byReturn[5] = {};
    std::vector<uint8_t> records;
    std::vector<size_t> accepted;  // indices of the points written
};

bool storable(double scaled) {
    return std::isfinite(scaled) && std::trunc(scaled) >= -2147483648.0 &&
           std::trunc(scaled) <= 2147483647.0;
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
}

Expected expect(const std::vector<LasPnt>& points, const orv::XPnt3d* shift) {
    Expected e;
    for (size_t i = 0; i < points.size(); ++i) {
        const LasPnt& p = points[i];
        double c[3] = {p.pnt.x, p.pnt.y, p.pnt.z};
        if (shift) c[0] += shift->x, c[1] += shift->y, c[2] += shift->z;
        double offset[3] = {0, 0, 0};
        if (e.any) {
            std::memcpy(offset, e.offset, sizeof offset);
        } else {
            if (!storable(c[0]) || !storable(c[1])) continue;
            offset[0] = std::trunc(c[0]);
            offset[1] = std::trunc(c[1]);
        }
        double scaled[3];
        bool ok = true;
        for (int a = 0; a < 3; ++a) {
            scaled[a] = (c[a] - offset[a]) * 1000.0;
            ok = ok && storable(scaled[a]);
        }
        if (!ok) continue;
        if (!e.any) {
            e.any = true;
            std::memcpy(e.offset, offset, sizeof offset);
            for (int a = 0; a < 3; ++a) e.lo[a] = e.hi[a] = c[a];
        }
        for (int a = 0; a < 3; ++a) {
            if (c[a] < e.lo[a]) e.lo[a] = c[a];
            if (c[a] > e.hi[a]) e.hi[a] = c[a];
        }
        if (p.returnNumber >= 1 && p.returnNumber <= 5) ++e.byReturn[p.returnNumber - 1];
        for (int a = 0; a < 3; ++a)
            put32(e.records, static_cast<uint32_t>(static_cast<int64_t>(std::trunc(scaled[a]))));
        put32(e.records, uint32_t{p.pnt.attr} | uint32_t(p.returnNumber & 7) << 16 |
                             uint32_t{p.classification} << 24);
        put32(e.records, uint32_t{p.pointSource} << 16);
        e.accepted.push_back(i);
    }
    return e;
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Points around a first point at (1000.25, -2000.75, -0.5) after the shift: refused ones in the
// middle, negative values just either side of the offsets, and the storable extremes.
std::vector<LasPnt> edgePoints(size_t count) {
    const float xs[] = {0.0f,       0.2f,        -0.2f, kNaN, 2147483.25f, 2147483.5f,
                        -2147484.f, -2147483.5f, kInf,  0.9f, -0.9f,       12.345f};
    const float ys[] = {0.0f, -0.0004f, 0.0004f,   0.3f, -kInf, -2147483.25f,
                        0.5f, -0.5f,    2147483.f, kNaN, 0.75f, -12.5f};
    const float zs[] = {0.0f,       -0.0f, 1.0e-3f, -1.0e-3f, 1e7f,  -kInf,
                        -2147483.f, 0.25f, kNaN,    3.5f,     -7.0f, 2147482.5f};
    std::vector<LasPnt> points;
    points.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const size_t k = (i * 7 + i / 13) % 12;
        const bool edge = i % 4 == 0;  // one point in four on an edge, the rest ordinary
        points.push_back(makePnt(edge ? xs[k] : static_cast<float>(i % 1000) * 0.125f,
                                 edge ? ys[(i + k) % 12] : static_cast<float>(i % 777) * -0.5f,
                                 edge ? zs[(i * 5 + 1) % 12] : static_cast<float>(i % 50) - 25.f,
                                 static_cast<uint16_t>(i * 40503u), static_cast<uint8_t>(i % 11),
                                 static_cast<uint8_t>(i * 31), static_cast<uint8_t>(i * 17)));
    }
    points[0] = makePnt(0.0f, 0.0f, 0.0f, 1, 1, 2, 3);
    return points;
}

class EncodeRun : public orvtest::CountedTest {
protected:
    orvtest::TempDir dir;
};

// A full buffer and then some, through the bulk writer: the file matches the plain encoding.
TEST_F(EncodeRun, BulkFileMatchesPlainEncoding) {
    const orv::XPnt3d shifts[] = {orv::XPnt3d(1000.25, -2000.75, -0.5),
                                  orv::XPnt3d(-512000.0004, 4180000.3, 100.0)};
    for (const orv::XPnt3d& fixed : shifts) {
        std::vector<LasPnt> points = edgePoints(orv::las::kWriteBufferRecords / 4 * 5 + 2000);
        orv::XPnt3d shift = fixed;
        // The last point of the first full buffer carries new extremes.
        const Expected before = expect(points, &shift);
        ASSERT_GT(before.accepted.size(), orv::las::kWriteBufferRecords);
        LasPnt& last = points[before.accepted[orv::las::kWriteBufferRecords - 1]];
        last.pnt.x = 2147483.25f;
        last.pnt.z = -2147482.f;
        const Expected e = expect(points, &shift);
        ASSERT_EQ(e.accepted.size(), before.accepted.size());

        orv::OrvPtr<orv::PLasPntPool> pool = orv::newPLasPntPool();
        for (LasPnt& p : points) {
            LasPnt* address = &p;
            pool->add(&address);
        }
        const std::string path = dir.path("edges.las");
        EXPECT_EQ(orv::orvSavePoint2Las(pool.get(), &shift, path.c_str(), nullptr), -1);

        const std::vector<uint8_t> bytes = orvtest::readFile(path);
        ASSERT_EQ(bytes.size(), sizeof(LasHeader) + e.records.size());
        LasHeader h;
        std::memcpy(&h, bytes.data(), sizeof h);
        EXPECT_EQ(+h.numberOfPointRecords, e.accepted.size());
        const double got[9] = {h.xOffset, h.yOffset, h.zOffset, h.minX, h.minY,
                               h.minZ,    h.maxX,    h.maxY,    h.maxZ};
        // The header states the bounds of the stored, truncated integers.
        auto stored = [&e](double c, int a) {
            return std::trunc((c - e.offset[a]) * 1000.0) * 0.001 + e.offset[a];
        };
        const double want[9] = {e.offset[0],        e.offset[1],        e.offset[2],
                                stored(e.lo[0], 0), stored(e.lo[1], 1), stored(e.lo[2], 2),
                                stored(e.hi[0], 0), stored(e.hi[1], 1), stored(e.hi[2], 2)};
        for (int k = 0; k < 9; ++k) EXPECT_TRUE(sameBits(got[k], want[k])) << k << ": " << got[k];
        for (int k = 0; k < 5; ++k) EXPECT_EQ(+h.numberOfPointsByReturn[k], e.byReturn[k]) << k;
        EXPECT_EQ(std::memcmp(bytes.data() + sizeof h, e.records.data(), e.records.size()), 0);
    }
}

// Both loops, with and without a shift, in runs of every length from the same start: the same
// records, the same bounds to the bit (signed zeros included), the same counters.
TEST_F(EncodeRun, VectorAndPlainLoopsAgree) {
    std::vector<LasPnt> points = edgePoints(300);
    points[1].pnt.z = -0.0f;  // first-seen of two equal zeros stays
    const double offset[3] = {1000.0, -2000.0, 0.0};
    const orv::XPnt3d shift(1000.25, -2000.75, -0.5);
    const auto at = [&points](size_t i) { return &points[i]; };
    for (size_t count : {size_t{0}, size_t{1}, size_t{2}, size_t{13}, size_t{299}}) {
        for (bool shifted : {false, true}) {
            std::vector<uint8_t> plain(20 * count + 1, 0x11), fast(20 * count + 1, 0x11);
            orv::las::RunState a{{1e300, 1e300, 1e300}, {-1e300, -1e300, -1e300}, {1, 2, 3, 4, 5}};
            orv::las::RunState b = a;
            size_t na, nb;
            if (shifted) {
                na = orv::las::encodeRunScalar<true>(at, 1, count, offset, shift, plain.data(), a)
                         .written;
                nb = orv::las::encodeRun<true>(at, 1, count, offset, shift, fast.data(), b).written;
            } else {
                na = orv::las::encodeRunScalar<false>(at, 1, count, offset, shift, plain.data(), a)
                         .written;
                nb =
                    orv::las::encodeRun<false>(at, 1, count, offset, shift, fast.data(), b).written;
            }
            ASSERT_EQ(na, nb);
            EXPECT_EQ(std::memcmp(plain.data(), fast.data(), 20 * na), 0) << count;
            for (int k = 0; k < 3; ++k) {
                EXPECT_TRUE(sameBits(a.lo[k], b.lo[k])) << count << shifted << k;
                EXPECT_TRUE(sameBits(a.hi[k], b.hi[k])) << count << shifted << k;
            }
            for (int k = 0; k < 5; ++k) EXPECT_EQ(a.byReturn[k], b.byReturn[k]);
            // Both match the plain encoding of the same points with the same offsets.
            std::vector<LasPnt> slice(points.begin() + 1, points.begin() + 1 + count);
            slice.insert(slice.begin(), makePnt(0.0f, 0.0f, 0.0f, 0, 0, 0, 0));
            orv::XPnt3d first(offset[0], offset[1], 0.0);
            orv::XPnt3d slide = shifted ? shift : orv::XPnt3d();
            // The leading point pins the offsets; its record is left out below.
            slice[0].pnt = orv::XPnt3f(static_cast<float>(first.x - slide.x),
                                       static_cast<float>(first.y - slide.y), 0.0f, 0);
            const Expected e = expect(slice, &slide);
            ASSERT_TRUE(e.any);
            ASSERT_EQ(e.offset[0], offset[0]);
            ASSERT_EQ(e.offset[1], offset[1]);
            ASSERT_EQ(e.accepted.size(), na + 1);
            EXPECT_EQ(std::memcmp(e.records.data() + 20, fast.data(), 20 * na), 0) << count;
        }
    }
}

// A null ends a run where it stands, in either loop, before and after a 255-point count block:
// the same points taken, the same records and counters as a run that ends there.
TEST_F(EncodeRun, LoopsStopAtANull) {
    std::vector<LasPnt> points = edgePoints(600);
    const double offset[3] = {0.0, 0.0, 0.0};
    const orv::XPnt3d shift;
    for (size_t nullAt :
         {size_t{0}, size_t{1}, size_t{254}, size_t{255}, size_t{256}, size_t{599}}) {
        const auto at = [&points, nullAt](size_t i) { return i == nullAt ? nullptr : &points[i]; };
        const auto whole = [&points](size_t i) { return &points[i]; };
        std::vector<uint8_t> plain(20 * 600), fast(20 * 600), upTo(20 * 600);
        orv::las::RunState a{{1e300, 1e300, 1e300}, {-1e300, -1e300, -1e300}, {}};
        orv::las::RunState b = a, c = a;
        const orv::las::RunCount na =
            orv::las::encodeRunScalar<false, true>(at, 0, 600, offset, shift, plain.data(), a);
        const orv::las::RunCount nb =
            orv::las::encodeRun<false, true>(at, 0, 600, offset, shift, fast.data(), b);
        const orv::las::RunCount nc =
            orv::las::encodeRun<false>(whole, 0, nullAt, offset, shift, upTo.data(), c);
        EXPECT_EQ(na.taken, nullAt);
        EXPECT_EQ(nb.taken, nullAt);
        ASSERT_EQ(na.written, nc.written);
        ASSERT_EQ(nb.written, nc.written);
        EXPECT_EQ(std::memcmp(plain.data(), upTo.data(), 20 * nc.written), 0) << nullAt;
        EXPECT_EQ(std::memcmp(fast.data(), upTo.data(), 20 * nc.written), 0) << nullAt;
        for (int k = 0; k < 5; ++k) {
            EXPECT_EQ(a.byReturn[k], c.byReturn[k]) << nullAt;
            EXPECT_EQ(b.byReturn[k], c.byReturn[k]) << nullAt;
        }
        for (int k = 0; k < 3; ++k) {
            EXPECT_TRUE(sameBits(b.lo[k], c.lo[k]) && sameBits(b.hi[k], c.hi[k])) << nullAt;
        }
    }
}

}  // namespace
