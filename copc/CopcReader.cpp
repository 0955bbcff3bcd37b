#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "OrvCopc.h"
#include "copc/CopcFormat.h"
#include "copc/CopcSource.h"
#include "las/LasBytes.h"
#include "las/LasHeaderModel.h"
#include "las/LasRecordSource.h"

namespace orv {
namespace {

// The most hierarchy bytes a reader keeps; pages past it are read anew each time.
constexpr uint64_t kPageCacheBytes = uint64_t{64} << 20;

// Hierarchy pages already read, kept so that a reader asked again and again (a viewer going
// level by level) fetches each page once; they are checked anew on every walk all the same.
class PageCache final : public laz::ByteSource {
public:
    explicit PageCache(const laz::ByteSource& source) : m_source(source) {}
    uint64_t size() const override { return m_source.size(); }
    size_t readAt(uint64_t offset, void* buffer, size_t count) const override {
        const std::pair<uint64_t, size_t> key(offset, count);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto found = m_pages.find(key);
            if (found != m_pages.end()) {
                std::memcpy(buffer, found->second.data(), count);
                return count;
            }
        }
        const size_t got = m_source.readAt(offset, buffer, count);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (got == count && count <= kPageCacheBytes - m_bytes) {
            const auto* bytes = static_cast<const uint8_t*>(buffer);
            m_pages.emplace(key, std::vector<uint8_t>(bytes, bytes + count));
            m_bytes += count;
        }
        return got;
    }

private:
    const laz::ByteSource& m_source;
    mutable std::mutex m_mutex;
    mutable std::map<std::pair<uint64_t, size_t>, std::vector<uint8_t>> m_pages;
    mutable uint64_t m_bytes = 0;
};

}  // namespace

struct CopcReader::Impl {
    std::unique_ptr<copc::CountedSource> source;
    std::unique_ptr<PageCache> pages;
    LasFileHeader header;
    CopcInfo info;
    laz::LazVlr vlr;
    copc::FileLimits limits;
    std::string error;

    // Fetches and decodes one node's chunk into `records` (anything on failure); safe from
    // several threads, each with its own buffers and `chunk`, kept from chunk to chunk.
    bool decode(const CopcNode& n, std::vector<uint8_t>& records, std::vector<uint8_t>& bytes,
                laz::ChunkDecoder& chunk, std::string& why) const {
        const uint16_t length = header.recordLength;
        if (n.pointCount <= 0) {
            records.clear();
            return true;
        }
        bytes.resize(static_cast<size_t>(n.byteSize));
        if (source->readAt(n.offset, bytes.data(), bytes.size()) != bytes.size()) {
            why = "cannot read the chunk of node " + copc::keyText(n);
            return false;
        }
        // A layered chunk states its points after its first record: both counts must agree
        // before room is made for them.
        if (vlr.compressor == laz::kCompressorLayered && bytes.size() >= length + 4u &&
            las::load<uint32_t>(bytes.data() + length) != uint32_t(n.pointCount)) {
            why = "the chunk of node " + copc::keyText(n) + " holds " +
                  std::to_string(las::load<uint32_t>(bytes.data() + length)) + " points, not the " +
                  std::to_string(n.pointCount) + " points its entry states";
            return false;
        }
        const size_t points = size_t(n.pointCount);
        records.resize(points * length);
        size_t got = 0;
        if (chunk.start(vlr, length, bytes.data(), bytes.size(), points))
            got = chunk.decode(records.data(), points);
        if (got < points) {
            why = "the chunk of node " + copc::keyText(n) + " holds " + std::to_string(got) +
                  " of the " + std::to_string(n.pointCount) + " points its entry states" +
                  (chunk.error().empty() ? "" : " (" + chunk.error() + ")");
            return false;
        }
        return true;
    }

    bool touches(const CopcQuery& q, const CopcNode& n, int deepest) const {
        if (n.level > deepest) return false;
        double lo[3], hi[3];
        copcNodeBounds(info, n, lo, hi);
        for (int axis = 0; axis < 3; ++axis)
            if (hi[axis] < q.min[axis] || lo[axis] > q.max[axis]) return false;
        return true;
    }
};

bool copcInfoVlrFirst(const LasFileHeader& h) {
    return !h.vlrs.empty() && h.vlrs[0].userId == copc::kUserId &&
           h.vlrs[0].recordId == copc::kInfoRecordId;
}

CopcReader::CopcReader() : m_impl(std::make_unique<Impl>()) {}
CopcReader::~CopcReader() = default;

int CopcReader::open(const std::string& pathOrUrl) {
    return open(pathOrUrl, CopcOpenOptions());
}

int CopcReader::open(const std::string& pathOrUrl, const CopcOpenOptions& options) {
    Impl& m = *m_impl;
    m = Impl();
    std::string caFile = options.caFile;
    if (caFile.empty())
        if (const char* env = std::getenv("ORVTER_CA_FILE")) caFile = env;
    m.source = copc::openSource(pathOrUrl, caFile, m.error);
    if (!m.source) return -1;
    m.pages = std::make_unique<PageCache>(*m.source);
    const int read = las::readHeader(*m.source, m.header, false);
    if (read != 0) {
        m.error = read == -1 ? "cannot read the header" : "not a LAS file";
        return read;
    }
    const LasFileHeader& h = m.header;
    const auto refuse = [&m](const std::string& why) {
        m.error = "not a COPC file: " + why;
        return -2;
    };
    if (h.versionMajor != 1 || h.versionMinor != 4 || h.headerSize != copc::kInfoVlrOffset)
        return refuse("not a LAS 1.4 file with a 375-byte header");
    if (!copcInfoVlrFirst(h)) return refuse("the first VLR is not the COPC info VLR");
    if (!h.compressed || h.pointFormat < 6 || h.pointFormat > 8)
        return refuse("point format " + std::to_string(h.pointFormat) +
                      (h.compressed ? "" : " uncompressed"));
    std::string why;
    if (!copc::parseInfo(h.vlrs[0].payload, m.info, why)) return refuse(why);
    const LasVlr* laz = nullptr;
    for (const LasVlr& v : h.vlrs)
        if (v.userId == laz::kVlrUserId && v.recordId == laz::kVlrRecordId) laz = &v;
    if (!laz) return refuse("no compression VLR");
    if (!laz::parseLazVlr(laz->payload.data(), laz->payload.size(), m.vlr, why)) return refuse(why);
    if (h.recordLength < lasStandardRecordLength(h.pointFormat))
        return refuse("records shorter than their format's");
    m.limits.size = m.source->size();
    m.limits.chunksBegin = uint64_t{h.offsetToPointData} + 8;
    m.limits.chunksEnd = h.evlrOffset > m.limits.chunksBegin && h.evlrOffset <= m.limits.size
                             ? h.evlrOffset
                             : m.limits.size;
    m.limits.points = h.statedPoints;
    // The chunks hold the points, not the file's length: the counts are the header's.
    las::countCompressed(m.header, h.statedPoints);
    return 0;
}

const std::string& CopcReader::error() const {
    return m_impl->error;
}
const LasFileHeader& CopcReader::header() const {
    return m_impl->header;
}
const CopcInfo& CopcReader::info() const {
    return m_impl->info;
}

int CopcReader::levelFor(double resolution) const {
    const double spacing = m_impl->info.spacing;
    if (!(resolution > 0) || !(spacing > 0)) return copc::kMaxLevel;
    int level = 0;
    while (level < copc::kMaxLevel && spacing / std::ldexp(1.0, level) > resolution) ++level;
    return level;
}

bool CopcReader::nodes(const CopcQuery& q, std::vector<CopcNode>& out) {
    Impl& m = *m_impl;
    if (!m.source) {
        m.error = "no file is open";
        return false;
    }
    int deepest = levelFor(q.resolution);
    if (q.maxLevel >= 0) deepest = std::min(deepest, q.maxLevel);
    const auto want = [&](const CopcNode& n) { return m.touches(q, n, deepest); };
    std::vector<CopcNode> all;
    if (!copc::walkHierarchy(*m.pages, m.info, m.limits, want, all, m.error,
                             m.source->parallelism()))
        return false;
    bool everything = deepest >= copc::kMaxLevel;
    for (int axis = 0; axis < 3; ++axis)
        everything &= std::isinf(q.min[axis]) && std::isinf(q.max[axis]);
    if (everything) {
        uint64_t sum = 0;
        for (const CopcNode& n : all) sum += static_cast<uint64_t>(n.pointCount);
        if (sum != m.header.statedPoints) {
            m.error = "the hierarchy's nodes hold " + std::to_string(sum) +
                      " points, the header states " + std::to_string(m.header.statedPoints);
            return false;
        }
    }
    out.clear();
    for (const CopcNode& n : all)
        if (want(n)) out.push_back(n);
    return true;
}

bool CopcReader::readNode(const CopcNode& n, std::vector<uint8_t>& records) {
    std::vector<uint8_t> bytes;
    laz::ChunkDecoder chunk;
    if (m_impl->decode(n, records, bytes, chunk, m_impl->error)) return true;
    records.clear();
    return false;
}

int64_t CopcReader::read(const CopcQuery& q, std::vector<uint8_t>& records) {
    Impl& m = *m_impl;
    std::vector<CopcNode> list;
    if (!nodes(q, list)) return -1;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const CopcNode& n) { return n.pointCount <= 0; }),
               list.end());
    // The largest chunks are decoded first so that the threads finish together; the points
    // still come in the hierarchy's order, coarse levels first.
    std::vector<size_t> order(list.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return list[a].byteSize > list[b].byteSize; });
    // Chunks are fetched and decoded on a few threads.
    std::vector<std::vector<uint8_t>> kept(list.size());
    std::vector<std::string> errors(list.size());
    std::atomic<size_t> next{0};
    const uint16_t length = m.header.recordLength;
    const LasFileHeader& h = m.header;
    // Every point is tested, even in a node inside the bounds: a node's points are not trusted
    // to lie in its cube, and the test costs little beside the decoding.
    const auto inside = [&](const uint8_t* r) {
        bool in = true;
        for (int axis = 0; axis < 3; ++axis) {
            const double v = las::load<int32_t>(r + 4 * axis) * h.scale[axis] + h.offset[axis];
            in &= v >= q.min[axis] && v <= q.max[axis];
        }
        return in;
    };
    // The chunks a little ahead of those being decoded are fetched meanwhile.
    constexpr size_t kAhead = 32;
    const auto prefetch = [&](size_t k) {
        if (k < order.size()) {
            const CopcNode& n = list[order[k]];
            m.source->prefetch(n.offset, uint64_t(n.byteSize));
        }
    };
    for (size_t i = 0; i < kAhead; ++i) prefetch(i);
    const auto work = [&] {
        // A thread decodes into one buffer, chunk after chunk, and copies out what the bounds
        // take: fresh memory for every chunk's points would cost more than the copy.
        std::vector<uint8_t> bytes, decoded;
        laz::ChunkDecoder chunk;
        for (size_t k = next++; k < order.size(); k = next++) {
            prefetch(k + kAhead);
            const size_t i = order[k];
            if (!m.decode(list[i], decoded, bytes, chunk, errors[i])) continue;
            std::vector<uint8_t>& out = kept[i];
            for (const uint8_t* r = decoded.data(); r < decoded.data() + decoded.size();
                 r += length)
                if (inside(r)) out.insert(out.end(), r, r + length);
        }
    };
    const unsigned threads = std::max(m.source->parallelism(), std::thread::hardware_concurrency());
    const size_t workers = std::min<size_t>(threads, order.size());
    copc::forEachParallel(workers, unsigned(workers), [&](size_t) { work(); });
    size_t bytes = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        if (!errors[i].empty()) {
            m.error = errors[i];
            return -1;
        }
        bytes += kept[i].size();
    }
    records.reserve(records.size() + bytes);
    for (const std::vector<uint8_t>& k : kept) records.insert(records.end(), k.begin(), k.end());
    return static_cast<int64_t>(bytes / length);
}

CopcTraffic CopcReader::traffic() const {
    CopcTraffic t;
    if (m_impl->source) {
        t.requests = m_impl->source->requests();
        t.bytes = m_impl->source->bytes();
    }
    return t;
}

}  // namespace orv
