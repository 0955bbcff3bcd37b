// The octree builder. Points are ordered by a 63-bit Morton code of their place in the root cube,
// so every node and every sampling cell is a contiguous run. A node keeps one point of each
// occupied cell of a 128-cell grid over its cube (chosen by a hash, not by scan order) and hands
// the rest to its eight children, whose grid is twice as fine: each level holds about four times
// the density of its parent on a surface. A cloud larger than the memory budget is first spread
// over scratch files, one per subtree at a level deep enough; every sampling cell of a level
// above lies inside one subtree, so each subtree is built alone and the nodes above it gather
// their share from each.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "OrvCopc.h"
#include "copc/CopcFormat.h"
#include "copc/CopcNodeWriter.h"
#include "las/LasBytes.h"
#include "laz/LazCodec.h"
#include "platform/ScratchFile.h"

namespace orv::copc {

using las::load;
using las::store;

constexpr int kCodeBits = 21;                    // per axis: 63 bits of Morton code
constexpr int kGridBits = 7;                     // 128 sampling cells along a node's edge
constexpr int kDeepest = kCodeBits - kGridBits;  // the finest level a cell can still be told
// A node reached by no more points than this keeps them all: smaller chunks cost more than
// they save.
constexpr size_t kLeafPoints = 20000;
// Bytes of a point while its subtree is built, beside its record: its code and index (16), its
// place in a node's list (4), its share of the nodes waiting to be compressed.
constexpr uint64_t kWorkBytesPerPoint = 32;
// A point's sort key while its subtree is built: its code and index.
constexpr uint64_t kKeyBytes = 16;
// Sort keys a cloud built in memory holds at once: beyond them it is built a subtree at a
// time, as from scratch files.
constexpr uint64_t kMemoryKeyBytes = uint64_t{4} << 20;
// The deepest level a cloud in memory is cut into subtrees at (8^2 = 64 of them, numbered in a
// byte).
constexpr int kMaxMemoryLevel = 2;
// Input records converted at a time.
constexpr size_t kBlockPoints = 65536;
// Buffered bytes per scratch file before they are written.
constexpr size_t kSpillBuffer = size_t{64} << 10;
// The deepest subtree level the scratch files are cut at (8^3 = 512 files).
constexpr int kMaxSpillLevel = 3;

inline uint64_t spread(uint64_t v) {
    v &= 0x1FFFFF;
    v = (v | v << 32) & 0x1F00000000FFFFull;
    v = (v | v << 16) & 0x1F0000FF0000FFull;
    v = (v | v << 8) & 0x100F00F00F00F00Full;
    v = (v | v << 4) & 0x10C30C30C30C30C3ull;
    v = (v | v << 2) & 0x1249249249249249ull;
    return v;
}

inline uint32_t compact(uint64_t v) {
    v &= 0x1249249249249249ull;
    v = (v ^ (v >> 2)) & 0x10C30C30C30C30C3ull;
    v = (v ^ (v >> 4)) & 0x100F00F00F00F00Full;
    v = (v ^ (v >> 8)) & 0x1F0000FF0000FFull;
    v = (v ^ (v >> 16)) & 0x1F00000000FFFFull;
    v = (v ^ (v >> 32)) & 0x1FFFFF;
    return static_cast<uint32_t>(v);
}

inline uint64_t mix(uint64_t v) {
    v += 0x9E3779B97F4A7C15ull;
    v = (v ^ (v >> 30)) * 0xBF58476D1CE4E5B9ull;
    v = (v ^ (v >> 27)) * 0x94D049BB133111EBull;
    return v ^ (v >> 31);
}

// Where points lie in the root cube, from their stored integers.
struct Geometry {
    double scale[3], offset[3];
    double min[3];
    double edge;

    uint64_t code(const uint8_t* record) const {
        uint64_t g[3];
        for (int axis = 0; axis < 3; ++axis) {
            const double v = load<int32_t>(record + 4 * axis) * scale[axis] + offset[axis];
            double cell = std::floor((v - min[axis]) / edge * double(1 << kCodeBits));
            cell = std::min(std::max(cell, 0.0), double((1 << kCodeBits) - 1));
            g[axis] = static_cast<uint64_t>(cell);
        }
        return spread(g[0]) | spread(g[1]) << 1 | spread(g[2]) << 2;
    }
};

inline CopcNode keyAt(uint64_t code, int level) {
    CopcNode n;
    n.level = level;
    const int shift = kCodeBits - level;
    n.x = static_cast<int32_t>(compact(code) >> shift);
    n.y = static_cast<int32_t>(compact(code >> 1) >> shift);
    n.z = static_cast<int32_t>(compact(code >> 2) >> shift);
    return n;
}

using Key = std::tuple<int32_t, int32_t, int32_t, int32_t>;

// The points of one subtree on their way to a scratch file: as records when they take no more
// room than the input did, else compressed a block at a time as LAZ chunks, so that the scratch
// data stays about the size of the input.
class Spill {
public:
    Spill(const std::string& folder, const laz::LazVlr& vlr, uint16_t length, bool compress)
        : m_folder(folder), m_vlr(&vlr), m_length(length), m_compress(compress) {}

    void add(const uint8_t* record) {
        m_pending.insert(m_pending.end(), record, record + m_length);
        if (m_pending.size() >= kSpillBuffer) flush();
    }
    uint64_t spilled() const { return m_file.isOpen() ? m_file.size() : 0; }

    // Every point added, in `records` (replaced); the file is gone afterwards.
    bool load(std::vector<uint8_t>& records, std::string& error) {
        records.clear();
        if (!m_compress && m_file.isOpen()) {
            records.resize(static_cast<size_t>(m_file.size()));
            m_file.readAt(0, records.data(), records.size());
        }
        for (uint64_t at = 0; m_compress && m_file.isOpen() && at < m_file.size();) {
            uint8_t head[8];
            m_file.readAt(at, head, 8);
            const uint32_t points = load32(head), bytes = load32(head + 4);
            std::vector<uint8_t> chunk(bytes);
            m_file.readAt(at + 8, chunk.data(), bytes);
            const size_t start = records.size();
            records.resize(start + size_t{points} * m_length);
            size_t used = 0;
            if (laz::decodeChunk(*m_vlr, m_length, chunk.data(), bytes, points,
                                 records.data() + start, used, error) != points) {
                error = "scratch data came back damaged: " + error;
                return false;
            }
            at += 8 + bytes;
        }
        records.insert(records.end(), m_pending.begin(), m_pending.end());
        m_file.close();
        std::vector<uint8_t>().swap(m_pending);
        return true;
    }

private:
    static uint32_t load32(const uint8_t* at) { return las::load<uint32_t>(at); }

    void flush() {
        if (!m_file.isOpen()) m_file.create(m_folder);
        if (!m_compress) {
            m_file.append(m_pending.data(), m_pending.size());
            m_pending.clear();
            return;
        }
        const uint32_t points = static_cast<uint32_t>(m_pending.size() / m_length);
        const std::vector<uint8_t> chunk =
            laz::encodeChunk(*m_vlr, m_length, m_pending.data(), points);
        uint8_t head[8];
        store(head, points);
        store(head + 4, static_cast<uint32_t>(chunk.size()));
        m_file.append(head, 8);
        m_file.append(chunk.data(), chunk.size());
        m_pending.clear();
    }

    std::string m_folder;
    const laz::LazVlr* m_vlr;
    uint16_t m_length;
    bool m_compress;
    std::vector<uint8_t> m_pending;
    platform::ScratchFile m_file;
};

// Places points into nodes. Nodes above `bucketLevel` are only partly seen by one subtree: their
// records gather in `upper` until every subtree is done.
class Builder {
public:
    Builder(const Geometry& g, uint16_t length, ChunkWriter& out)
        : m_geometry(g), m_length(length), m_out(out) {}

    // Builds the subtree of the `n` records, every one of which lies below the node of level
    // `bucketLevel` that holds them. False with `error` on a spot with too many points.
    bool build(const uint8_t* records, size_t n, int bucketLevel, std::string& error) {
        m_records = records;
        m_bucketLevel = bucketLevel;
        m_items.resize(n);
        for (size_t i = 0; i < n; ++i)
            m_items[i] = {m_geometry.code(records + i * m_length), static_cast<uint32_t>(i)};
        std::sort(m_items.begin(), m_items.end(), [](const Item& a, const Item& b) {
            return a.code < b.code || (a.code == b.code && a.index < b.index);
        });
        m_error.clear();
        if (n > 0) place(0, n, 0);
        m_items.clear();
        m_items.shrink_to_fit();
        error = m_error;
        return m_error.empty();
    }

    // The records gathered for the nodes above the subtrees, by key.
    std::map<Key, std::vector<uint8_t>>& upper() { return m_upper; }

private:
    struct Item {
        uint64_t code;
        uint32_t index;
    };
    static_assert(sizeof(Item) == kKeyBytes, "the key a subtree's memory is planned with");

    // Places the points of m_items[begin, end), all below one node of `level`. The depth is
    // bounded by kDeepest.
    void place(size_t begin, size_t end, int level) {
        const CopcNode key = keyAt(m_items[begin].code, level);
        const bool leaf =
            level >= kDeepest || (level >= m_bucketLevel && end - begin <= kLeafPoints);
        std::vector<uint32_t> mine;
        size_t kept = begin;
        if (leaf) {
            mine.reserve(end - begin);
            for (size_t i = begin; i < end; ++i) mine.push_back(m_items[i].index);
            kept = begin;
        } else {
            const int shift = 3 * (kCodeBits - level - kGridBits);
            for (size_t run = begin; run < end;) {
                const uint64_t cell = m_items[run].code >> shift;
                size_t stop = run + 1;
                while (stop < end && m_items[stop].code >> shift == cell) ++stop;
                const size_t pick = run + mix(cell) % (stop - run);
                mine.push_back(m_items[pick].index);
                for (size_t i = run; i < stop; ++i)
                    if (i != pick) m_items[kept++] = m_items[i];
                run = stop;
            }
        }
        emit(key, mine);
        if (!m_error.empty()) return;
        const int childShift = 3 * (kCodeBits - level - 1);
        for (size_t child = begin; child < kept;) {
            const uint64_t octant = m_items[child].code >> childShift;
            size_t stop = child + 1;
            while (stop < kept && m_items[stop].code >> childShift == octant) ++stop;
            place(child, stop, level + 1);
            if (!m_error.empty()) return;
            child = stop;
        }
    }

    void emit(const CopcNode& key, const std::vector<uint32_t>& indices) {
        if (indices.size() > size_t{kMaxNodePoints}) {
            m_error = "more than " + std::to_string(kMaxNodePoints) +
                      " points lie too close together to be told apart (node " + keyText(key) + ")";
            return;
        }
        std::vector<uint8_t>* into = nullptr;
        std::vector<uint8_t> records;
        if (key.level < m_bucketLevel)
            into = &m_upper[Key{key.level, key.x, key.y, key.z}];
        else
            into = &records;
        const size_t at = into->size();
        into->resize(at + indices.size() * m_length);
        for (size_t i = 0; i < indices.size(); ++i)
            std::memcpy(into->data() + at + i * m_length, m_records + size_t{indices[i]} * m_length,
                        m_length);
        if (key.level >= m_bucketLevel) m_out.add(key, std::move(records));
    }

    const Geometry& m_geometry;
    uint16_t m_length;
    ChunkWriter& m_out;
    const uint8_t* m_records = nullptr;
    int m_bucketLevel = 0;
    std::vector<Item> m_items;
    std::map<Key, std::vector<uint8_t>> m_upper;
    std::string m_error;
};

// Orders the records in `all` by their subtree of `level` (at most kMaxMemoryLevel), in place:
// a cloud held in memory gets no second copy. Returns where each subtree's records begin, and
// their end.
std::vector<size_t> partition(std::vector<uint8_t>& all, uint16_t length, const Geometry& g,
                              int level);

}  // namespace orv::copc
