// The full-fidelity layer: lossless copies of real files (checked on the bytes), every field of
// every format through the writer and back, conversions, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "OrvLasFile.h"
#include "support/ExpectedLas.h"
#include "support/TestSupport.h"

namespace {

uint64_t le(const std::vector<uint8_t>& b, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + i);
    return v;
}

bool sameBytes(const std::vector<uint8_t>& a, size_t aAt, const std::vector<uint8_t>& b, size_t bAt,
               size_t n) {
    return aAt + n <= a.size() && bAt + n <= b.size() &&
           std::memcmp(a.data() + aAt, b.data() + bAt, n) == 0;
}

// Copies `in` to `out` through the reader and writer as raw records, in small blocks.
uint64_t copyRaw(const std::string& in, const std::string& out) {
    orv::LasReader reader;
    EXPECT_EQ(reader.open(in.c_str()), 0) << in << ": " << reader.error();
    orv::LasWriter writer;
    EXPECT_EQ(writer.open(out.c_str(), reader.header()), 0) << writer.error();
    std::vector<uint8_t> block(size_t{1000} * reader.header().recordLength);
    while (size_t n = reader.readRaw(block.data(), 1000)) writer.writeRaw(block.data(), n);
    writer.close();
    return reader.pointCount();
}

// Every field a column can hold, for n points, with values that use every bit the formats keep.
struct Cloud {
    size_t n;
    std::vector<int32_t> X, Y, Z;
    std::vector<uint16_t> intensity, source, red, green, blue, nir;
    std::vector<uint8_t> ret, num, flags, channel, dir, edge, cls, user, index, extra;
    std::vector<int16_t> angle;
    std::vector<double> gps;
    std::vector<uint64_t> waveOffset;
    std::vector<uint32_t> waveSize;
    std::vector<float> location, dx, dy, dz;

    explicit Cloud(size_t count, size_t extraPerPoint = 0) : n(count) {
        for (size_t i = 0; i < n; ++i) {
            const auto k = static_cast<uint32_t>(i * 2654435761u);
            X.push_back(static_cast<int32_t>(k)), Y.push_back(-static_cast<int32_t>(i) * 7);
            Z.push_back(static_cast<int32_t>(i));
            intensity.push_back(static_cast<uint16_t>(k >> 7)),
                source.push_back(static_cast<uint16_t>(k >> 3));
            red.push_back(static_cast<uint16_t>(i)), green.push_back(static_cast<uint16_t>(k)),
                blue.push_back(static_cast<uint16_t>(k >> 16)),
                nir.push_back(static_cast<uint16_t>(i * 3));
            ret.push_back(static_cast<uint8_t>(i % 16)),
                num.push_back(static_cast<uint8_t>((i / 3) % 16));
            flags.push_back(static_cast<uint8_t>(i % 16)),
                channel.push_back(static_cast<uint8_t>(i % 4));
            dir.push_back(static_cast<uint8_t>(i & 1)),
                edge.push_back(static_cast<uint8_t>((i >> 1) & 1));
            cls.push_back(static_cast<uint8_t>(k >> 24)),
                user.push_back(static_cast<uint8_t>(k >> 11));
            index.push_back(static_cast<uint8_t>(i)), angle.push_back(static_cast<int16_t>(k));
            gps.push_back(i * 0.25 - 3), waveOffset.push_back(uint64_t{k} << 20);
            waveSize.push_back(k), location.push_back(i * 0.5f), dx.push_back(1.5f),
                dy.push_back(-2.f), dz.push_back(static_cast<float>(i));
            for (size_t e = 0; e < extraPerPoint; ++e)
                extra.push_back(static_cast<uint8_t>(k >> e));
        }
    }
    // The columns from point `from` on.
    orv::LasColumns columns(size_t from = 0) {
        orv::LasColumns c;
        c.X = X.data() + from, c.Y = Y.data() + from, c.Z = Z.data() + from,
        c.intensity = intensity.data() + from;
        c.returnNumber = ret.data() + from, c.numberOfReturns = num.data() + from,
        c.classificationFlags = flags.data() + from;
        c.scannerChannel = channel.data() + from, c.scanDirection = dir.data() + from,
        c.edgeOfFlightLine = edge.data() + from;
        c.classification = cls.data() + from, c.scanAngle = angle.data() + from,
        c.userData = user.data() + from;
        c.pointSourceId = source.data() + from, c.gpsTime = gps.data() + from,
        c.red = red.data() + from;
        c.green = green.data() + from, c.blue = blue.data() + from, c.nir = nir.data() + from;
        c.wavePacketIndex = index.data() + from, c.waveformOffset = waveOffset.data() + from;
        c.waveformSize = waveSize.data() + from, c.returnPointLocation = location.data() + from;
        c.waveDx = dx.data() + from, c.waveDy = dy.data() + from, c.waveDz = dz.data() + from;
        c.extraBytes = extra.empty() ? nullptr : extra.data() + from * (extra.size() / n);
        return c;
    }
};

orv::LasFileHeader headerFor(uint8_t format, uint8_t minor, uint16_t extra = 0) {
    orv::LasFileHeader h;
    h.versionMinor = minor;
    h.pointFormat = format;
    h.recordLength = static_cast<uint16_t>(orv::lasStandardRecordLength(format) + extra);
    h.scale[0] = h.scale[1] = h.scale[2] = 0.001;
    h.offset[0] = 1000.0;
    h.systemIdentifier = "test";
    return h;
}

int run(const std::string& args) {
    return orvtest::runCommand(orvtest::shellQuote(ORVTER_PATH) + " " + args + " >/dev/null 2>&1")
        .status;
}

class LasFile : public ::testing::Test {
protected:
    orvtest::TempDir dir;

    // Writes the cloud as `format` (version 1.4 for 6-10, else 1.2).
    std::string write(const std::string& name, uint8_t format, Cloud& cloud) {
        const std::string path = dir.path(name);
        orv::LasWriter writer;
        EXPECT_EQ(writer.open(path.c_str(), headerFor(format, format >= 6 ? 4 : 2)), 0);
        writer.write(cloud.columns(), cloud.n);
        writer.close();
        return path;
    }
    // Every record of a file, as bytes.
    static std::vector<uint8_t> recordsOf(const std::string& path) {
        orv::LasReader reader;
        EXPECT_EQ(reader.open(path.c_str()), 0) << path;
        std::vector<uint8_t> out(reader.pointCount() * reader.header().recordLength);
        EXPECT_EQ(reader.readRaw(out.data(), reader.pointCount()), reader.pointCount());
        return out;
    }
    std::string copy(const std::string& in, const std::string& name, const std::string& options) {
        EXPECT_EQ(run("las copy " + orvtest::shellQuote(in) + " " +
                      orvtest::shellQuote(dir.path(name)) + " " + options),
                  0)
            << options;
        return dir.path(name);
    }
};

// Values every format can hold, so conversions between them lose nothing.
Cloud portable(size_t n) {
    Cloud c(n);
    for (size_t i = 0; i < n; ++i) {
        c.ret[i] = static_cast<uint8_t>(i % 8), c.num[i] = static_cast<uint8_t>((i / 8) % 8);
        c.flags[i] &= 7, c.channel[i] = 0, c.cls[i] &= 31;
        c.angle[i] = static_cast<int16_t>(static_cast<int>(i % 181) - 90);
    }
    return c;
}

TEST_F(LasFile, EveryReadableSampleCopiesLosslessly) {
    const std::string data = orvtest::lasDataDir();
    if (data.empty()) GTEST_SKIP() << "shared LAS samples not found";
    int copied = 0;
    for (const auto& e : orvtest::loadExpectedLas(data)) {
        const std::string in = data + "/" + e.name, out = dir.path("copy.las");
        orv::LasReader probe;
        if (probe.open(in.c_str()) != 0) continue;
        SCOPED_TRACE(e.name);
        const uint64_t n = copyRaw(in, out);
        const auto a = orvtest::readFile(in);
        for (int pass = 0; pass < 2; ++pass) {
            // The library's copy, then the tool's.
            if (pass == 1) {
                ASSERT_EQ(
                    run("las copy " + orvtest::shellQuote(in) + " " + orvtest::shellQuote(out)), 0);
            }
            const auto b = orvtest::readFile(out);
            // Identity, version, header size, offset to points, format, record length, scale,
            // offset.
            EXPECT_TRUE(sameBytes(a, 0, b, 0, 100));
            EXPECT_TRUE(sameBytes(a, 104, b, 104, 3));
            EXPECT_TRUE(sameBytes(a, 131, b, 131, 48));
            // Bounds: kept byte for byte, unless the input's were more than half a step off.
            for (int k = 0; k < 6; ++k) {
                const size_t at = 179 + 8 * k;
                double stated, written;
                std::memcpy(&stated, a.data() + at, 8);
                std::memcpy(&written, b.data() + at, 8);
                double scale;
                std::memcpy(&scale, a.data() + 131 + 8 * (k / 2), 8);
                if (!(std::fabs(stated - written) >= scale / 2)) {
                    EXPECT_TRUE(sameBytes(a, at, b, at, 8)) << k;
                }
            }
            const size_t headerSize = le(a, 94, 2), first = le(a, 96, 4), length = le(a, 105, 2);
            // VLRs and whatever lies between them and the points.
            EXPECT_TRUE(sameBytes(a, headerSize, b, headerSize, first - headerSize));
            EXPECT_TRUE(sameBytes(a, first, b, first, n * length));
            const bool v14 = a[25] >= 4 && headerSize >= 375;
            const uint64_t count = v14 ? le(b, 247, 8) : le(b, 107, 4);
            EXPECT_EQ(count, n);
            if (v14 && le(a, 243, 4) > 0) {
                const size_t evlrs = le(a, 235, 8), written = le(b, 235, 8);
                EXPECT_EQ(written, first + n * length);
                EXPECT_TRUE(sameBytes(a, evlrs, b, written, b.size() - written));
            } else {
                EXPECT_EQ(b.size(), first + n * length);
            }
        }
        ++copied;
    }
    EXPECT_GE(copied, 15);
}

TEST_F(LasFile, EveryFieldOfEveryFormatComesBack) {
    for (uint8_t format = 0; format <= orv::kLasLastPointFormat; ++format) {
        SCOPED_TRACE(+format);
        const uint16_t extraBytes = format % 3;  // some formats with extra bytes
        Cloud in(3000, extraBytes);
        const std::string path = dir.path("f.las");
        orv::LasWriter writer;
        ASSERT_EQ(writer.open(path.c_str(), headerFor(format, 4, extraBytes)), 0) << writer.error();
        ASSERT_EQ(writer.write(in.columns(), in.n), in.n);
        writer.close();

        orv::LasReader reader;
        ASSERT_EQ(reader.open(path.c_str()), 0) << reader.error();
        ASSERT_EQ(reader.pointCount(), in.n);
        Cloud out(in.n, extraBytes);
        // In uneven blocks, so block edges are crossed.
        size_t done = 0;
        while (size_t got = reader.read(out.columns(done), 977)) done += got;
        ASSERT_EQ(done, in.n);
        const orv::LasPointLayout& L = orv::kLasPointLayouts[format];
        const uint8_t returnMask = L.extendedCore ? 15 : 7;
        for (size_t i = 0; i < in.n; ++i) {
            ASSERT_EQ(out.X[i], in.X[i]);
            ASSERT_EQ(out.Y[i], in.Y[i]);
            ASSERT_EQ(out.Z[i], in.Z[i]);
            ASSERT_EQ(out.intensity[i], in.intensity[i]);
            ASSERT_EQ(out.ret[i], in.ret[i] & returnMask);
            ASSERT_EQ(out.num[i], in.num[i] & returnMask);
            ASSERT_EQ(out.flags[i], in.flags[i] & (L.extendedCore ? 15 : 7));
            ASSERT_EQ(out.channel[i], L.extendedCore ? in.channel[i] : 0);
            ASSERT_EQ(out.dir[i], in.dir[i]);
            ASSERT_EQ(out.edge[i], in.edge[i]);
            ASSERT_EQ(out.cls[i], L.extendedCore ? in.cls[i] : in.cls[i] & 31);
            ASSERT_EQ(out.angle[i],
                      L.extendedCore ? in.angle[i] : std::max(-128, std::min(127, +in.angle[i])));
            ASSERT_EQ(out.user[i], in.user[i]);
            ASSERT_EQ(out.source[i], in.source[i]);
            ASSERT_EQ(out.gps[i], L.gpsTime >= 0 ? in.gps[i] : 0.0);
            ASSERT_EQ(out.red[i], L.rgb >= 0 ? in.red[i] : 0);
            ASSERT_EQ(out.blue[i], L.rgb >= 0 ? in.blue[i] : 0);
            ASSERT_EQ(out.nir[i], L.nir >= 0 ? in.nir[i] : 0);
            ASSERT_EQ(out.waveOffset[i], L.wavePacket >= 0 ? in.waveOffset[i] : 0);
            ASSERT_EQ(out.dz[i], L.wavePacket >= 0 ? in.dz[i] : 0.f);
        }
        EXPECT_EQ(out.extra, in.extra);
        // Bounds and points by return follow the records.
        const orv::LasFileHeader& h = reader.header();
        EXPECT_DOUBLE_EQ(h.min[1], -7.0 * (in.n - 1) * 0.001);
        EXPECT_DOUBLE_EQ(h.max[0] - 1000.0, *std::max_element(in.X.begin(), in.X.end()) * 0.001);
        EXPECT_EQ(h.pointCount, in.n);
        EXPECT_EQ(h.pointsByReturn[0], std::count(out.ret.begin(), out.ret.end(), 1));
        EXPECT_EQ(h.legacyPointCount, format <= 5 ? in.n : 0u);
    }
}

TEST_F(LasFile, FormatConversionsKeepEveryFieldTheTargetHas) {
    // There and back: the records come back byte for byte.
    const struct { uint8_t from, to; } trips[] = {{1, 6}, {3, 7}, {6, 1}, {2, 8}, {0, 10}};
    for (const auto& t : trips) {
        SCOPED_TRACE(std::to_string(t.from) + " -> " + std::to_string(t.to));
        Cloud cloud = portable(2000);
        if (orv::kLasPointLayouts[t.from].extendedCore)  // whole degrees survive the rank
            for (int16_t& a : cloud.angle) a = static_cast<int16_t>(a / 3 * 500);
        const std::string in = write("in.las", t.from, cloud);
        const std::string there = copy(in, "there.las", "--format " + std::to_string(t.to));
        const std::string back =
            copy(there, "back.las",
                 "--format " + std::to_string(t.from) + (t.from < 6 ? " --set-version 1.2" : ""));
        const auto a = recordsOf(back), b = recordsOf(in);
        ASSERT_EQ(a.size(), b.size());
        const size_t length = orv::kLasPointLayouts[t.from].length;
        for (size_t i = 0; i < a.size(); ++i)
            ASSERT_EQ(a[i], b[i]) << "record " << i / length << " byte " << i % length;
        orv::LasReader reader;
        ASSERT_EQ(reader.open(there.c_str()), 0);
        EXPECT_EQ(reader.header().pointFormat, t.to);
        EXPECT_EQ(reader.header().versionMinor, t.to >= 6 || t.from >= 6 ? 4 : 2);
        Cloud out(cloud.n);
        ASSERT_EQ(reader.read(out.columns(), cloud.n), cloud.n);
        EXPECT_EQ(out.X, cloud.X);
        EXPECT_EQ(out.cls, cloud.cls);
        EXPECT_EQ(out.ret, cloud.ret);
        EXPECT_EQ(out.source, cloud.source);
        const orv::LasPointLayout& from = orv::kLasPointLayouts[t.from];
        const orv::LasPointLayout& to = orv::kLasPointLayouts[t.to];
        if (from.gpsTime >= 0 && to.gpsTime >= 0) {
            EXPECT_EQ(out.gps, cloud.gps);
        }
        if (from.rgb >= 0 && to.rgb >= 0) {
            EXPECT_EQ(out.green, cloud.green);
        }
    }
}

TEST_F(LasFile, CopyOptionsFilterAndRequantise) {
    Cloud cloud = portable(1000);
    for (size_t i = 0; i < cloud.n; ++i)
        cloud.X[i] = static_cast<int32_t>(i * 1000);  // x = 1000 + i
    const std::string in = write("in.las", 1, cloud);
    const auto count = [&](const std::string& options) {
        orv::LasReader reader;
        EXPECT_EQ(reader.open(copy(in, "out.las", options).c_str()), 0);
        return reader.pointCount();
    };
    const auto withClass = [&](int c) { return std::count(cloud.cls.begin(), cloud.cls.end(), c); };
    const auto withReturn = [&](int r) {
        return std::count(cloud.ret.begin(), cloud.ret.end(), r);
    };
    EXPECT_EQ(count("--step 3"), 334u);
    EXPECT_EQ(count("--keep-class 2,5"), static_cast<uint64_t>(withClass(2) + withClass(5)));
    EXPECT_EQ(count("--drop-class 2"), cloud.n - withClass(2));
    EXPECT_EQ(count("--keep-return 1"), static_cast<uint64_t>(withReturn(1)));
    EXPECT_EQ(count("--bbox 1100,-1e9,1199.5,1e9"), 100u);
    EXPECT_EQ(count("--bbox 1100,-1e9,1199.5,1e9 --step 2"), 50u);

    // A coarser scale rounds; an offset that leaves a coordinate beyond int32 is refused.
    orv::LasReader reader;
    ASSERT_EQ(reader.open(copy(in, "s.las", "--scale 0.5,0.5,0.001 --offset 0,0,0").c_str()), 0);
    Cloud out(cloud.n);
    ASSERT_EQ(reader.read(out.columns(), cloud.n), cloud.n);
    EXPECT_EQ(out.X[3], 2006);  // 1003 / 0.5
    EXPECT_DOUBLE_EQ(reader.header().max[0], 1000.0 + 999);
    EXPECT_EQ(run("las copy " + orvtest::shellQuote(in) + " " +
                  orvtest::shellQuote(dir.path("o.las")) + " --offset 1e12,0,0"),
              1);
    EXPECT_EQ(run("las copy --pool --format 6 " + orvtest::shellQuote(in) + " " +
                  orvtest::shellQuote(dir.path("o.las"))),
              2);  // a usage error

    // Merging: the first file's header; a second copy of the points at another scale is
    // re-quantised to it.
    const std::string coarse = copy(in, "coarse.las", "--scale 0.0005 --offset 1000,0,0");
    ASSERT_EQ(run("las merge " + orvtest::shellQuote(dir.path("m.las")) + " " +
                  orvtest::shellQuote(in) + " " + orvtest::shellQuote(coarse)),
              0);
    const auto merged = recordsOf(dir.path("m.las")), single = recordsOf(in);
    ASSERT_EQ(merged.size(), 2 * single.size());
    EXPECT_TRUE(std::equal(single.begin(), single.end(), merged.begin()));
    EXPECT_TRUE(std::equal(single.begin(), single.end(), merged.begin() + single.size()));
    // Formats 1 and 6 meet in 6, which holds both one's fields.
    ASSERT_EQ(run("las merge " + orvtest::shellQuote(dir.path("m.las")) + " " +
                  orvtest::shellQuote(in) + " " + orvtest::shellQuote(write("six.las", 6, cloud))),
              0);
    orv::LasReader six, one;
    ASSERT_EQ(six.open(dir.path("m.las").c_str()), 0);
    ASSERT_EQ(one.open(in.c_str()), 0);
    EXPECT_EQ(six.header().pointFormat, 6);
    EXPECT_EQ(six.pointCount(), 2 * one.pointCount());
}

TEST_F(LasFile, WriterRefusesHeadersItCannotWrite) {
    struct Case {
        const char* what;
        orv::LasFileHeader header;
    };
    std::vector<Case> cases = {
        {"format 6 in 1.2", headerFor(6, 2)}, {"format 2 in 1.1", headerFor(2, 1)},
        {"format 11", headerFor(11, 4)},      {"version 1.5", headerFor(0, 5)},
        {"short records", headerFor(1, 2)},   {"zero scale", headerFor(0, 2)},
        {"EVLRs in 1.2", headerFor(0, 2)},
    };
    cases[4].header.recordLength = 20;
    cases[5].header.scale[2] = 0.0;
    cases[6].header.evlrs.resize(1);
    for (const Case& c : cases) {
        orv::LasWriter writer;
        EXPECT_EQ(writer.open(dir.path("x.las").c_str(), c.header), -1) << c.what;
        EXPECT_FALSE(writer.error().empty()) << c.what;
    }
}

TEST_F(LasFile, CoordinatesAreRequantisedByRoundingAndRefusedBeyondInt32) {
    const std::string path = dir.path("q.las");
    std::vector<double> x = {1000.0004, 1000.0006, 999.9994, 1e12}, y(4, 0.0), z(4, 0.0);
    orv::LasColumns c;
    c.x = x.data(), c.y = y.data(), c.z = z.data();
    orv::LasWriter writer;
    ASSERT_EQ(writer.open(path.c_str(), headerFor(0, 2)), 0);
    EXPECT_EQ(writer.write(c, 4), 3u);  // the fourth does not fit
    writer.close();
    orv::LasReader reader;
    ASSERT_EQ(reader.open(path.c_str()), 0);
    std::vector<int32_t> X(3);
    orv::LasColumns r;
    r.X = X.data();
    ASSERT_EQ(reader.read(r, 3), 3u);
    EXPECT_EQ(X, (std::vector<int32_t>{0, 1, -1}));
}

TEST_F(LasFile, VlrListsThatRunPastTheirRoomAreCutWithAWarning) {
    Cloud cloud(10);
    orv::LasFileHeader h = headerFor(1, 4);
    h.vlrs.resize(2);
    h.vlrs[0].userId = "LASF_Projection", h.vlrs[0].recordId = 2112;
    const std::string wkt = "GEOGCS[\"WGS 84\"]";
    h.vlrs[0].payload.assign(wkt.begin(), wkt.end());
    h.vlrs[1].userId = "x", h.vlrs[1].payload.assign(100, 7);
    h.evlrs.resize(1);
    h.evlrs[0].userId = "e", h.evlrs[0].payload.assign(50, 1);
    const std::string path = dir.path("v.las");
    orv::LasWriter writer;
    ASSERT_EQ(writer.open(path.c_str(), h), 0);
    writer.write(cloud.columns(), cloud.n);
    writer.close();
    orv::LasReader good;
    ASSERT_EQ(good.open(path.c_str()), 0);
    EXPECT_EQ(good.header().vlrs.size(), 2u);
    EXPECT_EQ(good.header().evlrs.size(), 1u);
    EXPECT_EQ(orv::lasWkt(good.header()), wkt);

    const auto bytes = orvtest::readFile(path);
    struct Variant {
        const char* what;
        size_t at;
        uint32_t value;
        size_t vlrs, evlrs;
        uint32_t warning;
    };
    const Variant variants[] = {
        {"VLR count beyond the room", 100, 9, 2, 1, orv::kLasVlrsCut},
        {"second VLR longer than its room", 375 + 54 + wkt.size() + 20, 0xFFFF, 1, 1,
         orv::kLasVlrsCut},
        {"EVLR count beyond the file", 243, 3, 2, 1, orv::kLasEvlrsCut},
        {"EVLRs start past the end", 235, 0xFFFFFF, 2, 0, orv::kLasEvlrsCut},
    };
    for (const Variant& v : variants) {
        auto changed = bytes;
        for (int k = 0; k < 4 && v.value >> (8 * k); ++k)
            changed[v.at + k] = static_cast<uint8_t>(v.value >> (8 * k));
        if (v.value == 0xFFFF) changed[v.at] = changed[v.at + 1] = 0xFF;
        orvtest::writeFile(dir.path("bad.las"), changed);
        orv::LasReader reader;
        ASSERT_EQ(reader.open(dir.path("bad.las").c_str()), 0) << v.what;
        EXPECT_EQ(reader.header().vlrs.size(), v.vlrs) << v.what;
        EXPECT_EQ(reader.header().evlrs.size(), v.evlrs) << v.what;
        EXPECT_TRUE(reader.header().warnings & v.warning) << v.what;
        EXPECT_EQ(reader.pointCount(), cloud.n) << v.what;
    }
}

TEST_F(LasFile, ReaderRefusesWhatItCannotDecode) {
    Cloud cloud(5);
    const std::string path = dir.path("r.las");
    orv::LasWriter writer;
    ASSERT_EQ(writer.open(path.c_str(), headerFor(3, 2)), 0);
    writer.write(cloud.columns(), cloud.n);
    writer.close();
    const auto bytes = orvtest::readFile(path);
    struct Variant {
        const char* what;
        size_t at;
        uint8_t value;
        int result;
    };
    const Variant variants[] = {
        {"compressed", 104, 0x83, -3}, {"format 12", 104, 12, -3},   {"short records", 105, 30, -3},
        {"version 2", 24, 2, -2},      {"no signature", 0, 'X', -2},
    };
    for (const Variant& v : variants) {
        auto changed = bytes;
        changed[v.at] = v.value;
        orvtest::writeFile(dir.path("bad.las"), changed);
        orv::LasReader reader;
        EXPECT_EQ(reader.open(dir.path("bad.las").c_str()), v.result) << v.what;
        EXPECT_FALSE(reader.error().empty()) << v.what;
        if (v.at == 104 && v.value == 0x83) {
            EXPECT_TRUE(reader.header().compressed);
            EXPECT_EQ(reader.header().pointFormat, 3);
        }
    }
    orv::LasReader missing;
    EXPECT_EQ(missing.open(dir.path("none.las").c_str()), -1);
}

}  // namespace
