// Files written by other programs decode to what two independent readers report.
#include <gtest/gtest.h>

#include <sstream>

#include "OrvLas.h"
#include "OrvLasFile.h"
#include "OrvLasStream.h"
#include "laz/LazSupport.h"

using namespace orvtest;
using orv::OrvPtr;

namespace {

struct Sample {
    const char* file;
    size_t points;
    const char* sha;   // of all decoded records
    const char* twin;  // uncompressed file with the same records, relative to the test data
};

const Sample kSamples[] = {
    {"simple.laz", 1065, "0717948a72e6bf719db8d96ded1e76b760d73fb683347ebe3dd603832e3d5015",
     "las/simple.las"},
    {"epsg_4326.laz", 5380, "534c8c61d4ad6e3a6b5e18507045be0ca61fc4e2a31e452f0071734d34a8d898",
     "las/epsg_4326.las"},
    {"color-fmt2.laz", 1065, "52a76419904015371aae0dbef4111a6e137b0f6b399f7605940921f971761a7f",
     "laz/color-fmt2.las"},
    {"ept-1.2-with-color.laz", 1065,
     "6e3673765ffe0d658d792c89a7c658a978a13ee951c6574cdff64a1d797e06b8", nullptr},
    {"test1_4.laz", 1000, "923571fd0bdbfdc886522adcb5fccaa6462642142937b1a3c490519155d447ba",
     "las/test1_4.las"},
    {"1.2-with-color.copc.laz", 1065,
     "361eda6829430490b1bba3a2665408642d16211f6c349b2f11edf451c8164422", nullptr},
    {"extrabytes-fmt8.laz", 60000,
     "e11aac814bd1b1e9645216d6793c3134950e0336796a813a8e6601da0f8ab60f", nullptr},
    // The scanner channel switches every few points, in every layered item.
    {"multichannel-fmt6.laz", 70000,
     "b8fbb5ec911191dba39749dd6b01ddd97f28ca4180794b07e0bd89656f268fec",
     "laz/multichannel-fmt6.las"},
    {"multichannel-fmt7.laz", 70000,
     "f25828df3067a1ba00f19e1618496a729a2025b4b92f2d1aa8b4474e757b0e07",
     "laz/multichannel-fmt7.las"},
    {"multichannel-fmt8.laz", 70000,
     "353f419b3ce885b0ef7ed94ca60206528af8f8e521298032d70a3a4022950ce9",
     "laz/multichannel-fmt8.las"},
    {"autzen-bmx-2023.laz", 687, "6fca70ebc5bdd0e964079964cd0737f31b0d76aac1318da370641e8bb99712d2",
     "laz/autzen-bmx-2023.las"},
    // One coder through all points, without chunks, and the first item versions.
    {"simple-laszip-compressor-version-1.2r0.laz", 1065,
     "0717948a72e6bf719db8d96ded1e76b760d73fb683347ebe3dd603832e3d5015", "las/simple.las"},
    // Wave packets, pointwise (format 4) and layered (format 10).
    {"simple1_3.laz", 999, "a999293b6ddf1411297a82d73d6af28f4e23bd1e0b37a930ce37a5f828703d77",
     "laz/simple1_3.las"},
    {"fullwave.laz", 10750, "b49cab16bf6befbbc8f00653bda3b288883b82c5c6ef91018252210338ab9f02",
     nullptr},
};

class LazSamples : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = lazDataDir();
        if (m_dir.empty()) GTEST_SKIP() << "no shared LAZ samples beside the clone";
    }
    std::vector<uint8_t> sample(const std::string& name) { return readFile(m_dir + "/" + name); }
    std::string m_dir;
};

// Every record the full-fidelity reader gives, and its error once the records end.
LazDecoded readThroughLasReader(const std::string& path) {
    LazDecoded d;
    orv::LasReader reader;
    d.opened = reader.open(path.c_str()) == 0;
    d.error = reader.error();
    if (!d.opened) return d;
    EXPECT_TRUE(reader.header().compressed);
    const size_t rl = reader.header().recordLength;
    std::vector<uint8_t> block(1000 * rl);
    while (size_t got = reader.readRaw(block.data(), 1000)) {
        d.records.insert(d.records.end(), block.begin(), block.begin() + long(got * rl));
        d.points += got;
    }
    d.error = reader.error();
    return d;
}

TEST_F(LazSamples, DecodeToTheRecordsOtherReadersReport) {
    for (const Sample& s : kSamples) {
        SCOPED_TRACE(s.file);
        for (unsigned threads : {1u, 2u}) {
            const LazDecoded d = decodeLazBytes(sample(s.file), threads);
            ASSERT_TRUE(d.opened) << d.error;
            EXPECT_EQ(d.error, "");
            EXPECT_EQ(d.points, s.points);
            EXPECT_EQ(sha256(d.records), s.sha) << "threads " << threads;
            if (s.twin && threads == 1 && isFile(m_dir + "/../" + s.twin)) {
                EXPECT_TRUE(d.records == lasRecords(sample(std::string("../") + s.twin)));
            }
        }
    }
}

TEST_F(LazSamples, FullFidelityReaderGivesTheDecodedRecords) {
    for (const Sample& s : kSamples) {
        SCOPED_TRACE(s.file);
        const LazDecoded d = readThroughLasReader(m_dir + "/" + s.file);
        ASSERT_TRUE(d.opened) << d.error;
        EXPECT_EQ(d.error, "");
        EXPECT_EQ(d.points, s.points);
        EXPECT_EQ(sha256(d.records), s.sha);
    }
}

// What each lean reader makes of a file, as text: equal texts, equal results.
std::string leanReadings(const std::string& path) {
    std::ostringstream out;
    out << std::hexfloat;
    auto put = [&out](const LasPnt& p) {
        out << p.pnt.x << ' ' << p.pnt.y << ' ' << p.pnt.z << ' ' << p.pnt.attr << ' '
            << +p.classification << ' ' << +p.returnNumber << '\n';
    };
    orv::LasPntPool* raw = nullptr;
    out << "bulk " << orv::orvReadLas(path.c_str(), &raw, nullptr) << '\n';
    if (raw) {
        OrvPtr<orv::LasPntPool> pool = OrvPtr<orv::LasPntPool>::adopt(raw);
        for (size_t i = 0; i < pool->size(); ++i) put(pool->data()[i]);
    }
    OrvPtr<IOrvInPntsStream> stream(newInLasPntStream());
    out << "stream " << stream->open(path.c_str(), nullptr) << ' ' << stream->getPntCount() << '\n';
    // Every third point, in blocks that do not divide the chunks.
    while (OrvPtr<orv::LasPntArray> block = stream->readPnts(3, 700)) {
        if (block->size() == 0) break;
        for (size_t i = 0; i < block->size(); ++i) put(block->data()[i]);
    }
    orv::XPnt3d first(0, 0, 0);
    out << "probe " << orv::ReadFirstPntFromLas(path.c_str(), first) << ' ' << first.x << ' '
        << first.y << ' ' << first.z << '\n';
    orv::LasFileInfo info;
    out << "info " << orv::ReadLasInfo(path.c_str(), info) << ' ' << info.formatName << ' '
        << info.formatRecordLength << ' ' << info.statedPoints << ' ' << info.presentRecords << ' '
        << info.readablePoints << ' ' << info.warnings << '\n';
    return out.str();
}

TEST_F(LazSamples, LeanReadersGiveWhatTheyGiveForTheUncompressedTwin) {
    for (const Sample& s : kSamples) {
        if (!s.twin || !isFile(m_dir + "/../" + s.twin)) continue;
        SCOPED_TRACE(s.file);
        // The lean readers take whole records after the stated ones in an uncompressed file
        // (a twin with such bytes reads differently); a compressed file has only its points.
        orv::LasReader twin;
        ASSERT_EQ(twin.open((m_dir + "/../" + s.twin).c_str()), 0) << twin.error();
        const orv::LasFileHeader& h = twin.header();
        if (h.fileSize > h.offsetToPointData + h.statedPoints * h.recordLength) continue;
        const std::string laz = leanReadings(m_dir + "/" + s.file);
        EXPECT_NE(laz.find("bulk 1\n"), std::string::npos);
        EXPECT_TRUE(laz == leanReadings(m_dir + "/../" + s.twin)) << "readings differ";
    }
}

TEST_F(LazSamples, SeekThroughTheChunkTableLandsOnThePoint) {
    // Fixed chunks of 50,000 and variable chunks of 6 to 24 points.
    for (const char* file : {"extrabytes-fmt8.laz", "1.2-with-color.copc.laz"}) {
        SCOPED_TRACE(file);
        const std::vector<uint8_t> bytes = sample(file);
        const LazDecoded all = decodeLazBytes(bytes);
        LazOpened opened(bytes);
        ASSERT_TRUE(opened.ok()) << opened.error();
        orv::laz::LazDecoder& dec = opened.decoder();
        const size_t rl = opened.recordLength();
        for (uint64_t index : {uint64_t(0), all.points - 1, all.points / 2 + 7, uint64_t(50001)}) {
            if (index >= all.points) continue;
            ASSERT_TRUE(dec.seek(index));
            std::vector<uint8_t> rec(rl);
            ASSERT_EQ(dec.read(rec.data(), 1), 1u);
            EXPECT_TRUE(std::equal(rec.begin(), rec.end(), all.records.begin() + long(index * rl)))
                << "point " << index;
        }
        EXPECT_FALSE(dec.seek(all.points + 1));
        // The end is a place to seek to: nothing is read there, and no error, and the reader
        // can seek back from it.
        std::vector<uint8_t> rec(rl);
        ASSERT_TRUE(dec.seek(all.points));
        EXPECT_EQ(dec.read(rec.data(), 1), 0u);
        EXPECT_EQ(dec.error(), "");
        ASSERT_TRUE(dec.seek(1));
        ASSERT_EQ(dec.read(rec.data(), 1), 1u);
        EXPECT_TRUE(std::equal(rec.begin(), rec.end(), all.records.begin() + long(rl)));
        // The same through the public reader.
        orv::LasReader reader;
        ASSERT_EQ(reader.open((m_dir + "/" + file).c_str()), 0) << reader.error();
        ASSERT_TRUE(reader.seek(reader.pointCount()));
        EXPECT_EQ(reader.readRaw(rec.data(), 1), 0u);
        EXPECT_EQ(reader.error(), "");
        ASSERT_TRUE(reader.seek(1));
        ASSERT_EQ(reader.readRaw(rec.data(), 1), 1u);
        EXPECT_TRUE(std::equal(rec.begin(), rec.end(), all.records.begin() + long(rl)));
    }
}

TEST_F(LazSamples, DamagedFilesAreRefusedOrGiveTheirIntactLeadingPoints) {
    struct Case {
        const char* file;
        bool opens;
        size_t points;
        const char* errorHas;
    };
    const Case cases[] = {
        {"lone-star-invalid-tile.laz", false, 0, "LAS"},
        {"simple-truncated.laz", true, 494, "cut short"},
    };
    const std::vector<uint8_t> twin = lasRecords(sample("../las/simple.las"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        for (bool viaReader : {false, true}) {
            const LazDecoded d = viaReader ? readThroughLasReader(m_dir + "/" + c.file)
                                           : decodeLazBytes(sample(c.file));
            EXPECT_EQ(d.opened, c.opens) << "reader " << viaReader;
            EXPECT_EQ(d.points, c.points);
            EXPECT_NE(d.error.find(c.errorHas), std::string::npos) << d.error;
            if (d.points) {
                EXPECT_TRUE(std::equal(d.records.begin(), d.records.end(), twin.begin()));
            }
        }
    }
}

}  // namespace
