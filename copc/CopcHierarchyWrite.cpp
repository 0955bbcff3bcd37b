#include "copc/CopcHierarchyWrite.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "copc/CopcFormat.h"

namespace orv::copc {

using Key = std::tuple<int32_t, int32_t, int32_t, int32_t>;

std::vector<uint8_t> hierarchyPages(std::vector<CopcNode> nodes, uint64_t at, uint64_t& rootSize) {
    constexpr int kPageLevel = 2;
    // An empty cloud still has its root, with no points: readers expect a page with entries.
    if (nodes.empty()) nodes.push_back(CopcNode());
    std::sort(nodes.begin(), nodes.end(), [](const CopcNode& a, const CopcNode& b) {
        return std::tie(a.level, a.x, a.y, a.z) < std::tie(b.level, b.x, b.y, b.z);
    });
    // The subtree of each node of kPageLevel, by key.
    std::map<Key, std::vector<CopcNode>> pages;
    std::vector<CopcNode> root;
    for (const CopcNode& n : nodes) {
        if (n.level < kPageLevel) {
            root.push_back(n);
            continue;
        }
        const int shift = n.level - kPageLevel;
        pages[Key{kPageLevel, n.x >> shift, n.y >> shift, n.z >> shift}].push_back(n);
    }
    std::vector<std::vector<CopcNode>*> children;
    for (auto& page : pages) {
        if (page.second.size() == 1) {
            root.push_back(page.second.front());
        } else {
            CopcNode entry;
            std::tie(entry.level, entry.x, entry.y, entry.z) = page.first;
            entry.pointCount = -1;
            root.push_back(entry);
            children.push_back(&page.second);
        }
    }
    std::vector<uint8_t> bytes(nodes.size() * kEntryBytes + children.size() * kEntryBytes);
    rootSize = root.size() * kEntryBytes;
    uint64_t next = at + rootSize;
    size_t pageIndex = 0;
    for (size_t i = 0; i < root.size(); ++i) {
        if (root[i].pointCount == -1) {
            root[i].offset = next;
            root[i].byteSize = static_cast<int32_t>(children[pageIndex]->size() * kEntryBytes);
            next += uint64_t(root[i].byteSize);
            ++pageIndex;
        }
        encodeEntry(root[i], bytes.data() + i * kEntryBytes);
    }
    size_t written = root.size();
    for (const std::vector<CopcNode>* page : children)
        for (const CopcNode& n : *page) encodeEntry(n, bytes.data() + written++ * kEntryBytes);
    return bytes;
}

}  // namespace orv::copc
