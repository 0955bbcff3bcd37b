// The octree builder. Points are ordered by a 63-bit Morton code of their place in the root cube,
// so every node and every sampling cell is a contiguous run. A node keeps one point of each
// occupied cell of a 128-cell grid over its cube (chosen by a hash, not by scan order) and hands
// the rest to its eight children, whose grid is twice as fine: each level holds about four times
// the density of its parent on a surface. A cloud larger than the memory budget is first spread
// over scratch files, one per subtree at a level deep enough; every sampling cell of a level
// above lies inside one subtree, so each subtree is built alone and the nodes above it gather
// their share from each.
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>

#include "OrvCopc.h"
#include "copc/CopcFormat.h"
#include "las/LasBytes.h"
#include "las/LasHeaderModel.h"
#include "las/LasHeaderWrite.h"
#include "las/LasRecords.h"
#include "laz/LazCodec.h"
#include "platform/Files.h"
#include "platform/ScratchFile.h"

namespace orv {
namespace copc {
namespace {

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

uint64_t spread(uint64_t v) {
    v &= 0x1FFFFF;
    v = (v | v << 32) & 0x1F00000000FFFFull;
    v = (v | v << 16) & 0x1F0000FF0000FFull;
    v = (v | v << 8) & 0x100F00F00F00F00Full;
    v = (v | v << 4) & 0x10C30C30C30C30C3ull;
    v = (v | v << 2) & 0x1249249249249249ull;
    return v;
}

uint32_t compact(uint64_t v) {
    v &= 0x1249249249249249ull;
    v = (v ^ (v >> 2)) & 0x10C30C30C30C30C3ull;
    v = (v ^ (v >> 4)) & 0x100F00F00F00F00Full;
    v = (v ^ (v >> 8)) & 0x1F0000FF0000FFull;
    v = (v ^ (v >> 16)) & 0x1F00000000FFFFull;
    v = (v ^ (v >> 32)) & 0x1FFFFF;
    return static_cast<uint32_t>(v);
}

uint64_t mix(uint64_t v) {
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

CopcNode keyAt(uint64_t code, int level) {
    CopcNode n;
    n.level = level;
    const int shift = kCodeBits - level;
    n.x = static_cast<int32_t>(compact(code) >> shift);
    n.y = static_cast<int32_t>(compact(code >> 1) >> shift);
    n.z = static_cast<int32_t>(compact(code >> 2) >> shift);
    return n;
}

using Key = std::tuple<int32_t, int32_t, int32_t, int32_t>;

// Turns records of an input's format into the output's: fields are carried over, the scan angle
// through degrees where the record cores differ, coordinates re-quantised only when the scales or
// offsets differ.
class Converter {
public:
    Converter(const LasFileHeader& from, const LasFileHeader& to) : m_from(from), m_to(to) {
        bool same = from.pointFormat == to.pointFormat && from.recordLength == to.recordLength;
        for (int axis = 0; axis < 3; ++axis) {
            m_sameQuant &=
                from.scale[axis] == to.scale[axis] && from.offset[axis] == to.offset[axis];
        }
        m_identity = same && m_sameQuant;
        m_sameCore = kLasPointLayouts[from.pointFormat].extendedCore ==
                     kLasPointLayouts[to.pointFormat].extendedCore;
    }

    // False when a coordinate does not fit the output's stored integers.
    bool convert(const uint8_t* in, size_t n, uint8_t* out) {
        if (m_identity) {
            std::memcpy(out, in, n * m_to.recordLength);
            return true;
        }
        LasColumns c = m_columns.columns(n, las::extraBytesOf(m_from));
        decodeLasRecords(m_from, in, n, c);
        if (m_sameQuant)
            c.x = c.y = c.z = nullptr;
        else
            c.X = c.Y = c.Z = nullptr;
        if (m_sameCore)
            c.scanAngleDegrees = nullptr;
        else
            c.scanAngle = nullptr;
        return encodeLasRecords(m_to, c, n, out) == n;
    }

private:
    const LasFileHeader& m_from;
    const LasFileHeader& m_to;
    bool m_identity = false, m_sameQuant = true, m_sameCore = true;
    LasColumnBuffer m_columns;
};

LasVlr makeVlr(const char* userId, uint16_t recordId, const char* description,
               std::vector<uint8_t> payload) {
    LasVlr v;
    v.userId = userId;
    v.recordId = recordId;
    v.description = description;
    v.payload = std::move(payload);
    return v;
}

// What the points written so far add up to: the header's counts and bounds, and the span of
// their GPS times.
struct Tally {
    las::RecordTally records;
    double gpsMin = 0, gpsMax = 0;

    void add(const uint8_t* r, size_t n, size_t length) {
        for (size_t i = 0; i < n; ++i) {
            const double t = load<double>(r + i * length + kLasPointLayouts[6].gpsTime);
            if (records.count + i == 0 || t < gpsMin) gpsMin = t;
            if (records.count + i == 0 || t > gpsMax) gpsMax = t;
        }
        records.add(r, n, length, true);
    }
};

// The 375-byte 1.4 header of the output.
std::vector<uint8_t> headerBytes(LasFileHeader& h, const las::RecordTally& t, uint32_t pointOffset,
                                 uint64_t evlrOffset, uint32_t evlrCount) {
    h.versionMajor = 1;
    h.versionMinor = 4;
    h.headerSize = static_cast<uint16_t>(las::kFixedHeaderBytes);
    h.offsetToPointData = pointOffset;
    h.numberOfVlrs = static_cast<uint32_t>(h.vlrs.size());
    h.compressed = true;
    // Formats 6 to 8 leave the legacy counts 0: only the 64-bit ones describe them.
    h.legacyPointCount = 0;
    std::fill(h.legacyPointsByReturn, h.legacyPointsByReturn + 5, 0);
    for (int axis = 0; axis < 3; ++axis) {
        // Without points, the bounds are the root cube's centre, where an empty cloud's lies.
        h.max[axis] = t.hi[axis] * h.scale[axis] + h.offset[axis];
        h.min[axis] = t.lo[axis] * h.scale[axis] + h.offset[axis];
    }
    h.waveformDataOffset = 0;
    h.evlrOffset = evlrOffset;
    h.numberOfEvlrs = evlrCount;
    h.pointCount = t.count;
    std::copy(t.byReturn, t.byReturn + 15, h.pointsByReturn);
    return las::headerBytes(h);
}

// A node's records on their way to the file, compressed on a fixed set of threads, written in
// the order they came. Few chunks wait at once: each holds its records, and each thread its
// coder's models while compressing.
class ChunkWriter {
public:
    ChunkWriter(platform::OutputFile& file, const laz::LazVlr& vlr, uint16_t length,
                uint64_t position, unsigned threads)
        : m_file(file), m_vlr(vlr), m_length(length), m_position(position), m_threads(threads) {
        try {
            for (unsigned t = 0; t < threads; ++t) m_workers.emplace_back([this] { work(); });
        } catch (...) {
            stop();
            throw;
        }
    }
    ~ChunkWriter() { stop(); }

    void add(const CopcNode& key, std::vector<uint8_t> records) {
        const uint64_t points = records.size() / m_length;
        m_tally.add(records.data(), points, m_length);
        auto job = std::make_shared<Job>();
        job->key = key;
        job->points = points;
        job->records = std::move(records);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_waiting.push_back(job);
        }
        m_wake.notify_one();
        m_ahead.push_back(std::move(job));
        while (m_ahead.size() > 2 * size_t{m_threads}) emitFront();
    }

    void finish() {
        while (!m_ahead.empty()) emitFront();
    }

    const std::vector<CopcNode>& nodes() const { return m_nodes; }
    const std::vector<std::pair<uint64_t, uint64_t>>& table() const { return m_table; }
    const Tally& tally() const { return m_tally; }
    uint64_t position() const { return m_position; }

private:
    struct Job {
        CopcNode key;
        uint64_t points = 0;
        std::vector<uint8_t> records, bytes;
        std::exception_ptr failure;
        bool done = false;
    };

    void stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread& t : m_workers) t.join();
    }

    void work() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stop || !m_waiting.empty(); });
                if (m_stop) return;
                job = std::move(m_waiting.front());
                m_waiting.pop_front();
            }
            try {
                job->bytes = laz::encodeChunk(m_vlr, m_length, job->records.data(), job->points);
            } catch (...) {
                job->failure = std::current_exception();
            }
            std::vector<uint8_t>().swap(job->records);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                job->done = true;
            }
            m_done.notify_all();
        }
    }

    void emitFront() {
        const std::shared_ptr<Job> job = std::move(m_ahead.front());
        m_ahead.pop_front();
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_done.wait(lock, [&job] { return job->done; });
        }
        if (job->failure) std::rethrow_exception(job->failure);
        const std::vector<uint8_t>& bytes = job->bytes;
        m_file.write(bytes.data(), bytes.size());
        CopcNode n = job->key;
        n.offset = m_position;
        n.byteSize = static_cast<int32_t>(bytes.size());
        n.pointCount = static_cast<int32_t>(job->points);
        m_nodes.push_back(n);
        m_table.emplace_back(job->points, bytes.size());
        m_position += bytes.size();
    }

    platform::OutputFile& m_file;
    const laz::LazVlr& m_vlr;
    uint16_t m_length;
    uint64_t m_position;
    unsigned m_threads;
    std::deque<std::shared_ptr<Job>> m_ahead;  // in the file's order
    std::mutex m_mutex;
    std::condition_variable m_wake, m_done;
    std::deque<std::shared_ptr<Job>> m_waiting;  // not yet taken by a thread
    bool m_stop = false;
    std::vector<std::thread> m_workers;
    std::vector<CopcNode> m_nodes;
    std::vector<std::pair<uint64_t, uint64_t>> m_table;
    Tally m_tally;
};

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

struct Input {
    std::string path;
    LasFileHeader header;
    uint64_t points = 0;
};

// Reads every input in turn, converted to the output's records, a block at a time.
template <class Each>
bool forEachBlock(const std::vector<Input>& inputs, const LasFileHeader& target, Each each,
                  std::string& error) {
    std::vector<uint8_t> raw, converted(kBlockPoints * target.recordLength);
    for (const Input& in : inputs) {
        LasReader reader;
        if (reader.open(in.path.c_str()) != 0) {
            error = "cannot read '" + in.path + "': " + reader.error();
            return false;
        }
        Converter converter(reader.header(), target);
        raw.resize(kBlockPoints * reader.header().recordLength);
        uint64_t index = 0;
        while (size_t n = reader.readRaw(raw.data(), kBlockPoints)) {
            if (!converter.convert(raw.data(), n, converted.data())) {
                error = "a point of '" + in.path + "' near record " + std::to_string(index) +
                        " does not fit the output's scale and offset";
                return false;
            }
            each(converted.data(), n);
            index += n;
        }
        if (index < reader.pointCount()) {
            error = "'" + in.path + "' ends after " + std::to_string(index) + " of its " +
                    std::to_string(reader.pointCount()) + " points" +
                    (reader.error().empty() ? "" : ": " + reader.error());
            return false;
        }
    }
    return true;
}

std::string crsOf(const LasFileHeader& h) {
    const std::string wkt = lasWkt(h);
    if (!wkt.empty()) return wkt;
    const uint32_t epsg = lasEpsgCode(h);
    return epsg ? "EPSG:" + std::to_string(epsg) : std::string();
}

// The output's header: format 6, 7 or 8 holding every field of every input, the inputs' extra
// bytes, their common scale (the finest, when they differ) and the first one's offsets and VLRs.
bool planHeader(const std::vector<Input>& inputs, LasFileHeader& out, std::string& error) {
    const LasFileHeader& first = inputs.front().header;
    bool rgb = false, nir = false;
    const std::string crs = crsOf(first);
    const size_t extra = las::extraBytesOf(first);
    LasFileHeader h = first;
    for (const Input& in : inputs) {
        const LasFileHeader& x = in.header;
        const int f = x.pointFormat;
        if (f == 4 || f == 5 || f == 9 || f == 10 || f > 10) {
            error = "'" + in.path + "' has point format " + std::to_string(f) +
                    ", whose wave packets a cloud-optimised file cannot hold";
            return false;
        }
        rgb |= kLasPointLayouts[f].rgb >= 0;
        nir |= kLasPointLayouts[f].nir >= 0;
        if (crsOf(x) != crs) {
            error = "'" + in.path + "' and '" + inputs.front().path +
                    "' have different coordinate reference systems";
            return false;
        }
        if (las::extraBytesOf(x) != extra) {
            error = "'" + in.path + "' and '" + inputs.front().path +
                    "' have different extra bytes per point";
            return false;
        }
        for (int axis = 0; axis < 3; ++axis) h.scale[axis] = std::min(h.scale[axis], x.scale[axis]);
    }
    h.pointFormat = nir ? 8 : rgb ? 7 : 6;
    h.recordLength = static_cast<uint16_t>(lasStandardRecordLength(h.pointFormat) + extra);
    h.versionMajor = 1;
    h.versionMinor = 4;
    h.systemIdentifier = "ORVTER COPC";
    h.generatingSoftware = "orvter las copc";
    h.headerExtra.clear();
    h.afterVlrs.clear();
    const std::string wkt = lasWkt(first);
    h.globalEncoding =
        static_cast<uint16_t>((first.globalEncoding & 0x01) | (wkt.empty() ? 0 : 0x10));
    laz::LazVlr lazVlr;
    if (!laz::lazVlrFor(h.pointFormat, h.recordLength, laz::kVariableChunks, lazVlr, error))
        return false;
    std::vector<LasVlr> vlrs;
    vlrs.push_back(makeVlr(kUserId, kInfoRecordId, "copc info", encodeInfo(CopcInfo())));
    vlrs.push_back(
        makeVlr(laz::kVlrUserId, laz::kVlrRecordId, "by orvter", laz::encodeLazVlr(lazVlr)));
    if (!wkt.empty() && wkt.size() < UINT16_MAX) {
        std::vector<uint8_t> text(wkt.begin(), wkt.end());
        text.push_back(0);
        vlrs.push_back(makeVlr("LASF_Projection", 2112, "OGC WKT", std::move(text)));
    }
    const auto dropped = [&wkt](const LasVlr& v) {
        return las::isCopcRecord(v) || (v.userId == laz::kVlrUserId) ||
               (v.userId == "LASF_Projection" && v.recordId == 2112 && !wkt.empty() &&
                wkt.size() < UINT16_MAX) ||
               (v.userId == "LASF_Spec" && v.recordId >= 100 && v.recordId < 356) ||
               (v.userId == "LASF_Spec" && v.recordId == 65535);
    };
    for (const LasVlr& v : first.vlrs)
        if (!dropped(v)) vlrs.push_back(v);
    std::vector<LasVlr> evlrs;
    for (const LasVlr& v : first.evlrs)
        if (!dropped(v)) evlrs.push_back(v);
    h.vlrs = std::move(vlrs);
    h.evlrs = std::move(evlrs);
    out = std::move(h);
    return true;
}

// The hierarchy as pages starting at file offset `at`: the root page holds the nodes above
// kPageLevel and a page entry for each node of that level with nodes below it, whose own page
// follows with its subtree; a reader of a small area or a coarse level reads the root page
// alone. `rootSize` gets the root page's bytes.
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

// The bounds the inputs' headers state, in the output's stored integers, rounded outward; where
// a header gives nothing usable, the widest there are and false.
bool headerBounds(const std::vector<Input>& inputs, const LasFileHeader& target, int32_t lo[3],
                  int32_t hi[3]) {
    bool all = true;
    for (int axis = 0; axis < 3; ++axis) {
        double a = INFINITY, b = -INFINITY;
        for (const Input& in : inputs) {
            if (in.points == 0) continue;
            a = std::min(a, (in.header.min[axis] - target.offset[axis]) / target.scale[axis]);
            b = std::max(b, (in.header.max[axis] - target.offset[axis]) / target.scale[axis]);
        }
        const bool usable = std::isfinite(a) && std::isfinite(b) && a <= b &&
                            a > double(INT32_MIN) + 1 && b < double(INT32_MAX) - 1;
        lo[axis] = usable ? static_cast<int32_t>(std::floor(a)) : INT32_MIN;
        hi[axis] = usable ? static_cast<int32_t>(std::ceil(b)) : INT32_MAX;
        all &= usable;
    }
    return all;
}

// The smallest cube around the points, a little larger so that the farthest ones lie inside.
void cubeOf(const LasFileHeader& h, const int32_t lo[3], const int32_t hi[3], CopcInfo& info) {
    double half = 0;
    for (int axis = 0; axis < 3; ++axis) {
        const double a = lo[axis] * h.scale[axis] + h.offset[axis];
        const double b = hi[axis] * h.scale[axis] + h.offset[axis];
        info.center[axis] = (a + b) / 2;
        half = std::max(half, (b - a) / 2);
    }
    const double pad = std::max({h.scale[0], h.scale[1], h.scale[2]});
    info.halfSize = half + pad;
    info.spacing = 2 * info.halfSize / (1 << kGridBits);
}

}  // namespace
}  // namespace copc

bool writeCopc(const std::vector<std::string>& paths, const std::string& output,
               const CopcWriteOptions& options, CopcWriteSummary& summary, std::string& error) {
    using namespace copc;
    summary = CopcWriteSummary();
    if (paths.empty()) {
        error = "no input";
        return false;
    }
    std::vector<Input> inputs;
    uint64_t total = 0, inputBytes = 0;
    for (const std::string& path : paths) {
        LasReader reader;
        if (reader.open(path.c_str()) != 0) {
            error = "cannot read '" + path + "': " + reader.error();
            return false;
        }
        inputs.push_back({path, reader.header(), reader.pointCount()});
        total += reader.pointCount();
        inputBytes += reader.header().fileSize;
    }
    LasFileHeader target;
    if (!planHeader(inputs, target, error)) return false;
    const uint16_t length = target.recordLength;
    const auto report = [&options](double fraction) {
        if (options.progress) options.progress(fraction);
    };

    // The bounds of every point, in the output's stored integers: the cube comes from them.
    const bool inMemory = total * (length + kWorkBytesPerPoint) <= options.memoryBytes;
    if (total > UINT32_MAX) {
        error = "more than 4,294,967,295 points";
        return false;
    }
    CopcInfo info;
    Geometry geometry;
    const auto setCube = [&](const int32_t lo[3], const int32_t hi[3]) {
        cubeOf(target, lo, hi, info);
        for (int axis = 0; axis < 3; ++axis) {
            geometry.scale[axis] = target.scale[axis];
            geometry.offset[axis] = target.offset[axis];
            geometry.min[axis] = info.center[axis] - info.halfSize;
        }
        geometry.edge = 2 * info.halfSize;
    };
    std::vector<uint8_t> all;
    uint64_t seen = 0;
    // Where the points may lie, in the output's stored integers.
    int32_t lo[3], hi[3];
    bool trusted = true;
    if (inMemory) {
        las::RecordTally bounds;
        all.reserve(static_cast<size_t>(total * length));
        const bool ok = forEachBlock(
            inputs, target,
            [&](const uint8_t* records, size_t n) {
                all.insert(all.end(), records, records + n * length);
                bounds.add(records, n, length, true);
                report(0.3 * double(seen += n) / double(total ? total : 1));
            },
            error);
        if (!ok) return false;
        std::copy(bounds.lo, bounds.lo + 3, lo);
        std::copy(bounds.hi, bounds.hi + 3, hi);
    } else {
        // The headers' bounds give the cube without a pass over the points; a header they
        // contradict costs a second pass.
        trusted = headerBounds(inputs, target, lo, hi);
    }
    setCube(lo, hi);
    laz::LazVlr lazVlr;
    if (!laz::parseLazVlr(target.vlrs[1].payload.data(), target.vlrs[1].payload.size(), lazVlr,
                          error))
        return false;
    uint64_t pointOffset = las::kFixedHeaderBytes;
    for (const LasVlr& v : target.vlrs) pointOffset += las::kVlrHeaderBytes + v.payload.size();
    if (pointOffset > UINT32_MAX) {
        error = "the VLRs are too long";
        return false;
    }

    platform::OutputFile file;
    file.create(output.c_str());
    const auto writePrefix = [&](const las::RecordTally& t, uint64_t evlrOffset,
                                 uint32_t evlrCount) {
        const std::vector<uint8_t> head =
            headerBytes(target, t, static_cast<uint32_t>(pointOffset), evlrOffset, evlrCount);
        file.write(head.data(), head.size());
        for (const LasVlr& v : target.vlrs) las::writeVlr(file, v, false);
    };
    writePrefix(las::RecordTally(), 0, 0);
    const uint8_t placeholder[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    file.write(placeholder, 8);
    unsigned threads = options.threads ? options.threads : std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;
    ChunkWriter chunks(file, lazVlr, length, pointOffset + 8, threads);
    Builder builder(geometry, length, chunks);

    // The nodes above the subtrees, once every subtree has given them its share.
    const auto addUpper = [&] {
        for (auto& node : builder.upper()) {
            CopcNode key;
            std::tie(key.level, key.x, key.y, key.z) = node.first;
            if (node.second.size() / length > size_t{kMaxNodePoints}) {
                error = "node " + keyText(key) + " would hold too many points";
                return false;
            }
            chunks.add(key, std::move(node.second));
        }
        builder.upper().clear();
        return true;
    };
    if (inMemory) {
        // A large cloud is built a subtree at a time, so that the sort keys of only one are
        // held beside the records.
        int level = 0;
        while (level < kMaxMemoryLevel && (total * kKeyBytes >> (3 * level)) > kMemoryKeyBytes)
            ++level;
        const std::vector<size_t> begin = partition(all, length, geometry, level);
        for (size_t b = 0; b + 1 < begin.size(); ++b) {
            if (begin[b] == begin[b + 1]) continue;
            if (!builder.build(all.data() + begin[b] * length, begin[b + 1] - begin[b], level,
                               error))
                return false;
            report(0.3 + 0.6 * double(b + 1) / double(begin.size() - 1));
        }
        all.clear();
        all.shrink_to_fit();
        if (!addUpper()) return false;
    } else {
        // Subtrees at the level that gives each about a quarter of the budget, if the points
        // were spread evenly; an uneven cloud may give some more.
        int level = 1;
        while (level < kMaxSpillLevel &&
               total * (length + kWorkBytesPerPoint) / (uint64_t{1} << (3 * level)) >
                   options.memoryBytes / 4)
            ++level;
        const size_t buckets = size_t{1} << (3 * level);
        const std::string::size_type slash = output.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : output.substr(0, slash + 1);
        std::deque<Spill> spills;
        const bool compress = total * length > inputBytes;
        const int shift = 3 * (kCodeBits - level);
        for (int pass = 0; pass < 2; ++pass) {
            spills.clear();
            for (size_t b = 0; b < buckets; ++b)
                spills.emplace_back(folder, lazVlr, length, compress);
            seen = 0;
            las::RecordTally bounds;
            const bool ok = forEachBlock(
                inputs, target,
                [&](const uint8_t* records, size_t n) {
                    bounds.add(records, n, length, true);
                    for (size_t i = 0; i < n; ++i) {
                        const uint8_t* r = records + i * length;
                        spills[static_cast<size_t>(geometry.code(r) >> shift)].add(r);
                    }
                    report(0.4 * double(seen += n) / double(total ? total : 1));
                },
                error);
            if (!ok) return false;
            // Points outside the stated bounds, or bounds far wider than the points (a cube too
            // large for them wastes levels): build again around the points.
            bool fits = trusted;
            double stated = 0, real = 0;
            for (int axis = 0; axis < 3; ++axis) {
                fits &= bounds.lo[axis] >= lo[axis] && bounds.hi[axis] <= hi[axis];
                stated = std::max(stated, (double(hi[axis]) - lo[axis]) * target.scale[axis]);
                real = std::max(real,
                                (double(bounds.hi[axis]) - bounds.lo[axis]) * target.scale[axis]);
            }
            if (bounds.count == 0 || (fits && real >= stated / 2)) break;
            trusted = true;
            std::copy(bounds.lo, bounds.lo + 3, lo);
            std::copy(bounds.hi, bounds.hi + 3, hi);
            setCube(lo, hi);
        }
        std::vector<uint8_t> records;
        for (size_t b = 0; b < buckets; ++b) {
            if (spills[b].spilled() > 0) {
                ++summary.spillFiles;
                summary.spillBytes += spills[b].spilled();
            }
            if (!spills[b].load(records, error)) return false;
            if (records.empty()) continue;
            const uint64_t bytes = records.size();
            if (!builder.build(records.data(), static_cast<size_t>(bytes / length), level, error))
                return false;
            report(0.4 + 0.5 * double(b + 1) / double(buckets));
        }
        if (!addUpper()) return false;
    }
    chunks.finish();

    // The chunk table, the EVLRs kept from the first input, then the hierarchy as one page.
    const uint64_t tableOffset = chunks.position();
    const std::vector<uint8_t> table = laz::encodeChunkTable(chunks.table(), true);
    file.write(table.data(), table.size());
    const uint64_t evlrOffset = tableOffset + table.size();
    uint64_t at = evlrOffset;
    for (const LasVlr& v : target.evlrs) at += las::writeVlr(file, v, true);
    const std::vector<CopcNode>& nodes = chunks.nodes();
    const uint64_t pagesAt = at + las::kEvlrHeaderBytes;
    LasVlr hierarchy = makeVlr(kUserId, kHierarchyRecordId, "EPT hierarchy",
                               hierarchyPages(nodes, pagesAt, info.rootPageSize));
    int deepest = -1;
    for (const CopcNode& n : nodes) deepest = std::max(deepest, n.level);
    las::writeVlr(file, hierarchy, true);
    info.rootPageOffset = pagesAt;
    info.gpsTimeMin = chunks.tally().gpsMin;
    info.gpsTimeMax = chunks.tally().gpsMax;
    target.vlrs[0].payload = encodeInfo(info);

    file.seekToStart();
    writePrefix(chunks.tally().records, evlrOffset, static_cast<uint32_t>(target.evlrs.size() + 1));
    uint8_t offset[8];
    store(offset, tableOffset);
    file.write(offset, 8);
    file.close();
    report(1.0);
    summary.points = chunks.tally().records.count;
    summary.nodes = static_cast<uint32_t>(nodes.size());
    summary.levels = deepest + 1;
    return true;
}

}  // namespace orv
