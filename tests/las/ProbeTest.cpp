#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "OrvLas.h"
#include "support/ExpectedLas.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orvtest::LasBuilder;

constexpr double kUntouched = 42.0;

struct ProbeResult {
    long result;
    orv::XPnt3d point;
};

ProbeResult probe(const std::string& path) {
    orv::XPnt3d p(kUntouched, kUntouched, kUntouched, 7);
    long r = orv::ReadFirstPntFromLas(path.c_str(), p);
    return {r, p};
}

LasBuilder referenceCloud() {
    LasBuilder las;
    las.header.xOffset = 1000.0;
    las.header.yOffset = 2000.0;
    las.add({1500, -250, 12345, 9, 1, 2}).add({0, 0, 0, 0, 0, 0});
    return las;
}

TEST(Probe, ReturnsTheFirstRecordInRealWorldCoordinates) {
    orvtest::TempDir dir;
    LasBuilder las = referenceCloud();
    auto bytes = las.bytes();
    for (size_t size : {bytes.size(), size_t{70000}}) {  // small files too, not only >= 64 KiB
        bytes.resize(size);
        orvtest::writeFile(dir.path("cloud.las"), bytes);
        for (int again = 0; again < 2; ++again) {
            ProbeResult r = probe(dir.path("cloud.las"));
            ASSERT_EQ(r.result, 1) << size;
            EXPECT_DOUBLE_EQ(r.point.x, 1001.5);
            EXPECT_DOUBLE_EQ(r.point.y, 1999.75);
            EXPECT_DOUBLE_EQ(r.point.z, 12.345);
            EXPECT_EQ(r.point.attr, 7) << "the attribute is not the probe's to write";
        }
    }
}

TEST(Probe, FollowsTheOffsetToPointDataAndIgnoresTheCount) {
    orvtest::TempDir dir;
    LasBuilder las = referenceCloud();
    las.gap = 1000 - 227;
    las.header.numberOfPointRecords = 0;
    las.keepCount = true;
    orvtest::writeFile(dir.path("vlrs.las"), las.bytes());
    ProbeResult r = probe(dir.path("vlrs.las"));
    ASSERT_EQ(r.result, 1);
    EXPECT_DOUBLE_EQ(r.point.x, 1001.5);
}

TEST(Probe, RefusesWithoutTouchingThePoint) {
    orvtest::TempDir dir;
    const auto good = referenceCloud().bytes();
    auto badSignature = good;
    badSignature[3] = 'X';
    LasBuilder far = referenceCloud();
    far.gap = 65536 - 227 - 11;  // X, Y, Z would end one byte past the 64 KiB window
    LasBuilder edge = referenceCloud();
    edge.gap = 65536 - 227 - 12;  // X, Y, Z end exactly at the window's end

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        long expected;
    } cases[] = {
        {"empty file", {}, 0},
        {"signature LASX", badSignature, 0},
        {"cut inside the header", std::vector<uint8_t>(good.begin(), good.begin() + 226), 0},
        {"header without records", std::vector<uint8_t>(good.begin(), good.begin() + 227), 0},
        {"record cut before Z ends", std::vector<uint8_t>(good.begin(), good.begin() + 238), 0},
        {"record holding only X, Y, Z", std::vector<uint8_t>(good.begin(), good.begin() + 239), 1},
        {"first record beyond the window", far.bytes(), 0},
        {"first record ending at the window", edge.bytes(), 1},
    };
    for (const Case& c : cases) {
        orvtest::writeFile(dir.path("f.las"), c.bytes);
        ProbeResult r = probe(dir.path("f.las"));
        EXPECT_EQ(r.result, c.expected) << c.name;
        if (r.result == 0) {
            EXPECT_EQ(r.point.x, kUntouched) << c.name;
        }
    }
    EXPECT_EQ(probe(dir.path("missing.las")).result, 0);
    EXPECT_EQ(probe(dir.path("")).result, 0);
}

TEST(Probe, ConcurrentProbesNeverSeeEachOthersFile) {
    orvtest::TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) {
        LasBuilder las;
        las.add({i * 1000, 0, 0, 0, 0, 0});
        paths.push_back(dir.path("c" + std::to_string(i) + ".las"));
        orvtest::writeFile(paths.back(), las.bytes());
    }
    std::vector<std::thread> threads;
    std::vector<int> wrong(paths.size(), 0);
    for (size_t t = 0; t < paths.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < 300; ++k) {
                ProbeResult r = probe(paths[t]);
                if (r.result != 1 || r.point.x != static_cast<double>(t)) ++wrong[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (size_t t = 0; t < paths.size(); ++t) EXPECT_EQ(wrong[t], 0) << paths[t];
}

TEST(Probe, AgreesWithTheIndependentReaderOnRealFiles) {
    const std::string dir = orvtest::lasDataDir();
    if (dir.empty()) GTEST_SKIP() << "shared LAS samples not found";
    const auto expected = orvtest::loadExpectedLas(dir);
    ASSERT_GE(expected.size(), 20u);
    int accepted = 0;
    for (const auto& e : expected) {
        ProbeResult r = probe(dir + "/" + e.name);
        const bool inWindow = e.firstPoint && e.offsetToPoints + 12 <= 65536;
        ASSERT_EQ(r.result, inWindow ? 1 : 0) << e.name;
        if (!inWindow) continue;
        ++accepted;
        const double tol = e.firstPointTolerance * 1.0001 + 1e-9;
        EXPECT_NEAR(r.point.x, (*e.firstPoint)[0], tol) << e.name;
        EXPECT_NEAR(r.point.y, (*e.firstPoint)[1], tol) << e.name;
        EXPECT_NEAR(r.point.z, (*e.firstPoint)[2], tol) << e.name;
    }
    EXPECT_GE(accepted, 20);
}

}  // namespace
