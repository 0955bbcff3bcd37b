#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "OrvError.h"
#include "OrvLas.h"
#include "platform/Files.h"
#include "support/FaultSweep.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orv::platform::InputFile;
using orv::platform::OutputFile;
using orvtest::FaultOperation;
using orvtest::folderEntries;
using orvtest::openDescriptors;
using orvtest::sweepFaults;

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

// The way the LAS writers use a file: placeholder header, blocks, header again at the start.
void writeLikeALasWriter(const std::string& path, const std::vector<uint8_t>& bytes) {
    OutputFile file;
    file.create(path.c_str());
    file.write(bytes.data(), 64);
    for (size_t at = 64; at < bytes.size(); at += 100)
        file.write(bytes.data() + at, std::min<size_t>(100, bytes.size() - at));
    file.seekToStart();
    file.write(bytes.data(), 64);
    file.close();
}

TEST(FaultSweep, AFailedWriteAtAnyStepKeepsTheTargetAndLeaksNothing) {
    const std::vector<uint8_t> next = pattern(1000);
    orvtest::TempDir dir;
    const std::string target = dir.path("cloud.las");
    orvtest::sweepReplaceFaults(target, orvtest::replaceOperations(), ENOSPC, [&](uint64_t) {
        try {
            writeLikeALasWriter(target, next);
        } catch (const orv::FileError& e) {
            EXPECT_EQ(e.errorCode(), ENOSPC) << e.what();
            EXPECT_EQ(e.path(), target);
            return true;
        }
        EXPECT_EQ(orvtest::readFile(target), next);
        return false;
    });
}

// Reserving ahead and write-behind are hints: refused at any step (the first refusal stops the
// asking), the file comes out byte for byte the same and nothing is reported.
TEST(FaultSweep, RefusedHintsOfALongWriteChangeNothing) {
    const std::vector<uint8_t> block = pattern(size_t{8} << 20);
    constexpr int kBlocks = 10;  // past two write-behind steps and one step of reserving
    orvtest::TempDir dir;
    const std::string target = dir.path("long.las");
    for (FaultOperation operation : {FaultOperation::Reserve, FaultOperation::WriteBehind}) {
        const uint64_t calls = sweepFaults(operation, EINVAL, [&](uint64_t n) {
            OutputFile file;
            file.create(target.c_str());
            for (int i = 0; i < kBlocks; ++i) {
                file.reserveAhead(uint64_t{block.size()} * (i + 1));
                file.write(block.data(), block.size());
            }
            file.close();
            const std::vector<uint8_t> got = orvtest::readFile(target);
            ASSERT_EQ(got.size(), block.size() * kBlocks);
            for (int i = 0; i < kBlocks; ++i)
                ASSERT_TRUE(std::equal(block.begin(), block.end(), got.begin() + i * block.size()));
            struct stat st {};
            ASSERT_EQ(::stat(target.c_str(), &st), 0);
            if (n == 0) {  // a refused give-back keeps the room, as documented
                EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, got.size() + (1 << 20))
                    << "reserved room was not given back";
            }
        });
        EXPECT_GE(calls, 2u) << orv::platform::testing::operationName(operation);
    }
}

TEST(FaultSweep, AFailedWriteToADeviceReachesTheCallerAndLeavesTheDevice) {
    const std::vector<uint8_t> bytes = pattern(300);
    const auto descriptors = openDescriptors();
    for (FaultOperation operation :
         {FaultOperation::Stat, FaultOperation::Open, FaultOperation::Write, FaultOperation::Seek,
          FaultOperation::Close}) {
        const uint64_t calls = sweepFaults(operation, EIO, [&](uint64_t n) {
            int error = 0;
            try {
                writeLikeALasWriter("/dev/null", bytes);
            } catch (const orv::FileError& e) {
                error = e.errorCode();
            }
            EXPECT_EQ(error, n == 0 ? 0 : EIO);
            EXPECT_EQ(openDescriptors(), descriptors);
        });
        EXPECT_GT(calls, 0u) << orv::platform::testing::operationName(operation);
    }
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(FaultSweep, AFailedReadAtAnyStepReportsAShortOrRefusedRead) {
    orvtest::TempDir dir;
    const std::string path = dir.path("data.bin");
    const std::vector<uint8_t> bytes = pattern(3000);
    orvtest::writeFile(path, bytes);
    const auto descriptors = openDescriptors();
    for (FaultOperation operation :
         {FaultOperation::Open, FaultOperation::Stat, FaultOperation::Read, FaultOperation::Seek,
          FaultOperation::Close}) {
        sweepFaults(operation, EIO, [&](uint64_t n) {
            std::vector<uint8_t> got;
            bool complete = false;
            {
                InputFile file;
                if (file.open(path.c_str())) {
                    uint8_t block[1000];  // whole blocks: a read at the end would see nothing
                    for (size_t at = 0; at < bytes.size(); at += sizeof block) {
                        const size_t r = file.read(block, sizeof block);
                        got.insert(got.end(), block, block + r);
                        if (r < sizeof block) break;
                    }
                    uint8_t again[4] = {};
                    complete = file.size() == bytes.size() && file.seek(1) &&
                               file.read(again, 4) == 4 && std::memcmp(again, &bytes[1], 4) == 0;
                    // a failed read is told apart from the file's end
                    EXPECT_EQ(file.readFailed(), operation == FaultOperation::Read && n != 0);
                }
            }
            // whatever arrived is the start of the file, never a wrong byte
            ASSERT_LE(got.size(), bytes.size());
            EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
            const bool whole = complete && got.size() == bytes.size();
            if (n == 0 || operation == FaultOperation::Close)
                EXPECT_TRUE(whole);
            else
                EXPECT_FALSE(whole) << "the failure went unnoticed";
            EXPECT_EQ(openDescriptors(), descriptors);
        });
    }
}

TEST(FaultSweep, TheLasProbeAndHeaderReaderTurnEveryFailureIntoTheirRefusal) {
    orvtest::TempDir dir;
    const std::string path = dir.path("cloud.las");
    orvtest::LasBuilder las;
    las.add({1000, 2000, 3000, 0, 0, 0});
    orvtest::writeFile(path, las.bytes());
    const auto descriptors = openDescriptors();
    for (FaultOperation operation : {FaultOperation::Open, FaultOperation::Stat,
                                     FaultOperation::Read, FaultOperation::Close}) {
        const char* name = orv::platform::testing::operationName(operation);
        sweepFaults(operation, EIO, [&](uint64_t n) {
            const bool harmless = n == 0 || operation == FaultOperation::Close;
            orv::XPnt3d point(-1, -1, -1, 0);
            EXPECT_EQ(orv::ReadFirstPntFromLas(path.c_str(), point), harmless ? 1 : 0) << name;
            EXPECT_DOUBLE_EQ(point.x, harmless ? 1.0 : -1.0) << name;
            EXPECT_EQ(openDescriptors(), descriptors);
        });
        sweepFaults(operation, EIO, [&](uint64_t n) {
            const bool harmless = n == 0 || operation == FaultOperation::Close;
            LasHeader header{};
            uint64_t size = 0;
            EXPECT_EQ(orv::ReadLasHeader(path.c_str(), header, &size), harmless ? 0 : -1) << name;
            EXPECT_EQ(openDescriptors(), descriptors);
        });
    }
}

}  // namespace
