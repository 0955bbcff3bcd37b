// Work over many files: each file on its own, a failure reported and the others done.
#pragma once

#include <cstddef>
#include <functional>

namespace orvter {

// The result of a run over many files: how many failed, and the exit status to end with (the
// highest a failure carried; 0 when none failed).
struct BatchResult {
    size_t failures = 0;
    int status = 0;
};

// Calls `work(i)` for each i below `count`, on at most `jobs` threads at a time (1: in order, on
// the caller's thread). A failure prints its one line on standard error and the rest go on.
BatchResult runEach(size_t count, unsigned jobs, const std::function<void(size_t)>& work);

}  // namespace orvter
