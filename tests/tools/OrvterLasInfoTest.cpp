#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/ExpectedLas.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

std::string orvter(const std::string& args) { return shellQuote(ORVTER_PATH) + " " + args; }

TEST(OrvterLasInfo, JsonMatchesTheIndependentReader) {
    const std::string dir = orvtest::lasDataDir();
    if (dir.empty()) GTEST_SKIP() << "shared LAS samples not found";
    for (const auto& e : orvtest::loadExpectedLas(dir)) {
        auto r = runCommand(orvter("las info --json " + shellQuote(dir + "/" + e.name)));
        ASSERT_EQ(r.status, 0) << e.name;
        const auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["version"], std::to_string(e.versionMajor) + "." + std::to_string(e.versionMinor));
        EXPECT_EQ(j["point_format"], e.pointFormat) << e.name;
        EXPECT_EQ(j["record_length"], e.recordLength) << e.name;
        EXPECT_EQ(j["header_size"], e.headerSize) << e.name;
        EXPECT_EQ(j["offset_to_points"], e.offsetToPoints) << e.name;
        EXPECT_EQ(j["point_count"], e.pointCount) << e.name;
        for (int i = 0; i < 5; ++i) EXPECT_EQ(j["points_by_return"][i], e.byReturn[i]) << e.name;
        for (int i = 0; i < 3; ++i) {
            const double s = e.scale[i];
            EXPECT_NEAR(j["scale"][i].get<double>(), s, s * 1e-6) << e.name;
            EXPECT_NEAR(j["offset"][i].get<double>(), e.offset[i], 1e-6) << e.name;
            EXPECT_NEAR(j["min"][i].get<double>(), e.min[i], s) << e.name;
            EXPECT_NEAR(j["max"][i].get<double>(), e.max[i], s) << e.name;
        }
        const bool inWindow = e.firstPoint && e.offsetToPoints + 12 <= 65536;
        if (inWindow) {
            for (int i = 0; i < 3; ++i)
                EXPECT_NEAR(j["first_point"][i].get<double>(), (*e.firstPoint)[i],
                            e.firstPointTolerance * 1.0001 + 1e-9)
                    << e.name;
        } else {
            EXPECT_TRUE(j["first_point"].is_null()) << e.name;
        }
    }
}

TEST(OrvterLasInfo, TextNamesEveryField) {
    orvtest::TempDir dir;
    orvtest::LasBuilder las;
    las.add({1000, 2000, 3000, 0, 1, 2});
    orvtest::writeFile(dir.path("a.las"), las.bytes());
    auto r = runCommand(orvter("las info " + shellQuote(dir.path("a.las"))));
    ASSERT_EQ(r.status, 0);
    for (const char* label : {"version:", "point format:", "record length:", "offset to points:",
                              "number of points:", "points by return:", "scale:", "offset:",
                              "min:", "max:", "first point:       1 2 3"})
        EXPECT_NE(r.out.find(label), std::string::npos) << label << "\n" << r.out;
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
