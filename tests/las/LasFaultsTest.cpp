// A system call failing at any step of a whole LAS write or read: the caller learns of it as
// documented, the file that was there before stays byte for byte, and nothing leaks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

#include "OrvError.h"
#include "OrvLas.h"
#include "OrvLasStream.h"
#include "support/FaultSweep.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orvtest::FaultOperation;
using orvtest::folderEntries;
using orvtest::openDescriptors;
using orvtest::sweepFaults;

class LasFaults : public orvtest::CountedTest {
protected:
    LasFaults() {
        for (int i = 0; i < 3000; ++i) {
            LasPnt p;
            p.pnt = orv::XPnt3f(500000.0f + i, 4000000.0f - i, 100.0f + 0.25f * i, 7);
            p.classification = static_cast<uint8_t>(i % 20);
            points.push_back(p);
        }
    }

    // Writes the cloud; 0 when every point was written.
    long save(const std::string& path) {
        orv::OrvPtr<orv::PLasPntPool> pool = orv::newPLasPntPool();
        for (LasPnt& p : points) {
            LasPnt* address = &p;
            pool->add(&address);
        }
        return orv::orvSavePoint2Las(pool.get(), path.c_str(), nullptr);
    }

    // Writes the cloud through the output stream. False when open refused the file; failures
    // after it throw orv::FileError.
    bool saveStream(const std::string& path) {
        orv::OrvPtr<IOrvOutPntsStream> out(newOutLasPntStream());
        if (out->open(path.c_str()) != 0) return false;
        EXPECT_EQ(out->begin(), 0);
        EXPECT_EQ(out->writePntArray(points.data(), 1000, nullptr), 0);
        for (size_t i = 1000; i < points.size(); ++i)
            EXPECT_EQ(out->writePnt(&points[i], nullptr), 0);
        EXPECT_EQ(out->close(), 0);
        return true;
    }

    // Reads a cloud through the input stream in blocks; the x of every point delivered, or
    // nothing when open refused the file.
    static std::vector<float> streamXs(const std::string& path, bool& opened) {
        std::vector<float> xs;
        orv::OrvPtr<IOrvInPntsStream> in(newInLasPntStream());
        opened = in->open(path.c_str(), nullptr) == 0;
        while (orv::OrvPtr<orv::LasPntArray> block = in->readPnts(1, 700))
            for (size_t i = 0; i < block->size(); ++i) xs.push_back(+(*block)[i].pnt.x);
        in->close();
        return xs;
    }

    // Reads a cloud back; the number of points, or -1 when the reader refuses.
    static long countPoints(const std::string& path) {
        orv::LasPntPool* raw = nullptr;
        if (orv::orvReadLas(path.c_str(), &raw, nullptr) != 1) return raw ? -2 : -1;
        orv::OrvPtr<orv::LasPntPool> pool = orv::OrvPtr<orv::LasPntPool>::adopt(raw);
        return static_cast<long>(pool->size());
    }

    std::vector<LasPnt> points;
    orvtest::TempDir dir;
};

TEST_F(LasFaults, AFailedWriteAtAnyStepThrowsAndKeepsTheTarget) {
    const std::string target = dir.path("cloud.las");
    orvtest::sweepReplaceFaults(target, orvtest::replaceOperations(), ENOSPC, [&](uint64_t) {
        try {
            EXPECT_EQ(save(target), 0);  // read back below: only the write is counted
            return false;
        } catch (const orv::FileError& e) {
            EXPECT_EQ(e.errorCode(), ENOSPC) << e.what();
            return true;
        }
    });
    ASSERT_EQ(save(dir.path("clean.las")), 0);
    EXPECT_EQ(countPoints(dir.path("clean.las")), static_cast<long>(points.size()));
}

// Reserving room up front, and giving back what a walk cut short by a null left unused, are
// hints: refused at any step, the file comes out the same and nothing is reported.
TEST_F(LasFaults, ARefusedReservationChangesNothing) {
    ASSERT_EQ(save(dir.path("clean.las")), 0);
    const std::vector<uint8_t> clean = orvtest::readFile(dir.path("clean.las"));
    const std::string target = dir.path("cloud.las");
    const uint64_t calls = sweepFaults(FaultOperation::Reserve, ENOSPC, [&](uint64_t) {
        EXPECT_EQ(save(target), 0);
        EXPECT_EQ(orvtest::readFile(target), clean);
    });
    EXPECT_EQ(calls, 1u);

    // A null after 10 points: room for 3,000 is reserved, then all but 10 given back.
    orv::OrvPtr<orv::PLasPntPool> pool = orv::newPLasPntPool();
    for (size_t i = 0; i < points.size(); ++i) {
        LasPnt* address = i == 10 ? nullptr : &points[i];
        pool->add(&address);
    }
    const uint64_t cut = sweepFaults(FaultOperation::Reserve, EIO, [&](uint64_t) {
        ASSERT_EQ(orv::orvSavePoint2Las(pool.get(), target.c_str(), nullptr), 0);
        EXPECT_EQ(orvtest::readFile(target).size(), sizeof(LasHeader) + 20 * 10);
    });
    EXPECT_EQ(cut, 2u);

    // The output stream, which reserves ahead as it writes, the same.
    ASSERT_TRUE(saveStream(dir.path("stream.las")));
    const std::vector<uint8_t> streamed = orvtest::readFile(dir.path("stream.las"));
    const uint64_t streamCalls = sweepFaults(FaultOperation::Reserve, ENOSPC, [&](uint64_t) {
        ASSERT_TRUE(saveStream(target));
        EXPECT_EQ(orvtest::readFile(target), streamed);
    });
    EXPECT_GE(streamCalls, 2u);  // reserving ahead, then giving back
}

// Room for a large cloud is reserved, and what a cut-short walk did not use is given back: the
// disk holds about the file's own length, not the room first asked for.
TEST_F(LasFaults, UnusedReservedRoomIsGivenBack) {
    std::vector<LasPnt> many(1000000, points[0]);
    orv::OrvPtr<orv::PLasPntPool> pool = orv::newPLasPntPool();
    for (size_t i = 0; i < many.size(); ++i) {
        LasPnt* address = i == 10 ? nullptr : &many[i];
        pool->add(&address);
    }
    const std::string target = dir.path("short.las");
    ASSERT_EQ(orv::orvSavePoint2Las(pool.get(), target.c_str(), nullptr), 0);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(sizeof(LasHeader) + 20 * 10));
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, uint64_t{1} << 20);

    // The output stream reserves tens of MiB ahead of a small file and gives them back too.
    ASSERT_TRUE(saveStream(target));
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(sizeof(LasHeader) + 20 * points.size()));
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, uint64_t{1} << 20);
}

TEST_F(LasFaults, AFailedStreamWriteAtAnyStepIsReportedAndKeepsTheTarget) {
    const std::string target = dir.path("stream.las");
    orvtest::sweepReplaceFaults(target, orvtest::replaceOperations(), ENOSPC, [&](uint64_t) {
        try {
            return !saveStream(target);
        } catch (const orv::FileError& e) {
            EXPECT_EQ(e.errorCode(), ENOSPC) << e.what();
            return true;
        }
    });
    ASSERT_TRUE(saveStream(target));
    EXPECT_EQ(countPoints(target), static_cast<long>(points.size()));
    // A full device: the failure reaches the caller, the device stays.
    struct stat st;
    if (stat("/dev/full", &st) == 0) {
        EXPECT_THROW(saveStream("/dev/full"), orv::FileError);
        ASSERT_EQ(stat("/dev/full", &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/full was replaced";
    }
}

TEST_F(LasFaults, AFailedStreamReadDeliversOnlyCorrectPointsInOrder) {
    const std::string path = dir.path("cloud.las");
    ASSERT_EQ(save(path), 0);
    bool opened = false;
    const std::vector<float> whole = streamXs(path, opened);
    ASSERT_TRUE(opened);
    ASSERT_EQ(whole.size(), points.size());
    const auto descriptors = openDescriptors();
    for (FaultOperation operation :
         {FaultOperation::Open, FaultOperation::Stat, FaultOperation::Read, FaultOperation::Seek,
          FaultOperation::Close}) {
        sweepFaults(operation, EIO, [&](uint64_t n) {
            const std::vector<float> got = streamXs(path, opened);
            ASSERT_LE(got.size(), whole.size());
            EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin())) << "a wrong point";
            // A failed call may be made again and succeed: a whole cloud is then right too.
            if (n == 0) {
                EXPECT_EQ(got.size(), whole.size());
            }
            EXPECT_EQ(openDescriptors(), descriptors);
        });
    }
}

TEST_F(LasFaults, AFailedReadAtAnyStepIsARefusalNeverAPartialCloud) {
    const std::string path = dir.path("cloud.las");
    ASSERT_EQ(save(path), 0);
    const long whole = static_cast<long>(points.size());
    // A cloud the bulk reader takes in several blocks, so that a later read fails too.
    const std::string longPath = dir.path("long.las");
    for (int copy = 0; copy < 5; ++copy) points.insert(points.end(), points.begin(), points.end());
    ASSERT_EQ(save(longPath), 0);
    const long longWhole = static_cast<long>(points.size());
    const auto descriptors = openDescriptors();
    for (FaultOperation operation :
         {FaultOperation::Open, FaultOperation::Stat, FaultOperation::Read, FaultOperation::Seek,
          FaultOperation::Close}) {
        // Nothing is written: a failed close loses nothing.
        const auto fails = [&](uint64_t n) { return n != 0 && operation != FaultOperation::Close; };
        for (const std::string& file : {path, longPath}) {
            const long expected = file == path ? whole : longWhole;
            sweepFaults(operation, EIO, [&](uint64_t n) {
                EXPECT_EQ(countPoints(file), fails(n) ? -1 : expected);
                EXPECT_EQ(openDescriptors(), descriptors);
            });
        }
        sweepFaults(operation, EIO, [&](uint64_t n) {
            orv::XPnt3d point(1, 2, 3);
            EXPECT_EQ(orv::ReadFirstPntFromLas(path.c_str(), point), fails(n) ? 0 : 1);
            EXPECT_EQ(point.x == 1.0, fails(n));
            EXPECT_EQ(openDescriptors(), descriptors);
        });
    }
}

TEST_F(LasFaults, AFullDeviceIsWrittenInPlaceAndStaysADevice) {
    struct stat before;
    if (stat("/dev/full", &before) != 0) GTEST_SKIP() << "no /dev/full";
    const auto descriptors = openDescriptors();
    try {
        save("/dev/full");
        ADD_FAILURE() << "a full disk went unnoticed";
    } catch (const orv::FileError& e) {
        EXPECT_EQ(e.errorCode(), ENOSPC) << e.what();
        EXPECT_EQ(e.path(), "/dev/full");
    }
    struct stat after;
    ASSERT_EQ(stat("/dev/full", &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode)) << "/dev/full was replaced";
    EXPECT_EQ(after.st_rdev, before.st_rdev);
    EXPECT_EQ(openDescriptors(), descriptors);
    // Nothing beside the device either.
    for (const std::string& name : folderEntries("/dev"))
        EXPECT_EQ(name.find("full."), std::string::npos) << name;
}

TEST_F(LasFaults, AFileShortenedDuringAReadGivesWholeCorrectRecordsNeverASignal) {
    // Record i has x = i: whatever a reader returns must be the file's first records, in order.
    constexpr int kRecords = 300000;
    orvtest::LasBuilder las;
    for (int i = 0; i < kRecords; ++i) las.add({i * 1000, 0, 0, 0, 0, 0});
    const std::vector<uint8_t> bytes = las.bytes();
    const std::string path = dir.path("shrinking.las");
    orvtest::writeFile(path, bytes);

    // In each trial another thread cuts the file once (below the header, inside it, mid-points)
    // at a varying moment of the reads. A file written while it is read has no right answer, so
    // it is restored whole between trials only.
    const off_t size = static_cast<off_t>(bytes.size());
    const off_t cuts[] = {0, 100, 240, size / 3, size * 2 / 3 + 7};
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int shortened = 0;
    for (int trial = 0; trial < 40; ++trial) {
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), size);
        std::thread shortener([&] {
            ::usleep(static_cast<useconds_t>(trial % 8 * 600));
            EXPECT_EQ(::ftruncate(fd, cuts[trial % 5]), 0);
        });
        orv::LasPntPool* raw = nullptr;
        if (orv::orvReadLas(path.c_str(), &raw, nullptr) == 1) {
            orv::OrvPtr<orv::LasPntPool> pool = orv::OrvPtr<orv::LasPntPool>::adopt(raw);
            ASSERT_LE(pool->size(), static_cast<size_t>(kRecords));
            shortened += pool->size() < static_cast<size_t>(kRecords);
            size_t wrong = 0;
            for (size_t i = 0; i < pool->size(); ++i)
                wrong += +pool->data()[i].pnt.x != static_cast<float>(i);
            EXPECT_EQ(wrong, 0u) << "trial " << trial;
        } else {
            EXPECT_EQ(raw, nullptr);
            ++shortened;
        }
        for (int probe = 0; probe < 20; ++probe) {
            orv::XPnt3d point(-1, -1, -1);
            const long found = orv::ReadFirstPntFromLas(path.c_str(), point);
            EXPECT_EQ(point.x, found ? 0.0 : -1.0);
        }
        shortener.join();
    }
    ::close(fd);
    std::printf("%d of 40 bulk reads met a shortened file\n", shortened);
}

}  // namespace
