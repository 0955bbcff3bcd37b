// CRS handling of las copy and las merge, checked against PROJ's own cs2cs and against what
// the written headers hold.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "OrvLasCrs.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

std::string orvter(const std::string& args) {
    return shellQuote(ORVTER_PATH) + " " + args;
}

// Runs orvter with its messages on standard output.
orvtest::CommandResult run(const std::string& args) {
    return runCommand(orvter(args) + " --quiet 2>&1");
}

std::string sample(const std::string& name) {
    return orvtest::lasDataDir() + "/" + name;
}

struct Points {
    std::vector<double> x, y, z;
};

Points pointsOf(const std::string& path) {
    orv::LasReader r;
    EXPECT_EQ(r.open(path.c_str()), 0) << path;
    Points p;
    const size_t n = r.pointCount();
    p.x.resize(n), p.y.resize(n), p.z.resize(n);
    orv::LasColumns c;
    c.x = p.x.data(), c.y = p.y.data(), c.z = p.z.data();
    if (n) {
        EXPECT_EQ(r.read(c, n), n);
    }
    return p;
}

orv::LasFileHeader headerOf(const std::string& path) {
    orv::LasReader r;
    r.open(path.c_str());
    return r.header();
}

// What a header's CRS records are.
struct Records {
    bool wkt = false, keys = false, bit4 = false;
};
Records recordsOf(const orv::LasFileHeader& h) {
    Records r;
    for (const auto* list : {&h.vlrs, &h.evlrs})
        for (const orv::LasVlr& v : *list) {
            if (v.userId != "LASF_Projection") continue;
            r.wkt |= v.recordId == 2112;
            r.keys |= v.recordId == 34735;
        }
    r.bit4 = h.globalEncoding & 16;
    return r;
}

// The first axis of a CRS in PROJJSON points north: cs2cs takes and gives latitude first.
bool latitudeFirst(const nlohmann::json& j) {
    if (j.contains("source_crs")) return latitudeFirst(j["source_crs"]);
    if (j.contains("components")) return latitudeFirst(j["components"][0]);
    return j["coordinate_system"]["axis"][0]["direction"] == "north";
}

// Every sample with a CRS, moved to a geographic and to a UTM target, lands where cs2cs puts
// its points: within 1 mm, or 1e-8 degree.
TEST(OrvterCrs, ReprojectedSamplesMatchCs2cs) {
    if (orvtest::lasDataDir().empty()) GTEST_SKIP() << "shared LAS samples not found";
    orvtest::TempDir dir;
    const std::string laz = orvtest::lasDataDir() + "/../laz/";
    const char* const files[] = {"4_6_crop.las",
                                 "bad_vlr_count.las",
                                 "epsg_4326.las",
                                 "mvk-thin.las",
                                 "perm_1.0_1.las",
                                 "perm_1.2_3.las",
                                 "test1_4.las",
                                 "wontcompress3.las",
                                 "no-points.las",
                                 "perm_1.1_0.las",
                                 "../laz/autzen-bmx-2023.las"};
    int compared = 0;
    for (const char* name : files) {
        const std::string in = sample(name);
        auto info = runCommand(orvter("las info --json " + shellQuote(in)));
        ASSERT_EQ(info.status, 0) << name;
        const nlohmann::json crs = nlohmann::json::parse(info.out)["crs"];
        ASSERT_TRUE(crs.contains("projjson")) << name;
        const std::string source = crs["projjson"].dump();
        const Points before = pointsOf(in);
        std::string utm;
        for (const std::string target : {"EPSG:4326", "UTM"}) {
            std::string to = target;
            if (target == "UTM") {
                if (before.x.empty()) continue;
                to = utm;
            }
            const bool degrees = target == "EPSG:4326";
            const std::string out = dir.path("out.las");
            const std::string scale = degrees ? "1e-9,1e-9,0.0001" : "0.0001";
            auto r = run("las copy " + shellQuote(in) + " " + shellQuote(out) + " --to-crs " + to +
                         " --scale " + scale);
            ASSERT_EQ(r.status, 0) << name << " to " << to << ": " << r.out;
            const Points after = pointsOf(out);
            ASSERT_EQ(after.x.size(), before.x.size()) << name;
            const orv::Crs kept =
                orv::crsKeepingHeights(orv::Crs::fromText(source), orv::Crs::fromText(to));
            EXPECT_TRUE(orv::lasCrs(headerOf(out)).equivalentTo(kept)) << name;
            if (before.x.empty()) continue;

            std::ofstream(dir.path("in.txt")) << [&] {
                std::ostringstream s;
                s.precision(17);
                for (size_t i = 0; i < before.x.size(); ++i)
                    s << before.x[i] << ' ' << before.y[i] << ' ' << before.z[i] << '\n';
                return s.str();
            }();
            const std::string flags =
                std::string(latitudeFirst(crs["projjson"]) ? " -r" : "") + (degrees ? " -s" : "");
            auto c = runCommand("cs2cs -f %.12f" + flags + " " + shellQuote(source) + " " + to +
                                " < " + shellQuote(dir.path("in.txt")));
            ASSERT_EQ(c.status, 0) << name;
            std::istringstream lines(c.out);
            const double tolerance = degrees ? 1e-8 : 1e-3;
            for (size_t i = 0; i < after.x.size(); ++i) {
                double x = 0, y = 0, z = 0;
                ASSERT_TRUE(lines >> x >> y >> z) << name << " point " << i;
                ASSERT_NEAR(after.x[i], x, tolerance) << name << " to " << to << " point " << i;
                ASSERT_NEAR(after.y[i], y, tolerance) << name << " to " << to << " point " << i;
                ASSERT_NEAR(after.z[i], z, 1e-3) << name << " to " << to << " point " << i;
            }
            if (degrees)
                utm = "EPSG:" + std::to_string((after.y[0] >= 0 ? 32600 : 32700) +
                                               int(std::floor((after.x[0] + 180) / 6)) + 1);
            ++compared;
        }
    }
    EXPECT_EQ(compared, 20) << "ten samples with points, two targets each";
}

// Each output carries its CRS in the form its version needs, and that CRS is the one asked for.
TEST(OrvterCrs, WritesTheCrsInTheFormTheVersionNeeds) {
    if (orvtest::lasDataDir().empty()) GTEST_SKIP() << "shared LAS samples not found";
    orvtest::TempDir dir;
    const std::string custom = dir.path("custom.wkt");
    // A transverse Mercator of its own: no EPSG code, so no GeoTIFF key can name it.
    const orv::Crs own = orv::Crs::fromText(
        "+proj=tmerc +lat_0=0 +lon_0=7.5 +k=0.9999 +x_0=200000 +y_0=0 +ellps=GRS80 +units=m "
        "+type=crs");
    ASSERT_FALSE(own.empty());
    std::ofstream(custom) << own.wkt2();
    const std::string big = dir.path("big.wkt");  // past the 1 MiB a CRS text may have
    std::ofstream(big) << own.wkt2() << std::string(1 << 20, ' ');
    const std::string customLas = dir.path("custom14.las");
    ASSERT_EQ(run("las copy " + shellQuote(sample("simple.las")) + " " + customLas +
                  " --set-version 1.4 --crs " + custom)
                  .status,
              0);
    struct Case {
        std::string in, args;
        int status;
        std::string crs;  // what the output holds; "" none
        bool wkt;         // WKT record and bit 4 (else GeoTIFF keys, bit 4 clear)
        std::string message;
    } cases[] = {
        {sample("epsg_4326.las"), "--set-version 1.4 --format 6", 0, "EPSG:4326", true, ""},
        {sample("epsg_4326.las"), "--format 7", 0, "EPSG:4326", true, ""},
        {sample("perm_1.2_3.las"), "--set-version 1.4", 0, "EPSG:26915", true, ""},
        {sample("test1_4.las"), "--set-version 1.2 --format 3", 0, "EPSG:2903", false, ""},
        {sample("simple.las"), "--crs EPSG:2992", 0, "EPSG:2992", false, ""},
        {sample("simple.las"), "--crs EPSG:2992+5703", 0, "EPSG:2992+5703", false, ""},
        {sample("simple.las"), "--crs EPSG:2992 --format 6", 0, "EPSG:2992", true, ""},
        {sample("perm_1.2_3.las"), "--crs EPSG:2992", 0, "EPSG:2992", false, ""},
        {sample("simple.las"), "--crs " + custom, 1, "", false, "GeoTIFF keys cannot"},
        {sample("simple.las"), "--crs " + custom + " --force", 0, "", false, "warning"},
        {sample("simple.las"), "--crs " + custom + " --set-version 1.4", 0, own.wkt2(), true, ""},
        {customLas, "--set-version 1.2", 1, "", false, "--force"},
        {customLas, "--set-version 1.2 --force", 0, "", false, "no CRS"},
        {sample("simple.las"), "--crs nonsense", 2, "", false, "nonsense"},
        {sample("simple.las"), "--crs " + big, 2, "", false, "more than the 1048576"},
        {sample("simple.las"), "--to-crs EPSG:4326", 1, "", false, "has no CRS"},
        {sample("simple.las"), "--crs EPSG:2992 --to-crs EPSG:4326", 0, "EPSG:4326", false, ""},
    };
    for (const Case& c : cases) {
        const std::string what = c.in + " " + c.args;
        const std::string out = dir.path("out.las");
        std::remove(out.c_str());
        auto r = run("las copy " + shellQuote(c.in) + " " + out + " " + c.args);
        ASSERT_EQ(r.status, c.status) << what << ": " << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << what << ": " << r.out;
        if (c.status != 0) continue;
        const orv::LasFileHeader h = headerOf(out);
        const Records rec = recordsOf(h);
        const orv::Crs written = orv::lasCrs(h);
        if (c.crs.empty()) {
            EXPECT_TRUE(written.empty() && !rec.wkt && !rec.keys) << what;
            continue;
        }
        EXPECT_TRUE(written.equivalentTo(orv::Crs::fromText(c.crs)))
            << what << ": " << written.name();
        EXPECT_EQ(rec.wkt, c.wkt) << what;
        EXPECT_EQ(rec.bit4, c.wkt) << what;
        EXPECT_EQ(rec.keys, !c.wkt) << what;
        if (c.wkt) {
            EXPECT_EQ(h.versionMinor, 4) << what;
        }
    }
}

// The writers that carry no VLRs say so when the input had a CRS; no warning without one.
TEST(OrvterCrs, WritersWithoutVlrsWarnThatTheCrsIsLeftBehind) {
    if (orvtest::lasDataDir().empty()) GTEST_SKIP() << "shared LAS samples not found";
    orvtest::TempDir dir;
    for (const char* command : {"las stream", "las copy --pool"})
        for (const char* file : {"epsg_4326.las", "simple.las"}) {
            auto r =
                runCommand(orvter(std::string(command) + " --quiet " + shellQuote(sample(file)) +
                                  " " + dir.path("o.las") + " 2>&1 >/dev/null"));
            ASSERT_EQ(r.status, 0) << command << " " << file << ": " << r.out;
            const bool warned = r.out.find("carries no CRS") != std::string::npos;
            EXPECT_EQ(warned, std::string(file) == "epsg_4326.las") << command << ": " << r.out;
        }
}

// A merge never mixes CRSs unasked: it names the inputs that differ.
TEST(OrvterCrs, MergeRefusesDifferentCrssUnlessReprojectedOrForced) {
    if (orvtest::lasDataDir().empty()) GTEST_SKIP() << "shared LAS samples not found";
    orvtest::TempDir dir;
    const std::string crop = shellQuote(sample("4_6_crop.las"));
    const std::string autzen = shellQuote(sample("autzen-thin.las"));
    const std::string perm = shellQuote(sample("perm_1.2_3.las"));
    struct Case {
        std::string args;
        int status;
        std::string message, crs;
    } cases[] = {
        {autzen + " " + crop, 1, "autzen-thin.las' has no CRS", ""},
        {crop + " " + perm, 1, "perm_1.2_3.las' has NAD83 / UTM zone 15N", ""},
        {crop + " " + perm + " --force", 0, "warning", "EPSG:2903"},
        {crop + " " + perm + " --to-crs EPSG:4326", 0, "", "EPSG:4326"},
        {crop + " " + autzen + " --to-crs EPSG:4326", 1, "autzen-thin.las' has no CRS", ""},
        {crop + " " + crop, 0, "", "EPSG:2903"},
    };
    for (const Case& c : cases) {
        auto r = run("las merge " + shellQuote(dir.path("m.las")) + " " + c.args);
        ASSERT_EQ(r.status, c.status) << c.args << ": " << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << ": " << r.out;
        if (c.status != 0) continue;
        const orv::Crs written = orv::lasCrs(headerOf(dir.path("m.las")));
        EXPECT_TRUE(written.equivalentTo(orv::Crs::fromText(c.crs))) << c.args;
    }
    // Reprojected, both inputs' points are in the output, in the target's units.
    const Points m = pointsOf(dir.path("m.las"));
    EXPECT_EQ(m.x.size(), 2 * 23875u);
}

// The target keeps the input's precision in its own units, and its bounds follow the points.
TEST(OrvterCrs, ReprojectionKeepsPrecisionAndRecomputesBounds) {
    if (orvtest::lasDataDir().empty()) GTEST_SKIP() << "shared LAS samples not found";
    orvtest::TempDir dir;
    struct Case {
        const char* file;
        const char* to;
        double scale;  // of x and y; z keeps the input's, as heights do not change
    } cases[] = {
        {"perm_1.2_3.las", "EPSG:4326", 1e-8},  // 1 cm is 9e-8 degree
        {"4_6_crop.las", "EPSG:32613", 0.001},  // 0.01 US foot is 3 mm
        {"epsg_4326.las", "EPSG:32615", 0.01},  // 1e-7 degree is 1.1 cm
        {"mvk-thin.las", "EPSG:26916", 0.01},
    };
    for (const Case& c : cases) {
        const std::string out = dir.path("out.las");
        auto r = run("las copy " + shellQuote(sample(c.file)) + " " + out + " --to-crs " + c.to);
        ASSERT_EQ(r.status, 0) << c.file << ": " << r.out;
        const orv::LasFileHeader in = headerOf(sample(c.file)), h = headerOf(out);
        EXPECT_DOUBLE_EQ(h.scale[0], c.scale) << c.file;
        EXPECT_DOUBLE_EQ(h.scale[1], c.scale) << c.file;
        EXPECT_DOUBLE_EQ(h.scale[2], in.scale[2]) << c.file;
        const Points p = pointsOf(out);
        double lo = INFINITY, hi = -INFINITY;
        for (double x : p.x) lo = std::min(lo, x), hi = std::max(hi, x);
        EXPECT_NEAR(h.min[0], lo, h.scale[0]) << c.file;
        EXPECT_NEAR(h.max[0], hi, h.scale[0]) << c.file;
    }
}

// A file of three points built byte by byte (1.4, so any CRS fits), then given `crs`.
std::string builtWithCrs(const orvtest::TempDir& dir, const std::string& name, double scale,
                         const double offset[3], const std::string& crs) {
    orvtest::LasBuilder las;
    las.header.xScale = las.header.yScale = scale;
    las.header.zScale = 0.01;
    las.header.xOffset = offset[0], las.header.yOffset = offset[1], las.header.zOffset = offset[2];
    for (int32_t k : {0, 1000, 2000}) las.add({k, k, 100 * k, 1, 1, 2});
    orvtest::writeFile(dir.path("raw.las"), las.bytes());
    const std::string path = dir.path(name);
    EXPECT_EQ(run("las copy " + dir.path("raw.las") + " " + path + " --set-version 1.4 --crs " + crs)
                  .status,
              0);
    return path;
}

// cs2cs's answer for the first point of `path` moved from `from` to `to` (both easting first).
std::vector<double> cs2csFirst(const std::string& path, const std::string& from,
                               const std::string& to) {
    const Points p = pointsOf(path);
    char line[128];
    std::snprintf(line, sizeof line, "%.9f %.9f %.9f", p.x[0], p.y[0], p.z[0]);
    auto c = runCommand("echo '" + std::string(line) + "' | cs2cs -f %.9f " + from + " " + to);
    std::istringstream in(c.out);
    std::vector<double> v(3, NAN);
    in >> v[0] >> v[1] >> v[2];
    return v;
}

// Z is never left in a unit or datum the output's CRS does not state: a target without heights
// keeps the input's vertical CRS, one with heights gets Z moved as cs2cs moves it.
TEST(OrvterCrs, HeightsKeepTheirVerticalCrsOrMoveWithTheTarget) {
    orvtest::TempDir dir;
    const double nc[3] = {2000000.0, 700000.0, 0.0};  // North Carolina, US feet
    const std::string in = builtWithCrs(dir, "nc.las", 0.01, nc, "EPSG:2264+6360");
    struct Case {
        const char* to;
        std::string written;  // the output's CRS
        bool warned;
    } cases[] = {
        {"EPSG:26917", "EPSG:26917+6360", true},
        {"EPSG:26917+5703", "EPSG:26917+5703", false},
    };
    const Points before = pointsOf(in);
    for (const Case& c : cases) {
        const std::string out = dir.path("out.las");
        auto r = run("las copy " + in + " " + out + " --to-crs " + c.to);
        ASSERT_EQ(r.status, 0) << c.to << ": " << r.out;
        EXPECT_EQ(r.out.find("names no heights") != std::string::npos, c.warned) << r.out;
        EXPECT_TRUE(orv::lasCrs(headerOf(out)).equivalentTo(orv::Crs::fromText(c.written)))
            << c.to << ": " << orv::lasCrs(headerOf(out)).name();
        const auto want = cs2csFirst(in, "EPSG:2264+6360", c.written);
        const Points after = pointsOf(out);
        EXPECT_NEAR(after.x[0], want[0], 1e-3) << c.to;
        EXPECT_NEAR(after.y[0], want[1], 1e-3) << c.to;
        EXPECT_NEAR(after.z[0], want[2], 1e-2) << c.to;
        if (c.warned) {
            EXPECT_EQ(after.z[1], before.z[1]) << "Z stays in US feet";
        }
    }
}

// PROJ's network is the library's choice: off whatever PROJ_NETWORK says, and on only when asked;
// a grid that cannot be had refuses the reprojection instead of a lesser transformation.
TEST(OrvterCrs, MissingGridsRefuseWhateverPROJsNetworkSays) {
    orvtest::TempDir dir;
    const double kansas[3] = {-98.0, 39.0, 0.0};
    const std::string in = builtWithCrs(dir, "g.las", 1e-7, kansas, "EPSG:4979");
    const std::string copy = "las copy " + in + " " + dir.path("g3.las") + " --to-crs EPSG:4326+5703";
    const std::string nowhere = "PROJ_NETWORK_ENDPOINT=http://127.0.0.1:9 ";
    struct Case {
        std::string command;
        std::string message;
    } cases[] = {
        {"PROJ_NETWORK=ON " + nowhere + orvter(copy), "let PROJ fetch it"},
        {nowhere + orvter(copy + " --proj-network"), "cannot fetch http://127.0.0.1:9/"},
        {"PROJ_NETWORK=ON " + nowhere + orvter("las merge " + dir.path("m.las") + " " + in +
                                               " --to-crs EPSG:4326+5703"),
         "let PROJ fetch it"},
    };
    for (const Case& c : cases) {
        auto r = runCommand(c.command + " --quiet 2>&1");
        EXPECT_EQ(r.status, 1) << c.command << ": " << r.out;
        EXPECT_NE(r.out.find("need the grid"), std::string::npos) << c.command << ": " << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.command << ": " << r.out;
    }
}

// A copy that keeps version and format keeps every VLR byte for byte, CRS records no one can
// read included; a new version keeps such records where its readers look for them.
TEST(OrvterCrs, UnreadableCrsRecordsAreCopiedAsTheyAre) {
    orvtest::TempDir dir;
    // A 1.2 file whose WKT record holds no CRS, as some writers leave it.
    const std::string text = "LOCAL_CS[\"unknown\" garbage";
    std::vector<uint8_t> vlr(54 + text.size() + 1, 0);
    const std::string user = "LASF_Projection";
    std::copy(user.begin(), user.end(), vlr.begin() + 2);
    vlr[18] = 2112 & 0xFF, vlr[19] = 2112 >> 8;
    vlr[20] = static_cast<uint8_t>(text.size() + 1);
    std::copy(text.begin(), text.end(), vlr.begin() + 54);
    orvtest::LasBuilder las;
    las.header.numberOfVlrs = 1;
    las.gap = static_cast<uint32_t>(vlr.size());
    for (int32_t k : {1, 2, 3}) las.add({k, k, k, 1, 1, 2});
    std::vector<uint8_t> bytes = las.bytes();
    std::copy(vlr.begin(), vlr.end(), bytes.begin() + 227);
    const std::string in = dir.path("w.las"), out = dir.path("o.las");
    orvtest::writeFile(in, bytes);
    struct Case {
        std::string args;
        bool warned;
    } cases[] = {{"", false}, {"--set-version 1.4", true}};
    for (const Case& c : cases) {
        auto r = run("las copy " + in + " " + out + " " + c.args);
        ASSERT_EQ(r.status, 0) << c.args << ": " << r.out;
        EXPECT_EQ(r.out.find("warning") != std::string::npos, c.warned) << r.out;
        const orv::LasFileHeader h = headerOf(out);
        ASSERT_EQ(h.vlrs.size(), 1u) << c.args;
        EXPECT_EQ(h.vlrs[0].payload, std::vector<uint8_t>(vlr.begin() + 54, vlr.end())) << c.args;
        if (c.args.empty()) {
            const auto copied = orvtest::readFile(out);
            EXPECT_TRUE(std::equal(bytes.begin() + 227, bytes.begin() + 227 + vlr.size(),
                                   copied.begin() + 227))
                << "the VLR byte for byte";
        }
    }
}

}  // namespace
