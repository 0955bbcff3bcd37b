#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "OrvLasFormat.h"
#include "las/LasCodec.h"
#include "support/ExpectedLas.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orv::las::load;
using orvtest::runCommand;
using orvtest::shellQuote;

std::string orvter(const std::string& args) {
    return shellQuote(ORVTER_PATH) + " " + args;
}

// The stored values are truncated toward zero to thousandths (up or down, by the side of the
// offset), and each coordinate passed as a float relative to the origin (the first point):
// 0.001 plus half a float step at that distance.
constexpr double kTolerance = 0.001 + 1e-9;
double tolerance(double value, double origin) {
    return kTolerance + std::fabs(value - origin) * 0x1.0p-24;
}

struct Point {
    double x, y, z;
    uint16_t intensity;
    uint8_t returnNumber, classification;
};

// Every whole record of a 1.x file, in double precision.
std::vector<Point> readLas1x(const std::string& path) {
    const auto bytes = orvtest::readFile(path);
    std::vector<Point> out;
    if (bytes.size() < sizeof(LasHeader)) return out;
    LasHeader h;
    std::memcpy(&h, bytes.data(), sizeof h);
    const auto s = orv::las::Scaling::of(h);
    const auto layout = orv::las::RecordLayout::forFormat(h.pointDataFormat);
    const uint64_t length = h.pointDataRecordLength;
    for (uint64_t at = h.offsetToPointData;
         length >= layout.minLength && at + length <= bytes.size(); at += length) {
        const auto r = orv::las::decodeRecord1x(bytes.data() + at, s, layout);
        out.push_back({r.x, r.y, r.z, r.intensity, r.returnNumber, r.classification});
    }
    return out;
}

// Every whole record of a 2.0 file: stored doubles plus the header offsets.
std::vector<Point> readLas20(const std::string& path) {
    const auto bytes = orvtest::readFile(path);
    std::vector<Point> out;
    Las2Header h;
    std::memcpy(&h, bytes.data(), sizeof h);
    const double offsets[3] = {h.xOffset, h.yOffset, h.zOffset};
    for (uint64_t at = h.offsetToPointData; at + h.pointRecordLength <= bytes.size();
         at += h.pointRecordLength) {
        const auto r = orv::las::decodeRecord20(bytes.data() + at, offsets);
        out.push_back({r.x, r.y, r.z, r.intensity, r.returnNumber, r.classification});
    }
    return out;
}

void expectSamePoints(const std::vector<Point>& got, const std::vector<Point>& want,
                      bool attributes, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    int bad = 0;
    for (size_t i = 0; i < got.size() && bad < 5; ++i) {
        const bool ok = std::fabs(got[i].x - want[i].x) <= tolerance(want[i].x, want[0].x) &&
                        std::fabs(got[i].y - want[i].y) <= tolerance(want[i].y, want[0].y) &&
                        std::fabs(got[i].z - want[i].z) <= tolerance(want[i].z, want[0].z) &&
                        got[i].intensity == want[i].intensity &&
                        (!attributes || (got[i].returnNumber == want[i].returnNumber &&
                                         got[i].classification == want[i].classification));
        if (!ok) {
            ++bad;
            ADD_FAILURE() << what << " point " << i << ": got " << got[i].x << " " << got[i].y
                          << " " << got[i].z << ", want " << want[i].x << " " << want[i].y << " "
                          << want[i].z;
        }
    }
}

TEST(OrvterLasStream, RoundTripOfEverySharedSampleKeepsEveryPoint) {
    const std::string dir = orvtest::lasDataDir();
    if (dir.empty()) GTEST_SKIP() << "shared LAS samples not found";
    orvtest::TempDir tmp;
    for (const auto& e : orvtest::loadExpectedLas(dir)) {
        const std::string in = dir + "/" + e.name, out = tmp.path(e.name);
        auto r =
            runCommand(orvter("las stream --block 1000 " + shellQuote(in) + " " + shellQuote(out)));
        ASSERT_EQ(r.status, 0) << e.name << ": " << r.out;
        EXPECT_EQ(r.out.find('\r'), std::string::npos) << "no progress line off a terminal";
        const auto source = readLas1x(in);
        const auto copy = readLas1x(out);
        // Formats 6 and above keep their classification elsewhere than byte 15: the streams read
        // the first 16 bytes of the older layout, so only X, Y, Z and intensity carry over.
        expectSamePoints(copy, source, e.pointFormat < 6, e.name);
        if (e.firstPoint && !copy.empty()) {
            EXPECT_NEAR(copy[0].x, (*e.firstPoint)[0], kTolerance + e.firstPointTolerance)
                << e.name;
            EXPECT_NEAR(copy[0].y, (*e.firstPoint)[1], kTolerance + e.firstPointTolerance)
                << e.name;
            EXPECT_NEAR(copy[0].z, (*e.firstPoint)[2], kTolerance + e.firstPointTolerance)
                << e.name;
        }
    }
}

TEST(OrvterLasStream, A20FileWithTheDefaultOriginBecomesAbsolute11) {
    orvtest::TempDir tmp;
    const std::string in = tmp.path("gen20.las"), out = tmp.path("out.las");
    ASSERT_EQ(runCommand(orvter("las gen --layout 2.0 --points 5000 " + shellQuote(in))).status, 0);
    auto r = runCommand(
        orvter("las stream --quiet --block 777 " + shellQuote(in) + " " + shellQuote(out)));
    ASSERT_EQ(r.status, 0) << r.out;
    const auto source = readLas20(in);
    ASSERT_EQ(source.size(), 5000u);
    EXPECT_GT(source[0].x, 500000.0) << "real map coordinates";
    expectSamePoints(readLas1x(out), source, true, "2.0");
}

// Files built byte by byte as other writers lay them out: every command that reads with the
// point streams or the bulk reader takes them.
TEST(OrvterLasStream, LeanCommandsReadByteBuiltFilesOfEitherLayout) {
    orvtest::TempDir tmp;
    orvtest::Las20Builder v20;
    v20.header.unused25[0] = '0';  // version bytes "2", "0"
    for (double k : {1.5, 2.5, 3.5}) v20.add({k, -k, k / 2, 7, 1, 2});
    orvtest::Las20Builder signed20 = v20;
    std::memcpy(signed20.header.unused0, "LASF", 4);
    orvtest::LasBuilder binary2;
    binary2.header.versionMajor = 2;
    for (int32_t k : {100, 200, 300}) binary2.add({k, -k, k, 7, 1, 2});
    binary2.header.minX = binary2.header.minZ = 0.1, binary2.header.minY = -0.3;
    binary2.header.maxX = binary2.header.maxZ = 0.3, binary2.header.maxY = -0.1;
    orvtest::LasBuilder wrongSize = binary2;
    wrongSize.header.versionMajor = 1;
    wrongSize.header.versionMinor = 4;
    wrongSize.header.headerSize = 0x1234;  // the offset to point data stays 227
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool layout20;
    } cases[] = {
        {"2.0, version \"20\"", v20.bytes(), true},
        {"2.0 signed LASF", signed20.bytes(), true},
        {"1.x, byte 24 binary 2", binary2.bytes(), false},
        {"1.4, header size 0x1234", wrongSize.bytes(), false},
    };
    for (const Case& c : cases) {
        const std::string in = tmp.path("in.las"), out = tmp.path("out.las");
        orvtest::writeFile(in, c.bytes);
        std::vector<std::string> commands = {"las stream --strict", "las info"};
        if (!c.layout20) commands.push_back("las copy --pool --strict");
        for (const std::string& command : commands) {
            std::remove(out.c_str());
            const bool writes = command != "las info";
            auto r = runCommand(orvter(command + " " + shellQuote(in) +
                                       (writes ? " " + shellQuote(out) : "")) +
                                " 2>&1");
            ASSERT_EQ(r.status, 0) << c.what << ", " << command << ": " << r.out;
            if (!writes) continue;
            const auto want = c.layout20 ? readLas20(in) : readLas1x(in);
            // The pool's writer keeps no return numbers.
            expectSamePoints(readLas1x(out), want, command.find("--pool") == std::string::npos,
                             std::string(c.what) + ", " + command);
        }
    }
}

TEST(OrvterLasStream, StepKeepsEveryNthPointOfEachBlockAndOriginsAreAddedBack) {
    orvtest::TempDir tmp;
    const std::string in = tmp.path("gen.las");
    ASSERT_EQ(runCommand(orvter("las gen --points 1000 " + shellQuote(in))).status, 0);
    const auto source = readLas1x(in);
    struct Case {
        std::string args;
        int step, block;
    } cases[] = {
        {"--step 3 --block 100", 3, 100},
        {"--step 7 --block 64 --origin 512000,4180000,100", 7, 64},
        {"--origin 512500.5,4180500.25,0", 1, 1000000},
    };
    for (const Case& c : cases) {
        const std::string out = tmp.path("out.las");
        auto r = runCommand(
            orvter("las stream " + c.args + " " + shellQuote(in) + " " + shellQuote(out)));
        ASSERT_EQ(r.status, 0) << c.args;
        std::vector<Point> want;
        for (size_t i = 0; i < source.size(); ++i)
            if ((i % static_cast<size_t>(c.block)) % static_cast<size_t>(c.step) == 0)
                want.push_back(source[i]);
        expectSamePoints(readLas1x(out), want, true, c.args);
        EXPECT_NE(r.out.find("streamed " + std::to_string(want.size()) + " of 1000"),
                  std::string::npos)
            << r.out;
    }
}

TEST(OrvterLasStream, FailuresGiveOneLineOnStandardError) {
    orvtest::TempDir tmp;
    const std::string in = tmp.path("gen.las");
    ASSERT_EQ(runCommand(orvter("las gen --points 10 " + shellQuote(in))).status, 0);
    // Points 3,000 km apart: the second cannot be stored beside the offsets the first fixed.
    orvtest::LasBuilder far;
    far.header.xScale = 1.0;
    far.add({0, 0, 0, 1, 1, 1}).add({3000000, 0, 0, 2, 1, 1}).add({5, 0, 0, 3, 1, 1});
    orvtest::writeFile(tmp.path("far.las"), far.bytes());
    orvtest::writeFile(tmp.path("short.las"), std::vector<uint8_t>(100, 0));
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    orvtest::writeFile(tmp.path("far-out.las"), old);

    struct Case {
        std::string args;
        int status;
    } cases[] = {
        {shellQuote(tmp.path("missing.las")) + " " + shellQuote(tmp.path("o.las")), 1},
        {shellQuote(tmp.path("short.las")) + " " + shellQuote(tmp.path("o.las")), 1},
        {shellQuote(in) + " " + shellQuote(tmp.path("no/dir/o.las")), 1},
        {shellQuote(tmp.path("far.las")) + " " + shellQuote(tmp.path("far-out.las")), 1},
        {"--origin 1,2 " + shellQuote(in) + " " + shellQuote(tmp.path("o.las")), 2},
        {"--origin 1,2,3,4 " + shellQuote(in) + " " + shellQuote(tmp.path("o.las")), 2},
        {"--step 0 " + shellQuote(in) + " " + shellQuote(tmp.path("o.las")), 2},
        {"--block -5 " + shellQuote(in) + " " + shellQuote(tmp.path("o.las")), 2},
    };
    for (const Case& c : cases) {
        auto r = runCommand(orvter("las stream " + c.args) + " 2>&1 >/dev/null");
        EXPECT_EQ(r.status, c.status) << c.args << ": " << r.out;
        if (c.status == 1) {
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        }
    }
    // A refused point fails the whole stream: the target keeps what it held.
    EXPECT_EQ(orvtest::readFile(tmp.path("far-out.las")), old);
}

TEST(OrvterLasStream, StopsWhereThePointRecordsEnd) {
    orvtest::TempDir tmp;
    // `records` whole records after the header; the counts as each case states them.
    const auto file = [](size_t records, uint32_t legacy, bool v14, uint64_t count64,
                         size_t trailing) {
        orvtest::LasBuilder las;
        for (size_t i = 0; i < records; ++i) las.add({int32_t(i), 0, 0, 1, 1, 1});
        las.keepCount = true;
        las.header.numberOfPointRecords = legacy;
        if (v14) {
            las.with14 = true;
            las.header.versionMinor = 4;
            las.header.headerSize = 375;
            las.extension.numberOfPointRecords = count64;
        }
        std::vector<uint8_t> bytes = las.bytes();
        if (v14 && trailing) {
            // An extended VLR of `trailing` payload bytes right after the records.
            const uint64_t at = bytes.size();
            std::memcpy(&bytes[235], &at, 8);
            const uint32_t one = 1;
            std::memcpy(&bytes[243], &one, 4);
            std::vector<uint8_t> evlr(60 + trailing, 0);
            std::memcpy(&evlr[20], &trailing, 8);
            bytes.insert(bytes.end(), evlr.begin(), evlr.end());
        } else {
            bytes.insert(bytes.end(), trailing, 0);
        }
        return bytes;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        int streamed;
        bool warned;
    } cases[] = {
        {"10 stated, 20 whole records", file(20, 10, false, 0, 0), 10, false},
        {"100 stated, an EVLR after them", file(100, 0, true, 100, 224), 100, false},
        {"legacy 50, 64-bit 100: as copy and Python", file(100, 50, true, 100, 0), 50, false},
        {"none stated: the whole records that follow", file(5, 0, false, 0, 7), 5, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        orvtest::writeFile(tmp.path("in.las"), c.bytes);
        const auto r = runCommand(orvter("las stream --quiet " + shellQuote(tmp.path("in.las")) +
                                         " " + shellQuote(tmp.path("out.las"))) +
                                  " 2>&1");
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("streamed " + std::to_string(c.streamed) + " of"), std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("warning") != std::string::npos, c.warned) << r.out;
        EXPECT_EQ(readLas1x(tmp.path("out.las")).size(), size_t(c.streamed));
    }
}

}  // namespace
