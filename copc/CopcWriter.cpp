// Writing a cloud-optimised file: the inputs read and converted to one format, the octree built
// (CopcOctree.h), its nodes compressed and written (CopcNodeWriter.h), then the hierarchy
// (CopcHierarchyWrite.h) and the header.
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
#include "copc/CopcHierarchyWrite.h"
#include "copc/CopcOctree.h"
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
        for (int axis = 0; axis < 3; ++axis) {
            // The octree's cube and the stored integers need steps that grow with coordinates.
            if (!(x.scale[axis] > 0 && std::isfinite(x.scale[axis]) &&
                  std::isfinite(x.offset[axis]))) {
                error = "'" + in.path +
                        "' has a scale that is not positive and finite, or an offset that is not "
                        "finite";
                return false;
            }
            h.scale[axis] = std::min(h.scale[axis], x.scale[axis]);
        }
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

// One cloud-optimised file in the making: the inputs, the output's header and cube, the file and
// the writer of its nodes. Each step returns false with `error` set.
class CopcBuild {
public:
    CopcBuild(const CopcWriteOptions& options, CopcWriteSummary& summary, std::string& error)
        : m_options(options), m_summary(summary), m_error(error) {}

    bool run(const std::vector<std::string>& paths, const std::string& output) {
        if (!openInputs(paths) || !planHeader(m_inputs, m_target, m_error)) return false;
        m_length = m_target.recordLength;
        if (m_total > UINT32_MAX) return fail("more than 4,294,967,295 points");
        // The bounds of every point, in the output's stored integers: the cube comes from them.
        m_inMemory = m_total * (m_length + kWorkBytesPerPoint) <= m_options.memoryBytes;
        if (m_inMemory && !readAll()) return false;
        // The headers' bounds give the cube without a pass over the points; a header they
        // contradict costs a second pass.
        if (!m_inMemory) m_trusted = headerBounds(m_inputs, m_target, m_lo, m_hi);
        setCube();
        if (!laz::parseLazVlr(m_target.vlrs[1].payload.data(), m_target.vlrs[1].payload.size(),
                              m_lazVlr, m_error))
            return false;
        m_pointOffset = las::kFixedHeaderBytes;
        for (const LasVlr& v : m_target.vlrs)
            m_pointOffset += las::kVlrHeaderBytes + v.payload.size();
        if (m_pointOffset > UINT32_MAX) return fail("the VLRs are too long");

        m_file.create(output.c_str());
        writePrefix(las::RecordTally(), 0, 0);
        const uint8_t placeholder[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        m_file.write(placeholder, 8);
        unsigned threads =
            m_options.threads ? m_options.threads : std::thread::hardware_concurrency();
        if (threads == 0) threads = 1;
        ChunkWriter chunks(m_file, m_lazVlr, m_length, m_pointOffset + 8, threads);
        Builder builder(m_geometry, m_length, chunks);
        if (!(m_inMemory ? buildInMemory(builder) : buildFromSpills(builder, output)) ||
            !addUpper(builder, chunks))
            return false;
        chunks.finish();
        finishFile(chunks);
        return true;
    }

private:
    bool fail(const char* why) {
        m_error = why;
        return false;
    }
    void report(double fraction) const {
        if (m_options.progress) m_options.progress(fraction);
    }
    double share(uint64_t seen) const { return double(seen) / double(m_total ? m_total : 1); }

    bool openInputs(const std::vector<std::string>& paths) {
        if (paths.empty()) return fail("no input");
        for (const std::string& path : paths) {
            LasReader reader;
            if (reader.open(path.c_str()) != 0) {
                m_error = "cannot read '" + path + "': " + reader.error();
                return false;
            }
            m_inputs.push_back({path, reader.header(), reader.pointCount()});
            m_total += reader.pointCount();
            m_inputBytes += reader.header().fileSize;
        }
        return true;
    }

    // A cloud that fits the budget is read once, into memory, measuring its bounds.
    bool readAll() {
        las::RecordTally bounds;
        m_all.reserve(static_cast<size_t>(m_total * m_length));
        uint64_t seen = 0;
        const bool ok = forEachBlock(
            m_inputs, m_target,
            [&](const uint8_t* records, size_t n) {
                m_all.insert(m_all.end(), records, records + n * m_length);
                bounds.add(records, n, m_length, true);
                report(0.3 * share(seen += n));
            },
            m_error);
        std::copy(bounds.lo, bounds.lo + 3, m_lo);
        std::copy(bounds.hi, bounds.hi + 3, m_hi);
        return ok;
    }

    void setCube() {
        cubeOf(m_target, m_lo, m_hi, m_info);
        for (int axis = 0; axis < 3; ++axis) {
            m_geometry.scale[axis] = m_target.scale[axis];
            m_geometry.offset[axis] = m_target.offset[axis];
            m_geometry.min[axis] = m_info.center[axis] - m_info.halfSize;
        }
        m_geometry.edge = 2 * m_info.halfSize;
    }

    void writePrefix(const las::RecordTally& t, uint64_t evlrOffset, uint32_t evlrCount) {
        const std::vector<uint8_t> head =
            headerBytes(m_target, t, static_cast<uint32_t>(m_pointOffset), evlrOffset, evlrCount);
        m_file.write(head.data(), head.size());
        for (const LasVlr& v : m_target.vlrs) las::writeVlr(m_file, v, false);
    }

    // A large cloud is built a subtree at a time, so that the sort keys of only one are held
    // beside the records.
    bool buildInMemory(Builder& builder) {
        int level = 0;
        while (level < kMaxMemoryLevel && (m_total * kKeyBytes >> (3 * level)) > kMemoryKeyBytes)
            ++level;
        const std::vector<size_t> begin = partition(m_all, m_length, m_geometry, level);
        for (size_t b = 0; b + 1 < begin.size(); ++b) {
            if (begin[b] == begin[b + 1]) continue;
            if (!builder.build(m_all.data() + begin[b] * m_length, begin[b + 1] - begin[b], level,
                               m_error))
                return false;
            report(0.3 + 0.6 * double(b + 1) / double(begin.size() - 1));
        }
        m_all.clear();
        m_all.shrink_to_fit();
        return true;
    }

    // Subtrees at the level that gives each about a quarter of the budget, if the points were
    // spread evenly; an uneven cloud may give some more.
    bool buildFromSpills(Builder& builder, const std::string& output) {
        int level = 1;
        while (level < kMaxSpillLevel &&
               m_total * (m_length + kWorkBytesPerPoint) / (uint64_t{1} << (3 * level)) >
                   m_options.memoryBytes / 4)
            ++level;
        const std::string::size_type slash = output.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : output.substr(0, slash + 1);
        std::deque<Spill> spills;
        if (!spill(spills, folder, level)) return false;
        std::vector<uint8_t> records;
        for (size_t b = 0; b < spills.size(); ++b) {
            if (spills[b].spilled() > 0) {
                ++m_summary.spillFiles;
                m_summary.spillBytes += spills[b].spilled();
            }
            if (!spills[b].load(records, m_error)) return false;
            if (records.empty()) continue;
            const uint64_t bytes = records.size();
            if (!builder.build(records.data(), static_cast<size_t>(bytes / m_length), level,
                               m_error))
                return false;
            report(0.4 + 0.5 * double(b + 1) / double(spills.size()));
        }
        return true;
    }

    // Spreads the points over one scratch file per subtree of `level`, again around the points
    // when the stated bounds turn out wrong.
    bool spill(std::deque<Spill>& spills, const std::string& folder, int level) {
        const size_t buckets = size_t{1} << (3 * level);
        const bool compress = m_total * m_length > m_inputBytes;
        const int shift = 3 * (kCodeBits - level);
        for (int pass = 0; pass < 2; ++pass) {
            spills.clear();
            for (size_t b = 0; b < buckets; ++b)
                spills.emplace_back(folder, m_lazVlr, m_length, compress);
            uint64_t seen = 0;
            las::RecordTally bounds;
            const bool ok = forEachBlock(
                m_inputs, m_target,
                [&](const uint8_t* records, size_t n) {
                    bounds.add(records, n, m_length, true);
                    for (size_t i = 0; i < n; ++i) {
                        const uint8_t* r = records + i * m_length;
                        spills[static_cast<size_t>(m_geometry.code(r) >> shift)].add(r);
                    }
                    report(0.4 * share(seen += n));
                },
                m_error);
            if (!ok) return false;
            if (boundsFit(bounds)) break;
            m_trusted = true;
            std::copy(bounds.lo, bounds.lo + 3, m_lo);
            std::copy(bounds.hi, bounds.hi + 3, m_hi);
            setCube();
        }
        return true;
    }

    // Points outside the stated bounds, or bounds far wider than the points (a cube too large
    // for them wastes levels), call for building again around the points.
    bool boundsFit(const las::RecordTally& bounds) const {
        bool fits = m_trusted;
        double stated = 0, real = 0;
        for (int axis = 0; axis < 3; ++axis) {
            fits &= bounds.lo[axis] >= m_lo[axis] && bounds.hi[axis] <= m_hi[axis];
            stated = std::max(stated, (double(m_hi[axis]) - m_lo[axis]) * m_target.scale[axis]);
            real =
                std::max(real, (double(bounds.hi[axis]) - bounds.lo[axis]) * m_target.scale[axis]);
        }
        return bounds.count == 0 || (fits && real >= stated / 2);
    }

    // The nodes above the subtrees, once every subtree has given them its share.
    bool addUpper(Builder& builder, ChunkWriter& chunks) {
        for (auto& node : builder.upper()) {
            CopcNode key;
            std::tie(key.level, key.x, key.y, key.z) = node.first;
            if (node.second.size() / m_length > size_t{kMaxNodePoints}) {
                m_error = "node " + keyText(key) + " would hold too many points";
                return false;
            }
            chunks.add(key, std::move(node.second));
        }
        builder.upper().clear();
        return true;
    }

    // The chunk table, the EVLRs kept from the first input, then the hierarchy as one page;
    // last the header, now that every count and offset is known.
    void finishFile(const ChunkWriter& chunks) {
        const uint64_t tableOffset = chunks.position();
        const std::vector<uint8_t> table = laz::encodeChunkTable(chunks.table(), true);
        m_file.write(table.data(), table.size());
        const uint64_t evlrOffset = tableOffset + table.size();
        uint64_t at = evlrOffset;
        for (const LasVlr& v : m_target.evlrs) at += las::writeVlr(m_file, v, true);
        const std::vector<CopcNode>& nodes = chunks.nodes();
        const uint64_t pagesAt = at + las::kEvlrHeaderBytes;
        LasVlr hierarchy = makeVlr(kUserId, kHierarchyRecordId, "EPT hierarchy",
                                   hierarchyPages(nodes, pagesAt, m_info.rootPageSize));
        int deepest = -1;
        for (const CopcNode& n : nodes) deepest = std::max(deepest, n.level);
        las::writeVlr(m_file, hierarchy, true);
        m_info.rootPageOffset = pagesAt;
        m_info.gpsTimeMin = chunks.tally().gpsMin;
        m_info.gpsTimeMax = chunks.tally().gpsMax;
        m_target.vlrs[0].payload = encodeInfo(m_info);

        m_file.seekToStart();
        writePrefix(chunks.tally().records, evlrOffset,
                    static_cast<uint32_t>(m_target.evlrs.size() + 1));
        uint8_t offset[8];
        store(offset, tableOffset);
        m_file.write(offset, 8);
        m_file.close();
        report(1.0);
        m_summary.points = chunks.tally().records.count;
        m_summary.nodes = static_cast<uint32_t>(nodes.size());
        m_summary.levels = deepest + 1;
    }

    const CopcWriteOptions& m_options;
    CopcWriteSummary& m_summary;
    std::string& m_error;
    std::vector<Input> m_inputs;
    uint64_t m_total = 0, m_inputBytes = 0;
    LasFileHeader m_target;
    uint16_t m_length = 0;
    bool m_inMemory = false;
    std::vector<uint8_t> m_all;  // the whole cloud, when it is built in memory
    // Where the points may lie, in the output's stored integers, and whether that is known.
    int32_t m_lo[3] = {0, 0, 0}, m_hi[3] = {0, 0, 0};
    bool m_trusted = true;
    CopcInfo m_info;
    Geometry m_geometry;
    laz::LazVlr m_lazVlr;
    uint64_t m_pointOffset = 0;
    platform::OutputFile m_file;
};

}  // namespace
}  // namespace copc

bool writeCopc(const std::vector<std::string>& paths, const std::string& output,
               const CopcWriteOptions& options, CopcWriteSummary& summary, std::string& error) {
    summary = CopcWriteSummary();
    return copc::CopcBuild(options, summary, error).run(paths, output);
}

}  // namespace orv
