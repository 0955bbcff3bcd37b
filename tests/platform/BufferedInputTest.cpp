#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/BufferedInput.h"
#include "platform/FaultInjection.h"
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
