// What every fuzz target shares.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvfuzz {

// Writes one input to this process's own scratch file and returns its path: the functions
// under test take paths. The file goes when the process ends.
const char* inputFile(const uint8_t* data, size_t size);

// Stops the run with a finding when a stated property of a result does not hold.
inline void require(bool holds) {
    if (!holds) __builtin_trap();
}

}  // namespace orvfuzz
