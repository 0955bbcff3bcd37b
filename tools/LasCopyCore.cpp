// The record pump that las copy and las merge share: records read a block at a time, filtered
// and re-encoded where the target differs.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "LasCopyCore.h"
#include "OrvLas.h"
#include "OrvLasCrs.h"
#include "OrvLasPoints.h"

namespace orvter {
namespace {

// Bytes of records read and written at a time: few system calls, memory that never grows.
constexpr size_t kBlockBytes = size_t{4} << 20;
// A compressed input is read from chunks its decoder holds already, so a smaller block costs no
// system calls and keeps a LAZ copy's memory down.
constexpr size_t kCompressedBlockBytes = size_t{1} << 20;

size_t blockRecords(const orv::LasFileHeader& h) {
    return std::max<size_t>(1,
                            (h.compressed ? kCompressedBlockBytes : kBlockBytes) / h.recordLength);
}

// The columns of one block of points, reused block after block: every field for a conversion,
// and the few a filter looks at, so that a filtered copy decodes no more than those.
struct Block {
    orv::LasColumnBuffer all;
    std::vector<double> x, y;
    std::vector<uint8_t> cls, ret;
    std::vector<uint8_t> keep;  // what the further filters let through
    std::vector<uint8_t> inside;  // in the clip's polygons
};

}  // namespace

void openReader(orv::LasReader& reader, const InputPath& in) {
    const std::string& path = in.name();
    switch (reader.open(in.path().c_str())) {
        case 0:
            return;
        case -1:
            throw CommandError("cannot read '" + path + "'");
        case -2:
            throw CommandError("'" + path + "' is not a LAS file");
        default:
            throw CommandError("cannot copy '" + path + "': " + reader.error());
    }
}

namespace {

bool sameQuantisation(const orv::LasFileHeader& a, const orv::LasFileHeader& b) {
    for (int axis = 0; axis < 3; ++axis)
        if (a.scale[axis] != b.scale[axis] || a.offset[axis] != b.offset[axis]) return false;
    return true;
}

// Re-encodes `n` records of `from` as records of `to`: fields the target lacks are dropped, new
// ones are zero, coordinates are re-quantised by rounding when scale or offset differ.
void convert(const orv::LasFileHeader& from, const orv::LasFileHeader& to, const uint8_t* in,
             size_t n, uint8_t* out, Block& block, uint64_t firstIndex, const std::string& path,
             orv::CrsTransform* move) {
    orv::LasColumns c = block.all.columns(n, orv::lasExtraByteCount(from));
    orv::decodeLasRecords(from, in, n, c);
    if (move) {
        const size_t moved = move->transform(c.x, c.y, c.z, n);
        if (moved < n)
            throw CommandError("point " + std::to_string(firstIndex + moved) + " of '" + path +
                               "' cannot be transformed to the target CRS");
        c.X = c.Y = c.Z = nullptr;
    } else if (sameQuantisation(from, to))
        c.x = c.y = c.z = nullptr;
    else
        c.X = c.Y = c.Z = nullptr;
    // The scan angle's unit differs between the two record cores: convert through degrees.
    const bool sameCore = orv::kLasPointLayouts[from.pointFormat].extendedCore ==
                          orv::kLasPointLayouts[to.pointFormat].extendedCore;
    if (sameCore)
        c.scanAngleDegrees = nullptr;
    else
        c.scanAngle = nullptr;
    if (orv::lasExtraByteCount(from) != orv::lasExtraByteCount(to)) c.extraBytes = nullptr;
    const size_t done = orv::encodeLasRecords(to, c, n, out);
    if (done < n)
        throw CommandError("point " + std::to_string(firstIndex + done) + " of '" + path +
                           "' does not fit the target's scale and offset");
}

bool listed(const std::vector<int>& list, int value) {
    for (int v : list)
        if (v == value) return true;
    return false;
}

// Sets block.keep[i] for the records the filters take.
void mask(const CopyOptions& o, const orv::LasFileHeader& h, const uint8_t* records, size_t n,
          uint64_t firstIndex, Block& block) {
    const bool byClass = !o.keepClass.empty() || !o.dropClass.empty();
    const bool byReturn = !o.keepReturn.empty(), byBox = !o.bbox.empty();
    const bool byClip = o.clipper != nullptr;
    block.keep.assign(n, 1);
    if (!byClass && !byReturn && !byBox && !byClip && o.step <= 1 && !o.more.active()) return;
    if (block.cls.size() < n) block.cls.resize(n), block.ret.resize(n);
    if (block.x.size() < n) block.x.resize(n), block.y.resize(n);
    orv::LasColumns c;
    if (byClass) c.classification = block.cls.data();
    if (byReturn) c.returnNumber = block.ret.data();
    if (byBox || byClip) c.x = block.x.data(), c.y = block.y.data();
    orv::decodeLasRecords(h, records, n, c);
    if (byClip) {
        block.inside.resize(n);
        o.clipper->inside(block.x.data(), block.y.data(), n, block.inside.data());
        for (size_t i = 0; i < n; ++i)
            if ((block.inside[i] != 0) == o.clipOutside) block.keep[i] = 0;
    }
    o.more.select(h, records, n, block.keep);
    for (size_t i = 0; i < n; ++i) {
        if (!block.keep[i]) continue;
        block.keep[i] = !(o.step > 1 && (firstIndex + i) % o.step != 0) &&
                        !(!o.keepClass.empty() && !listed(o.keepClass, block.cls[i])) &&
                        !listed(o.dropClass, block.cls[i]) &&
                        !(byReturn && !listed(o.keepReturn, block.ret[i])) &&
                        !(byBox && !(block.x[i] >= o.bbox[0] && block.y[i] >= o.bbox[1] &&
                                     block.x[i] <= o.bbox[2] && block.y[i] <= o.bbox[3]));
    }
}

// Keeps the records the filters (and a thinning's second pass) take, moved to the front;
// returns their number.
size_t filter(const CopyOptions& o, const orv::LasFileHeader& h, uint8_t* records, size_t n,
              uint64_t firstIndex, Block& block, Thinning* thin) {
    mask(o, h, records, n, firstIndex, block);
    if (thin) thin->select(h, records, n, firstIndex, block.keep);
    const size_t length = h.recordLength;
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!block.keep[i]) continue;
        if (kept != i) std::memmove(records + kept * length, records + i * length, length);
        ++kept;
    }
    return kept;
}

}  // namespace

std::shared_ptr<const orv::PolygonClip> openClip(const std::string& clip,
                                                 const orv::LasFileHeader& input) {
    // FILE:LAYER, unless the whole argument names a file (a path may hold a colon).
    std::string file = clip, layer;
    const size_t colon = clip.rfind(':');
    if (colon != std::string::npos && colon > 0 && !std::filesystem::exists(clip))
        file = clip.substr(0, colon), layer = clip.substr(colon + 1);
    auto polygons = std::make_shared<orv::PolygonClip>();
    if (polygons->open(file, layer, orv::lasCrs(input).wkt1()) != 0)
        throw CommandError("cannot clip: " + polygons->error());
    return polygons;
}

orv::LasFileHeader targetHeader(const orv::LasFileHeader& in, const CopyOptions& o) {
    orv::LasFileHeader h = in;
    if (o.format >= 0) {
        if (o.format > orv::kLasLastPointFormat)
            throw CommandError("point format " + std::to_string(o.format) + " does not exist",
                               kExitUsage);
        h.pointFormat = static_cast<uint8_t>(o.format);
        h.recordLength = static_cast<uint16_t>(orv::lasStandardRecordLength(h.pointFormat) +
                                               orv::lasExtraByteCount(in));
        // A format only 1.4 knows takes the file there, unless a version was asked for.
        if (h.pointFormat >= 6 && o.setVersion.empty()) h.versionMinor = 4;
    }
    if (!o.setVersion.empty()) {
        if (o.setVersion != "1.2" && o.setVersion != "1.4")
            throw CommandError("--set-version takes 1.2 or 1.4", kExitUsage);
        h.versionMajor = 1;
        h.versionMinor = o.setVersion == "1.2" ? 2 : 4;
    }
    if (h.versionMinor != in.versionMinor) {
        h.headerExtra.clear();  // their place belongs to the other version's fields
        if (h.versionMinor < 4) {
            // Extended VLRs become VLRs where they fit.
            for (orv::LasVlr& v : h.evlrs) {
                if (v.payload.size() > 65535)
                    throw CommandError("an extended VLR of '" + o.in +
                                       "' is too long for a version 1.2 file");
                h.vlrs.push_back(std::move(v));
            }
            h.evlrs.clear();
        }
    }
    // Another format or version: the writer fills the legacy counts as that one wants them.
    if (h.pointFormat != in.pointFormat || h.versionMinor != in.versionMinor)
        h.pointCount = h.legacyPointCount = 0;
    if (!o.scale.empty())
        for (int axis = 0; axis < 3; ++axis)
            h.scale[axis] = o.scale[o.scale.size() == 1 ? 0 : axis];
    if (!o.offset.empty())
        for (int axis = 0; axis < 3; ++axis) h.offset[axis] = o.offset[axis];
    return h;
}

// Writes through `writer` the records of `reader`, filtered and converted as the options say.
void pump(orv::LasReader& reader, const orv::LasFileHeader& target, orv::LasWriter& writer,
          const CopyOptions& o, const std::string& path, PointProgress& progress,
          uint64_t& pointsRead, orv::CrsTransform* move, Thinning* thin) {
    const orv::LasFileHeader& h = reader.header();
    const bool conversion = move || h.pointFormat != target.pointFormat ||
                            h.recordLength != target.recordLength || !sameQuantisation(h, target);
    const size_t perBlock = blockRecords(h);
    std::vector<uint8_t> raw(perBlock * h.recordLength);
    std::vector<uint8_t> converted(conversion ? perBlock * target.recordLength : 0);
    Block block;
    uint64_t index = 0;
    while (size_t n = reader.readRaw(raw.data(), perBlock)) {
        const size_t kept = filter(o, h, raw.data(), n, index, block, thin);
        if (reprojectInPlace(h, target, raw.data(), kept, move, index, path)) {
            writer.writeRaw(raw.data(), kept);
        } else if (conversion) {
            convert(h, target, raw.data(), kept, converted.data(), block, index, path, move);
            writer.writeRaw(converted.data(), kept);
        } else {
            writer.writeRaw(raw.data(), kept);
        }
        index += n;
        pointsRead += n;
        progress.update(pointsRead);
    }
}

void observeForThinning(orv::LasReader& reader, const CopyOptions& o, Thinning& thin) {
    const orv::LasFileHeader& h = reader.header();
    const size_t perBlock = blockRecords(h);
    std::vector<uint8_t> raw(perBlock * h.recordLength);
    Block block;
    uint64_t index = 0;
    while (size_t n = reader.readRaw(raw.data(), perBlock)) {
        mask(o, h, raw.data(), n, index, block);
        thin.observe(h, raw.data(), n, index, block.keep);
        index += n;
    }
    if (!reader.seek(0)) throw CommandError("cannot read '" + o.in + "' a second time");
}

void compressCopy(const std::string& from, const std::string& to) {
    orv::LasReader reader;
    if (reader.open(from.c_str()) != 0)
        throw CommandError("cannot read back the uncompressed copy: " + reader.error());
    const orv::LasFileHeader& h = reader.header();
    orv::LasWriter writer;
    writer.setCompressed(true);
    if (writer.open(to.c_str(), h) != 0) throw CommandError("cannot compress: " + writer.error());
    std::vector<uint8_t> raw(std::max<size_t>(1, kBlockBytes / h.recordLength) * h.recordLength);
    while (size_t n = reader.readRaw(raw.data(), raw.size() / h.recordLength))
        writer.writeRaw(raw.data(), n);
    writer.close();
}

void report(const CopyOptions& o, const std::string& in, const std::string& out, uint64_t read,
            uint64_t written, double seconds, const char* verb) {
    if (o.batch) {
        std::lock_guard<std::mutex> lock(o.batch->mutex);
        o.batch->points += written;
        o.batch->files.push_back({{"input", in},
                                  {"output", out},
                                  {"points_read", read},
                                  {"points_written", written},
                                  {"seconds", seconds}});
        if (!o.json)
            std::printf("%s %s to %s: %llu points in %.3f s\n", verb, in.c_str(), out.c_str(),
                        static_cast<unsigned long long>(written), seconds);
        return;
    }
    if (o.json)
        printJson({{"input", in},
                   {"output", out},
                   {"points_read", read},
                   {"points_written", written},
                   {"seconds", seconds}},
                  o.out == "-");
    else
        std::fprintf(o.out == "-" ? stderr : stdout, "%s %llu points in %.3f s\n", verb,
                     static_cast<unsigned long long>(written), seconds);
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace orvter
