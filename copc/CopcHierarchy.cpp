#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <set>
#include <utility>

#include "copc/CopcFormat.h"
#include "copc/CopcSource.h"
#include "las/LasBytes.h"

namespace orv {

void copcNodeBounds(const CopcInfo& info, const CopcNode& node, double min[3], double max[3]) {
    const double edge = 2 * info.halfSize / std::ldexp(1.0, node.level);
    const int32_t index[3] = {node.x, node.y, node.z};
    for (int axis = 0; axis < 3; ++axis) {
        min[axis] = info.center[axis] - info.halfSize + index[axis] * edge;
        max[axis] = min[axis] + edge;
    }
}

namespace copc {

using las::load;
using las::store;

bool parseInfo(const std::vector<uint8_t>& payload, CopcInfo& out, std::string& error) {
    if (payload.size() != kInfoBytes) {
        error = "the COPC info VLR holds " + std::to_string(payload.size()) + " bytes, not " +
                std::to_string(kInfoBytes);
        return false;
    }
    const uint8_t* p = payload.data();
    CopcInfo info;
    for (int axis = 0; axis < 3; ++axis) info.center[axis] = load<double>(p + 8 * axis);
    info.halfSize = load<double>(p + 24);
    info.spacing = load<double>(p + 32);
    info.rootPageOffset = load<uint64_t>(p + 40);
    info.rootPageSize = load<uint64_t>(p + 48);
    info.gpsTimeMin = load<double>(p + 56);
    info.gpsTimeMax = load<double>(p + 64);
    const bool finite = std::isfinite(info.center[0]) && std::isfinite(info.center[1]) &&
                        std::isfinite(info.center[2]) && std::isfinite(info.halfSize) &&
                        std::isfinite(info.spacing);
    if (!finite || !(info.halfSize > 0)) {
        error = "the COPC info VLR gives no usable root cube";
        return false;
    }
    out = info;
    return true;
}

std::vector<uint8_t> encodeInfo(const CopcInfo& info) {
    std::vector<uint8_t> b(kInfoBytes, 0);
    uint8_t* p = b.data();
    for (int axis = 0; axis < 3; ++axis) store(p + 8 * axis, info.center[axis]);
    store(p + 24, info.halfSize);
    store(p + 32, info.spacing);
    store(p + 40, info.rootPageOffset);
    store(p + 48, info.rootPageSize);
    store(p + 56, info.gpsTimeMin);
    store(p + 64, info.gpsTimeMax);
    return b;
}

CopcNode decodeEntry(const uint8_t* at) {
    CopcNode n;
    n.level = load<int32_t>(at);
    n.x = load<int32_t>(at + 4);
    n.y = load<int32_t>(at + 8);
    n.z = load<int32_t>(at + 12);
    n.offset = load<uint64_t>(at + 16);
    n.byteSize = load<int32_t>(at + 24);
    n.pointCount = load<int32_t>(at + 28);
    return n;
}

void encodeEntry(const CopcNode& n, uint8_t* at) {
    store(at, n.level);
    store(at + 4, n.x);
    store(at + 8, n.y);
    store(at + 12, n.z);
    store(at + 16, n.offset);
    store(at + 24, n.byteSize);
    store(at + 28, n.pointCount);
}

std::string keyText(const CopcNode& n) {
    return std::to_string(n.level) + "-" + std::to_string(n.x) + "-" + std::to_string(n.y) + "-" +
           std::to_string(n.z);
}

namespace {

using Key = std::tuple<int32_t, int32_t, int32_t, int32_t>;

Key keyOf(const CopcNode& n) {
    return {n.level, n.x, n.y, n.z};
}

bool validKey(const CopcNode& n) {
    if (n.level < 0 || n.level > kMaxLevel) return false;
    const int64_t cells = int64_t{1} << n.level;
    return n.x >= 0 && n.y >= 0 && n.z >= 0 && n.x < cells && n.y < cells && n.z < cells;
}

// `n` is `root` or lies below it.
bool within(const CopcNode& n, const CopcNode& root) {
    if (n.level < root.level) return false;
    const int shift = n.level - root.level;
    return (n.x >> shift) == root.x && (n.y >> shift) == root.y && (n.z >> shift) == root.z;
}

// Byte ranges taken so far: a new one that meets any is refused.
class Ranges {
public:
    bool take(uint64_t begin, uint64_t end) {
        if (begin == end) return true;
        auto next = m_ranges.lower_bound(begin);
        if (next != m_ranges.end() && next->first < end) return false;
        if (next != m_ranges.begin() && std::prev(next)->second > begin) return false;
        m_ranges.emplace(begin, end);
        return true;
    }

private:
    std::map<uint64_t, uint64_t> m_ranges;
};

}  // namespace

bool walkHierarchy(const CountedSource& source, const CopcInfo& info, const FileLimits& limits,
                   const std::function<bool(const CopcNode&)>& wantPage,
                   std::vector<CopcNode>& nodes, SourceError& failure, unsigned parallel) {
    failure.kind = CopcFailure::damaged;
    std::string& error = failure.text;
    struct Page {
        CopcNode key;
        uint64_t offset, size;
        std::vector<uint8_t> bytes;
        SourceError read;
    };
    std::deque<Page> pending;
    pending.push_back({CopcNode(), info.rootPageOffset, info.rootPageSize, {}, {}});
    Ranges taken;
    std::set<Key> seen;
    while (!pending.empty()) {
        // A round: the waiting pages, up to one longest page of bytes, each checked before it is
        // read; then read together (over a network each read is a round trip).
        std::vector<Page> round;
        uint64_t roundBytes = 0;
        while (!pending.empty() &&
               (round.empty() || pending.front().size <= kMaxPageBytes - roundBytes)) {
            Page page = std::move(pending.front());
            pending.pop_front();
            const std::string name = "the hierarchy page of node " + keyText(page.key);
            if (page.size % kEntryBytes != 0) {
                error = name + " holds " + std::to_string(page.size) + " bytes, not whole entries";
                return false;
            }
            if (page.offset > limits.size || page.size > limits.size - page.offset ||
                page.offset < limits.chunksBegin || page.size > kMaxPageBytes) {
                error = name + " lies outside the file";
                return false;
            }
            if (!taken.take(page.offset, page.offset + page.size)) {
                error = name + " overlaps another page or a chunk (a loop or a damaged file)";
                return false;
            }
            roundBytes += page.size;
            round.push_back(std::move(page));
        }
        forEachParallel(round.size(), parallel, [&](size_t i) {
            Page& page = round[i];
            source.read(page.offset, page.size, page.bytes, page.read);
        });
        for (const Page& page : round) {
            if (page.read.kind != CopcFailure::none) {
                failure.set(page.read.kind, "the hierarchy page of node " + keyText(page.key) +
                                                ": " + page.read.text);
                return false;
            }
            for (size_t at = 0; at < page.bytes.size(); at += kEntryBytes) {
                const CopcNode n = decodeEntry(page.bytes.data() + at);
                const std::string entry = "hierarchy entry " + keyText(n);
                if (!validKey(n) || !within(n, page.key)) {
                    error = entry + " does not name a node below " + keyText(page.key);
                    return false;
                }
                if (n.pointCount < -1 || n.byteSize < 0) {
                    error = entry + " states a negative size or count";
                    return false;
                }
                if (n.pointCount == -1) {
                    if (wantPage(n))
                        pending.push_back({n, n.offset, static_cast<uint64_t>(n.byteSize), {}, {}});
                    continue;
                }
                if (!seen.insert(keyOf(n)).second) {
                    error = entry + " is listed twice";
                    return false;
                }
                if (n.pointCount == 0) {
                    nodes.push_back(n);
                    continue;
                }
                const uint64_t size = static_cast<uint64_t>(n.byteSize);
                if (n.offset < limits.chunksBegin || n.offset > limits.chunksEnd ||
                    size > limits.chunksEnd - n.offset || size == 0) {
                    error = entry + " places its points outside the point data";
                    return false;
                }
                if (static_cast<uint64_t>(n.pointCount) > limits.points ||
                    n.pointCount > kMaxNodePoints ||
                    static_cast<uint64_t>(n.pointCount) > size * kMaxPointsPerChunkByte) {
                    error = entry + " states " + std::to_string(n.pointCount) +
                            " points, more than its " + std::to_string(size) +
                            "-byte chunk or the file can hold";
                    return false;
                }
                const uint64_t most = maxChunkBytes(uint64_t(n.pointCount), limits.recordLength);
                if (size > most) {
                    error = entry + " states a " + std::to_string(size) + "-byte chunk for " +
                            std::to_string(n.pointCount) + " points, which need at most " +
                            std::to_string(most);
                    return false;
                }
                if (!taken.take(n.offset, n.offset + size)) {
                    error = entry + " overlaps another node's chunk or a page";
                    return false;
                }
                nodes.push_back(n);
            }
        }
    }
    failure = SourceError();
    return true;
}

}  // namespace copc
}  // namespace orv
