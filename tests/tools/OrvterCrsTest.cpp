// CRS handling of las copy and las merge, checked against PROJ's own cs2cs and against what
// the written headers hold.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "OrvLasCrs.h"
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
            EXPECT_TRUE(orv::lasCrs(headerOf(out)).equivalentTo(orv::Crs::fromText(to))) << name;
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

}  // namespace
