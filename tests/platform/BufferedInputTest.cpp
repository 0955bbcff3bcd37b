#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/BufferedInput.h"
#include "platform/FaultInjection.h"
#include "platform/ReadAhead.h"
#include "support/TestSupport.h"

namespace {

using orv::platform::BufferedInput;

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
    return bytes;
}

TEST(BufferedInput, RecordsAcrossBufferBoundariesComeBackWholeAndACutTailIsNotData) {
    orvtest::TempDir dir;
    // Sizes around the smallest and the largest buffer, with records that straddle refills.
    struct Case {
        size_t fileSize, record, skip;
    } cases[] = {
        {BufferedInput::kCapacity * 2 + 7, 34, 5},
        {BufferedInput::kCapacity + 1, 65535, 0},
        {70000, 65535, 0},
        {100, 16, 3},
        {BufferedInput::kMinCapacity - 1, 20, 227},
    };
    for (const Case& c : cases) {
        const auto bytes = pattern(c.fileSize);
        orvtest::writeFile(dir.path("f"), bytes);
        BufferedInput in;
        ASSERT_TRUE(in.open(dir.path("f").c_str()));
        EXPECT_EQ(in.size(), c.fileSize);
        ASSERT_TRUE(in.seek(c.skip));
        size_t at = c.skip, records = 0;
        while (const uint8_t* r = in.take(c.record)) {
            ASSERT_LE(at + c.record, c.fileSize);
            ASSERT_EQ(0, std::memcmp(r, bytes.data() + at, c.record)) << "record " << records;
            at += c.record;
            ++records;
        }
        EXPECT_EQ(records, (c.fileSize - c.skip) / c.record) << c.fileSize << "/" << c.record;
        EXPECT_EQ(in.remaining(), 0u) << "the cut tail is consumed";
        EXPECT_EQ(in.take(1), nullptr);
    }
}

TEST(BufferedInput, ReadSeekAndPositionAgreeWithTheFile) {
    orvtest::TempDir dir;
    const auto bytes = pattern(BufferedInput::kCapacity + 5000);
    orvtest::writeFile(dir.path("f"), bytes);
    BufferedInput in;
    EXPECT_FALSE(in.open(dir.path("missing").c_str()));
    EXPECT_EQ(in.take(1), nullptr);
    ASSERT_TRUE(in.open(dir.path("f").c_str()));
    std::vector<uint8_t> got(300);
    EXPECT_EQ(in.read(got.data(), 300), 300u);
    EXPECT_EQ(0, std::memcmp(got.data(), bytes.data(), 300));
    EXPECT_EQ(in.position(), 300u);
    ASSERT_TRUE(in.seek(BufferedInput::kCapacity - 10));
    got.resize(50);
    EXPECT_EQ(in.read(got.data(), 50), 50u);
    EXPECT_EQ(0, std::memcmp(got.data(), bytes.data() + BufferedInput::kCapacity - 10, 50));
    ASSERT_TRUE(in.seek(bytes.size() - 4));
    EXPECT_EQ(in.read(got.data(), 50), 4u);
    ASSERT_TRUE(in.seek(bytes.size() + 100));
    EXPECT_EQ(in.take(1), nullptr);
    EXPECT_EQ(in.remaining(), 0u);
}

TEST(BufferedInput, AFailedReadEndsTheDataWithoutInventingAny) {
    namespace ft = orv::platform::testing;
    orvtest::TempDir dir;
    const auto bytes = pattern(BufferedInput::kCapacity * 2);
    orvtest::writeFile(dir.path("f"), bytes);
    ft::Scope scope;
    BufferedInput in;
    ASSERT_TRUE(in.open(dir.path("f").c_str()));
    ft::failNth(ft::Operation::Read, 2, EIO);  // the second refill
    size_t records = 0;
    while (const uint8_t* r = in.take(100)) {
        ASSERT_EQ(0, std::memcmp(r, bytes.data() + records * 100, 100));
        ++records;
    }
    EXPECT_TRUE(ft::fired());
    EXPECT_EQ(records, BufferedInput::kCapacity / 100);
}

}  // namespace

TEST(ReadAhead, BlocksComeInFileOrderAndStopAtTheFileOrTheCallerWithoutHanging) {
    orvtest::TempDir dir;
    // total asked, block, file size, blocks the caller takes before it gives up (0 = all)
    struct Case {
        uint64_t total;
        size_t block, fileSize, takeBlocks;
    } cases[] = {
        {1 << 20, 4096, 1 << 20, 0},              // on the thread, an exact number of blocks
        {(1 << 20) + 5, 4096, (1 << 20) + 5, 0},  // a short last block
        {1 << 20, 4096, 300000, 0},               // the file ends before what was asked
        {1 << 20, 4096, 1 << 20, 3},              // the caller leaves early: the thread stops
        {1 << 20, 4096, 1 << 20, 1},
        {5000, 4096, 5000, 0},  // too small for a thread
        {0, 4096, 100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileSize);
        const auto bytes = pattern(c.fileSize);
        orvtest::writeFile(dir.path("f"), bytes);
        orv::platform::InputFile file;
        ASSERT_TRUE(file.open(dir.path("f").c_str()));
        std::vector<uint64_t> prepared;
        size_t at = 0, blocks = 0;
        {
            orv::platform::ReadAhead ahead(file, c.total, c.block, [&](uint64_t offset, size_t) {
                prepared.push_back(offset);
            });
            size_t length = 0;
            while (const uint8_t* block = ahead.next(length)) {
                ASSERT_LE(at + length, bytes.size());
                ASSERT_EQ(std::memcmp(block, bytes.data() + at, length), 0) << "at " << at;
                at += length;
                if (++blocks == c.takeBlocks) break;
            }
            EXPECT_FALSE(ahead.failed());
        }
        if (c.takeBlocks == 0) {
            EXPECT_EQ(at, std::min<uint64_t>(c.total, c.fileSize));
        }
        for (size_t i = 0; i < prepared.size(); ++i) EXPECT_EQ(prepared[i], i * c.block);
    }
    // A failed read ends the blocks and says so.
    orvtest::writeFile(dir.path("f"), pattern(1 << 20));
    orv::platform::InputFile file;
    ASSERT_TRUE(file.open(dir.path("f").c_str()));
    orv::platform::testing::failNth(orv::platform::testing::Operation::Read, 5, EIO);
    orv::platform::ReadAhead ahead(file, 1 << 20, 4096, nullptr);
    size_t length = 0, at = 0;
    while (ahead.next(length)) at += length;
    orv::platform::testing::reset();
    EXPECT_EQ(at, 4u * 4096);
    EXPECT_TRUE(ahead.failed());
}
