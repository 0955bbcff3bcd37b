#include "support/FaultSweep.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "support/TestSupport.h"

namespace orvtest {

namespace faults = orv::platform::testing;

uint64_t sweepFaults(FaultOperation operation, int error,
                     const std::function<void(uint64_t n)>& step) {
    faults::Scope scope;
    faults::startCounting();
    step(0);
    const uint64_t total = faults::calls(operation);
    for (uint64_t n = 1; n <= total; ++n) {
        SCOPED_TRACE(std::string("failing ") + faults::operationName(operation) + " call " +
                     std::to_string(n) + " of " + std::to_string(total));
        faults::failNth(operation, n, error);
        step(n);
        EXPECT_TRUE(faults::fired()) << "the run made fewer calls than the clean run";
    }
    return total;
}

const std::vector<FaultOperation>& replaceOperations() {
    static const std::vector<FaultOperation> operations = {
        FaultOperation::Stat, FaultOperation::Open,  FaultOperation::Write,
        FaultOperation::Seek, FaultOperation::Close, FaultOperation::Rename};
    return operations;
}

void sweepReplaceFaults(const std::string& target, const std::vector<FaultOperation>& operations,
                        int error, const std::function<bool(uint64_t n)>& replace) {
    const std::vector<uint8_t> previous(300, 'p');
    const std::filesystem::path path(target);
    const auto descriptors = openDescriptors();
    for (bool existed : {true, false}) {
        for (FaultOperation operation : operations) {
            SCOPED_TRACE(existed ? "target existed" : "new target");
            const uint64_t calls = sweepFaults(operation, error, [&](uint64_t n) {
                if (existed) writeFile(target, previous);
                EXPECT_EQ(replace(n), n != 0)
                    << (n ? "the failure did not reach the caller" : "a clean run failed");
                if (n != 0) {
                    std::set<std::string> left;
                    if (existed) {
                        left.insert(path.filename().string());
                        EXPECT_EQ(readFile(target), previous);
                    }
                    EXPECT_EQ(folderEntries(path.parent_path().string()), left)
                        << "a temporary was left";
                }
                EXPECT_EQ(openDescriptors(), descriptors);
                std::remove(target.c_str());
            });
            EXPECT_GT(calls, 0u) << faults::operationName(operation);
        }
    }
}

std::set<std::string> openDescriptors() {
    std::set<std::string> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        fds.insert(entry.path().filename().string() + " -> " +
                   std::filesystem::read_symlink(entry.path(), ec).string());
    }
    return fds;
}

std::set<std::string> folderEntries(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

}  // namespace orvtest
