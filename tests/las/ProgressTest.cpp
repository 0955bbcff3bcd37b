// Progress from the readers and writers: block by block, never backwards, and the whole count
// told exactly once, at the end.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "OrvLas.h"
#include "OrvLasFile.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

// More points than any reader or writer takes in one block.
constexpr size_t kPoints = 150000;

struct Calls {
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    orv::ProgressCallback callback() {
        return [this](uint64_t done, uint64_t total) { seen.emplace_back(done, total); };
    }
};

class Progress : public orvtest::CountedTest {};

TEST_F(Progress, EveryReaderAndWriterReportsBlocksAndTheEndOnce) {
    orvtest::TempDir dir;
    const std::string bulk = dir.path("bulk.las"), copy = dir.path("copy.las");
    struct Task {
        const char* name;
        size_t runs;  // each ends in its own 100 %
        std::function<void(Calls&)> run;
    };
    const std::vector<Task> tasks = {
        {"bulk writer", 1,
         [&](Calls& calls) {
             orv::OrvPtr<orv::LasPntPool> points = orv::newLasPntPool();
             for (size_t i = 0; i < kPoints; ++i) {
                 const LasPnt p = orvtest::makePnt(float(i % 1000), float(i / 1000), 1.0f);
                 points->add(&p);
             }
             orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(points.get());
             ASSERT_EQ(orv::orvSavePoint2LasWhole(pointers.get(), nullptr, bulk.c_str(), nullptr,
                                                  calls.callback()),
                       0);
         }},
        {"bulk reader", 1,
         [&](Calls& calls) {
             orv::LasPntPool* pool = nullptr;
             ASSERT_EQ(orv::orvReadLasReporting(bulk.c_str(), &pool, calls.callback()), 1);
             orv::OrvPtr<orv::LasPntPool>::adopt(pool);
         }},
        {"reader and writer, raw blocks", 2,
         [&](Calls& calls) {
             orv::LasReader reader;
             ASSERT_EQ(reader.open(bulk.c_str()), 0);
             Calls writes;
             orv::LasWriter writer;
             writer.setProgress(writes.callback(), reader.pointCount());
             ASSERT_EQ(writer.open(copy.c_str(), reader.header()), 0);
             reader.setProgress(calls.callback());
             std::vector<uint8_t> block(10000 * size_t{reader.header().recordLength});
             while (size_t n = reader.readRaw(block.data(), 10000))
                 writer.writeRaw(block.data(), n);
             writer.close();
             calls.seen.insert(calls.seen.end(), writes.seen.begin(), writes.seen.end());
         }},
        {"reader, columns in one call", 1,
         [&](Calls& calls) {
             orv::LasReader reader;
             reader.setProgress(calls.callback());
             ASSERT_EQ(reader.open(copy.c_str()), 0);
             std::vector<double> x(kPoints);
             orv::LasColumns columns;
             columns.x = x.data();
             ASSERT_EQ(reader.read(columns, kPoints), kPoints);
         }},
    };
    for (const Task& task : tasks) {
        SCOPED_TRACE(task.name);
        Calls calls;
        task.run(calls);
        size_t ends = 0;
        uint64_t last = 0;
        for (const auto& [done, total] : calls.seen) {
            EXPECT_LE(done, total);
            if (done == total) {
                ++ends;
                EXPECT_EQ(done, kPoints);
                last = 0;
                continue;
            }
            EXPECT_GT(done, last);
            last = done;
        }
        EXPECT_GT(calls.seen.size(), ends) << "no block was told";
        EXPECT_EQ(ends, task.runs);
        ASSERT_FALSE(calls.seen.empty());
        EXPECT_EQ(calls.seen.back().first, kPoints);
    }
}

}  // namespace
