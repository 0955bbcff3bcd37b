// The library's files read back by an independent reader (the copc package under Node.js).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "OrvLas.h"
#include "OrvLasFile.h"
#include "OrvLasPoints.h"
#include "OrvLasStream.h"
#include "support/ExpectedLas.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orvtest::makePnt;

using orvtest::shellQuote;

// Runs the independent reader on `path`; fails the test when it cannot run.
nlohmann::json readWithCopc(const std::string& path) {
    struct stat st;
    const std::string package = std::string(ORV_JS_DIR) + "/node_modules/copc/package.json";
    EXPECT_EQ(stat(ORV_NODE_PATH, &st), 0) << "Node.js not found; run scripts/setup.sh";
    EXPECT_EQ(stat(package.c_str(), &st), 0) << "copc not installed; run scripts/setup.sh";
    const auto r = orvtest::runCommand(shellQuote(ORV_NODE_PATH) + " " +
                                       shellQuote(std::string(ORV_JS_DIR) + "/read_las.js") + " " +
                                       shellQuote(path));
    EXPECT_EQ(r.status, 0) << path;
    if (r.status != 0) return nlohmann::json();
    return nlohmann::json::parse(r.out);
}

class CrossCheck : public orvtest::CountedTest {
protected:
    orvtest::TempDir dir;
};

TEST_F(CrossCheck, WrittenCloudReadsBackAlike) {
    orv::OrvPtr<orv::LasPntPool> pool = orv::newLasPntPool();
    for (int i = 0; i < 3000; ++i) {
        // Negative and positive relative coordinates, every return number, class 12 and the
        // class byte's flag bits, the whole point-source byte.
        const LasPnt p = makePnt(float(i % 97) * 3.3f - 150.0f, float(i) * 0.731f - 1000.0f,
                                 float(i % 13) * -1.25f, uint16_t(i * 37), uint8_t(i % 8),
                                 uint8_t(i % 7 == 0 ? 12 : (i * 11) % 256), uint8_t(i % 256));
        pool->add(&p);
    }
    orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(pool.get());
    orv::XPnt3d shift(655000.25, 5300000.5, 350.0);
    const std::string path = dir.path("cloud.las");
    ASSERT_EQ(orv::orvSavePoint2Las(pointers.get(), &shift, path.c_str(), nullptr), 0);

    const nlohmann::json j = readWithCopc(path);
    ASSERT_FALSE(j.is_null());
    EXPECT_EQ(j["systemIdentifier"], "ORV_LAS_RAW_DATA");
    EXPECT_EQ(j["generatingSoftware"], "ORV_LAS_TRANSFER");
    ASSERT_EQ(j["pointCount"], pool->size());
    ASSERT_EQ(j["points"].size(), pool->size());

    const double offset[3] = {std::trunc(pool->data()[0].pnt.x + shift.x),
                              std::trunc(pool->data()[0].pnt.y + shift.y), 0.0};
    double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    uint32_t byReturn[5] = {};
    for (size_t i = 0; i < pool->size(); ++i) {
        const LasPnt p = pool->data()[i];
        const double c[3] = {p.pnt.x + shift.x, p.pnt.y + shift.y, p.pnt.z + shift.z};
        const auto& got = j["points"][i];
        for (int axis = 0; axis < 3; ++axis) {
            const double stored = std::trunc((c[axis] - offset[axis]) * 1000.0);
            // The header's bounds are those of the stored integers.
            lo[axis] = std::min(lo[axis], stored * 0.001 + offset[axis]);
            hi[axis] = std::max(hi[axis], stored * 0.001 + offset[axis]);
            ASSERT_NEAR(got[axis].get<double>(), stored * 0.001 + offset[axis], 1e-6)
                << i << " " << axis;
        }
        ASSERT_EQ(got[3], +p.pnt.attr) << i;
        ASSERT_EQ(got[4], +p.returnNumber & 7) << i;
        ASSERT_EQ(got[5], +p.classification) << i;
        ASSERT_EQ(got[6], +p.pointSource) << i;
        if (p.returnNumber >= 1 && p.returnNumber <= 5) ++byReturn[p.returnNumber - 1];
    }
    for (int k = 0; k < 5; ++k) EXPECT_EQ(j["pointCountByReturn"][k], byReturn[k]) << k;
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_EQ(j["scale"][axis], 0.001);
        EXPECT_EQ(j["offset"][axis], offset[axis]);
        EXPECT_EQ(j["min"][axis], lo[axis]) << axis;
        EXPECT_EQ(j["max"][axis], hi[axis]) << axis;
    }
}

TEST_F(CrossCheck, CopiedSamplesKeepTheirPoints) {
    const std::string data = orvtest::lasDataDir();
    if (data.empty()) GTEST_SKIP() << "shared LAS samples not found";
    for (const auto& e : orvtest::loadExpectedLas(data)) {
        const std::string in = data + "/" + e.name, out = dir.path("copy.las");
        orv::LasPntPool* raw = nullptr;
        if (orv::orvReadLas(in.c_str(), &raw, nullptr) != 1)
            continue;  // only what the reader accepts
        orv::OrvPtr<orv::LasPntPool> pool = orv::OrvPtr<orv::LasPntPool>::adopt(raw);
        const auto r = orvtest::runCommand(shellQuote(ORVTER_PATH) + " las copy --pool " +
                                           shellQuote(in) + " " + shellQuote(out));
        ASSERT_EQ(r.status, 0) << e.name;
        // Whatever the source's version and format, the copy is LAS 1.1, format 0, 20 bytes.
        LasHeader written;
        ASSERT_EQ(orv::ReadLasHeader(out.c_str(), written), 0) << e.name;
        EXPECT_EQ(+written.versionMinor, 1) << e.name;
        EXPECT_EQ(+written.pointDataFormat, 0) << e.name;
        EXPECT_EQ(+written.pointDataRecordLength, 20) << e.name;
        EXPECT_EQ(+written.headerSize, 227) << e.name;
        const nlohmann::json j = readWithCopc(out);
        ASSERT_FALSE(j.is_null()) << e.name;
        ASSERT_EQ(j["pointCount"], pool->size()) << e.name;
        ASSERT_EQ(j["points"].size(), pool->size()) << e.name;
        for (size_t i = 0; i < pool->size(); ++i) {
            const LasPnt p = pool->data()[i];
            const float xyz[3] = {p.pnt.x, p.pnt.y, p.pnt.z};
            const auto& got = j["points"][i];
            // Stored in thousandths truncated toward zero: at most a thousandth from the float.
            for (int axis = 0; axis < 3; ++axis)
                ASSERT_NEAR(got[axis].get<double>(), xyz[axis], 0.001 + 1e-9) << e.name << " " << i;
            ASSERT_EQ(got[3], +p.pnt.attr) << e.name << " " << i;
            ASSERT_EQ(got[4], 0) << "the bulk reader keeps no return numbers";
            ASSERT_EQ(got[5], +p.classification) << e.name << " " << i;
            ASSERT_EQ(got[6], 0) << e.name << " " << i;
        }
    }
}

TEST_F(CrossCheck, LosslessCopiesReadAlikeInCopc) {
    const std::string data = orvtest::lasDataDir();
    if (data.empty()) GTEST_SKIP() << "shared LAS samples not found";
    for (const auto& e : orvtest::loadExpectedLas(data)) {
        const std::string in = data + "/" + e.name, out = dir.path("copy.las");
        orv::LasReader reader;
        if (reader.open(in.c_str()) != 0) continue;  // only what the reader accepts
        const auto r = orvtest::runCommand(shellQuote(ORVTER_PATH) + " las copy " + shellQuote(in) +
                                           " " + shellQuote(out));
        ASSERT_EQ(r.status, 0) << e.name;
        const nlohmann::json a = readWithCopc(in), b = readWithCopc(out);
        ASSERT_FALSE(a.is_null() || b.is_null()) << e.name;
        EXPECT_EQ(b["points"], a["points"]) << e.name;
        EXPECT_EQ(b["pointDataRecordFormat"], a["pointDataRecordFormat"]) << e.name;
        EXPECT_EQ(b["systemIdentifier"], a["systemIdentifier"]) << e.name;
    }
}

// Every point of `path` through the input stream, with no origin: absolute coordinates.
std::vector<LasPnt> streamAll(const std::string& path) {
    orv::OrvPtr<IOrvInPntsStream> s(newInLasPntStream());
    EXPECT_EQ(s->open(path.c_str(), nullptr), 0) << path;
    std::vector<LasPnt> out;
    while (orv::OrvPtr<orv::LasPntArray> block = s->readPnts(1, 4096)) {
        if (block->size() == 0) break;
        out.insert(out.end(), block->data(), block->data() + block->size());
    }
    return out;
}

TEST_F(CrossCheck, ReadersAgreeWithCopcOnEverySample) {
    const std::string data = orvtest::lasDataDir();
    if (data.empty()) GTEST_SKIP() << "shared LAS samples not found";
    int compared = 0, extended = 0;
    for (const auto& e : orvtest::loadExpectedLas(data)) {
        const std::string path = data + "/" + e.name;
        const nlohmann::json want = readWithCopc(path);
        ASSERT_FALSE(want.is_null()) << e.name;
        const auto& points = want["points"];

        // The tool's report: the count the header states, the points the readers return, bounds.
        const auto r = orvtest::runCommand(shellQuote(ORVTER_PATH) + " las info --json " +
                                           shellQuote(path) + " 2>/dev/null");
        ASSERT_EQ(r.status, 0) << e.name;
        const nlohmann::json info = nlohmann::json::parse(r.out);
        const bool has64 = !info["extended_point_count"].is_null();
        EXPECT_EQ(info[has64 ? "extended_point_count" : "point_count"], want["pointCount"])
            << e.name;
        EXPECT_EQ(info["stated_points"], want["pointCount"]) << e.name;
        EXPECT_EQ(info["readable_points"], points.size()) << e.name;
        // The tool prints bounds at the precision of the file's scale.
        for (int a = 0; a < 3; ++a) {
            const double half = info["scale"][a].get<double>() / 2 + 1e-9;
            EXPECT_NEAR(info["min"][a].get<double>(), want["min"][a].get<double>(), half) << e.name;
            EXPECT_NEAR(info["max"][a].get<double>(), want["max"][a].get<double>(), half) << e.name;
        }
        EXPECT_EQ(info["point_format"], want["pointDataRecordFormat"]) << e.name;

        orv::LasPntPool* raw = nullptr;
        ASSERT_EQ(orv::orvReadLas(path.c_str(), &raw, nullptr), 1) << e.name;
        orv::OrvPtr<orv::LasPntPool> pool = orv::OrvPtr<orv::LasPntPool>::adopt(raw);
        const std::vector<LasPnt> streamed = streamAll(path);
        ASSERT_EQ(pool->size(), points.size()) << e.name;
        ASSERT_EQ(streamed.size(), points.size()) << e.name;
        for (size_t i = 0; i < points.size(); ++i) {
            const auto& w = points[i];
            const LasPnt b = pool->data()[i], s = streamed[i];
            // Both readers round the same double to float: exactly the float of copc's double.
            for (const LasPnt& p : {b, s}) {
                ASSERT_EQ(+p.pnt.x, static_cast<float>(w[0].get<double>())) << e.name << " " << i;
                ASSERT_EQ(+p.pnt.y, static_cast<float>(w[1].get<double>())) << e.name << " " << i;
                ASSERT_EQ(+p.pnt.z, static_cast<float>(w[2].get<double>())) << e.name << " " << i;
                ASSERT_EQ(+p.pnt.attr, w[3].get<int>()) << e.name << " " << i;
                ASSERT_EQ(+p.classification, w[5].get<int>()) << e.name << " " << i;
            }
            ASSERT_EQ(+s.returnNumber, w[4].get<int>()) << e.name << " " << i;
        }
        ++compared;
        if (e.pointFormat >= 6) ++extended;
    }
    EXPECT_GE(compared, 24);
    EXPECT_GE(extended, 2);
}

TEST_F(CrossCheck, StreamedSamplesKeepTheirPoints) {
    const std::string data = orvtest::lasDataDir();
    if (data.empty()) GTEST_SKIP() << "shared LAS samples not found";
    int compared = 0;
    for (const auto& e : orvtest::loadExpectedLas(data)) {
        const std::string in = data + "/" + e.name, out = dir.path("streamed.las");
        const auto r = orvtest::runCommand(shellQuote(ORVTER_PATH) + " las stream --quiet " +
                                           shellQuote(in) + " " + shellQuote(out));
        if (r.status != 0) continue;  // only what the stream accepts
        const nlohmann::json source = readWithCopc(in);
        const nlohmann::json copy = readWithCopc(out);
        ASSERT_FALSE(source.is_null() || copy.is_null()) << e.name;
        ASSERT_EQ(copy["points"].size(), source["points"].size()) << e.name;
        ASSERT_EQ(copy["pointCount"], source["points"].size()) << e.name;
        EXPECT_EQ(copy["systemIdentifier"], "Pelvaron");
        EXPECT_EQ(copy["generatingSoftware"], "Lodrune");
        const auto& first = source["points"].empty() ? nlohmann::json() : source["points"][0];
        for (size_t i = 0; i < source["points"].size(); ++i) {
            const auto& want = source["points"][i];
            const auto& got = copy["points"][i];
            for (int axis = 0; axis < 3; ++axis) {
                // Thousandths truncated toward zero, after a float relative to the origin (the
                // first point): 0.001 plus half a float step at that distance.
                const double w = want[axis].get<double>();
                const double tolerance =
                    0.001 + 1e-9 + std::fabs(w - first[axis].get<double>()) * 0x1.0p-24;
                ASSERT_NEAR(got[axis].get<double>(), w, tolerance) << e.name << " " << i;
            }
            ASSERT_EQ(got[3], want[3]) << e.name << " " << i;
            ASSERT_EQ(got[4], want[4]) << e.name << " " << i;
            ASSERT_EQ(got[5], want[5]) << e.name << " " << i;
        }
        ++compared;
    }
    EXPECT_GE(compared, 20);
}

// Point `i` of `a` and point `j` of `b` as the independent reader gives them: the same place
// (within half the coarser scale), intensity, return, class and source.
::testing::AssertionResult samePoint(const nlohmann::json& a, size_t i, const nlohmann::json& b,
                                     size_t j) {
    const auto &p = a["points"][i], &q = b["points"][j];
    for (int axis = 0; axis < 3; ++axis) {
        const double half =
            std::max(a["scale"][axis].get<double>(), b["scale"][axis].get<double>());
        const double v = p[axis].get<double>(), w = q[axis].get<double>();
        if (std::fabs(v - w) > half / 2 + 1e-15 * std::fabs(v))
            return ::testing::AssertionFailure() << "axis " << axis << ": " << v << " and " << w;
    }
    for (int k = 3; k < 7; ++k)
        if (p[k] != q[k]) return ::testing::AssertionFailure() << "field " << k << ": " << p << q;
    return ::testing::AssertionSuccess();
}

TEST_F(CrossCheck, TextOfEverySampleReadsBackAsItsRecords) {
    const std::string data = orvtest::lasDataDir();
    if (data.empty()) GTEST_SKIP() << "shared LAS samples not found";
    const std::string orvter = shellQuote(ORVTER_PATH), text = dir.path("points.txt");
    int compared = 0;
    for (const auto& e : orvtest::loadExpectedLas(data)) {
        const std::string in = data + "/" + e.name, out = dir.path("back.las");
        const uint32_t groups = orv::lasPointFormatGroups(uint8_t(e.pointFormat));
        std::string fields =
            "x,y,z,intensity,return_number,number_of_returns,classification,synthetic,key_point,"
            "withheld,overlap,scanner_channel,scan_direction,edge_of_flight_line,scan_angle,"
            "user_data,point_source_id";
        if (groups & orv::kLasGpsTimeGroup) fields += ",gps_time";
        if (groups & orv::kLasRgbGroup) fields += ",red,green,blue";
        if (groups & orv::kLasNirGroup) fields += ",nir";
        const auto to =
            orvtest::runCommand(orvter + " las to-text --header --separator ' ' " + shellQuote(in) +
                                " " + shellQuote(text) + " --fields " + fields + " 2>&1");
        if (to.status != 0) continue;  // only what the reader accepts
        const auto from =
            orvtest::runCommand(orvter + " las from-text --quiet " + shellQuote(text) + " " +
                                shellQuote(out) + " --fields " + fields + " 2>&1");
        ASSERT_EQ(from.status, 0) << e.name << ": " << from.out;
        const nlohmann::json a = readWithCopc(in), b = readWithCopc(out);
        ASSERT_FALSE(a.is_null() || b.is_null()) << e.name;
        ASSERT_EQ(b["points"].size(), a["points"].size()) << e.name;
        for (size_t i = 0; i < a["points"].size(); ++i)
            ASSERT_TRUE(samePoint(a, i, b, i)) << e.name << " point " << i;
        ++compared;
    }
    EXPECT_GE(compared, 15);
}

TEST_F(CrossCheck, MergeOfTwoFormatsKeepsEveryInputsPoints) {
    const std::string data = orvtest::lasDataDir();
    if (data.empty()) GTEST_SKIP() << "shared LAS samples not found";
    const std::string orvter = shellQuote(ORVTER_PATH), simple = shellQuote(data + "/simple.las");
    const std::string f6 = dir.path("simple6.las"), merged = dir.path("merged.las");
    ASSERT_EQ(orvtest::runCommand(orvter + " las copy --quiet --format 6 " + simple + " " +
                                  shellQuote(f6))
                  .status,
              0);
    // Format 3 (time and colour) and 6 (the extended core) meet in format 7, said on one line.
    const auto r = orvtest::runCommand(orvter + " las merge --quiet " + shellQuote(merged) + " " +
                                       simple + " " + shellQuote(f6) + " 2>&1");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("merging point formats 3, 6 into format 7"), std::string::npos) << r.out;
    const nlohmann::json a = readWithCopc(data + "/simple.las"), m = readWithCopc(merged);
    ASSERT_FALSE(a.is_null() || m.is_null());
    EXPECT_EQ(m["pointDataRecordFormat"], 7);
    const size_t n = a["points"].size();
    ASSERT_EQ(m["points"].size(), 2 * n);
    for (size_t i = 0; i < 2 * n; ++i) ASSERT_TRUE(samePoint(a, i % n, m, i)) << i;
    // Asked for a format, the merge takes it as copy does.
    const auto asked =
        orvtest::runCommand(orvter + " las merge --quiet --format 1 " + shellQuote(merged) + " " +
                            simple + " " + shellQuote(f6));
    ASSERT_EQ(asked.status, 0) << asked.out;
    EXPECT_EQ(readWithCopc(merged)["pointDataRecordFormat"], 1);
}

}  // namespace
