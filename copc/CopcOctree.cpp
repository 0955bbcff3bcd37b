#include "copc/CopcOctree.h"

namespace orv::copc {

std::vector<size_t> partition(std::vector<uint8_t>& all, uint16_t length, const Geometry& g,
                              int level) {
    const size_t n = all.size() / length;
    const int shift = 3 * (kCodeBits - level);
    std::vector<uint8_t> subtree(n);
    std::vector<size_t> begin((size_t{1} << (3 * level)) + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        subtree[i] = static_cast<uint8_t>(g.code(all.data() + i * length) >> shift);
        ++begin[subtree[i] + 1];
    }
    for (size_t b = 1; b < begin.size(); ++b) begin[b] += begin[b - 1];
    // Each record not yet in its subtree's range is swapped to the next free place there.
    std::vector<size_t> next(begin.begin(), begin.end() - 1);
    std::vector<uint8_t> held(length);
    for (size_t b = 0; b + 1 < begin.size(); ++b) {
        while (next[b] < begin[b + 1]) {
            const size_t i = next[b];
            if (subtree[i] == b) {
                ++next[b];
                continue;
            }
            const size_t j = next[subtree[i]]++;
            uint8_t* a = all.data() + i * length;
            uint8_t* c = all.data() + j * length;
            std::memcpy(held.data(), a, length);
            std::memcpy(a, c, length);
            std::memcpy(c, held.data(), length);
            std::swap(subtree[i], subtree[j]);
        }
    }
    return begin;
}

}  // namespace orv::copc
