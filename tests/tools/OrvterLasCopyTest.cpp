#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "OrvLas.h"
#include "las/LasCodec.h"
#include "support/ExpectedLas.h"
#include "support/TestSupport.h"

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

std::string orvter(const std::string& args) {
    return shellQuote(ORVTER_PATH) + " " + args;
}

LasHeader headerOf(const std::vector<uint8_t>& bytes) {
    LasHeader h;
    if (bytes.size() >= sizeof h) std::memcpy(&h, bytes.data(), sizeof h);
    return h;
}

TEST(OrvterLasGen, WritesTheSameTileForTheSameSeed) {
    orvtest::TempDir dir;
    auto gen = [&](const std::string& name, const std::string& seed) {
        auto r =
            runCommand(orvter("las gen " + shellQuote(dir.path(name)) + " --points 5000" + seed));
        EXPECT_EQ(r.status, 0) << r.out;
        return orvtest::readFile(dir.path(name));
    };
    const auto a = gen("a.las", ""), b = gen("b.las", " --seed 1"), c = gen("c.las", " --seed 2");
    ASSERT_EQ(a.size(), 227u + 20 * 5000);
    EXPECT_EQ(a, b) << "the default seed is 1";
    EXPECT_NE(a, c);

    const LasHeader h = headerOf(a);
    EXPECT_EQ(+h.numberOfPointRecords, 5000u);
    EXPECT_GE(+h.minX, 512000.0);
    EXPECT_LT(+h.maxX, 513000.0);
    EXPECT_GE(+h.minY, 4180000.0);
    EXPECT_LT(+h.maxY, 4181000.0);
    EXPECT_GT(h.maxX - h.minX, 900.0) << "spread over the tile";
    std::set<int> returns, classes, intensities;
    for (size_t i = 0; i < 5000; ++i) {
        const uint8_t* r = a.data() + 227 + 20 * i;
        returns.insert(r[14] & 7);
        // A return of a pulse of at least that many returns.
        EXPECT_LE(r[14] & 7, (r[14] >> 3) & 7) << i;
        classes.insert(r[15]);
        intensities.insert(orv::las::load<uint16_t>(r + 12));
    }
    EXPECT_EQ(returns, (std::set<int>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_GE(classes.size(), 5u);
    EXPECT_GT(intensities.size(), 1000u);
}

TEST(OrvterLasCopy, CopiesWithAShiftAndReportsTheCount) {
    orvtest::TempDir dir;
    ASSERT_EQ(
        runCommand(orvter("las gen " + shellQuote(dir.path("in.las")) + " --points 2000")).status,
        0);
    auto r = runCommand(orvter("las copy " + shellQuote(dir.path("in.las")) + " " +
                               shellQuote(dir.path("out.las")) + " --shift 10,-20,0.5"));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("copied 2000 points in ", 0), 0u) << r.out;
    const LasHeader in = headerOf(orvtest::readFile(dir.path("in.las")));
    const auto outBytes = orvtest::readFile(dir.path("out.las"));
    const LasHeader out = headerOf(outBytes);
    ASSERT_EQ(outBytes.size(), 227u + 20 * 2000);
    EXPECT_EQ(+out.numberOfPointRecords, 2000u);
    // The reader rounds to float: at these coordinates floats are 1/16 to 1/2 unit apart.
    EXPECT_NEAR(out.minX, in.minX + 10, 0.07);
    EXPECT_NEAR(out.maxY, in.maxY - 20, 0.6);
    EXPECT_NEAR(out.minZ, in.minZ + 0.5, 0.0011);  // both truncated to thousandths
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(+out.numberOfPointsByReturn[k], 0u) << "no return numbers";
}

TEST(OrvterLasCopy, FailuresGiveOneLineAndStatus) {
    orvtest::TempDir dir;
    ASSERT_EQ(
        runCommand(orvter("las gen " + shellQuote(dir.path("in.las")) + " --points 10")).status, 0);
    orvtest::writeFile(dir.path("short.las"), std::vector<uint8_t>(100, 0));
    const std::string in = shellQuote(dir.path("in.las"));
    struct Case {
        std::string args;
        int status;
    };
    const Case cases[] = {
        {"las copy " + shellQuote(dir.path("missing.las")) + " " + shellQuote(dir.path("o.las")),
         1},
        {"las copy " + shellQuote(dir.path("short.las")) + " " + shellQuote(dir.path("o.las")), 1},
        {"las copy " + in + " /dev/full", 1},
        {"las copy " + in + " " + shellQuote(dir.path("no/folder/o.las")), 1},
        {"las copy " + in + " " + shellQuote(dir.path("o.las")) + " --shift 1e300,0,0", 1},
        {"las copy " + in + " " + shellQuote(dir.path("o.las")) + " --shift 1,2", 2},
        {"las copy " + in, 2},
        {"las gen " + shellQuote(dir.path("g.las")), 2},
    };
    for (const Case& c : cases) {
        auto r = runCommand(orvter(c.args) + " 2>&1 >/dev/null");
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
        if (c.status == 1) {
            EXPECT_EQ(r.out.rfind("orvter: ", 0), 0u) << r.out;
            EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line: " << r.out;
        }
    }
}

TEST(OrvterLasCopy, CopiesEverySharedSampleTheReaderAccepts) {
    const std::string data = orvtest::lasDataDir();
    if (data.empty()) GTEST_SKIP() << "shared LAS samples not found";
    orvtest::TempDir dir;
    for (const auto& e : orvtest::loadExpectedLas(data)) {
        auto r = runCommand(orvter("las copy --pool " + shellQuote(data + "/" + e.name) + " " +
                                   shellQuote(dir.path("out.las"))));
        ASSERT_EQ(r.status, 0) << e.name;
        const uint64_t present =
            e.fileSize > e.offsetToPoints ? (e.fileSize - e.offsetToPoints) / e.recordLength : 0;
        const auto bytes = orvtest::readFile(dir.path("out.las"));
        const uint64_t count = std::min<uint64_t>(e.pointCount, present);
        EXPECT_EQ(bytes.size(), 227 + 20 * count) << e.name;
        EXPECT_EQ(+headerOf(bytes).numberOfPointRecords, count) << e.name;
    }
}

// Points of a LAS file as las to-text gives them: x, y, z a line.
std::vector<std::array<double, 3>> pointsOf(const std::string& path) {
    const auto r = runCommand(orvter("las to-text " + shellQuote(path) + " -"));
    std::vector<std::array<double, 3>> out;
    std::istringstream lines(r.out);
    std::array<double, 3> p{};
    char comma = 0;
    while (lines >> p[0] >> comma >> p[1] >> comma >> p[2]) out.push_back(p);
    return out;
}

// Thinning keeps one point per occupied cell: every output point in its own cell, every cell
// of the input represented, the lowest or (the same for the same seed) a random one.
TEST(OrvterLasCopy, ThinningKeepsOnePointPerOccupiedCell) {
    orvtest::TempDir dir;
    const std::string in = dir.path("in.las");
    ASSERT_EQ(runCommand(orvter("las gen --quiet --points 20000 " + shellQuote(in))).status, 0);
    const auto input = pointsOf(in);
    ASSERT_EQ(input.size(), 20000u);
    const struct {
        std::string options;
        double size;
        bool voxel, lowest;
    } cases[] = {
        {"--thin-grid 100", 100, false, true},
        {"--thin-grid 37.5 --thin-pick random --thin-seed 7", 37.5, false, false},
        {"--thin-voxel 20", 20, true, true},
    };
    for (const auto& c : cases) {
        auto cell = [&](const std::array<double, 3>& p) {
            return std::make_tuple(std::floor(p[0] / c.size), std::floor(p[1] / c.size),
                                   c.voxel ? std::floor(p[2] / c.size) : 0.0);
        };
        std::map<std::tuple<double, double, double>, double> lowest;
        for (const auto& p : input) {
            auto [at, added] = lowest.emplace(cell(p), p[2]);
            if (!added) at->second = std::min(at->second, p[2]);
        }
        const std::string out = dir.path("out.las");
        const auto r = runCommand(
            orvter("las copy --quiet " + c.options + " " + shellQuote(in) + " " + shellQuote(out)));
        ASSERT_EQ(r.status, 0) << c.options << ":\n" << r.out;
        const auto kept = pointsOf(out);
        EXPECT_EQ(kept.size(), lowest.size()) << c.options << ": one point per occupied cell";
        std::set<std::tuple<double, double, double>> seen;
        for (const auto& p : kept) {
            EXPECT_TRUE(seen.insert(cell(p)).second) << c.options << ": two points in a cell";
            if (c.lowest) {
                EXPECT_EQ(p[2], lowest[cell(p)]) << c.options;
            }
        }
        if (c.lowest) continue;
        const std::string again = dir.path("again.las");
        runCommand(orvter("las copy --quiet " + c.options + " " + shellQuote(in) + " " +
                          shellQuote(again)));
        EXPECT_EQ(orvtest::readFile(again), orvtest::readFile(out)) << "the same seed";
    }
}

}  // namespace
