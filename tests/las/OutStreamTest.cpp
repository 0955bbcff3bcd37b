#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include <unistd.h>

#include "OrvError.h"
#include "OrvLasStream.h"
#include "las/LasCodec.h"
#include "platform/FaultInjection.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orv::OrvPtr;
using orv::las::load;
using orvtest::makePnt;

struct Written {
    LasHeader header;
    std::vector<uint8_t> bytes;
    size_t records() const { return (bytes.size() - sizeof(LasHeader)) / 20; }
    int32_t stored(size_t i, int axis) const {
        return load<int32_t>(bytes.data() + sizeof(LasHeader) + 20 * i + 4 * axis);
    }
};

Written readBack(const std::string& path) {
    Written w;
    w.bytes = orvtest::readFile(path);
    EXPECT_GE(w.bytes.size(), sizeof(LasHeader)) << path;
    if (w.bytes.size() >= sizeof(LasHeader))
        std::memcpy(&w.header, w.bytes.data(), sizeof w.header);
    return w;
}

class OutStream : public orvtest::CountedTest {
protected:
    orvtest::TempDir m_dir;
};

TEST_F(OutStream, WritesItsOwnHeaderTextsAndAnEmptyFile) {
    const std::string path = m_dir.path("empty.las");
    OrvPtr<IOrvOutPntsStream> s(newOutLasPntStream());
    ASSERT_EQ(s->open(path.c_str()), 0);
    ASSERT_EQ(s->begin(), 0);
    ASSERT_EQ(s->close(), 0);
    const Written w = readBack(path);
    EXPECT_EQ(w.bytes.size(), 227u);
    EXPECT_STREQ(w.header.systemIdentifier, "Pelvaron");
    EXPECT_STREQ(w.header.generatingSoftware, "Lodrune");
    EXPECT_EQ(w.header.systemIdentifier[31], 0);
    EXPECT_EQ(+w.header.versionMajor, 1);
    EXPECT_EQ(+w.header.versionMinor, 1);
    EXPECT_EQ(+w.header.numberOfPointRecords, 0u);
    EXPECT_EQ(+w.header.offsetToPointData, 227u);
}

TEST_F(OutStream, WritesPointsOneByOneByPointerAndByArrayWithTheShift) {
    const std::string path = m_dir.path("pts.las");
    std::vector<LasPnt> pts = {makePnt(1234.5678f, -98.7654f, 12.0f, 7, 1, 2),
                               makePnt(1.5f, 2.25f, 3.0f, 8, 2, 3), makePnt(2, 3, 4, 9, 0, 4),
                               makePnt(-1, -2, -3, 10, 5, 5)};
    const orv::XPnt3d shift(100000.0, 200000.0, 0.0);
    OrvPtr<IOrvOutPntsStream> s(newOutLasPntStream());
    ASSERT_EQ(s->open(path.c_str()), 0);
    ASSERT_EQ(s->begin(), 0);
    EXPECT_EQ(s->writePnt(&pts[0], nullptr), 0);
    const LasPnt* ptrs[] = {&pts[1]};
    EXPECT_EQ(s->writePntPtrs(ptrs, 1, &shift), 0);
    EXPECT_EQ(s->writePntArray(&pts[2], 2, &shift), 0);  // elements 22 bytes apart
    EXPECT_EQ(s->writePntArray(&pts[0], 0, &shift), 0);
    EXPECT_EQ(s->writePntPtrs(nullptr, -1, &shift), 0);
    ASSERT_EQ(s->close(), 0);

    const Written w = readBack(path);
    ASSERT_EQ(w.records(), 4u);
    EXPECT_EQ(+w.header.numberOfPointRecords, 4u);
    EXPECT_EQ(+w.header.xOffset, 1234.0);
    EXPECT_EQ(+w.header.yOffset, -98.0);
    EXPECT_EQ(w.stored(0, 0), 567);
    EXPECT_EQ(w.stored(0, 1), -765);
    EXPECT_EQ(w.stored(0, 2), 12000);
    // (100001.5 - 1234) x 1000, (200002.25 + 98) x 1000, 3 x 1000
    EXPECT_EQ(w.stored(1, 0), 98767500);
    EXPECT_EQ(w.stored(1, 1), 200100250);
    EXPECT_EQ(w.stored(1, 2), 3000);
    EXPECT_EQ(w.stored(3, 0), (100000 - 1 - 1234) * 1000);
    EXPECT_EQ(w.bytes[227 + 20 * 2 + 12], 9) << "intensity of the array's first element";
    EXPECT_EQ(w.bytes[227 + 20 * 3 + 15], 5) << "classification of the array's second element";
    EXPECT_EQ(+w.header.numberOfPointsByReturn[0], 1u);
    EXPECT_EQ(+w.header.numberOfPointsByReturn[4], 1u);
}

TEST_F(OutStream, RefusedCoordinatesReturnMinusOneAndTheOthersAreWritten) {
    const std::string path = m_dir.path("refused.las");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<LasPnt> pts = {makePnt(10, 20, 30), makePnt(nan, 0, 0), makePnt(11, 21, 31),
                               makePnt(0, inf, 0), makePnt(1e10f, 0, 0)};
    OrvPtr<IOrvOutPntsStream> s(newOutLasPntStream());
    ASSERT_EQ(s->open(path.c_str()), 0);
    ASSERT_EQ(s->begin(), 0);
    EXPECT_EQ(s->writePnt(&pts[1], nullptr), -1) << "a refused first point fixes no offsets";
    EXPECT_EQ(s->writePnt(nullptr, nullptr), -1);
    EXPECT_EQ(s->writePntArray(pts.data(), 3, nullptr), -1);
    std::vector<const LasPnt*> ptrs = {&pts[2], &pts[3], nullptr, &pts[4], &pts[0]};
    EXPECT_EQ(s->writePntPtrs(ptrs.data(), static_cast<int>(ptrs.size()), nullptr), -1);
    const orv::XPnt3d farShift(3e6, 0, 0);  // 3,000 km from the offsets: beyond the int32 range
    EXPECT_EQ(s->writePnt(&pts[0], &farShift), -1);
    EXPECT_EQ(s->writePnt(&pts[0], nullptr), 0);
    ASSERT_EQ(s->close(), 0);
    const Written w = readBack(path);
    ASSERT_EQ(w.records(), 5u);
    EXPECT_EQ(+w.header.numberOfPointRecords, 5u);
    EXPECT_EQ(+w.header.xOffset, 10.0);
    EXPECT_EQ(+w.header.maxX, 11.0);
}

TEST_F(OutStream, LifecycleResults) {
    const std::string path = m_dir.path("life.las");
    LasPnt p = makePnt(1, 2, 3);
    OrvPtr<IOrvOutPntsStream> s(newOutLasPntStream());
    EXPECT_EQ(s->close(), -1) << "never opened";
    EXPECT_EQ(s->begin(), -1) << "no file";
    EXPECT_EQ(s->writePnt(&p, nullptr), 0) << "dropped before open";
    ASSERT_EQ(s->open(path.c_str()), 0);
    EXPECT_EQ(s->writePnt(&p, nullptr), 0) << "dropped before begin";
    EXPECT_EQ(s->begin(), 0);
    EXPECT_EQ(s->begin(), -1) << "begun twice";
    EXPECT_EQ(s->writePnt(&p, nullptr), 0);
    EXPECT_EQ(s->close(), 0);
    EXPECT_EQ(s->close(), -1) << "closed twice";
    EXPECT_EQ(s->begin(), -1) << "after close";
    EXPECT_EQ(s->writePnt(&p, nullptr), 0) << "dropped after close";
    EXPECT_EQ(readBack(path).records(), 1u);
    EXPECT_EQ(+readBack(path).header.numberOfPointRecords, 1u);

    EXPECT_EQ(s->open(m_dir.path("no/such/dir/x.las").c_str()), -1);
    EXPECT_EQ(s->begin(), -1);
    EXPECT_EQ(s->open(nullptr), -1);
    // Open without begin, then close: the final header without records.
    ASSERT_EQ(s->open(path.c_str()), 0);
    EXPECT_EQ(s->close(), 0);
    EXPECT_EQ(readBack(path).bytes.size(), 227u);
}

TEST_F(OutStream, OpenWhileWritingAndReleaseWithoutCloseCompleteTheFile) {
    const std::string first = m_dir.path("first.las"), second = m_dir.path("second.las");
    std::vector<LasPnt> pts = {makePnt(5, 6, 7, 1, 1), makePnt(8, 9, 10, 2, 2),
                               makePnt(11, 12, 13, 3, 3)};
    {
        OrvPtr<IOrvOutPntsStream> s(newOutLasPntStream());
        ASSERT_EQ(s->open(first.c_str()), 0);
        ASSERT_EQ(s->begin(), 0);
        ASSERT_EQ(s->writePntArray(pts.data(), 3, nullptr), 0);
        ASSERT_EQ(s->open(second.c_str()), 0);  // the first file is finished, not dropped
        ASSERT_EQ(s->begin(), 0);
        ASSERT_EQ(s->writePntArray(pts.data(), 2, nullptr), 0);
    }  // released without close
    for (auto [path, n] : {std::pair{first, 3u}, std::pair{second, 2u}}) {
        const Written w = readBack(path);
        EXPECT_EQ(w.records(), n) << path;
        EXPECT_EQ(+w.header.numberOfPointRecords, n) << path;
        EXPECT_EQ(+w.header.offsetToPointData, 227u) << path;
        EXPECT_EQ(+w.header.minX, 5.0) << path;
        EXPECT_EQ(+w.header.numberOfPointsByReturn[1], 1u) << path;
    }
}

TEST_F(OutStream, FileLayerFailuresReachTheCallerAndReleaseNeverThrows) {
    namespace ft = orv::platform::testing;
    std::vector<LasPnt> pts = {makePnt(5, 6, 7), makePnt(8, 9, 10), makePnt(11, 12, 13)};
    const std::string path = m_dir.path("faults.las");
    int fired = 0;
    for (bool explicitClose : {true, false}) {
        for (ft::Operation op : {ft::Operation::Open, ft::Operation::Write, ft::Operation::Seek,
                                 ft::Operation::Close, ft::Operation::Rename}) {
            for (uint64_t n = 1; n < 10; ++n) {
                ft::Scope scope;
                std::remove(path.c_str());
                bool threw = false, opened = false;
                {
                    OrvPtr<IOrvOutPntsStream> s(newOutLasPntStream());
                    ft::failNth(op, n, EIO);
                    try {
                        opened = s->open(path.c_str()) == 0;
                        if (opened) {
                            s->begin();
                            s->writePntArray(pts.data(), 3, nullptr);
                            if (explicitClose) s->close();
                        }
                    } catch (const orv::FileError&) {
                        threw = true;
                    }
                }  // released: completes the file, or swallows the failure
                const bool hit = ft::fired();
                ft::reset();
                const std::string what = std::string(ft::operationName(op)) + " #" +
                                         std::to_string(n) +
                                         (explicitClose ? " close" : " release");
                if (!hit) break;
                ++fired;
                if (explicitClose && opened) {
                    EXPECT_TRUE(threw) << what;
                }
                EXPECT_FALSE(!opened && threw) << what;
                // Either no file at all, or a complete one: never a placeholder header.
                const auto bytes = orvtest::readFile(path);
                if (!bytes.empty()) {
                    ADD_FAILURE() << what << ": a failed file was left behind";
                }
            }
        }
    }
    EXPECT_GT(fired, 10);
    // Without faults the released stream's file is complete.
    {
        OrvPtr<IOrvOutPntsStream> s(newOutLasPntStream());
        ASSERT_EQ(s->open(path.c_str()), 0);
        ASSERT_EQ(s->begin(), 0);
        ASSERT_EQ(s->writePntArray(pts.data(), 3, nullptr), 0);
    }
    EXPECT_EQ(+readBack(path).header.numberOfPointRecords, 3u);

    // A device written in place: the failure reaches the caller, and the stream goes on.
    if (access("/dev/full", W_OK) != 0) return;
    OrvPtr<IOrvOutPntsStream> s(newOutLasPntStream());
    ASSERT_EQ(s->open("/dev/full"), 0);
    EXPECT_THROW(s->begin(), orv::FileError);
    EXPECT_EQ(s->writePnt(&pts[0], nullptr), 0);
    EXPECT_EQ(s->close(), -1) << "the failed file was let go";
    EXPECT_EQ(s->open(m_dir.path("after.las").c_str()), 0) << "the stream stays usable";
    EXPECT_EQ(s->begin(), 0);
    EXPECT_EQ(s->close(), 0);
}

}  // namespace
