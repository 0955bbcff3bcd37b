// Walking an injected system-call failure through every step of a read or a write.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/FaultInjection.h"

namespace orvtest {

using FaultOperation = orv::platform::testing::Operation;

// Runs `step(0)` once with the switch only counting, to learn how many calls of `operation` a
// whole run makes, then `step(n)` once for every n of them with the n-th call failing with
// `error`. Returns the number of calls of the clean run. The switch is off afterwards.
// Example: sweepFaults(FaultOperation::Write, ENOSPC, [&](uint64_t n) { ...; if (n) EXPECT...; });
uint64_t sweepFaults(FaultOperation operation, int error,
                     const std::function<void(uint64_t n)>& step);

// The calls a write that replaces a file makes, each of which may fail.
const std::vector<FaultOperation>& replaceOperations();

// Sweeps a failure with `error` through every call of each of `operations` that `replace`
// makes, once with `target` holding older bytes and once without it. `replace(n)` runs the
// write and returns whether it reported a failure. A run with a failing call (n > 0) must report
// it, keep the older bytes (or no file) and leave nothing else in the folder; no run may leak a
// descriptor. The folder holds nothing else meanwhile; the target is removed after each run.
void sweepReplaceFaults(const std::string& target, const std::vector<FaultOperation>& operations,
                        int error, const std::function<bool(uint64_t n)>& replace);

// The descriptors this process holds open, to catch a leaked one.
std::set<std::string> openDescriptors();
// Names in a folder, "." and ".." left out.
std::set<std::string> folderEntries(const std::string& folder);

}  // namespace orvtest
