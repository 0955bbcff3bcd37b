// What we compress decodes to the same records, in our decoder and in an independent one.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

#include "laz/LazSupport.h"

using namespace orvtest;

namespace {

// LAS to LAZ and back gives the file a plain copy gives: compression loses nothing.
void expectLosslessRoundTrip(const std::string& las, const TempDir& dir) {
    ASSERT_EQ(copyLas(las, dir.path("trip.laz")), "");
    ASSERT_EQ(copyLas(dir.path("trip.laz"), dir.path("back.las")), "");
    ASSERT_EQ(copyLas(las, dir.path("plain.las")), "");
    EXPECT_TRUE(readFile(dir.path("back.las")) == readFile(dir.path("plain.las")))
        << "LAS to LAZ and back is not the file a plain copy gives";
}

TEST(LazEncode, GeneratedPointsRoundTripThroughBothDecoders) {
    using P = ChannelPattern;
    struct Case {
        int format;
        uint16_t extra;
        size_t points;
        uint32_t chunk;
        P channels;
    };
    const Case cases[] = {
        {0, 0, 3000, 1000, P::kOne},
        {1, 0, 3000, 50000, P::kOne},
        {2, 0, 2000, 999, P::kOne},
        {3, 3, 5000, 1024, P::kOne},
        {1, 0, 1, 50000, P::kOne},
        {6, 0, 1, 50000, P::kOne},
        {6, 0, 5000, 1000, P::kMixed},
        {7, 0, 3000, 777, P::kOne},
        {7, 1, 2001, 1000, P::kOne},
        {7, 0, 3000, 777, P::kMixed},
        {8, 2, 4000, 50000, P::kOne},
        {8, 2, 4000, 50000, P::kMixed},
        // Each layered item through each kind of channel switch, inside a chunk and across
        // chunk starts (a chunk starts on the channel of its first point).
        {6, 3, 3000, 50000, P::kSwitchOnce},
        {6, 2, 3000, 1100, P::kReturn},
        {6, 1, 3000, 700, P::kAllFour},
        {7, 0, 3000, 50000, P::kSwitchOnce},
        {7, 2, 3000, 50000, P::kReturn},
        {7, 0, 3000, 1100, P::kAllFour},
        {8, 0, 3000, 1100, P::kSwitchOnce},
        {8, 3, 3000, 50000, P::kReturn},
        {8, 1, 3000, 50000, P::kAllFour},
        {4, 0, 2000, 700, P::kOne},
        {5, 2, 2000, 50000, P::kOne},
        {9, 0, 3000, 1100, P::kAllFour},
        {10, 1, 3000, 50000, P::kReturn},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE("format " + std::to_string(c.format) + " extra " + std::to_string(c.extra) +
                     " points " + std::to_string(c.points) + " chunk " + std::to_string(c.chunk) +
                     " channels " + std::to_string(int(c.channels)));
        const std::vector<uint8_t> las =
            makeLas(c.format, c.extra, c.points, uint32_t(c.points), c.channels);
        writeFile(dir.path("in.las"), las);
        // Any number of threads writes the same bytes and reads the same records.
        std::vector<uint8_t> first;
        for (unsigned threads : {1u, 3u}) {
            ASSERT_EQ(copyLas(dir.path("in.las"), dir.path("out.laz"), threads, c.chunk), "");
            const std::vector<uint8_t> laz = readFile(dir.path("out.laz"));
            if (first.empty()) first = laz;
            EXPECT_TRUE(laz == first) << "threads " << threads;
            const LazDecoded d = decodeLazBytes(laz, threads);
            ASSERT_TRUE(d.opened) << d.error;
            EXPECT_EQ(d.error, "");
            EXPECT_TRUE(d.records == lasRecords(las)) << "threads " << threads;
        }
        // laz-perf reads no wave packets: the files other programs wrote prove those.
        const bool wavePackets = c.format == 4 || c.format == 5 || c.format >= 9;
        if (!lazDataDir().empty() && !wavePackets) {
            EXPECT_TRUE(lazPerfRecords(dir.path("out.laz"), dir) == lasRecords(las));
        }
        expectLosslessRoundTrip(dir.path("in.las"), dir);
    }
}

TEST(LazDecoder, ReadingOnePointDecodesOneChunk) {
    // Thirty chunks and four threads: a reader that wants one point (a probe, a seek to look at
    // one chunk) decodes that chunk alone; reading on opens the window.
    TempDir dir;
    const std::vector<uint8_t> las = makeLas(1, 0, 3000, 5);
    writeFile(dir.path("in.las"), las);
    ASSERT_EQ(copyLas(dir.path("in.las"), dir.path("out.laz"), 1, 100), "");
    LazOpened opened(readFile(dir.path("out.laz")), 4);
    ASSERT_TRUE(opened.ok()) << opened.error();
    orv::laz::LazDecoder& dec = opened.decoder();
    std::vector<uint8_t> records(3000 * size_t(opened.recordLength()));
    ASSERT_EQ(dec.read(records.data(), 1), 1u);
    EXPECT_EQ(dec.decodedChunks(), 1u);
    ASSERT_TRUE(dec.seek(1550));
    ASSERT_EQ(dec.read(records.data(), 1), 1u);
    EXPECT_EQ(dec.decodedChunks(), 2u);
    ASSERT_TRUE(dec.seek(0));
    ASSERT_EQ(dec.read(records.data(), 3000), 3000u);
    EXPECT_TRUE(records == lasRecords(las));
}

TEST(LazEncode, SharedSamplesRoundTripThroughBothDecoders) {
    const std::string lasDir = lasDataDir();
    if (lasDir.empty() || lazDataDir().empty())
        GTEST_SKIP() << "no shared samples beside the clone";
    TempDir dir;
    DIR* d = opendir(lasDir.c_str());
    ASSERT_NE(d, nullptr);
    int converted = 0;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() < 4 || name.substr(name.size() - 4) != ".las") continue;
        SCOPED_TRACE(name);
        const std::string path = lasDir + "/" + name;
        orv::LasReader reader;
        if (reader.open(path.c_str()) != 0 || reader.pointCount() == 0 ||
            reader.header().warnings != 0 ||
            (reader.header().pointFormat > 3 && reader.header().pointFormat < 6) ||
            reader.header().pointFormat > 8) {
            continue;  // damaged on purpose, or nothing to compress
        }
        const std::string laz = dir.path(name + ".laz");
        ASSERT_EQ(copyLas(path, laz), "");
        const std::vector<uint8_t> records = lasRecords(readFile(path));
        EXPECT_TRUE(decodeLazBytes(readFile(laz)).records == records);
        EXPECT_TRUE(lazPerfRecords(laz, dir) == records);
        expectLosslessRoundTrip(path, dir);
        ++converted;
    }
    closedir(d);
    EXPECT_GE(converted, 15);
}

TEST(LazEncode, CompressesToTheBytesOtherProgramsWrite) {
    // Files another program compressed with its default chunk size, and their uncompressed
    // twins (none, or not among the samples: the records we decode from the file, which the
    // samples test checks). Our chunks and chunk table are the same bytes, whatever the headers
    // before them.
    const std::string dataDir = lazDataDir();
    if (dataDir.empty()) GTEST_SKIP() << "no shared samples beside the clone";
    const std::pair<const char*, const char*> pairs[] = {
        {"../las/simple.las", "simple.laz"},
        {"../las/epsg_4326.las", "epsg_4326.laz"},
        {"../las/test1_4.las", "test1_4.laz"},
        {"color-fmt2.las", "color-fmt2.laz"},
        {"multichannel-fmt6.las", "multichannel-fmt6.laz"},
        {"multichannel-fmt7.las", "multichannel-fmt7.laz"},
        {"multichannel-fmt8.las", "multichannel-fmt8.laz"},
        {"autzen-bmx-2023.las", "autzen-bmx-2023.laz"},
        {"simple1_3.las", "simple1_3.laz"},
        {nullptr, "fullwave.laz"},
        {nullptr, "extrabytes-fmt8.laz"},
        {nullptr, "ept-1.2-with-color.laz"},
    };
    TempDir dir;
    for (const auto& [lasName, lazName] : pairs) {
        SCOPED_TRACE(lazName);
        std::string las = dir.path("twin.las");
        if (lasName && isFile(dataDir + "/" + lasName)) {
            las = dataDir + "/" + lasName;
        } else {
            ASSERT_EQ(copyLas(dataDir + "/" + lazName, las), "");
        }
        ASSERT_EQ(copyLas(las, dir.path("ours.laz")), "");
        const std::vector<uint8_t> ours = lazPointData(readFile(dir.path("ours.laz")));
        const std::vector<uint8_t> theirs = lazPointData(readFile(dataDir + "/" + lazName));
        ASSERT_FALSE(theirs.empty());
        EXPECT_TRUE(ours == theirs) << "ours " << ours.size() << " bytes, theirs " << theirs.size();
    }
}

}  // namespace

namespace {

// Our compression of generated points, as bytes, with the offsets damage is done at.
struct Compressed {
    std::vector<uint8_t> las, laz;
    uint32_t pointOffset = 0;  // where the 8-byte chunk table offset sits
    size_t vlrPayload = 0;     // where the compression VLR's payload starts
};

Compressed compressGenerated(int format, uint32_t chunk) {
    Compressed c;
    TempDir dir;
    c.las = makeLas(format, 0, 1000, 7);
    writeFile(dir.path("in.las"), c.las);
    EXPECT_EQ(copyLas(dir.path("in.las"), dir.path("out.laz"), 1, chunk), "");
    c.laz = readFile(dir.path("out.laz"));
    std::memcpy(&c.pointOffset, c.laz.data() + 96, 4);
    c.vlrPayload = c.pointOffset - (34 + 6 * (format == 6 || format == 0 ? 1 : 2));
    return c;
}

}  // namespace

TEST(LazDamage, DamageGivesWholeChunksOrARefusalThatNamesIt) {
    struct Case {
        const char* what;
        int format;
        std::function<void(Compressed&)> damage;
        bool opens;
        size_t points;        // records delivered, all equal to the input's
        const char* message;  // in the error, or in the warning when nothing is wrong
    };
    auto put64 = [](std::vector<uint8_t>& b, size_t at, int64_t v) {
        std::memcpy(b.data() + at, &v, 8);
    };
    const Case cases[] = {
        {"table offset beyond the end", 1,
         [&](Compressed& c) { put64(c.laz, c.pointOffset, int64_t(c.laz.size()) + 5); }, true, 1000,
         "reading chunks in sequence"},
        {"table offset inside the header", 6,
         [&](Compressed& c) { put64(c.laz, c.pointOffset, 17); }, true, 1000,
         "reading chunks in sequence"},
        {"cut inside the third chunk", 1, [](Compressed& c) { c.laz.resize(c.laz.size() * 2 / 3); },
         true, 600, "cut short"},
        {"layered cut inside the third chunk", 7,
         [](Compressed& c) { c.laz.resize(c.laz.size() * 2 / 3); }, true, 600, "cut short"},
        // The layers' sizes say where each ends: a decoder thrown off by the change does not.
        {"layered byte changed inside the third chunk", 7,
         [](Compressed& c) {
             const orv::laz::ChunkEntry third = LazOpened(c.laz).decoder().chunks().at(2);
             c.laz[third.offset + third.bytes / 2] ^= 0x5A;
         },
         true, 600, "is corrupt"},
        {"unknown compressor", 1, [](Compressed& c) { c.laz[c.vlrPayload] = 9; }, false, 0,
         "unknown LAZ compressor 9"},
        {"unknown item version", 1, [](Compressed& c) { c.laz[c.vlrPayload + 34 + 4] = 5; }, false,
         0, "POINT10 version 5"},
        {"items longer than the record", 6,
         [](Compressed& c) { c.laz[c.vlrPayload + 34 + 2] = 40; }, false, 0,
         "POINT14 version 3 of 40 bytes"},
        {"variable chunks without a table", 1,
         [&](Compressed& c) {
             put64(c.laz, c.pointOffset, -5);
             std::memset(c.laz.data() + c.vlrPayload + 12, 0xFF, 4);
         },
         false, 0, "chunk sizes vary"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Compressed c = compressGenerated(k.format, 300);
        k.damage(c);
        const LazDecoded d = decodeLazBytes(c.laz);
        EXPECT_EQ(d.opened, k.opens) << d.error;
        if (std::strcmp(k.message, "cut short") == 0) {  // whole chunks, and part of the next
            EXPECT_GE(d.points, 600u) << d.error;
            EXPECT_LT(d.points, 1000u) << d.error;
        } else {
            EXPECT_EQ(d.points, k.points) << d.error;
        }
        const std::vector<uint8_t> input = lasRecords(c.las);
        EXPECT_TRUE(std::equal(d.records.begin(), d.records.end(), input.begin()));
        const std::string& said = d.points == 1000 ? d.warning : d.error;
        EXPECT_NE(said.find(k.message), std::string::npos) << said;
    }
}

TEST(LazCoder, ItemsInAnUnusualOrderCodeTheirRecords) {
    // Writers put extra bytes last; an item list in another order is coded item by item. The
    // records: generated ones with their extra bytes moved behind the core item.
    using orv::laz::ItemDescriptor;
    struct Case {
        int format;
        uint16_t core;  // bytes of the core item
        uint16_t compressor;
        std::vector<ItemDescriptor> items;
    };
    const Case cases[] = {
        {3, 20, 2, {{6, 20, 2}, {0, 3, 2}, {7, 8, 2}, {8, 6, 2}}},
        {7, 30, 3, {{10, 30, 3}, {14, 3, 3}, {11, 6, 3}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        const std::vector<uint8_t> las = makeLas(c.format, 3, 1500, 11, ChannelPattern::kAllFour);
        std::vector<uint8_t> records = lasRecords(las);
        const size_t rl = records.size() / 1500;
        for (size_t p = 0; p < 1500; ++p) {
            uint8_t* r = records.data() + p * rl;
            std::rotate(r + c.core, r + rl - 3, r + rl);  // extra bytes right after the core
        }
        orv::laz::LazVlr vlr;
        vlr.compressor = c.compressor;
        vlr.items = c.items;
        const std::vector<uint8_t> chunk =
            orv::laz::encodeChunk(vlr, uint16_t(rl), records.data(), 1500);
        std::vector<uint8_t> back(records.size());
        size_t used = 0;
        std::string error;
        EXPECT_EQ(orv::laz::decodeChunk(vlr, uint16_t(rl), chunk.data(), chunk.size(), 1500,
                                        back.data(), used, error),
                  1500u)
            << error;
        EXPECT_TRUE(back == records);
    }
}

TEST(LazCoder, IntegerCodecRoundTripsEveryCorrectorLength) {
    // Differences of every corrector length: 16-bit fields (unsigned and signed) wrap around
    // their range, 32-bit ones take the full range.
    struct Case {
        uint32_t bits;
        std::vector<std::pair<int32_t, int32_t>> pairs;  // prediction, value
    };
    const Case cases[] = {
        {16,
         {{0, 0},
          {0, 1},
          {1, 0},
          {0, 65535},
          {65535, 0},
          {32767, -32768},
          {-32768, 32767},
          {300, 301},
          {40000, 2}}},
        {32,
         {{0, 0},
          {5, -5},
          {-1000, 1000},
          {INT32_MIN, INT32_MAX},
          {INT32_MAX, INT32_MIN},
          {0, INT32_MIN},
          {123456789, -987654321},
          {0, 1 << 20},
          {7, (1 << 30) + 3}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        std::vector<uint8_t> out;
        orv::laz::Encoder enc;
        enc.init(&out);
        orv::laz::IntegerCodec ic(c.bits, 2);
        ic.init();
        for (int round = 0; round < 3; ++round)
            for (const auto& [pred, real] : c.pairs)
                ic.compress(enc, pred, real, uint32_t(round % 2));
        enc.done();
        orv::laz::Decoder dec;
        dec.init(out.data(), out.size());
        orv::laz::IntegerCodec back(c.bits, 2);
        back.init();
        const uint32_t mask = c.bits == 16 ? 0xFFFFu : 0xFFFFFFFFu;
        for (int round = 0; round < 3; ++round) {
            for (const auto& [pred, real] : c.pairs) {
                const int32_t got = back.decompress(dec, pred, uint32_t(round % 2));
                EXPECT_EQ(uint32_t(got) & mask, uint32_t(real) & mask) << pred << " " << real;
            }
        }
        EXPECT_FALSE(dec.overrun());
        EXPECT_EQ(dec.position(), out.data() + out.size())
            << "the decoder stops where the encoder did";
    }
}

namespace {

std::string orvter(const std::string& args) {
    return shellQuote(ORVTER_PATH) + " " + args + " 2>&1";
}

}  // namespace

TEST(LazOrvter, CopyCompressesAndDecompressesLosslessly) {
    // Shared samples of formats 0-3 and 6; 7 and 8 generated. Empty name: generated.
    struct Case {
        const char* sample;
        int format;
    };
    const Case cases[] = {{"perm_1.0_0.las", 0},
                          {"mvk-thin.las", 1},
                          {"perm_1.2_2.las", 2},
                          {"extrabytes.las", 3},
                          {"test1_4.las", 6},
                          {"", 7},
                          {"", 8}};
    const std::string lasDir = lasDataDir();
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        std::string a = dir.path("a.las");
        if (*c.sample) {
            if (lasDir.empty()) continue;
            a = lasDir + "/" + c.sample;
        } else {
            writeFile(a, makeLas(c.format, 3, 70000, uint32_t(c.format)));
        }
        const std::string b = dir.path("b.laz"), out = dir.path("c.las");
        ASSERT_EQ(runCommand(orvter("las copy " + shellQuote(a) + " " + shellQuote(b))).status, 0);
        const auto back = runCommand(orvter("las copy " + shellQuote(b) + " " + shellQuote(out)));
        ASSERT_EQ(back.status, 0) << back.out;
        const std::vector<uint8_t> records = lasRecords(readFile(a));
        EXPECT_TRUE(lasRecords(readFile(out)) == records);
        EXPECT_TRUE(decodeLazBytes(readFile(b)).records == records);
        if (!lazDataDir().empty()) {
            EXPECT_TRUE(lazPerfRecords(b, dir) == records);
        }
        // The other commands take the compressed file as they take the plain one.
        for (const std::string& in : {a, b}) {
            const std::string tag = in == a ? "las" : "laz";
            const auto info = runCommand(orvter("las info " + shellQuote(in)));
            EXPECT_EQ(info.status, 0) << info.out;
            EXPECT_EQ(info.out.find("warning"), std::string::npos) << info.out;
            // The format, not the stored byte with its compression bit.
            EXPECT_NE(info.out.find("point format:      " + std::to_string(c.format) +
                                    (in == b ? " (stored as " : "\n")),
                      std::string::npos)
                << info.out;
            const auto merged = runCommand(orvter("las merge " + shellQuote(dir.path("m." + tag)) +
                                                  " " + shellQuote(in) + " " + shellQuote(in)));
            EXPECT_EQ(merged.status, 0) << merged.out;
            runCommand(orvter("las stream " + shellQuote(in) + " " +
                              shellQuote(dir.path("s-" + tag + ".las"))));
        }
        EXPECT_TRUE(readFile(dir.path("s-las.las")) == readFile(dir.path("s-laz.las")));
        EXPECT_TRUE(lasRecords(readFile(dir.path("m.las"))) ==
                    decodeLazBytes(readFile(dir.path("m.laz"))).records);
    }
}
