// The hierarchy as a writer lays it out: pages of 32-byte entries.
#pragma once

#include <cstdint>
#include <vector>

#include "OrvCopc.h"

namespace orv::copc {

// The hierarchy as pages starting at file offset `at`: the root page holds the nodes above
// kPageLevel and a page entry for each node of that level with nodes below it, whose own page
// follows with its subtree; a reader of a small area or a coarse level reads the root page
// alone. `rootSize` gets the root page's bytes.
std::vector<uint8_t> hierarchyPages(std::vector<CopcNode> nodes, uint64_t at, uint64_t& rootSize);

}  // namespace orv::copc
