#include "support/FaultSweep.h"

#include <gtest/gtest.h>

#include <filesystem>

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
