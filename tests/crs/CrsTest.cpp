// The CRS value, its LAS records, and transforms of heights through geoid grids.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "OrvCrs.h"
#include "OrvLasCrs.h"
#include "support/TestSupport.h"

namespace {

// Every form a CRS arrives in gives the same value: name, code, parts, and a WKT1 that PROJ
// reads back as the same system.
TEST(Crs, ReadsEveryFormAndWritesWkt1ThatReadsBack) {
    const orv::Crs utm = orv::Crs::fromEpsg(32610);
    struct Case {
        std::string text;
        int epsg, horizontal, vertical;
        bool geographic;
        const char* name;
    } cases[] = {
        {"EPSG:4326", 4326, 4326, 0, true, "WGS 84"},
        {utm.wkt2(), 32610, 32610, 0, false, "WGS 84 / UTM zone 10N"},
        {utm.wkt1(), 32610, 32610, 0, false, "WGS 84 / UTM zone 10N"},
        {orv::Crs::fromEpsg(2992).projJson(), 2992, 2992, 0, false,
         "NAD83 / Oregon GIC Lambert (ft)"},
        {"+proj=utm +zone=10 +datum=WGS84 +units=m +no_defs +type=crs", 32610, 32610, 0, false, ""},
        {"EPSG:2992+5703", 0, 2992, 5703, false, "NAD83 / Oregon GIC Lambert (ft) + NAVD88 height"},
        {"EPSG:4979", 4979, 4979, 0, true, "WGS 84"},
    };
    for (const Case& c : cases) {
        std::string error;
        const orv::Crs crs = orv::Crs::fromText(c.text, &error);
        ASSERT_FALSE(crs.empty()) << c.text << ": " << error;
        EXPECT_EQ(crs.epsg(), c.epsg) << c.text;
        EXPECT_EQ(crs.horizontal().epsg(), c.horizontal) << c.text;
        EXPECT_EQ(crs.vertical().epsg(), c.vertical) << c.text;
        EXPECT_EQ(crs.isGeographic(), c.geographic) << c.text;
        EXPECT_EQ(crs.name().rfind(c.name, 0), 0u) << crs.name();
        const orv::Crs back = orv::Crs::fromText(crs.wkt1());
        EXPECT_TRUE(back.equivalentTo(crs)) << c.text << "\n" << crs.wkt1();
        EXPECT_EQ(crs.wkt1().find('\n'), std::string::npos) << "one line in a LAS record";
    }
    for (const char* bad : {"", "nonsense", "EPSG:999999", "+proj=pipeline +step +proj=utm"}) {
        std::string error;
        EXPECT_TRUE(orv::Crs::fromText(bad, &error).empty()) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

orv::LasFileHeader header(int minor, int format) {
    orv::LasFileHeader h;
    h.versionMinor = static_cast<uint8_t>(minor);
    h.pointFormat = static_cast<uint8_t>(format);
    return h;
}

// A CRS set on a header reads back as the same CRS, from the records its version needs.
TEST(LasCrs, RecordsReadBackAsTheCrsSet) {
    const orv::Crs own = orv::Crs::fromText("+proj=tmerc +lon_0=7.5 +ellps=GRS80 +type=crs");
    struct Case {
        int minor, format;
        orv::Crs crs;
        int status;
        uint16_t recordId;  // what is written: 2112 WKT, 34735 GeoTIFF keys
    } cases[] = {
        {2, 3, orv::Crs::fromEpsg(26915), 0, 34735},
        {2, 0, orv::Crs::fromEpsg(4326), 0, 34735},
        {0, 1, orv::Crs::fromText("EPSG:2992+5703"), 0, 34735},
        {2, 1, own, -1, 0},
        {4, 6, orv::Crs::fromEpsg(26915), 0, 2112},
        {4, 1, orv::Crs::fromText("EPSG:2992+5703"), 0, 2112},
        {4, 7, own, 0, 2112},
    };
    for (const Case& c : cases) {
        orv::LasFileHeader h = header(c.minor, c.format);
        // Records of an earlier CRS, which the new one replaces.
        ASSERT_EQ(orv::lasSetCrs(h, orv::Crs::fromEpsg(32610)), 0);
        const auto before = h.vlrs;
        std::string error;
        ASSERT_EQ(orv::lasSetCrs(h, c.crs, &error), c.status) << c.crs.name();
        if (c.status != 0) {
            EXPECT_NE(error.find("no EPSG code"), std::string::npos) << error;
            EXPECT_EQ(h.vlrs.size(), before.size()) << "unchanged";
            continue;
        }
        ASSERT_EQ(h.vlrs.size(), 1u) << c.crs.name();
        EXPECT_EQ(h.vlrs[0].recordId, c.recordId);
        EXPECT_EQ(bool(h.globalEncoding & 16), c.recordId == 2112);
        EXPECT_TRUE(orv::lasCrsFormFits(h));
        EXPECT_TRUE(orv::lasCrs(h).equivalentTo(c.crs)) << c.crs.name();
        ASSERT_EQ(orv::lasSetCrs(h, orv::Crs()), 0);
        EXPECT_TRUE(h.vlrs.empty() && !(h.globalEncoding & 16)) << "an empty CRS removes them";
    }
}

// Key directories that name nothing, name codes PROJ lacks, or run past their record give no
// CRS and a note, never a read beyond the payload.
TEST(LasCrs, BrokenKeyDirectoriesGiveNoCrs) {
    auto keys = [](std::vector<uint16_t> words) {
        orv::LasFileHeader h = header(2, 1);
        orv::LasVlr v;
        v.userId = "LASF_Projection", v.recordId = 34735;
        for (uint16_t w : words) v.payload.push_back(w & 0xFF), v.payload.push_back(w >> 8);
        h.vlrs.push_back(v);
        return h;
    };
    struct Case {
        std::vector<uint16_t> words;
        int epsg;
    } cases[] = {
        {{1, 1, 0, 1, 3072, 0, 1, 26915}, 26915},
        {{1, 1, 0, 40, 3072, 0, 1, 26915}, 26915},  // a count beyond the payload
        {{1, 1, 0, 1, 3072, 34737, 1, 26915}, 0},   // a value kept elsewhere
        {{1, 1, 0, 1, 3072, 0, 1, 32767}, 0},       // user-defined
        {{1, 1, 0, 1, 3072, 0, 1, 1}, 0},           // no such code
        {{1, 1, 0}, 0},
    };
    for (const Case& c : cases) {
        std::string note;
        const orv::Crs crs = orv::lasCrs(keys(c.words), &note);
        EXPECT_EQ(crs.epsg(), c.epsg);
        EXPECT_EQ(note.empty(), c.epsg != 0) << note;
    }
}

// A tiny GTX grid of one height everywhere, in a folder of its own.
void writeGtx(const std::string& path, float height) {
    std::vector<uint8_t> bytes;
    auto put = [&](const void* p, size_t n) {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        for (size_t i = n; i-- > 0;) bytes.push_back(b[i]);  // big-endian
    };
    for (double d : {-90.0, -180.0, 90.0, 180.0}) put(&d, 8);
    for (int32_t n : {3, 3}) put(&n, 4);
    for (int i = 0; i < 9; ++i) put(&height, 4);
    orvtest::writeFile(path, bytes);
}

// Heights move through the geoid grid they need, or the transform refuses and names the grid;
// never a horizontal-only result.
TEST(CrsTransform, HeightsFollowTheGeoidGridOrRefuseNamingIt) {
    orvtest::TempDir dir;
    const char* saved = std::getenv("PROJ_DATA");
    const std::string previous = saved ? saved : "";
    const orv::Crs ellipsoidal = orv::Crs::fromEpsg(4979);
    double x = -122.0, y = 45.0, z = 100.0;

    orv::CrsTransform t;
    ASSERT_EQ(t.open(orv::Crs::fromText("EPSG:4326+5773"), ellipsoidal), 0) << t.error();
    ASSERT_EQ(t.transform(&x, &y, &z, 1), 1u);
    EXPECT_NEAR(z, 100.0 - 20.387, 1e-3) << "the EGM96 geoid lies 20.387 m below the ellipsoid";

    const orv::Crs egm2008 = orv::Crs::fromText("EPSG:4326+3855");
    ASSERT_EQ(t.open(egm2008, ellipsoidal), -1);
    EXPECT_NE(t.error().find("us_nga_egm08_25.tif"), std::string::npos) << t.error();
    ASSERT_EQ(t.open(ellipsoidal, egm2008), -1) << "the other way round needs it too";

    // The same grid, written by the test under its older name, on PROJ's search path.
    writeGtx(dir.path("egm08_25.gtx"), 12.5f);
    setenv("PROJ_DATA", (dir.path("") + ":" + (saved ? previous : "/usr/share/proj")).c_str(), 1);
    const int opened = t.open(egm2008, ellipsoidal, 2);
    if (saved)
        setenv("PROJ_DATA", previous.c_str(), 1);
    else
        unsetenv("PROJ_DATA");
    ASSERT_EQ(opened, 0) << t.error();
    x = -122.0, y = 45.0, z = 100.0;
    ASSERT_EQ(t.transform(&x, &y, &z, 1), 1u);
    EXPECT_NEAR(z, 112.5, 1e-6);
    EXPECT_NEAR(x, -122.0, 1e-12) << "longitude first, whatever the CRS's order";
}

// Two threads give the points one thread gives, and a point PROJ cannot move is reported.
TEST(CrsTransform, ThreadsAgreeAndFailuresAreReported) {
    const size_t n = 100000;
    std::vector<double> x(n), y(n), z(n, 10.0);
    for (size_t i = 0; i < n; ++i) x[i] = -123.0 + 1e-5 * i, y[i] = 44.0 + 1e-5 * i;
    std::vector<double> x2 = x, y2 = y, z2 = z;
    orv::CrsTransform one, two;
    ASSERT_EQ(one.open(orv::Crs::fromEpsg(4326), orv::Crs::fromEpsg(32610), 1), 0);
    ASSERT_EQ(two.open(orv::Crs::fromEpsg(4326), orv::Crs::fromEpsg(32610), 2), 0);
    EXPECT_EQ(one.transform(x.data(), y.data(), z.data(), n), n);
    EXPECT_EQ(two.transform(x2.data(), y2.data(), z2.data(), n), n);
    EXPECT_EQ(x, x2);
    EXPECT_EQ(y, y2);
    EXPECT_GT(x[0], 400000.0) << "easting first";

    std::vector<double> bad = {-123.0, -123.0, 1e30}, lat = {44.0, 44.0, 44.0};
    EXPECT_EQ(one.transform(bad.data(), lat.data(), nullptr, 3), 2u);
}

// Moving records in place changes X, Y and Z as decoding, transforming and encoding the points
// would, leaves every other byte, and names the first point the target's steps cannot hold.
TEST(LasCrs, RecordsReprojectedInPlaceAsDecodedAndEncoded) {
    orv::LasFileHeader from;
    from.pointFormat = 1, from.recordLength = 28;
    from.scale[0] = from.scale[1] = from.scale[2] = 0.01;
    from.offset[0] = 500000, from.offset[1] = 5000000;
    orv::LasFileHeader to = from;
    to.scale[0] = to.scale[1] = 1e-7;
    to.offset[0] = -123, to.offset[1] = 45;
    const size_t n = 5000;
    std::vector<double> x(n), y(n), z(n);
    std::vector<uint16_t> intensity(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = 500000 + 0.37 * i, y[i] = 5000000 + 0.53 * i, z[i] = 0.01 * i, intensity[i] = i;
    orv::LasColumns c;
    c.x = x.data(), c.y = y.data(), c.z = z.data(), c.intensity = intensity.data();
    std::vector<uint8_t> records(n * 28), expected(n * 28);
    ASSERT_EQ(orv::encodeLasRecords(from, c, n, records.data()), n);
    const std::vector<uint8_t> original = records;
    orv::CrsTransform t;
    ASSERT_EQ(t.open(orv::Crs::fromEpsg(32610), orv::Crs::fromEpsg(4326), 2), 0);
    orv::decodeLasRecords(from, records.data(), n, c);
    ASSERT_EQ(t.transform(c.x, c.y, c.z, n), n);
    ASSERT_EQ(orv::encodeLasRecords(to, c, n, expected.data()), n);
    bool unfit = true;
    EXPECT_EQ(orv::lasReprojectRecords(from, to, records.data(), n, t, unfit), n);
    EXPECT_FALSE(unfit);
    EXPECT_EQ(records, expected);

    // Steps of 1e-9 degree from 40 north end at 42.1 north, short of these points at 45.
    records = original;
    to.scale[0] = to.scale[1] = 1e-9, to.offset[1] = 40;
    EXPECT_EQ(orv::lasReprojectRecords(from, to, records.data(), n, t, unfit), 0u);
    EXPECT_TRUE(unfit);
}

}  // namespace
