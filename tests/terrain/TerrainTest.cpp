// The terrain library's units: accuracy figures, the height field's description, the ground
// surface on known planes, ground on a made scene, polygon refusals and holes, raster cells.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "OrvLasPoints.h"
#include "OrvTerrain.h"
#include "support/TestSupport.h"

namespace {

using orvtest::TempDir;

TEST(GroundAccuracy, FiguresFollowTheConfusionTable) {
    struct Case {
        std::vector<uint8_t> truth, found;
        double typeI, typeII, total, kappa;
    };
    const Case cases[] = {
        {{2, 2, 1, 1}, {2, 2, 1, 1}, 0, 0, 0, 1},
        {{2, 2, 1, 1}, {1, 1, 2, 2}, 1, 1, 1, -1},
        // One ground point missed of four, noise of the truth not counted.
        {{2, 2, 2, 2, 1, 1, 1, 1, 7, 18}, {2, 2, 2, 1, 1, 1, 1, 1, 2, 2}, 0.25, 0, 0.125, 0.75},
    };
    for (const Case& c : cases) {
        orv::GroundAccuracy a;
        a.add(c.truth.data(), c.found.data(), c.truth.size());
        EXPECT_DOUBLE_EQ(a.typeI(), c.typeI);
        EXPECT_DOUBLE_EQ(a.typeII(), c.typeII);
        EXPECT_DOUBLE_EQ(a.total(), c.total);
        EXPECT_NEAR(a.kappa(), c.kappa, 1e-12);
    }
}

TEST(HeightField, IsDescribedAfterEveryExtraByteAndFoundAgain) {
    struct Case {
        const char* what;
        uint16_t extra;  // extra bytes of the records, none described
        uint32_t expectedOffset;
        size_t fieldsBefore;  // fields before ours: an untyped one for undescribed bytes
    };
    const Case cases[] = {{"no extra bytes", 0, 20, 0}, {"three undescribed", 3, 23, 1}};
    for (const Case& c : cases) {
        orv::LasFileHeader h;
        h.pointFormat = 0;
        h.recordLength = static_cast<uint16_t>(20 + c.extra);
        size_t offset = 0;
        ASSERT_EQ(orv::lasHeightField(h, &offset), 0) << c.what;
        EXPECT_EQ(offset, c.expectedOffset) << c.what;
        EXPECT_EQ(h.recordLength, 20 + c.extra + 4) << c.what;
        const auto fields = orv::lasExtraFields(h);
        ASSERT_EQ(fields.size(), c.fieldsBefore + 1) << c.what;
        EXPECT_EQ(fields.back().name, "HeightAboveGround");
        EXPECT_EQ(fields.back().dataType, 9);
        EXPECT_EQ(fields.back().offset + 20, c.expectedOffset);
        // A second call finds the field instead of adding one.
        size_t again = 0;
        ASSERT_EQ(orv::lasHeightField(h, &again), 0);
        EXPECT_EQ(again, offset);
        EXPECT_EQ(h.recordLength, 20 + c.extra + 4);
    }
}

// Points on a grid over [0, 10] x [0, 10] at map coordinates, z from `height`.
template <class Height>
void gridPoints(std::vector<double>& x, std::vector<double>& y, std::vector<double>& z,
                Height height, double step = 1.0) {
    for (double gx = 0; gx <= 10; gx += step)
        for (double gy = 0; gy <= 10; gy += step) {
            // A little jitter: no four points on one circle.
            const double jx = gx + 0.01 * std::sin(gx * 7 + gy), jy = gy + 0.01 * std::cos(gy * 5);
            x.push_back(500000 + jx), y.push_back(4000000 + jy), z.push_back(height(jx, jy));
        }
}

TEST(GroundSurface, LinearOnAPlaneIsThePlaneAndNothingOutsideTheHull) {
    std::vector<double> x, y, z;
    auto plane = [](double px, double py) { return 5 + 2 * px - 0.5 * py; };
    gridPoints(x, y, z, plane);
    orv::GroundSurface s;
    s.addPoints(x.data(), y.data(), z.data(), x.size());
    ASSERT_EQ(s.build(), 0) << s.error();
    for (double px : {0.5, 3.25, 9.9})
        for (double py : {0.2, 5.5, 9.7})
            EXPECT_NEAR(s.linearAt(500000 + px, 4000000 + py), plane(px, py), 1e-9);
    EXPECT_TRUE(std::isnan(s.linearAt(500000 - 5, 4000000 + 5)));
    // Heights: linear inside, the nearest ground point's outside.
    const double qx[] = {500000 + 5.2, 500000 + 30}, qy[] = {4000000 + 5.1, 4000000 + 10};
    const double qz[] = {plane(5.2, 5.1) + 3, 100};
    orv::TerrainBlock b;
    b.count = 2, b.x = qx, b.y = qy, b.z = qz;
    float h[2];
    s.heightAboveGround(b, h);
    EXPECT_NEAR(h[0], 3, 1e-4);
    EXPECT_NEAR(h[1], 100 - s.nearestAt(qx[1], qy[1]), 1e-4);
}

TEST(GroundSurface, RefusesWhatCannotBeTriangulated) {
    const double x[] = {1, 2, 3}, y[] = {1, 2, 3}, z[] = {0, 0, 0};
    struct Case {
        size_t points;
        bool triangulate;
        int expected;
    };
    for (const Case c : {Case{0, false, -1}, Case{2, true, -1}, Case{3, true, -1},
                         Case{2, false, 0}}) {
        orv::GroundSurface s;
        s.addPoints(x, y, z, c.points);
        EXPECT_EQ(s.build(c.triangulate), c.expected) << c.points;
        if (c.expected) {
            EXPECT_FALSE(s.error().empty());
        }
    }
}

TEST(GroundFilter, FindsTheGroundUnderABuildingAndKeepsOtherClasses) {
    // Sloping ground with a 12 m box on it, two noise points and a former ground point on the
    // roof.
    std::vector<double> x, y, z;
    std::vector<uint8_t> cls;
    for (double gx = 0; gx < 60; gx += 0.5)
        for (double gy = 0; gy < 60; gy += 0.5) {
            const bool roof = gx > 20 && gx < 35 && gy > 20 && gy < 35;
            x.push_back(gx), y.push_back(gy), z.push_back(0.1 * gx + (roof ? 12 : 0));
            cls.push_back(roof ? 2 : 1);
        }
    x.push_back(10), y.push_back(10), z.push_back(-20), cls.push_back(orv::kClassLowNoise);
    x.push_back(40), y.push_back(40), z.push_back(200), cls.push_back(orv::kClassHighNoise);
    orv::TerrainBlock b;
    b.count = x.size(), b.x = x.data(), b.y = y.data(), b.z = z.data(), b.classification = cls.data();
    orv::GroundFilter f;
    ASSERT_EQ(f.start({0, 0, 60, 60}, {}), 0) << f.error();
    f.observe(b);
    ASSERT_EQ(f.finish(), 0);
    std::vector<uint8_t> out(b.count);
    f.classify(b, out.data());
    for (size_t i = 0; i + 2 < b.count; ++i)
        ASSERT_EQ(out[i], z[i] > 0.1 * x[i] + 1 ? 1 : 2) << x[i] << " " << y[i];
    EXPECT_EQ(out[b.count - 2], orv::kClassLowNoise);
    EXPECT_EQ(out[b.count - 1], orv::kClassHighNoise);
}

TEST(GroundFilter, RefusesSettingsAndGridsItCannotUse) {
    struct Case {
        orv::TerrainExtent extent;
        orv::GroundOptions options;
    };
    orv::GroundOptions flat, tiny, narrow;
    flat.slope = 0, tiny.cell = 0, narrow.window = 0.5;
    const Case cases[] = {{{0, 0, 10, 10}, flat},
                          {{0, 0, 10, 10}, tiny},
                          {{0, 0, 10, 10}, narrow},
                          {{0, 0, 1e6, 1e6}, {}},  // a trillion cells
                          {{0, 0, NAN, 10}, {}}};
    for (const Case& c : cases) {
        orv::GroundFilter f;
        EXPECT_EQ(f.start(c.extent, c.options), -1);
        EXPECT_FALSE(f.error().empty());
        EXPECT_EQ(f.finish(), -1);  // nothing observed: no surface, no crash
    }
}

TEST(PolygonClip, HolesAndSeveralPolygonsAndRefusals) {
    TempDir dir;
    const std::string areas = dir.path("areas.geojson");
    orvtest::writeText(areas, R"({"type": "FeatureCollection", "features": [
{"type": "Feature", "properties": {}, "geometry": {"type": "Polygon", "coordinates":
  [[[0, 0], [10, 0], [10, 10], [0, 10], [0, 0]], [[4, 4], [6, 4], [6, 6], [4, 6], [4, 4]]]}},
{"type": "Feature", "properties": {}, "geometry": {"type": "MultiPolygon", "coordinates":
  [[[[20, 0], [30, 0], [25, 8], [20, 0]]], [[[40, 0], [41, 0], [41, 1], [40, 0]]]]}}]})");
    orv::PolygonClip clip;
    ASSERT_EQ(clip.open(areas, "", ""), 0) << clip.error();
    EXPECT_EQ(clip.polygonCount(), 3u);
    const double x[] = {1, 5, 10, 25, 25, 40.9, 40.1, 15, 4};
    const double y[] = {1, 5, 5, 1, 9, 0.5, 0.9, 5, 5};
    const uint8_t expected[] = {1, 0, 1, 1, 0, 1, 0, 0, 1};  // on an edge (10, 5), (4, 5): in
    uint8_t in[9];
    clip.inside(x, y, 9, in);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(in[i], expected[i]) << x[i] << " " << y[i];

    const std::string points = dir.path("points.geojson");
    orvtest::writeText(points, R"({"type": "FeatureCollection", "features": [{"type": "Feature",
 "properties": {}, "geometry": {"type": "Point", "coordinates": [1, 2]}}]})");
    const struct {
        std::string path, layer;
    } refused[] = {{dir.path("missing.geojson"), ""}, {areas, "no such layer"}, {points, ""}};
    for (const auto& r : refused) {
        orv::PolygonClip c;
        EXPECT_EQ(c.open(r.path, r.layer, ""), -1) << r.path;
        EXPECT_FALSE(c.error().empty());
    }
}

TEST(DemRaster, CellsHoldTheirKindsValue) {
    const double x[] = {0.5, 0.7, 1.5, 1.5}, y[] = {0.5, 0.6, 1.5, 0.5}, z[] = {10, 12, 5, 7};
    const uint8_t ret[] = {1, 2, 1, 1}, cls[] = {1, 1, 1, orv::kClassLowNoise};
    const uint16_t intensity[] = {100, 900, 300, 50};
    orv::TerrainBlock b;
    b.count = 4, b.x = x, b.y = y, b.z = z, b.returnNumber = ret, b.classification = cls;
    b.intensity = intensity;
    const float heights[] = {1, 4, 2, 9};
    struct Case {
        orv::DemKind kind;
        float bottomLeft, topRight;  // cells (0, 1) and (1, 0): row 0 at the top
    };
    for (const Case& c : {Case{orv::DemKind::Dsm, 10, 5}, Case{orv::DemKind::Chm, 4, 2},
                          Case{orv::DemKind::Intensity, 100, 300},
                          Case{orv::DemKind::Density, 2, 1}}) {
        orv::DemRaster r;
        ASSERT_EQ(r.start(c.kind, {0, 0, 1.9, 1.9}, 1.0), 0) << r.error();
        ASSERT_EQ(r.columns(), 2);
        r.add(b, heights);
        EXPECT_EQ(r.value(0, 1), c.bottomLeft);
        EXPECT_EQ(r.value(1, 0), c.topRight);
        EXPECT_TRUE(std::isnan(r.value(0, 0)));  // no point
        EXPECT_TRUE(std::isnan(r.value(1, 1)));  // a noise point only
    }
    orv::DemRaster refused;
    EXPECT_EQ(refused.start(orv::DemKind::Dtm, {0, 0, 1, 1}, 0), -1);
}

}  // namespace
