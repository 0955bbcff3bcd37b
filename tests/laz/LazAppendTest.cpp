// Points appended to a LAZ file decode, in our decoder and in laz-perf, to the records before
// them followed by the new ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "laz/LazSupport.h"

using namespace orvtest;

namespace {

// Writes the first `count` records of the LAS file `in` to `out`, in chunks of `chunk` points.
void writeFirst(const std::string& in, const std::string& out, size_t count, uint32_t chunk) {
    orv::LasReader reader;
    ASSERT_EQ(reader.open(in.c_str()), 0);
    orv::LasWriter writer;
    writer.setChunkSize(chunk);
    ASSERT_EQ(writer.open(out.c_str(), reader.header()), 0);
    std::vector<uint8_t> records(count * reader.header().recordLength + 1);
    writer.writeRaw(records.data(), reader.readRaw(records.data(), count));
    writer.close();
}

// Appends `records` to the file at `path`; "" or why it was refused.
std::string append(const std::string& path, const std::vector<uint8_t>& records, size_t count) {
    orv::LasWriter writer;
    if (writer.append(path.c_str()) != 0) return writer.error();
    writer.writeRaw(records.data(), count);
    writer.close();
    return "";
}

uint32_t chunkSizeOf(const std::vector<uint8_t>& file) {
    uint32_t size = 0;
    std::memcpy(&size, file.data() + lazVlrPayloadAt(file) + 12, 4);
    return size;
}

TEST(LazAppend, AppendedChunksDecodeInBothDecoders) {
    struct Case {
        int format;
        uint16_t extra;
        size_t before, after;
        uint32_t chunk;
        bool fixedStays;  // the last chunk was full: the chunk size still holds
    };
    const Case cases[] = {
        {0, 0, 2000, 2500, 1000, true}, {1, 0, 1500, 2500, 1000, false},
        {3, 2, 2000, 1, 50000, false},  {7, 2, 777, 3000, 1000, false},
        {8, 0, 0, 1200, 1000, true},    {6, 1, 3000, 3000, 3000, true},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE("format " + std::to_string(c.format) + " before " + std::to_string(c.before) +
                     " chunk " + std::to_string(c.chunk));
        const std::vector<uint8_t> las = makeLas(c.format, c.extra, c.before + c.after, 7);
        writeFile(dir.path("in.las"), las);
        writeFirst(dir.path("in.las"), dir.path("out.laz"), c.before, c.chunk);
        const std::vector<uint8_t> all = lasRecords(las);
        const size_t length = all.size() / (c.before + c.after);
        const std::vector<uint8_t> rest(all.begin() + long(c.before * length), all.end());
        ASSERT_EQ(append(dir.path("out.laz"), rest, c.after), "");
        const std::vector<uint8_t> laz = readFile(dir.path("out.laz"));
        EXPECT_EQ(chunkSizeOf(laz) == c.chunk, c.fixedStays);
        EXPECT_TRUE(decodeLazBytes(laz).records == all);
        if (!lazDataDir().empty()) {
            EXPECT_TRUE(lazPerfRecords(dir.path("out.laz"), dir) == all);
        }
    }
}

TEST(LazAppend, FilesOtherProgramsWroteTakeTheirOwnRecordsAgain) {
    const std::string dataDir = lazDataDir();
    if (dataDir.empty()) GTEST_SKIP() << "no shared samples beside the clone";
    TempDir dir;
    for (const char* name : {"simple.laz", "color-fmt2.laz", "multichannel-fmt8.laz",
                             "extrabytes-fmt8.laz", "autzen-bmx-2023.laz"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> file = readFile(dataDir + "/" + name);
        writeFile(dir.path("copy.laz"), file);
        const LazDecoded decoded = decodeLazBytes(file);
        std::vector<uint8_t> records = decoded.records;
        const size_t add = std::min<size_t>(decoded.points, 100);
        const size_t recordLength = records.size() / decoded.points;
        ASSERT_EQ(append(dir.path("copy.laz"), records, add), "");
        records.insert(records.end(), records.begin(), records.begin() + long(add * recordLength));
        EXPECT_TRUE(lazPerfRecords(dir.path("copy.laz"), dir) == records);
    }
}

TEST(LazAppend, FilesWhosePointsCannotGrowAreRefusedAndKept) {
    const std::string dataDir = lazDataDir();
    if (dataDir.empty()) GTEST_SKIP() << "no shared samples beside the clone";
    TempDir dir;
    const std::pair<const char*, const char*> cases[] = {
        {"1.2-with-color.copc.laz", "COPC"},
        {"simple-truncated.laz", "chunk"},
    };
    for (const auto& [name, refusal] : cases) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> file = readFile(dataDir + "/" + name);
        writeFile(dir.path("f.laz"), file);
        EXPECT_NE(append(dir.path("f.laz"), std::vector<uint8_t>(100), 1).find(refusal),
                  std::string::npos);
        EXPECT_TRUE(readFile(dir.path("f.laz")) == file);
    }
}

}  // namespace
