// Cloud-optimised files: what we write is opened by a reader that is not ours (the copc package
// with laz-perf), holds every input point field for field, and answers area and detail queries
// exactly; damaged hierarchies are refused; the same reader works over HTTP range requests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "OrvCopc.h"
#include "OrvLasFile.h"
#include "copc/CopcFormat.h"
#include "las/LasBytes.h"
#include "support/TestSupport.h"

namespace {

using orvtest::shellQuote;

// A cloud of `n` points of `format` with every field set (scanner channels 0 to `channels` - 1):
// clustered in a 200 m tile so that the
// octree has several levels, GPS times in quarter seconds (exact in any printing).
void writeCloud(const std::string& path, uint8_t format, uint16_t extra, size_t n, uint32_t seed,
                const std::string& wkt = "", int channels = 4) {
    orv::LasFileHeader h;
    h.versionMinor = format >= 6 ? 4 : format >= 4 ? 3 : 2;
    h.pointFormat = format;
    h.recordLength = static_cast<uint16_t>(orv::lasStandardRecordLength(format) + extra);
    h.scale[0] = h.scale[1] = h.scale[2] = 0.01;
    h.offset[0] = 500000, h.offset[1] = 4000000;
    if (!wkt.empty()) {
        orv::LasVlr v;
        v.userId = "LASF_Projection";
        v.recordId = 2112;
        v.payload.assign(wkt.begin(), wkt.end());
        v.payload.push_back(0);
        h.vlrs.push_back(v);
        h.globalEncoding = 0x10;
    }
    std::mt19937 rng(seed);
    std::vector<double> x(n), y(n), z(n), gps(n);
    std::vector<uint16_t> intensity(n), source(n), red(n), green(n), blue(n), nir(n);
    std::vector<uint8_t> ret(n), num(n), flags(n), channel(n), dir(n), edge(n), cls(n), user(n);
    std::vector<int16_t> angle(n);
    std::vector<uint8_t> extraBytes(n * extra);
    const bool legacy = format < 6;
    for (size_t i = 0; i < n; ++i) {
        const bool cluster = i % 3 == 0;
        x[i] = 500000 + (cluster ? 50 + rng() % 1000 / 100.0 : rng() % 20000 / 100.0);
        y[i] = 4000000 + (cluster ? 20 + rng() % 1000 / 100.0 : rng() % 20000 / 100.0);
        z[i] = 100 + std::sin(x[i] / 10) * 5 + rng() % 100 / 100.0;
        gps[i] = 1000 + 0.25 * double(rng() % 100000);
        intensity[i] = uint16_t(rng()), source[i] = uint16_t(rng());
        red[i] = uint16_t(rng()), green[i] = uint16_t(rng()), blue[i] = uint16_t(rng());
        nir[i] = uint16_t(rng());
        num[i] = uint8_t(1 + rng() % (legacy ? 7 : 15));
        ret[i] = uint8_t(1 + rng() % num[i]);
        flags[i] = uint8_t(rng() % (legacy ? 8 : 16));
        channel[i] = legacy ? 0 : uint8_t(rng() % uint32_t(channels));
        dir[i] = uint8_t(rng() % 2), edge[i] = uint8_t(rng() % 2);
        cls[i] = uint8_t(rng() % (legacy ? 32 : 256));
        user[i] = uint8_t(rng());
        angle[i] = legacy ? int16_t(int(rng() % 181) - 90) : int16_t(int(rng() % 30001) - 15000);
        for (size_t k = 0; k < extra; ++k) extraBytes[i * extra + k] = uint8_t(rng());
    }
    orv::LasColumns c;
    c.x = x.data(), c.y = y.data(), c.z = z.data(), c.gpsTime = gps.data();
    c.intensity = intensity.data(), c.pointSourceId = source.data();
    c.red = red.data(), c.green = green.data(), c.blue = blue.data(), c.nir = nir.data();
    c.returnNumber = ret.data(), c.numberOfReturns = num.data();
    c.classificationFlags = flags.data(), c.scannerChannel = channel.data();
    c.scanDirection = dir.data(), c.edgeOfFlightLine = edge.data();
    c.classification = cls.data(), c.userData = user.data(), c.scanAngle = angle.data();
    if (extra) c.extraBytes = extraBytes.data();
    orv::LasWriter w;
    ASSERT_EQ(w.open(path.c_str(), h), 0) << w.error();
    ASSERT_EQ(w.write(c, n), n);
    w.close();
}

// Every point of a file as one line of its fields, sorted: files compare as multisets. The scan
// angle is compared in whole degrees, the unit both record cores can hold exactly.
std::vector<std::string> pointsOf(const orv::LasFileHeader& h, const uint8_t* records, size_t n) {
    const size_t extra = h.recordLength - orv::lasStandardRecordLength(h.pointFormat);
    std::vector<int32_t> X(n), Y(n), Z(n);
    std::vector<double> gps(n);
    std::vector<uint16_t> intensity(n), source(n), red(n), green(n), blue(n), nir(n);
    std::vector<uint8_t> ret(n), num(n), flags(n), channel(n), dir(n), edge(n), cls(n), user(n);
    std::vector<float> degrees(n);
    std::vector<uint8_t> extraBytes(n * extra + 1);
    orv::LasColumns c;
    c.X = X.data(), c.Y = Y.data(), c.Z = Z.data(), c.gpsTime = gps.data();
    c.intensity = intensity.data(), c.pointSourceId = source.data();
    c.red = red.data(), c.green = green.data(), c.blue = blue.data(), c.nir = nir.data();
    c.returnNumber = ret.data(), c.numberOfReturns = num.data();
    c.classificationFlags = flags.data(), c.scannerChannel = channel.data();
    c.scanDirection = dir.data(), c.edgeOfFlightLine = edge.data();
    c.classification = cls.data(), c.userData = user.data(), c.scanAngleDegrees = degrees.data();
    c.extraBytes = extraBytes.data();
    orv::decodeLasRecords(h, records, n, c);
    std::vector<std::string> out(n);
    char b[512];
    for (size_t i = 0; i < n; ++i) {
        int at = std::snprintf(b, sizeof b,
                               "%d %d %d %.17g %u %u %u %u %u %u %u %u %u %u %u %u %u %u %ld", X[i],
                               Y[i], Z[i], gps[i], intensity[i], source[i], red[i], green[i],
                               blue[i], nir[i], ret[i], num[i], flags[i], channel[i], dir[i],
                               edge[i], cls[i], user[i], std::lround(degrees[i]));
        for (size_t k = 0; k < extra; ++k)
            at += std::snprintf(b + at, sizeof b - size_t(at), " %u", extraBytes[i * extra + k]);
        out[i] = b;
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> pointsOfFile(const std::string& path,
                                      orv::LasFileHeader* header = nullptr) {
    orv::LasReader r;
    EXPECT_EQ(r.open(path.c_str()), 0) << path << ": " << r.error();
    std::vector<uint8_t> records(size_t(r.pointCount()) * r.header().recordLength);
    EXPECT_EQ(r.readRaw(records.data(), size_t(r.pointCount())), r.pointCount());
    if (header) *header = r.header();
    return pointsOf(r.header(), records.data(), size_t(r.pointCount()));
}

// The reader that is not ours, on a file we wrote; with `points` its points' integer fields.
nlohmann::json checkWithCopcPackage(const std::string& path, bool points = false) {
    const auto r = orvtest::runCommand(shellQuote(ORV_NODE_PATH) + " " +
                                       shellQuote(std::string(ORV_JS_DIR) + "/check_copc.js") +
                                       " " + shellQuote(path) + (points ? " --points" : ""));
    EXPECT_EQ(r.status, 0) << path;
    return r.status == 0 ? nlohmann::json::parse(r.out) : nlohmann::json();
}

bool write(const std::vector<std::string>& ins, const std::string& out, std::string& error,
           uint64_t memory = uint64_t{1} << 30, orv::CopcWriteSummary* summary = nullptr) {
    orv::CopcWriteOptions o;
    o.memoryBytes = memory;
    orv::CopcWriteSummary s;
    const bool ok = orv::writeCopc(ins, out, o, s, error);
    if (summary) *summary = s;
    return ok;
}

std::vector<std::string> query(orv::CopcReader& r, const orv::CopcQuery& q) {
    std::vector<uint8_t> records;
    const int64_t n = r.read(q, records);
    EXPECT_GE(n, 0) << r.error();
    return pointsOf(r.header(), records.data(), size_t(std::max<int64_t>(n, 0)));
}

std::vector<std::string> entriesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Copc : public ::testing::Test {
protected:
    orvtest::TempDir dir;
};

TEST_F(Copc, EveryFormatIsWrittenWithoutLossAndOpensInAnotherReader) {
    struct Case {
        uint8_t format;
        uint16_t extra;
        size_t points;
        int expectFormat;
    };
    const Case cases[] = {
        {0, 3, 70000, 6}, {1, 0, 1000, 6},  {6, 0, 0, 6},    {2, 0, 3000, 7},
        {3, 5, 50000, 7}, {6, 0, 60000, 6}, {7, 0, 2000, 7}, {8, 2, 45000, 8},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE("format " + std::to_string(k.format));
        const std::string in = dir.path("in" + std::to_string(k.format) + ".las");
        const std::string out = dir.path("out" + std::to_string(k.format) + ".copc.laz");
        writeCloud(in, k.format, k.extra, k.points, k.format + 1);
        std::string error;
        ASSERT_TRUE(write({in}, out, error)) << error;

        const nlohmann::json j = checkWithCopcPackage(out);
        ASSERT_FALSE(j.is_null());
        EXPECT_EQ(j["errors"].size(), 0u) << j["errors"].dump();
        EXPECT_EQ(j["total"], k.points);
        if (k.points > 40000) {
            EXPECT_GE(j["levels"].size(), 2u);
        }

        orv::LasFileHeader written;
        const std::vector<std::string> expected = pointsOfFile(in);
        EXPECT_EQ(pointsOfFile(out, &written), expected);
        // The query reader decodes node after node with one decoder per thread.
        orv::CopcReader r;
        ASSERT_EQ(r.open(out), 0) << r.error();
        EXPECT_EQ(query(r, orv::CopcQuery()), expected);
        EXPECT_EQ(written.pointFormat, k.expectFormat);
        EXPECT_EQ(written.recordLength,
                  orv::lasStandardRecordLength(written.pointFormat) + k.extra);
    }
}

TEST_F(Copc, AnotherReaderSeesTheInputsFields) {
    // One scanner channel: with several in a chunk, laz-perf 0.0.7 follows another colour history
    // than the codec's (which carries LASzip's over) when the channel changes.
    const std::string in = dir.path("in.las"), out = dir.path("out.copc.laz");
    writeCloud(in, 8, 0, 30000, 9, "", 1);
    std::string error;
    ASSERT_TRUE(write({in}, out, error)) << error;
    const nlohmann::json j = checkWithCopcPackage(out, true);
    ASSERT_FALSE(j.is_null());
    orv::LasReader r;
    ASSERT_EQ(r.open(in.c_str()), 0);
    const size_t n = size_t(r.pointCount());
    std::vector<int32_t> X(n), Y(n), Z(n);
    std::vector<double> gps(n);
    std::vector<uint16_t> intensity(n), source(n), red(n), green(n), blue(n), nir(n);
    std::vector<uint8_t> ret(n), num(n), cls(n), user(n);
    orv::LasColumns c;
    c.X = X.data(), c.Y = Y.data(), c.Z = Z.data(), c.gpsTime = gps.data();
    c.intensity = intensity.data(), c.pointSourceId = source.data(), c.red = red.data();
    c.green = green.data(), c.blue = blue.data(), c.nir = nir.data(), c.returnNumber = ret.data();
    c.numberOfReturns = num.data(), c.classification = cls.data(), c.userData = user.data();
    ASSERT_EQ(r.read(c, n), n);
    std::vector<std::string> ours;
    for (size_t i = 0; i < n; ++i) {
        char b[256];
        std::snprintf(b, sizeof b, "%d %d %d %.3f %u %u %u %u %u %u %u %u %u %u", X[i], Y[i], Z[i],
                      gps[i], intensity[i], ret[i], num[i], cls[i], source[i], user[i], red[i],
                      green[i], blue[i], nir[i]);
        ours.push_back(b);
    }
    std::sort(ours.begin(), ours.end());
    std::vector<std::string> theirs = j["points"].get<std::vector<std::string>>();
    std::sort(theirs.begin(), theirs.end());
    EXPECT_EQ(theirs, ours);
}

TEST_F(Copc, SeveralInputsMakeOneCloudWithTheirCrs) {
    const std::string wkt = "PROJCS[\"test\"]";
    const std::string a = dir.path("a.las"), b = dir.path("b.laz"), out = dir.path("ab.copc.laz");
    writeCloud(a, 1, 0, 20000, 1, wkt);
    writeCloud(b, 7, 0, 25000, 2, wkt);
    std::string error;
    ASSERT_TRUE(write({a, b}, out, error)) << error;
    const nlohmann::json j = checkWithCopcPackage(out);
    ASSERT_FALSE(j.is_null());
    EXPECT_EQ(j["errors"].size(), 0u) << j["errors"].dump();
    EXPECT_EQ(j["total"], 45000);
    EXPECT_EQ(j["wkt"], wkt);
    orv::LasFileHeader h;
    std::vector<std::string> both = pointsOfFile(a);
    const std::vector<std::string> second = pointsOfFile(b);
    both.insert(both.end(), second.begin(), second.end());
    std::sort(both.begin(), both.end());
    EXPECT_EQ(pointsOfFile(out, &h), both);
    EXPECT_EQ(h.pointFormat, 7);
    EXPECT_EQ(h.globalEncoding & 0x10, 0x10);
}

TEST_F(Copc, RefusesInputsThatCannotBeCombined) {
    const std::string plain = dir.path("plain.las"), crs = dir.path("crs.las");
    const std::string extra = dir.path("extra.las"), wave = dir.path("wave.las");
    writeCloud(plain, 1, 0, 100, 1);
    writeCloud(crs, 1, 0, 100, 2, "PROJCS[\"other\"]");
    writeCloud(extra, 1, 4, 100, 3);
    writeCloud(wave, 4, 0, 100, 4);
    const struct {
        std::vector<std::string> inputs;
        const char* message;
    } cases[] = {
        {{plain, crs}, "coordinate reference systems"},
        {{plain, extra}, "extra bytes"},
        {{wave}, "wave packets"},
        {{dir.path("missing.las")}, "cannot read"},
    };
    for (const auto& k : cases) {
        std::string error;
        const std::string out = dir.path("refused.copc.laz");
        EXPECT_FALSE(write(k.inputs, out, error));
        EXPECT_NE(error.find(k.message), std::string::npos) << error;
        struct stat st;
        EXPECT_NE(stat(out.c_str(), &st), 0) << "a refused cloud left a file";
    }
}

TEST_F(Copc, LargeCloudsAreBuiltASubtreeAtATimeInMemoryOrThroughScratchFiles) {
    const std::string honest = dir.path("big.las");
    writeCloud(honest, 6, 0, 300000, 11);
    const auto valid = [&](const std::string& out) {
        const nlohmann::json j = checkWithCopcPackage(out);
        ASSERT_FALSE(j.is_null());
        EXPECT_EQ(j["errors"].size(), 0u) << j["errors"].dump();
        EXPECT_EQ(pointsOfFile(out), pointsOfFile(honest));
    };
    {
        SCOPED_TRACE("in memory");
        std::string error;
        orv::CopcWriteSummary s;
        ASSERT_TRUE(write({honest}, dir.path("memory.copc.laz"), error, uint64_t{1} << 30, &s))
            << error;
        EXPECT_EQ(s.spillFiles, 0u);
        valid(dir.path("memory.copc.laz"));
        std::remove(dir.path("memory.copc.laz").c_str());
    }
    // The scratch path takes its cube from the headers' bounds: honest ones, ones the points
    // lie outside of, ones far too wide, and none at all must all give a valid file.
    const std::vector<uint8_t> good = orvtest::readFile(honest);
    const struct {
        const char* name;
        double minX, maxX;
    } headers[] = {
        {"honest", NAN, NAN},
        {"too narrow", 500050.0, 500060.0},
        {"too wide", 0.0, 1e6},
        {"not a number", NAN, 0.0},
    };
    for (const auto& k : headers) {
        SCOPED_TRACE(k.name);
        std::vector<uint8_t> bytes = good;
        if (!std::isnan(k.minX) || !std::isnan(k.maxX)) {
            orv::las::store(&bytes[179], k.maxX);
            orv::las::store(&bytes[187], k.minX);
        }
        const std::string in = dir.path("in.las"), out = dir.path("big.copc.laz");
        orvtest::writeFile(in, bytes);
        std::string error;
        orv::CopcWriteSummary s;
        ASSERT_TRUE(write({in}, out, error, uint64_t{4} << 20, &s)) << error;
        EXPECT_GT(s.spillFiles, 1u);
        EXPECT_LE(s.levels, 6);
        EXPECT_EQ(entriesIn(dir.path("")),
                  (std::vector<std::string>{"big.copc.laz", "big.las", "in.las"}));
        valid(out);
    }
}

TEST_F(Copc, QueriesEqualABruteForceFilterAndGrowWithTheLevel) {
    const std::string in = dir.path("in.las"), out = dir.path("q.copc.laz");
    writeCloud(in, 7, 0, 120000, 21);
    std::string error;
    ASSERT_TRUE(write({in}, out, error)) << error;
    orv::CopcReader r;
    ASSERT_EQ(r.open(out), 0) << r.error();
    const orv::LasFileHeader& h = r.header();
    std::vector<uint8_t> all;
    ASSERT_EQ(r.read(orv::CopcQuery(), all), 120000);

    const double inf = INFINITY;
    const struct {
        double min[3], max[3];
    } boxes[] = {
        {{500050, 4000020, -inf}, {500060, 4000030, inf}},  // the dense cluster
        {{500000, 4000000, -inf}, {500010.5, 4000200, inf}},
        {{500100, 4000100, 100}, {500150, 4000150, 102}},   // 3D
        {{400000, 3000000, -inf}, {400001, 3000001, inf}},  // outside
        {{-inf, -inf, -inf}, {inf, inf, inf}},
    };
    for (const auto& b : boxes) {
        orv::CopcQuery q;
        std::vector<uint8_t> expected;
        for (size_t i = 0; i < all.size(); i += h.recordLength) {
            bool inside = true;
            for (int axis = 0; axis < 3; ++axis) {
                const double v =
                    orv::las::load<int32_t>(&all[i] + 4 * axis) * h.scale[axis] + h.offset[axis];
                inside &= v >= b.min[axis] && v <= b.max[axis];
            }
            if (inside) expected.insert(expected.end(), &all[i], &all[i] + h.recordLength);
        }
        for (int axis = 0; axis < 3; ++axis) q.min[axis] = b.min[axis], q.max[axis] = b.max[axis];
        EXPECT_EQ(query(r, q), pointsOf(h, expected.data(), expected.size() / h.recordLength));
    }

    // Each level adds points; the deepest gives them all, as does a fine enough resolution.
    std::vector<orv::CopcNode> nodes;
    ASSERT_TRUE(r.nodes(orv::CopcQuery(), nodes)) << r.error();
    int deepest = 0;
    for (const orv::CopcNode& n : nodes) deepest = std::max(deepest, n.level);
    ASSERT_GE(deepest, 2);
    size_t last = 0;
    for (int level = 0; level <= deepest; ++level) {
        orv::CopcQuery q;
        q.maxLevel = level;
        const size_t got = query(r, q).size();
        EXPECT_GT(got, last) << "level " << level;
        last = got;
        q.maxLevel = -1;
        q.resolution = r.info().spacing / std::ldexp(1.0, level);
        EXPECT_EQ(r.levelFor(q.resolution), level);
        EXPECT_EQ(query(r, q).size(), got);
    }
    EXPECT_EQ(last, 120000u);
}

TEST_F(Copc, ReadsASampleWrittenByAnotherProgram) {
    const std::string path = orvtest::testDataDir() + "/laz/1.2-with-color.copc.laz";
    orv::CopcReader r;
    ASSERT_EQ(r.open(path), 0) << r.error();
    std::vector<uint8_t> all;
    ASSERT_EQ(r.read(orv::CopcQuery(), all), 1065);
    orv::LasReader plain;
    ASSERT_EQ(plain.open(path.c_str()), 0);
    std::vector<uint8_t> records(1065 * plain.header().recordLength);
    ASSERT_EQ(plain.readRaw(records.data(), 1065), 1065u);
    EXPECT_EQ(pointsOf(r.header(), all.data(), 1065),
              pointsOf(plain.header(), records.data(), 1065));
    orv::CopcQuery q;
    q.min[0] = 637000, q.min[1] = 849000, q.max[0] = 638500, q.max[1] = 850500;
    q.maxLevel = 1;
    std::vector<uint8_t> some;
    const int64_t n = r.read(q, some);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, 1065);
}

// Rewrites the one hierarchy page of a file we wrote, entry by entry.
class DamagedHierarchy : public Copc {
public:
    void SetUp() override {
        writeCloud(dir.path("in.las"), 6, 0, 50000, 5);
        std::string error;
        ASSERT_TRUE(write({dir.path("in.las")}, path, error)) << error;
        orv::CopcReader r;
        ASSERT_EQ(r.open(path), 0);
        info = r.info();
        bytes = orvtest::readFile(path);
    }
    orv::CopcNode entry(size_t i) const {
        return orv::copc::decodeEntry(&bytes[info.rootPageOffset + i * 32]);
    }
    void put(size_t i, const orv::CopcNode& n) {
        orv::copc::encodeEntry(n, &bytes[info.rootPageOffset + i * 32]);
    }
    std::string path = dir.path("good.copc.laz");
    orv::CopcInfo info;
    std::vector<uint8_t> bytes;
};

TEST_F(DamagedHierarchy, IsRefusedWithAClearError) {
    const auto root = [this] { return entry(0); };
    const struct {
        const char* name;
        std::function<void(DamagedHierarchy&)> damage;
        const char* message;
    } cases[] = {
        {"page that points at itself",
         [&](DamagedHierarchy& t) {
             orv::CopcNode n = root();
             n.pointCount = -1, n.offset = t.info.rootPageOffset;
             n.byteSize = int32_t(t.info.rootPageSize);
             t.put(0, n);
         },
         "overlaps"},
        {"page past the end",
         [&](DamagedHierarchy& t) {
             orv::CopcNode n = t.entry(1);
             n.pointCount = -1, n.offset = t.bytes.size() - 16, n.byteSize = 64;
             t.put(1, n);
         },
         "outside the file"},
        {"chunk past the end",
         [&](DamagedHierarchy& t) {
             orv::CopcNode n = root();
             n.offset = t.bytes.size() + 100;
             t.put(0, n);
         },
         "outside the point data"},
        {"two nodes on one chunk",
         [&](DamagedHierarchy& t) {
             orv::CopcNode n = t.entry(1);
             n.offset = root().offset;
             t.put(1, n);
         },
         "overlaps"},
        {"more points than the chunk holds",
         [&](DamagedHierarchy& t) {
             orv::CopcNode n = root(), m = t.entry(1);
             n.pointCount += 1;  // the total stays the header's
             m.pointCount -= 1;
             t.put(0, n);
             t.put(1, m);
         },
         "points its entry states"},
        {"fewer points than the header",
         [&](DamagedHierarchy& t) {
             orv::CopcNode n = root();
             n.pointCount -= 1;
             t.put(0, n);
         },
         "the header states"},
        {"absurd count",
         [&](DamagedHierarchy& t) {
             orv::CopcNode n = root();
             n.pointCount = INT32_MAX;
             t.put(0, n);
         },
         "more than its"},
        {"key outside the cube",
         [&](DamagedHierarchy& t) {
             orv::CopcNode n = t.entry(1);
             n.x = 1 << n.level;
             t.put(1, n);
         },
         "does not name a node"},
        {"key twice",
         [&](DamagedHierarchy& t) {
             orv::CopcNode n = t.entry(1);
             orv::CopcNode m = t.entry(2);
             m.level = n.level, m.x = n.x, m.y = n.y, m.z = n.z;
             t.put(2, m);
         },
         "listed twice"},
        {"chunk longer than its points can need",
         [&](DamagedHierarchy& t) {
             orv::CopcNode n = t.entry(1);
             n.pointCount = 1, n.byteSize = int32_t(orv::copc::maxChunkBytes(1, 30) + 1);
             t.put(1, n);
         },
         "which need at most"},
        {"ragged page",
         [&](DamagedHierarchy& t) {
             orv::las::store<uint64_t>(&t.bytes[375 + 54 + 48], t.info.rootPageSize - 5);
         },
         "whole entries"},
    };
    const std::vector<uint8_t> good = bytes;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        bytes = good;
        k.damage(*this);
        const std::string bad = dir.path("bad.copc.laz");
        orvtest::writeFile(bad, bytes);
        orv::CopcReader r;
        ASSERT_EQ(r.open(bad), 0) << r.error();
        std::vector<uint8_t> records;
        EXPECT_EQ(r.read(orv::CopcQuery(), records), -1);
        EXPECT_NE(r.error().find(k.message), std::string::npos) << r.error();
    }
}

// A range-capable server on 127.0.0.1 serving one folder, started for one test.
class RangeServer {
public:
    struct Log {
        int requests = 0;
        int mostInFlight = 0;  // requests answered at once
    };

public:
    RangeServer(const std::string& folder, const std::vector<std::string>& options) {
        int out[2];
        if (pipe(out) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            std::vector<std::string> args = {"python3", ORV_RANGE_SERVER, folder};
            args.insert(args.end(), options.begin(), options.end());
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp("python3", argv.data());
            _exit(127);
        }
        close(out[1]);
        m_tls = std::find(options.begin(), options.end(), "--tls") != options.end();
        m_out = fdopen(out[0], "r");
        if (!m_out || std::fscanf(m_out, "%d", &m_port) != 1) m_port = 0;
        fcntl(out[0], F_SETFL, O_NONBLOCK);
    }
    ~RangeServer() {
        if (m_pid > 0) kill(m_pid, SIGTERM), waitpid(m_pid, nullptr, 0);
        if (m_out) fclose(m_out);
    }
    std::string url(const std::string& name) const {
        return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) +
               "/" + name;
    }
    // What the server answered since the last call.
    Log log() {
        Log l;
        char line[256], range[128];
        int flying = 0;
        while (std::fgets(line, sizeof line, m_out))
            if (std::sscanf(line, "GET %127s %d", range, &flying) == 2) {
                ++l.requests;
                l.mostInFlight = std::max(l.mostInFlight, flying);
            }
        clearerr(m_out);
        return l;
    }
    int requests() { return log().requests; }

private:
    pid_t m_pid = -1;
    FILE* m_out = nullptr;
    int m_port = 0;
    bool m_tls = false;
};

TEST_F(Copc, OverHttpAQueryTakesThreeRoundTripsAndMatchesTheFile) {
    writeCloud(dir.path("in.las"), 7, 0, 60000, 3);
    std::string error;
    ASSERT_TRUE(write({dir.path("in.las")}, dir.path("web.copc.laz"), error)) << error;
    orv::CopcReader local;
    ASSERT_EQ(local.open(dir.path("web.copc.laz")), 0);
    orv::CopcQuery q;
    q.min[0] = 500040, q.min[1] = 4000010, q.max[0] = 500070, q.max[1] = 4000040;

    RangeServer server(dir.path(""), {});
    orv::CopcReader remote;
    ASSERT_EQ(remote.open(server.url("web.copc.laz")), 0) << remote.error();
    q.maxLevel = 0;
    const std::vector<std::string> root = query(remote, q);
    EXPECT_FALSE(root.empty());
    EXPECT_LE(server.requests(), 3) << "header and VLRs, the root page, one chunk";
    EXPECT_EQ(root, query(local, q));
    // Coarse levels need the root page alone; the subtrees' pages wait for a finer query.
    orv::CopcReader coarse;
    ASSERT_EQ(coarse.open(server.url("web.copc.laz")), 0);
    std::vector<orv::CopcNode> top;
    q.maxLevel = 1;
    ASSERT_TRUE(coarse.nodes(q, top));
    EXPECT_EQ(coarse.traffic().requests, 2u);
    EXPECT_EQ(coarse.traffic().bytes, 65536 + local.info().rootPageSize);
    server.requests();
    q.maxLevel = -1;
    orv::CopcReader fresh;
    ASSERT_EQ(fresh.open(server.url("web.copc.laz")), 0) << fresh.error();
    EXPECT_EQ(query(fresh, q), query(local, q));
    // The first 64 KiB (header and VLRs), the hierarchy page and the chunks the query needs.
    std::vector<orv::CopcNode> needed;
    ASSERT_TRUE(local.nodes(q, needed));
    uint64_t chunkBytes = 0;
    for (const orv::CopcNode& n : needed) chunkBytes += uint64_t(n.byteSize);
    EXPECT_EQ(fresh.traffic().bytes, 65536 + local.info().rootPageSize + chunkBytes);
    EXPECT_EQ(fresh.traffic().requests, 2 + needed.size());

    RangeServer flaky(dir.path(""), {"--fail-first", "2"});
    orv::CopcReader retried;
    ASSERT_EQ(retried.open(flaky.url("web.copc.laz")), 0) << retried.error();
    EXPECT_EQ(query(retried, q), query(local, q));

    RangeServer whole(dir.path(""), {"--ignore-ranges"});
    orv::CopcReader refused;
    EXPECT_EQ(refused.open(whole.url("web.copc.laz")), -1);
    EXPECT_NE(refused.error().find("ignores range requests"), std::string::npos) << refused.error();
    EXPECT_EQ(refused.open(server.url("missing.copc.laz")), -1);
    EXPECT_NE(refused.error().find("404"), std::string::npos) << refused.error();
}

// Dense spots in the four quarters of a 200 m tile: the octree goes deep in each, so its
// hierarchy has a child page for each. Random GPS times make chunks too long to come with the
// file's first bytes.
void writeFourSpots(const std::string& path) {
    constexpr size_t kPerSpot = 25000;
    std::vector<double> x, y, z, t;
    std::mt19937 rng(4);
    for (double corner : {0.0, 200.0})
        x.push_back(corner), y.push_back(corner), z.push_back(0), t.push_back(0);
    for (int spot = 0; spot < 4; ++spot)
        for (size_t i = 0; i < kPerSpot; ++i) {
            x.push_back(30 + 100 * (spot % 2) + rng() % 500 / 100.0);
            y.push_back(30 + 100 * (spot / 2) + rng() % 500 / 100.0);
            z.push_back(0);  // flat: a spot's points stay in one node per level
            t.push_back(rng() % 1000000 / 4.0);
        }
    orv::LasFileHeader h;
    h.versionMinor = 4;
    h.pointFormat = 6;
    h.scale[0] = h.scale[1] = h.scale[2] = 0.01;
    orv::LasColumns c;
    c.x = x.data(), c.y = y.data(), c.z = z.data(), c.gpsTime = t.data();
    orv::LasWriter w;
    ASSERT_EQ(w.open(path.c_str(), h), 0) << w.error();
    ASSERT_EQ(w.write(c, x.size()), x.size());
    w.close();
}

// The hierarchy pages of a level and the chunks of a query are asked for together, and a
// transient failure of one of them is retried, whatever request it falls on.
TEST_F(Copc, OverHttpRequestsGoTogetherAndFailuresAreRetried) {
    writeFourSpots(dir.path("in.las"));
    std::string error;
    ASSERT_TRUE(write({dir.path("in.las")}, dir.path("web.copc.laz"), error)) << error;
    orv::CopcReader local;
    ASSERT_EQ(local.open(dir.path("web.copc.laz")), 0);
    std::vector<orv::CopcNode> all;
    const uint64_t opening = local.traffic().requests;
    ASSERT_TRUE(local.nodes(orv::CopcQuery(), all));
    const int pages = int(local.traffic().requests - opening);
    ASSERT_GE(pages, 3) << "the cloud should need child pages";
    orv::CopcQuery q;
    q.min[0] = 20, q.min[1] = 20, q.max[0] = 140, q.max[1] = 40;
    const std::vector<std::string> expected = query(local, q);

    RangeServer slow(dir.path(""), {"--delay", "0.05"});
    orv::CopcReader first;
    ASSERT_EQ(first.open(slow.url("web.copc.laz")), 0) << first.error();
    EXPECT_EQ(query(first, q), expected);
    const int firstReads = slow.log().requests;  // the head, the query's pages and chunks
    orv::CopcReader remote;
    ASSERT_EQ(remote.open(slow.url("web.copc.laz")), 0) << remote.error();
    slow.log();
    std::vector<orv::CopcNode> listed;
    ASSERT_TRUE(remote.nodes(orv::CopcQuery(), listed));
    RangeServer::Log log = slow.log();
    EXPECT_EQ(log.requests, pages);
    EXPECT_GE(log.mostInFlight, 2) << "the child pages one after another";
    EXPECT_EQ(query(remote, q), expected);
    log = slow.log();
    EXPECT_GE(log.mostInFlight, 2) << "the chunks one after another";
    EXPECT_LT(log.requests, firstReads - 2) << "a reader reads a hierarchy page once";

    // A 503 on the root page, on a child page, on the last chunk.
    for (int failing : {2, 3, firstReads}) {
        RangeServer flaky(dir.path(""), {"--fail-at", std::to_string(failing)});
        orv::CopcReader retried;
        ASSERT_EQ(retried.open(flaky.url("web.copc.laz")), 0) << retried.error();
        EXPECT_EQ(query(retried, q), expected) << "request " << failing;
        EXPECT_EQ(flaky.log().requests, firstReads + 1) << "request " << failing;
    }
    // A server that keeps failing ends in an error, not in points missing.
    RangeServer down(dir.path(""), {"--fail-first", "1000"});
    orv::CopcReader refused;
    EXPECT_EQ(refused.open(down.url("web.copc.laz")), -1);
    EXPECT_NE(refused.error().find("503"), std::string::npos) << refused.error();
}

// HTTPS with a certificate made for this test: refused until the reader is told to trust it.
TEST_F(Copc, OverHttpsAPrivateCertificateIsTrustedWhenNamed) {
    const std::string cert = dir.path("cert.pem"), key = dir.path("key.pem");
    const auto made = orvtest::runCommand(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
        shellQuote(key) + " -out " + shellQuote(cert) + " 2>&1");
    if (made.status != 0) GTEST_SKIP() << "no openssl to make a certificate: " << made.out;
    writeCloud(dir.path("in.las"), 6, 0, 30000, 9);
    std::string error;
    ASSERT_TRUE(write({dir.path("in.las")}, dir.path("web.copc.laz"), error)) << error;
    orv::CopcReader local;
    ASSERT_EQ(local.open(dir.path("web.copc.laz")), 0);
    orv::CopcQuery q;
    q.max[0] = 500100;

    RangeServer server(dir.path(""), {"--tls", cert, key});
    orv::CopcReader untrusting;
    EXPECT_EQ(untrusting.open(server.url("web.copc.laz")), -1);
    EXPECT_NE(untrusting.error().find("certificate"), std::string::npos) << untrusting.error();
    orv::CopcOpenOptions trust;
    trust.caFile = cert;
    orv::CopcReader remote;
    ASSERT_EQ(remote.open(server.url("web.copc.laz"), trust), 0) << remote.error();
    EXPECT_EQ(query(remote, q), query(local, q));
    // The command line takes it from the environment.
    const auto r = orvtest::runCommand(
        "ORVTER_CA_FILE=" + shellQuote(cert) + " " + shellQuote(ORVTER_PATH) + " las copy " +
        shellQuote(server.url("web.copc.laz")) + " " + shellQuote(dir.path("part.las")) +
        " --bbox 500000,4000000,500100,4000200 --json");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(nlohmann::json::parse(r.out)["points_written"].get<size_t>(), query(local, q).size());
}

TEST_F(Copc, CommandLineWritesQueriesAndDropsStaleRecords) {
    const std::string a = dir.path("a.las"), b = dir.path("b.las"), out = dir.path("ab.copc.laz");
    writeCloud(a, 3, 0, 30000, 1);
    writeCloud(b, 3, 0, 30000, 2);
    const std::string orvter = shellQuote(ORVTER_PATH);
    auto r = orvtest::runCommand(orvter + " las copc --quiet " + shellQuote(a) + " " +
                                 shellQuote(b) + " " + shellQuote(out));
    ASSERT_EQ(r.status, 0) << r.out;
    r = orvtest::runCommand(orvter + " las info --json " + shellQuote(out));
    ASSERT_EQ(r.status, 0);
    const nlohmann::json info = nlohmann::json::parse(r.out);
    uint64_t total = 0;
    for (const auto& level : info["copc"]["levels"]) total += level["points"].get<uint64_t>();
    EXPECT_EQ(total, 60000u);

    r = orvtest::runCommand(orvter + " las copy " + shellQuote(out) + " " +
                            shellQuote(dir.path("box.las")) +
                            " --bbox 500050,4000020,500060,4000030 --json");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_GT(nlohmann::json::parse(r.out)["points_written"].get<int>(), 0);

    // A plain copy keeps the points but not the octree records, which would point at nothing.
    r = orvtest::runCommand(orvter + " las copy " + shellQuote(out) + " " +
                            shellQuote(dir.path("plain.laz")));
    ASSERT_EQ(r.status, 0) << r.out;
    orv::LasFileHeader h;
    EXPECT_EQ(pointsOfFile(dir.path("plain.laz"), &h).size(), 60000u);
    for (const auto* list : {&h.vlrs, &h.evlrs})
        for (const orv::LasVlr& v : *list) EXPECT_NE(v.userId, "copc");
}

}  // namespace
