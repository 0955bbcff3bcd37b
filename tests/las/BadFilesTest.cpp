// Broken and lying LAS files, each with the exact answer of every reader: the first-point probe
// the bulk reader and the input stream (both layouts). No crash, no leak, and never a point from
// outside the file.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "OrvLas.h"
#include "OrvLasStream.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using orvtest::LasBuilder;

// Two records of 20 bytes after a 227-byte header: 267 bytes.
LasBuilder twoPoints() {
    LasBuilder las;
    las.header.xOffset = 100.0;
    las.add({1000, 2000, 3000, 11, 0x09, 2}).add({-4000, 5000, -6000, 12, 0x09, 5});
    return las;
}

Bytes edited(const std::function<void(LasBuilder&)>& edit) {
    LasBuilder las = twoPoints();
    edit(las);
    return las.bytes();
}

// The intact file with one header field stated otherwise; the bytes after the header stay.
template <class T>
Bytes withField(size_t offset, T value) {
    Bytes bytes = twoPoints().bytes();
    std::memcpy(&bytes[offset], &value, sizeof value);
    return bytes;
}
Bytes withRecordLength(uint16_t length) {
    return withField(offsetof(LasHeader, pointDataRecordLength), length);
}
Bytes withOffset(uint32_t offset) {
    return withField(offsetof(LasHeader, offsetToPointData), offset);
}

Bytes cut(Bytes bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

// A 2.0 file: 322-byte header, `points` records of three doubles, intensity, return, class.
Bytes layout20(uint32_t points) {
    orvtest::Las20Builder file;
    std::memcpy(file.header.unused0, "LASF", 4);
    file.header.pointRecordLength = 28;
    for (uint32_t i = 0; i < points; ++i) file.add({1.5 + i, 2.5, 3.5});
    return file.bytes();
}

struct Outcome {
    long probe;           // ReadFirstPntFromLas
    long bulk;            // orvReadLas
    size_t bulkPoints;    // points in the pool when bulk == 1
    int32_t firstX;       // stored X of the first point the 1.x readers give, when they give one
    int streamOpen;       // IOrvInPntsStream::open
    int streamCount;      // getPntCount after open
    size_t streamPoints;  // points read in blocks of 7 until the stream is exhausted
};
constexpr int32_t kAnyX = INT32_MIN;  // the first point is not one of the file's records

struct BadFile {
    const char* what;
    Bytes bytes;
    Outcome expected;
};

class BadFiles : public orvtest::CountedTest {
protected:
    Outcome readAll(const Bytes& bytes, std::vector<float>& xs, double& probeX) {
        const std::string path = dir.path("bad.las");
        orvtest::writeFile(path, bytes);
        Outcome got{};
        orv::XPnt3d point(-1, -1, -1, 9);
        got.probe = orv::ReadFirstPntFromLas(path.c_str(), point);
        probeX = point.x;
        EXPECT_EQ(point.attr, 9);
        orv::LasPntPool* raw = nullptr;
        got.bulk = orv::orvReadLas(path.c_str(), &raw, nullptr);
        orv::OrvPtr<orv::LasPntPool> pool = orv::OrvPtr<orv::LasPntPool>::adopt(raw);
        EXPECT_EQ(got.bulk == 1, pool.get() != nullptr);
        if (pool) {
            got.bulkPoints = pool->size();
            for (size_t i = 0; i < pool->size(); ++i) xs.push_back(+pool->data()[i].pnt.x);
        }
        orv::OrvPtr<IOrvInPntsStream> in(newInLasPntStream());
        got.streamOpen = in->open(path.c_str(), nullptr);
        got.streamCount = in->getPntCount();
        while (orv::OrvPtr<orv::LasPntArray> block = in->readPnts(1, 7)) {
            EXPECT_GT(block->size(), 0u);
            got.streamPoints += block->size();
        }
        EXPECT_FALSE(in->readPnts(1, 7)) << "an exhausted stream stays exhausted";
        in->close();
        return got;
    }

    orvtest::TempDir dir;
};

TEST_F(BadFiles, EveryReaderGivesItsStatedAnswer) {
    const Bytes good = twoPoints().bytes();
    ASSERT_EQ(good.size(), 267u);
    const Bytes whole20 = layout20(2);
    const BadFile files[] = {
        {"intact", good, {1, 1, 2, 1000, 0, 2, 2}},
        {"states more points than it holds",
         edited([](LasBuilder& l) {
             l.keepCount = true;
             l.header.numberOfPointRecords = 10;
         }),
         {1, 1, 2, 1000, 0, 10, 2}},
        {"states 4,294,967,295 points",
         edited([](LasBuilder& l) {
             l.keepCount = true;
             l.header.numberOfPointRecords = UINT32_MAX;
         }),
         {1, 1, 2, 1000, 0, 2147483647, 2}},
        // Beyond the end: no record lies in the file, and the probe finds no X, Y, Z to read.
        {"offset to points beyond the end", withOffset(5000), {0, 1, 0, 0, 0, 2, 0}},
        {"offset to points at the most", withOffset(UINT32_MAX), {0, 1, 0, 0, 0, 2, 0}},
        // Records inside the header would be the header's own bytes: every reader refuses.
        {"offset to points inside the header", withOffset(100), {0, 0, 0, kAnyX, -1, 0, 0}},
        {"offset to points 0", withOffset(0), {0, 0, 0, kAnyX, -1, 0, 0}},
        // Records shorter than X, Y, Z, intensity, return and class: the bulk reader refuses.
        {"record length 0", withRecordLength(0), {1, 0, 0, 1000, 0, 2, 0}},
        {"record length 1", withRecordLength(1), {1, 0, 0, 1000, 0, 2, 0}},
        {"record length 15", withRecordLength(15), {1, 0, 0, 1000, 0, 2, 0}},
        {"record length 257",
         edited([](LasBuilder& l) { l.header.pointDataRecordLength = 257; }),
         {1, 1, 2, 1000, 0, 2, 2}},
        {"record length 65,535, file ends inside the first record",
         cut(edited([](LasBuilder& l) {
                 l.header.pointDataRecordLength = 65535;
                 l.records.resize(1);
             }),
             227 + 100),
         {1, 1, 0, 1000, 0, 1, 0}},
        {"record length 65,535, one whole record",
         edited([](LasBuilder& l) {
             l.header.pointDataRecordLength = 65535;
             l.records.resize(1);
         }),
         {1, 1, 1, 1000, 0, 1, 1}},
        {"0 bytes", {}, {0, 0, 0, 0, -1, 0, 0}},
        {"1 byte", cut(good, 1), {0, 0, 0, 0, -1, 0, 0}},
        {"226 bytes", cut(good, 226), {0, 0, 0, 0, -1, 0, 0}},
        {"227 bytes: the header alone", cut(good, 227), {0, 1, 0, 0, 0, 2, 0}},
        {"cut inside the first record's X, Y, Z", cut(good, 227 + 11), {0, 1, 0, 0, 0, 2, 0}},
        {"cut after the first record's X, Y, Z", cut(good, 227 + 12), {1, 1, 0, 1000, 0, 2, 0}},
        {"cut inside the last record", cut(good, 266), {1, 1, 1, 1000, 0, 2, 1}},
        // A 2.0 file read as 1.x: its bytes 96..110 give offset 0, inside the header, which the
        // 1.x readers refuse; the stream hands it to its 2.0 reader.
        {"2.0 layout, whole", whole20, {0, 0, 0, kAnyX, 0, 2, 2}},
        {"2.0 layout cut inside its header", cut(whole20, 300), {0, 0, 0, kAnyX, -1, 0, 0}},
        {"2.0 layout cut inside its header, shorter than 1.x's",
         cut(whole20, 200),
         {0, 0, 0, 0, -1, 0, 0}},
        {"2.0 layout cut inside a record", cut(whole20, 322 + 28 + 10), {0, 0, 0, kAnyX, 0, 2, 1}},
    };
    const double xScale = 0.001, xOffset = 100.0;
    for (const BadFile& f : files) {
        SCOPED_TRACE(f.what);
        std::vector<float> xs;
        double probeX = 0;
        const Outcome got = readAll(f.bytes, xs, probeX);
        EXPECT_EQ(got.probe, f.expected.probe);
        EXPECT_EQ(got.bulk, f.expected.bulk);
        EXPECT_EQ(got.bulkPoints, f.expected.bulkPoints);
        EXPECT_EQ(got.streamOpen, f.expected.streamOpen);
        EXPECT_EQ(got.streamCount, f.expected.streamCount);
        EXPECT_EQ(got.streamPoints, f.expected.streamPoints);
        if (f.expected.firstX == kAnyX) continue;
        const double x = f.expected.firstX * xScale + xOffset;
        if (got.probe == 1) {
            EXPECT_DOUBLE_EQ(probeX, x);
        }
        if (!xs.empty()) {
            EXPECT_FLOAT_EQ(xs[0], static_cast<float>(x));
        }
    }
}

TEST_F(BadFiles, AMissingFileOrAFolderIsRefusedByEveryReader) {
    for (const std::string& path : {dir.path("absent.las"), dir.path("")}) {
        SCOPED_TRACE(path);
        orv::XPnt3d point(1, 2, 3, 4);
        EXPECT_EQ(orv::ReadFirstPntFromLas(path.c_str(), point), 0);
        EXPECT_EQ(point.x, 1.0);
        orv::LasPntPool* raw = nullptr;
        EXPECT_EQ(orv::orvReadLas(path.c_str(), &raw, nullptr), 0);
        EXPECT_EQ(raw, nullptr);
        orv::OrvPtr<IOrvInPntsStream> in(newInLasPntStream());
        EXPECT_EQ(in->open(path.c_str(), nullptr), -1);
        EXPECT_FALSE(in->readPnts(1, 7));
    }
}

}  // namespace
