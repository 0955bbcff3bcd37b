#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <nlohmann/json.hpp>

#include "support/ExpectedLas.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

std::string orvter(const std::string& args) {
    return shellQuote(ORVTER_PATH) + " " + args;
}

TEST(OrvterLasInfo, JsonMatchesTheIndependentReader) {
    const std::string dir = orvtest::lasDataDir();
    if (dir.empty()) GTEST_SKIP() << "shared LAS samples not found";
    for (const auto& e : orvtest::loadExpectedLas(dir)) {
        auto r = runCommand(orvter("las info --json " + shellQuote(dir + "/" + e.name)));
        ASSERT_EQ(r.status, 0) << e.name;
        const auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["version"],
                  std::to_string(e.versionMajor) + "." + std::to_string(e.versionMinor));
        EXPECT_EQ(j["point_format"], e.pointFormat) << e.name;
        EXPECT_EQ(j["record_length"], e.recordLength) << e.name;
        EXPECT_EQ(j["header_size"], e.headerSize) << e.name;
        EXPECT_EQ(j["offset_to_points"], e.offsetToPoints) << e.name;
        EXPECT_EQ(j["point_count"], e.pointCount) << e.name;
        EXPECT_EQ(j["legacy_point_count"], e.pointCount) << e.name;
        for (int i = 0; i < 5; ++i) EXPECT_EQ(j["points_by_return"][i], e.byReturn[i]) << e.name;
        for (int i = 0; i < 3; ++i) {
            const double s = e.scale[i];
            EXPECT_NEAR(j["scale"][i].get<double>(), s, s * 1e-6) << e.name;
            EXPECT_NEAR(j["offset"][i].get<double>(), e.offset[i], 1e-6) << e.name;
            EXPECT_NEAR(j["min"][i].get<double>(), e.min[i], s) << e.name;
            EXPECT_NEAR(j["max"][i].get<double>(), e.max[i], s) << e.name;
        }
        // Printed at the precision of the file's scale, found beyond the first 64 KiB too.
        if (e.firstPoint) {
            for (int i = 0; i < 3; ++i)
                EXPECT_NEAR(j["first_point"][i].get<double>(), (*e.firstPoint)[i],
                            e.firstPointTolerance * 1.0001 + e.scale[i] + 1e-9)
                    << e.name;
        } else {
            EXPECT_TRUE(j["first_point"].is_null()) << e.name;
        }
    }
}

TEST(OrvterLasInfo, JsonGivesTheFormatNumberBesideCompressed) {
    const std::string dir = orvtest::lasDataDir();
    if (dir.empty()) GTEST_SKIP() << "shared LAS samples not found";
    for (const auto& [file, compressed] :
         {std::pair{"/../laz/simple.laz", true}, std::pair{"/simple.las", false}}) {
        auto r = runCommand(orvter("las info --json " + shellQuote(dir + file)));
        ASSERT_EQ(r.status, 0) << file;
        const auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["point_format"], 3) << file;
        EXPECT_EQ(j["compressed"], compressed) << file;
    }
}

TEST(OrvterLasInfo, TextNamesEveryField) {
    orvtest::TempDir dir;
    orvtest::LasBuilder las;
    las.add({1000, 2000, 3000, 0, 1, 2});
    orvtest::writeFile(dir.path("a.las"), las.bytes());
    auto r = runCommand(orvter("las info " + shellQuote(dir.path("a.las"))));
    ASSERT_EQ(r.status, 0);
    for (const char* label :
         {"version:", "point format:", "format name:       core", "VLRs:", "readable points:   1",
          "record length:", "offset to points:", "number of points:", "points by return:", "scale:",
          "offset:", "min:", "max:", "first point:       1.000 2.000 3.000"})
        EXPECT_NE(r.out.find(label), std::string::npos) << label << "\n" << r.out;
}

TEST(OrvterLasInfo, InconsistentHeadersWarnOnStandardErrorAndStillSucceed) {
    orvtest::TempDir dir;
    struct Case {
        const char* name;
        uint8_t format;
        uint16_t length;
        uint32_t statedExtra;  // points stated beyond the records written
        std::vector<std::string> warnings;
    } cases[] = {
        {"fine.las", 6, 30, 0, {}},
        {"short.las",
         6,
         16,
         0,
         {"record length 16 is too short for point format 6 (30 bytes); the readers need 17 and "
          "read no points"}},
        {"cut.las", 3, 34, 2, {"the header states 4 points but the file holds 2 whole records"}},
    };
    for (const Case& c : cases) {
        orvtest::LasBuilder las;
        las.header.pointDataFormat = c.format;
        las.header.pointDataRecordLength = c.length;
        las.keepCount = true;
        las.header.numberOfPointRecords = 2 + c.statedExtra;
        las.add({1, 2, 3, 0, 1, 2}).add({4, 5, 6, 0, 1, 2});
        const std::string path = dir.path(c.name), err = dir.path("err.txt");
        orvtest::writeFile(path, las.bytes());
        for (const bool json : {false, true}) {
            auto r = runCommand(orvter(std::string("las info ") + (json ? "--json " : "") +
                                       shellQuote(path) + " 2>" + shellQuote(err)));
            ASSERT_EQ(r.status, 0) << c.name;
            const auto bytes = orvtest::readFile(err);
            std::string expected;
            for (const auto& w : c.warnings) expected += "warning: '" + path + "': " + w + "\n";
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected) << c.name;
            if (json) {
                const auto j = nlohmann::json::parse(r.out);
                EXPECT_EQ(j["warnings"], c.warnings) << c.name;
                EXPECT_EQ(j["format_name"],
                          c.format == 6 ? "extended core + GPS time" : "core + GPS time + RGB");
                EXPECT_EQ(j["vlr_count"], 0);
                EXPECT_TRUE(j["extended_point_count"].is_null());
            }
        }
    }
}

TEST(OrvterLasInfo, ReportsThe14Counts) {
    orvtest::TempDir dir;
    orvtest::LasBuilder las;
    las.header.versionMinor = 4;
    las.header.headerSize = 375;
    las.header.pointDataFormat = 6;
    las.header.pointDataRecordLength = 30;
    las.header.numberOfVlrs = 0;
    las.keepCount = true;
    las.header.numberOfPointRecords = 0;
    las.with14 = true;
    las.extension.numberOfPointRecords = 3;
    for (int k = 0; k < 15; ++k) las.extension.numberOfPointsByReturn[k] = k == 14 ? 1 : k;
    las.add({1, 2, 3, 0, 1, 2}).add({1, 2, 3, 0, 1, 2}).add({1, 2, 3, 0, 1, 2});
    orvtest::writeFile(dir.path("a.las"), las.bytes());
    auto r = runCommand(orvter("las info --json " + shellQuote(dir.path("a.las"))));
    ASSERT_EQ(r.status, 0);
    const auto j = nlohmann::json::parse(r.out);
    // The count the file holds first; the 32-bit field, 0 in a 1.4 file, under its own name.
    EXPECT_EQ(j["point_count"], 3);
    EXPECT_EQ(j["legacy_point_count"], 0);
    EXPECT_EQ(j["extended_point_count"], 3);
    EXPECT_EQ(j["extended_points_by_return"],
              nlohmann::json({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 1}));
    EXPECT_EQ(j["readable_points"], 3);
    EXPECT_EQ(j["warnings"], nlohmann::json::array());
    r = runCommand(orvter("las info " + shellQuote(dir.path("a.las"))));
    EXPECT_NE(r.out.find("number of points:  3\nlegacy points:     0\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("extended points:   3\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("extended returns:  0 1 2 3 4 5 6 7 8 9 10 11 12 13 1\n"),
              std::string::npos)
        << r.out;
}

// Numbers at the precision of the scale, the first point past the probe's window, a VLR that
// runs into the points, and the 2.0 layout described.
TEST(OrvterLasInfo, DescribesWhatTheFileHolds) {
    orvtest::TempDir dir;
    orvtest::LasBuilder cm;
    cm.header.xScale = cm.header.yScale = cm.header.zScale = 0.01;
    cm.header.xOffset = 848000.0;
    cm.header.minX = 848899.7000000001;
    cm.add({89970, 0, 0, 0, 1, 2});
    orvtest::writeFile(dir.path("cm.las"), cm.bytes());
    orvtest::LasBuilder far;
    far.gap = 70000;  // the points start beyond the first 64 KiB
    far.add({1500, 2500, 3500, 0, 1, 2});
    orvtest::writeFile(dir.path("far.las"), far.bytes());
    orvtest::LasBuilder vlr;
    vlr.gap = 60;  // a VLR header fits, its stated length (0xEEEE bytes) does not
    vlr.header.numberOfVlrs = 1;
    vlr.add({1, 2, 3, 0, 1, 2});
    orvtest::writeFile(dir.path("vlr.las"), vlr.bytes());
    orvtest::Las20Builder old;
    old.header.xOffset = 1000.0;
    old.add({1.25, 2.5, 3.0, 7, 1, 2});
    orvtest::writeFile(dir.path("old.las"), old.bytes());

    const struct {
        std::string file, text, json, warning;
    } cases[] = {
        {"cm.las", "min:               848899.70 0.00 0.00", "\"min\": [\n    848899.7,", ""},
        {"far.las", "first point:       1.500 2.500 3.500", "\"first_point\": [\n    1.5,", ""},
        {"vlr.las", "VLRs:              1", "\"vlr_count\": 1",
         "VLR 1 of 1 (61166 bytes) runs past the point data at offset 287"},
        {"old.las", "version:           2.0", "\"version\": \"2.0\"", ""},
        {"old.las", "first point:       1001.25 2.5 3", "\"first_point\": [\n    1001.25,", ""},
    };
    for (const auto& c : cases) {
        const std::string path = shellQuote(dir.path(c.file)), err = dir.path("err.txt");
        const auto text = runCommand(orvter("las info " + path + " 2>" + shellQuote(err)));
        EXPECT_EQ(text.status, 0) << c.file;
        EXPECT_NE(text.out.find(c.text), std::string::npos) << c.file << "\n" << text.out;
        const auto bytes = orvtest::readFile(err);
        EXPECT_EQ(
            std::string(bytes.begin(), bytes.end()),
            c.warning.empty() ? "" : "warning: '" + dir.path(c.file) + "': " + c.warning + "\n");
        const auto json = runCommand(orvter("las info --json " + path + " 2>/dev/null"));
        EXPECT_NE(json.out.find(c.json), std::string::npos) << c.file << "\n" << json.out;
        EXPECT_NE(json.out.find("\"input\": \"" + dir.path(c.file) + "\""), std::string::npos);
    }
}

TEST(OrvterLasInfo, FailuresGiveOneLineAndTheirExitStatus) {
    orvtest::TempDir dir;
    orvtest::writeFile(dir.path("text.las"), {'h', 'e', 'l', 'l', 'o'});
    struct Case {
        std::string args;
        int status;
    } cases[] = {
        {"las info " + shellQuote(dir.path("missing.las")), 1},
        {"las info " + shellQuote(dir.path("text.las")), 1},
        {"las info", 2},
        {"las info --no-such-flag x.las", 2},
        {"las", 2},
        {"", 2},
        {"las info --help", 0},
    };
    for (const Case& c : cases) {
        auto r = runCommand(orvter(c.args) + " 2>&1");
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
        if (c.status == 1) {
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        }
    }
}

}  // namespace

namespace {

// The VLR list, the reference system and the point scan of every sample.
TEST(OrvterLasInfo, ReportsVlrsReferenceSystemsAndStats) {
    const std::string dir = orvtest::lasDataDir();
    if (dir.empty()) GTEST_SKIP() << "shared LAS samples not found";
    // What the files' GeoTIFF keys or WKT records hold; every other sample has neither.
    const std::map<std::string, std::string> crs = {
        {"epsg_4326.las", "4326"},
        {"4_6_crop.las", "2903"},
        {"mvk-thin.las", "26995"},
        {"no-points.las", "4269"},
        {"perm_1.0_0.las", "26915"},
        {"perm_1.2_3.las", "26915"},
        {"test1_4.las", "PROJCS[\"NAD83(HARN) / New Mexico Central (ftUS)\""},
        {"bad_vlr_count.las", "32617"},
    };
    for (const auto& e : orvtest::loadExpectedLas(dir)) {
        auto r = runCommand(orvter("las info --json --stats " + shellQuote(dir + "/" + e.name)));
        ASSERT_EQ(r.status, 0) << e.name;
        const auto j = nlohmann::json::parse(r.out);
        // A count that runs past the point data gives the records that fit.
        const uint32_t fit = e.name == "bad_vlr_count.las"             ? 2
                             : e.name == "garbage_nVariableLength.las" ? 0
                                                                       : e.vlrCount;
        EXPECT_EQ(j["vlrs"].size(), fit) << e.name;
        const auto c = crs.find(e.name);
        if (c != crs.end() && c->second[0] == 'P') {
            EXPECT_EQ(j["crs"]["wkt"].get<std::string>().rfind(c->second, 0), 0u) << e.name;
        } else if (c != crs.end()) {
            EXPECT_EQ(std::to_string(j["crs"]["epsg"].get<int>()), c->second) << e.name;
        }
        const auto& s = j["stats"];
        if (s.is_null()) continue;  // records the reader cannot decode
        EXPECT_EQ(s["points"], j["readable_points"]) << e.name;
        if (e.name != "1.2-with-color.las") continue;
        for (int i = 0; i < 3; ++i) {
            EXPECT_DOUBLE_EQ(s["min"][i].get<double>(), e.min[i]);
            EXPECT_DOUBLE_EQ(s["max"][i].get<double>(), e.max[i]);
        }
    }
    const auto t = runCommand(orvter("las info --stats " + shellQuote(dir + "/autzen-thin.las")));
    EXPECT_NE(t.out.find("real min:          635589.01 848886.45 406.59\n"), std::string::npos)
        << "coordinates at the file's precision:\n"
        << t.out;
}

// --stats sums every dimension and --schema lists them, extra dimensions included: the Extra
// Bytes copies of intensity and GPS time (a uint32 and a truncating uint64) agree with the
// standard fields, and the extra dimensions fill the 27 extra bytes of each record.
TEST(OrvterLasInfo, StatsAndSchemaCoverExtraDimensions) {
    const std::string dir = orvtest::lasDataDir();
    if (dir.empty()) GTEST_SKIP() << "shared LAS samples not found";
    const auto r = runCommand(
        orvter("las info --json --stats --schema " + shellQuote(dir + "/extrabytes.las")));
    ASSERT_EQ(r.status, 0) << r.out;
    const auto j = nlohmann::json::parse(r.out);
    const auto& s = j["stats"];
    const auto& d = s["dimensions"];
    for (const char* key : {"count", "min", "max", "mean", "stddev"})
        EXPECT_DOUBLE_EQ(d["Intensity"][key].get<double>(), d["intensity"][key].get<double>())
            << key;
    EXPECT_EQ(d["Time"]["min"].get<double>(), std::floor(d["gps_time"]["min"].get<double>()));
    EXPECT_EQ(d["x"]["count"], 1065);
    EXPECT_DOUBLE_EQ(d["x"]["min"].get<double>(), s["min"][0].get<double>());
    const double area = (s["max"][0].get<double>() - s["min"][0].get<double>()) *
                        (s["max"][1].get<double>() - s["min"][1].get<double>());
    EXPECT_NEAR(s["density"].get<double>(), 1065 / area, 1e-12);
    uint64_t classified = 0;
    for (const auto& c : s["classes"]) {
        classified += c["count"].get<uint64_t>();
        if (c["class"] == 2) {
            EXPECT_EQ(c["name"], "Ground");
        }
    }
    EXPECT_EQ(classified, 1065u);

    unsigned extra = 0;
    bool past = false;
    for (const auto& e : j["schema"]) {
        if (past) extra += e["size"].get<unsigned>();
        past = past || e["name"] == "blue";
    }
    EXPECT_EQ(extra, 27u);
    EXPECT_EQ(j["schema"].back()["name"], "Time");
    EXPECT_EQ(j["schema"].back()["type"], "uint64");
}

}  // namespace

namespace {

// A point format without a known layout has no known fields: --schema lists none.
TEST(OrvterLasInfo, SchemaOfAnUnknownFormatIsEmpty) {
    orvtest::TempDir dir;
    orvtest::LasBuilder las;
    las.header.pointDataFormat = 11;
    las.header.pointDataRecordLength = 34;
    las.add({1, 2, 3, 0, 1, 2});
    orvtest::writeFile(dir.path("a.las"), las.bytes());
    const auto r = runCommand(orvter("las info --json --schema " + shellQuote(dir.path("a.las"))));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(nlohmann::json::parse(r.out)["schema"], nlohmann::json::array());
}

}  // namespace

namespace {

// Coordinates at their scale's precision and no sign on a zero; a float field as the float.
TEST(OrvterLasInfo, NumbersCarryNoFloatNoise) {
    orvtest::TempDir dir;
    const std::string text = "-0.2 2 63.623 9.306\n-0.1 3 63.625 -9.306\n";
    orvtest::writeFile(dir.path("n.txt"), {text.begin(), text.end()});
    const std::string las = shellQuote(dir.path("n.las"));
    ASSERT_EQ(runCommand(orvter("las from-text --quiet " + shellQuote(dir.path("n.txt")) + " " +
                                las + " --fields x,y,z,scan_angle"))
                  .status,
              0);
    const auto r = runCommand(orvter("las info --stats " + las));
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* line :
         {"offset:            0.0 3 64.000\n", "min:               -0.2 2 63.623\n",
          "real max:          -0.1 3 63.625\n",
          "scan_angle                        2           -9.306            9.306"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    const auto j = nlohmann::json::parse(runCommand(orvter("las info --stats --json " + las)).out);
    EXPECT_EQ(j["stats"]["dimensions"]["scan_angle"]["min"].dump(), "-9.306");
    EXPECT_EQ(j["stats"]["dimensions"]["z"]["mean"].dump(), "63.624");
    // A header's -0 offset and a bound with the noise of its arithmetic.
    orvtest::LasBuilder b;
    b.header.xScale = b.header.yScale = b.header.zScale = 0.01;
    b.header.xOffset = -0.0;
    b.header.minZ = 63.623000000000005;
    b.add({1, 2, 3, 0, 1, 2});
    orvtest::writeFile(dir.path("b.las"), b.bytes());
    const auto h = runCommand(orvter("las info " + shellQuote(dir.path("b.las"))));
    EXPECT_NE(h.out.find("offset:            0.00 0.00 0.00\n"), std::string::npos) << h.out;
    EXPECT_NE(h.out.find("min:               0.00 0.00 63.623\n"), std::string::npos) << h.out;
}

}  // namespace
