// Walking an injected system-call failure through every step of a read or a write.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "platform/FaultInjection.h"

namespace orvtest {

using FaultOperation = orv::platform::testing::Operation;

// Runs `step(0)` once with the switch only counting, to learn how many calls of `operation` a
// whole run makes, then `step(n)` once for every n of them with the n-th call failing with
// `error`. Returns the number of calls of the clean run. The switch is off afterwards.
// Example: sweepFaults(FaultOperation::Write, ENOSPC, [&](uint64_t n) { ...; if (n) EXPECT...; });
uint64_t sweepFaults(FaultOperation operation, int error,
                     const std::function<void(uint64_t n)>& step);

// The descriptors this process holds open, to catch a leaked one.
std::set<std::string> openDescriptors();
// Names in a folder, "." and ".." left out.
std::set<std::string> folderEntries(const std::string& folder);

}  // namespace orvtest
