#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
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
// Records a chunk's decoding makes room for at first; the room then grows with what decodes.
constexpr size_t kFirstRecords = 65536;
// Decoded nodes a query keeps waiting for the caller, per decoding thread.
constexpr size_t kNodesAheadPerThread = 2;
// The info VLR's cube may be this much larger than the header's bounds (a writer pads it); a
// larger one is not the cube of these points.
constexpr double kMaxCubeOverBounds = 1024.0;

// Hierarchy pages already read, kept so that a reader asked again and again (a viewer going
// level by level) fetches each page once; they are checked anew on every walk all the same.
class PageCache final : public copc::CountedSource {
public:
    explicit PageCache(const copc::CountedSource& source) : m_source(source) {}
    uint64_t size() const override { return m_source.size(); }
    std::string name() const override { return m_source.name(); }
    size_t readAt(uint64_t offset, void* buffer, size_t count) const override {
        return m_source.readAt(offset, buffer, count);
    }
    bool read(uint64_t offset, uint64_t count, std::vector<uint8_t>& out,
              copc::SourceError& error) const override {
        const std::pair<uint64_t, uint64_t> key(offset, count);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto found = m_pages.find(key);
            if (found != m_pages.end()) {
                out = found->second;
                return true;
            }
        }
        if (!m_source.read(offset, count, out, error)) return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (count <= kPageCacheBytes - m_bytes) {
            m_pages.emplace(key, out);
            m_bytes += count;
        }
        return true;
    }

private:
    const copc::CountedSource& m_source;
    mutable std::mutex m_mutex;
    mutable std::map<std::pair<uint64_t, uint64_t>, std::vector<uint8_t>> m_pages;
    mutable uint64_t m_bytes = 0;
};

// A setting from the options, else from the environment, else the default; false when the
// environment's text is not a positive number.
bool setting(double given, const char* variable, double fallback, double& out, std::string& error) {
    out = given > 0 ? given : fallback;
    const char* env = given > 0 ? nullptr : std::getenv(variable);
    if (!env || !*env) return true;
    char* end = nullptr;
    const double value = std::strtod(env, &end);
    if (*end != '\0' || !(value > 0) || !std::isfinite(value) || value > 1e9) {
        error = std::string(variable) + " is '" + env + "', not a positive number";
        return false;
    }
    out = value;
    return true;
}

// The level whose spacing first reaches `resolution`.
int levelOf(double spacing, double resolution) {
    if (!(resolution > 0) || !(spacing > 0)) return copc::kMaxLevel;
    int level = 0;
    while (level < copc::kMaxLevel && spacing / std::ldexp(1.0, level) > resolution) ++level;
    return level;
}

}  // namespace

struct CopcReader::Impl {
    std::unique_ptr<copc::CountedSource> source;
    std::unique_ptr<PageCache> pages;
    LasFileHeader header;
    CopcInfo info;
    laz::LazVlr vlr;
    copc::FileLimits limits;
    bool cubeTrusted = true;  // node cubes may rule nodes out of a query
    std::string error;
    CopcFailure failure = CopcFailure::none;
    std::vector<CopcNote> notes;
    std::atomic<bool> cancel{false};

    void fail(const copc::SourceError& e) {
        failure = e.kind == CopcFailure::none ? CopcFailure::damaged : e.kind;
        error = e.text;
    }
    void note(CopcWarning code, const std::string& text) {
        for (const CopcNote& n : notes)
            if (n.text == text) return;
        notes.push_back({code, text});
    }
    void takeSourceNotes() {
        if (source)
            for (const std::string& w : source->warnings()) note(CopcWarning::otherHost, w);
    }

    // Fetches and decodes one node's chunk into `records` (anything on failure); safe from
    // several threads, each with its own buffers and `chunk`, kept from chunk to chunk.
    bool decode(const CopcNode& n, std::vector<uint8_t>& records, std::vector<uint8_t>& bytes,
                laz::ChunkDecoder& chunk, copc::SourceError& why) const {
        const uint16_t length = header.recordLength;
        const std::string name = "the chunk of node " + copc::keyText(n);
        records.clear();
        if (n.pointCount <= 0) return true;
        if (!source->read(n.offset, uint64_t(n.byteSize), bytes, why)) {
            why.text = name + ": " + why.text;
            return false;
        }
        // A layered chunk states its points after its first record: both counts must agree
        // before room is made for them.
        if (vlr.compressor == laz::kCompressorLayered && bytes.size() >= length + 4u &&
            las::load<uint32_t>(bytes.data() + length) != uint32_t(n.pointCount)) {
            why.set(CopcFailure::damaged,
                    name + " holds " + std::to_string(las::load<uint32_t>(bytes.data() + length)) +
                        " points, not the " + std::to_string(n.pointCount) +
                        " points its entry states");
            return false;
        }
        const size_t points = size_t(n.pointCount);
        size_t got = 0;
        if (chunk.start(vlr, length, bytes.data(), bytes.size(), points))
            while (got < points) {
                const size_t step = std::min(points - got, std::max(got, kFirstRecords));
                records.resize((got + step) * length);
                const size_t decoded = chunk.decode(records.data() + got * length, step);
                got += decoded;
                if (decoded < step) break;
            }
        records.resize(got * length);
        if (got < points) {
            why.set(CopcFailure::damaged,
                    name + " holds " + std::to_string(got) + " of the " +
                        std::to_string(n.pointCount) + " points its entry states" +
                        (chunk.error().empty() ? "" : " (" + chunk.error() + ")"));
            return false;
        }
        return true;
    }

    bool touches(const CopcQuery& q, const CopcNode& n, int deepest) const {
        if (n.level > deepest) return false;
        if (!cubeTrusted) return true;
        double lo[3], hi[3];
        copcNodeBounds(info, n, lo, hi);
        for (int axis = 0; axis < 3; ++axis)
            if (hi[axis] < q.min[axis] || lo[axis] > q.max[axis]) return false;
        return true;
    }

    // The info VLR against the header: an empty root page for points is refused; a cube that is
    // not the points' is noted and used for nothing but levels.
    bool checkInfo(std::string& why) {
        const LasFileHeader& h = header;
        if (h.statedPoints > 0 && info.rootPageSize < copc::kEntryBytes) {
            why = "the COPC info VLR gives a root hierarchy page of " +
                  std::to_string(info.rootPageSize) + " bytes for " +
                  std::to_string(h.statedPoints) + " points";
            return false;
        }
        if (h.statedPoints == 0) return true;
        double extent = 0;
        bool fits = true;
        for (int axis = 0; axis < 3; ++axis) {
            const double slack = std::fabs(h.scale[axis]) + 1e-9 * std::fabs(info.center[axis]);
            fits &= std::isfinite(h.min[axis]) && std::isfinite(h.max[axis]) &&
                    h.min[axis] >= info.center[axis] - info.halfSize - slack &&
                    h.max[axis] <= info.center[axis] + info.halfSize + slack;
            extent = std::max({extent, (h.max[axis] - h.min[axis]) / 2, std::fabs(h.scale[axis])});
        }
        if (!fits || info.halfSize > kMaxCubeOverBounds * std::max(extent, 1.0)) {
            char text[256];
            std::snprintf(text, sizeof text,
                          "the COPC cube (center %.17g %.17g %.17g, half size %.17g) is not the "
                          "cube of the header's bounds; every node is read and its points tested",
                          info.center[0], info.center[1], info.center[2], info.halfSize);
            note(CopcWarning::cubeNotBounds, text);
            cubeTrusted = false;
        }
        return true;
    }

    // Memory running out (a node far larger than any writer makes) is the caller's error, never
    // an abort.
    template <class R, class F>
    R guard(R failed, F&& work) {
        try {
            return work();
        } catch (const std::bad_alloc&) {
            failure = CopcFailure::memory;
            error = "out of memory";
            return failed;
        }
    }

    int open(const std::string& pathOrUrl, const CopcOpenOptions& options);
    bool nodes(const CopcQuery& q, std::vector<CopcNode>& out);
    int64_t read(const CopcQuery& q,
                 const std::function<bool(const uint8_t* records, size_t count)>& sink);
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
    return m_impl->guard(-1, [&] { return m_impl->open(pathOrUrl, options); });
}

int CopcReader::Impl::open(const std::string& pathOrUrl, const CopcOpenOptions& options) {
    Impl& m = *this;
    // Everything but the cancel flag, which another thread may be setting meanwhile.
    m.pages.reset();
    m.source.reset();
    m.header = LasFileHeader();
    m.info = CopcInfo();
    m.vlr = laz::LazVlr();
    m.limits = copc::FileLimits();
    m.cubeTrusted = true;
    m.error.clear();
    m.failure = CopcFailure::none;
    m.notes.clear();
    copc::SourceOptions from;
    from.caFile = options.caFile;
    if (from.caFile.empty())
        if (const char* env = std::getenv("ORVTER_CA_FILE")) from.caFile = env;
    double rate = 0;
    if (!setting(options.timeoutSeconds, "ORVTER_HTTP_TIMEOUT", kCopcDefaultTimeoutSeconds,
                 from.timeoutSeconds, m.error) ||
        !setting(options.minBytesPerSecond, "ORVTER_HTTP_MIN_RATE", kCopcDefaultMinBytesPerSecond,
                 rate, m.error)) {
        m.failure = CopcFailure::protocol;
        return -1;
    }
    from.minBytesPerSecond = uint32_t(std::min(rate, 4e9));
    from.rateSeconds = options.rateSeconds > 0 ? options.rateSeconds : kCopcDefaultRateSeconds;
    from.cancel = &m.cancel;
    copc::SourceError opened;
    m.source = copc::openSource(pathOrUrl, from, opened);
    if (!m.source) {
        m.fail(opened);
        return -1;
    }
    m.takeSourceNotes();
    m.pages = std::make_unique<PageCache>(*m.source);
    const int read = las::readHeader(*m.source, m.header, false);
    if (read != 0) {
        m.failure = read == -1 ? CopcFailure::connection : CopcFailure::damaged;
        if (m.cancel) m.failure = CopcFailure::cancelled;
        m.error = read == -1 ? "cannot read the header" : "not a LAS file";
        return read;
    }
    const LasFileHeader& h = m.header;
    const auto refuse = [&m](const std::string& why) {
        m.failure = CopcFailure::damaged;
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
    if (!m.checkInfo(why)) return refuse(why);
    m.limits.size = m.source->size();
    m.limits.chunksBegin = uint64_t{h.offsetToPointData} + 8;
    m.limits.chunksEnd = h.evlrOffset > m.limits.chunksBegin && h.evlrOffset <= m.limits.size
                             ? h.evlrOffset
                             : m.limits.size;
    m.limits.points = h.statedPoints;
    m.limits.recordLength = h.recordLength;
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
CopcFailure CopcReader::failure() const {
    return m_impl->failure;
}
const std::vector<CopcNote>& CopcReader::warnings() const {
    return m_impl->notes;
}
void CopcReader::cancel() {
    m_impl->cancel = true;
}

int CopcReader::levelFor(double resolution) const {
    return levelOf(m_impl->info.spacing, resolution);
}

bool CopcReader::nodes(const CopcQuery& q, std::vector<CopcNode>& out) {
    return m_impl->guard(false, [&] { return m_impl->nodes(q, out); });
}

bool CopcReader::Impl::nodes(const CopcQuery& q, std::vector<CopcNode>& out) {
    Impl& m = *this;
    m.failure = CopcFailure::none;
    if (!m.source) {
        m.failure = CopcFailure::protocol;
        m.error = "no file is open";
        return false;
    }
    int deepest = levelOf(m.info.spacing, q.resolution);
    if (q.maxLevel >= 0) deepest = std::min(deepest, q.maxLevel);
    const auto want = [&](const CopcNode& n) { return m.touches(q, n, deepest); };
    std::vector<CopcNode> all;
    copc::SourceError walked;
    const bool walkedWell =
        copc::walkHierarchy(*m.pages, m.info, m.limits, want, all, walked, m.source->parallelism());
    m.takeSourceNotes();
    if (!walkedWell) {
        m.fail(walked);
        return false;
    }
    bool everything = deepest >= copc::kMaxLevel;
    for (int axis = 0; axis < 3; ++axis)
        everything &= std::isinf(q.min[axis]) && std::isinf(q.max[axis]);
    if (everything) {
        uint64_t sum = 0;
        for (const CopcNode& n : all) sum += static_cast<uint64_t>(n.pointCount);
        if (sum != m.header.statedPoints) {
            m.failure = CopcFailure::damaged;
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
    return m_impl->guard(false, [&] {
        std::vector<uint8_t> bytes;
        laz::ChunkDecoder chunk;
        copc::SourceError why;
        m_impl->failure = CopcFailure::none;
        if (m_impl->decode(n, records, bytes, chunk, why)) return true;
        m_impl->fail(why);
        records.clear();
        return false;
    });
}

int64_t CopcReader::read(const CopcQuery& q, std::vector<uint8_t>& records) {
    const size_t length = m_impl->header.recordLength;
    return read(q, [&records, length](const uint8_t* r, size_t count) {
        records.insert(records.end(), r, r + count * length);
        return true;
    });
}

int64_t CopcReader::read(const CopcQuery& q,
                         const std::function<bool(const uint8_t* records, size_t count)>& sink) {
    return m_impl->guard(int64_t{-1}, [&] { return m_impl->read(q, sink); });
}

int64_t CopcReader::Impl::read(
    const CopcQuery& q, const std::function<bool(const uint8_t* records, size_t count)>& sink) {
    Impl& m = *this;
    std::vector<CopcNode> list;
    if (!nodes(q, list)) return -1;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const CopcNode& n) { return n.pointCount <= 0; }),
               list.end());
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
    // Nodes are decoded on a few threads, at most a few ahead of the one the caller takes next,
    // and handed over in the hierarchy's order, coarse levels first.
    struct Slot {
        std::vector<uint8_t> records;
        copc::SourceError error;
        std::exception_ptr thrown;  // raised again on the caller's thread
        bool done = false;
    };
    std::vector<Slot> slots(list.size());
    std::mutex lock;
    std::condition_variable changed;
    size_t next = 0, taken = 0;
    bool stop = false;
    const unsigned threads = std::max(m.source->parallelism(), std::thread::hardware_concurrency());
    const size_t workers = std::min<size_t>(std::max(threads, 1u), list.size());
    const size_t ahead = kNodesAheadPerThread * workers + 1;
    const auto prefetch = [&](size_t k) {
        if (k < list.size()) m.source->prefetch(list[k].offset, uint64_t(list[k].byteSize));
    };
    for (size_t k = 0; k < ahead; ++k) prefetch(k);
    const auto work = [&] {
        std::vector<uint8_t> bytes, decoded;
        laz::ChunkDecoder chunk;
        for (;;) {
            size_t k;
            {
                std::unique_lock<std::mutex> hold(lock);
                changed.wait(hold,
                             [&] { return stop || next >= list.size() || next < taken + ahead; });
                if (stop || next >= list.size()) return;
                k = next++;
            }
            prefetch(k + ahead);
            std::vector<uint8_t> kept;
            copc::SourceError why;
            std::exception_ptr thrown;
            try {
                if (m.decode(list[k], decoded, bytes, chunk, why))
                    for (const uint8_t* r = decoded.data(); r < decoded.data() + decoded.size();
                         r += length)
                        if (inside(r)) kept.insert(kept.end(), r, r + length);
            } catch (const std::bad_alloc&) {
                why.set(CopcFailure::memory,
                        "out of memory for the chunk of node " + copc::keyText(list[k]));
            } catch (...) {
                thrown = std::current_exception();
            }
            {
                std::lock_guard<std::mutex> hold(lock);
                slots[k].records.swap(kept);
                slots[k].error = why;
                slots[k].thrown = thrown;
                slots[k].done = true;
            }
            changed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    struct Join {
        std::mutex& lock;
        std::condition_variable& changed;
        bool& stop;
        std::vector<std::thread>& pool;
        ~Join() {
            {
                std::lock_guard<std::mutex> hold(lock);
                stop = true;
            }
            changed.notify_all();
            for (std::thread& t : pool) t.join();
        }
    } join{lock, changed, stop, pool};
    for (size_t t = 0; t < workers; ++t) pool.emplace_back(work);
    int64_t handed = 0;
    m.failure = CopcFailure::none;
    for (size_t k = 0; k < list.size(); ++k) {
        std::vector<uint8_t> records;
        copc::SourceError why;
        std::exception_ptr thrown;
        {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return slots[k].done; });
            records.swap(slots[k].records);
            why = slots[k].error;
            thrown = slots[k].thrown;
        }
        if (thrown) std::rethrow_exception(thrown);
        if (why.kind != CopcFailure::none) {
            m.fail(why);
            return -1;
        }
        const size_t count = records.size() / length;
        if (count > 0 && !sink(records.data(), count)) {
            m.failure = CopcFailure::cancelled;
            m.error = "the reading was stopped";
            return -1;
        }
        handed += int64_t(count);
        {
            std::lock_guard<std::mutex> hold(lock);
            taken = k + 1;
        }
        changed.notify_all();
    }
    m.takeSourceNotes();
    return handed;
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
