#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "OrvError.h"
#include "OrvLasFile.h"
#include "las/LasCodec.h"
#include "las/LasDate.h"
#include "las/LasHeaderModel.h"
#include "las/LasHeaderWrite.h"
#include "las/LasLimits.h"
#include "las/LasOpen.h"
#include "las/LasProgress.h"
#include "las/LasRecordSource.h"
#include "las/LasRecords.h"
#include "laz/LazCodec.h"
#include "platform/Files.h"

namespace orv {
namespace {

using las::isCopcRecord;
using las::store;

// The lowest minor version that knows a point format.
uint8_t minorFor(uint8_t format) {
    if (format >= 6) return 4;
    if (format >= 4) return 3;
    return format >= 2 ? 2 : 0;
}

bool endsWithLaz(const char* path) {
    const size_t n = std::strlen(path);
    if (n < 4) return false;
    const char* e = path + n - 4;
    return e[0] == '.' && (e[1] | 0x20) == 'l' && (e[2] | 0x20) == 'a' && (e[3] | 0x20) == 'z';
}

bool isLazVlr(const LasVlr& v) {
    return v.userId == laz::kVlrUserId && v.recordId == laz::kVlrRecordId;
}

class FileSink final : public laz::ByteSink {
public:
    explicit FileSink(platform::OutputFile& file) : m_file(file) {}
    void write(const void* data, size_t size) override { m_file.write(data, size); }

private:
    platform::OutputFile& m_file;
};

}  // namespace

struct LasWriter::Impl {
    platform::OutputFile file;
    LasFileHeader header;
    std::string error;
    bool open = false;
    bool compress = false;  // whatever the path's name
    las::RecordTally tally;
    // What the header given to open stated, which the written header keeps where it can.
    double statedMin[3] = {0, 0, 0};
    double statedMax[3] = {0, 0, 0};
    bool statedCount = false;   // it came from a file: it states a 64-bit count
    bool statedLegacy = false;  // and fills the legacy fields
    std::vector<uint8_t> buffer;
    std::unique_ptr<laz::LazEncoder> encoder;  // set when the records are compressed
    uint64_t compressedEnd = 0;                // where the compressed point data ends
    las::ProgressReport progress;
    uint64_t progressTotal = 0;
    unsigned threads = lasDefaultThreads();
    uint32_t chunkSize = laz::kDefaultChunkSize;

    // Remembers what the header states before the writer's fields replace it.
    void keepStated() {
        for (int axis = 0; axis < 3; ++axis) {
            statedMin[axis] = header.min[axis];
            statedMax[axis] = header.max[axis];
        }
        statedCount = header.pointCount != 0;
        statedLegacy = header.legacyPointCount != 0;
    }

    // The header bytes (fixed part, kept extra bytes) as the points so far make them.
    std::vector<uint8_t> headerBytes() {
        LasFileHeader& h = header;
        const uint64_t count = tally.count;
        h.headerSize = static_cast<uint16_t>(
            las::standardHeaderSize(h.versionMajor, h.versionMinor) + h.headerExtra.size());
        h.offsetToPointData = static_cast<uint32_t>(pointStart());
        h.numberOfVlrs = static_cast<uint32_t>(h.vlrs.size());
        h.compressed = encoder != nullptr;
        // Before 1.4 the 32-bit fields are the only counts; in 1.4 they stay 0 where a reader of
        // older files could not take the points (formats 6-10, or more than 32 bits hold).
        // A 1.4 header that came from a file (it states a 64-bit count) keeps that file's choice
        // of filling the legacy fields or leaving them 0, so that a copy repeats it.
        const bool legacy =
            h.versionMinor < 4 ||
            (count <= UINT32_MAX && (statedCount ? statedLegacy : h.pointFormat <= 5));
        h.legacyPointCount = legacy ? static_cast<uint32_t>(count) : 0;
        for (int k = 0; k < 5; ++k)
            h.legacyPointsByReturn[k] = legacy ? static_cast<uint32_t>(tally.byReturn[k]) : 0;
        for (int axis = 0; axis < 3; ++axis) {
            // Without points there is nothing to measure: the stated bounds stay.
            double lowest =
                count ? tally.lo[axis] * h.scale[axis] + h.offset[axis] : statedMin[axis];
            double highest =
                count ? tally.hi[axis] * h.scale[axis] + h.offset[axis] : statedMax[axis];
            // A stated bound that names the same stored integer is kept as it was written: a
            // copy of an honest file changes none of its bytes.
            const double half = std::fabs(h.scale[axis]) / 2;
            if (count && std::fabs(statedMin[axis] - lowest) < half) lowest = statedMin[axis];
            if (count && std::fabs(statedMax[axis] - highest) < half) highest = statedMax[axis];
            h.min[axis] = lowest;
            h.max[axis] = highest;
        }
        h.waveformDataOffset = waveformOffset();
        h.evlrOffset = h.evlrs.empty() ? uint64_t{0} : evlrStart();
        h.numberOfEvlrs = static_cast<uint32_t>(h.evlrs.size());
        h.pointCount = count;
        for (int k = 0; k < 15; ++k) h.pointsByReturn[k] = tally.byReturn[k];
        return las::headerBytes(h);
    }

    uint64_t pointStart() const {
        uint64_t at = las::standardHeaderSize(header.versionMajor, header.versionMinor) +
                      header.headerExtra.size() + header.afterVlrs.size();
        for (const LasVlr& v : header.vlrs) at += las::kVlrHeaderBytes + v.payload.size();
        return at;
    }
    uint64_t evlrStart() const {
        return encoder ? compressedEnd : pointStart() + tally.count * header.recordLength;
    }
    // Header, VLRs and the bytes kept after them: everything before the point data.
    void writePrefix() {
        const std::vector<uint8_t> head = headerBytes();
        file.write(head.data(), head.size());
        for (const LasVlr& v : header.vlrs) las::writeVlr(file, v, false);
        if (!header.afterVlrs.empty()) file.write(header.afterVlrs.data(), header.afterVlrs.size());
    }

    // Waveform data kept in the file lies in its waveform EVLR: the offset follows that record.
    uint64_t waveformOffset() const {
        if (!(header.globalEncoding & 0x02)) return 0;
        uint64_t at = evlrStart();
        for (const LasVlr& v : header.evlrs) {
            if (v.userId == "LASF_Spec" && v.recordId == 65535) return at;
            at += las::kEvlrHeaderBytes + v.payload.size();
        }
        return 0;
    }
};

LasWriter::LasWriter() : m_impl(std::make_unique<Impl>()) {}
LasWriter::~LasWriter() {
    discard();
}

void LasWriter::setCompressed(bool compressed) {
    m_impl->compress = compressed;
}

int LasWriter::open(const char* path, const LasFileHeader& header) {
    discard();
    Impl& m = *m_impl;
    m.error.clear();
    LasFileHeader h = header;
    // A compression VLR describes the records as written: one copied from a read file is dropped,
    // and the encoder adds its own when this file is compressed.
    for (size_t i = h.vlrs.size(); i-- > 0;)
        if (isLazVlr(h.vlrs[i]) || isCopcRecord(h.vlrs[i]))
            h.vlrs.erase(h.vlrs.begin() + static_cast<long>(i));
    // The octree records of a cloud-optimised file describe where its chunks lay: in a file
    // written here they would point at the wrong bytes, so they go.
    for (size_t i = h.evlrs.size(); i-- > 0;)
        if (isCopcRecord(h.evlrs[i])) h.evlrs.erase(h.evlrs.begin() + static_cast<long>(i));
    m.encoder.reset();
    const uint16_t standard = lasStandardRecordLength(h.pointFormat);
    if (h.recordLength == 0) h.recordLength = standard;
    if (h.versionMajor != 1 || h.versionMinor > 4)
        m.error = "version " + std::to_string(h.versionMajor) + "." +
                  std::to_string(h.versionMinor) + " cannot be written";
    else if (standard == 0)
        m.error = "point format " + std::to_string(h.pointFormat) + " has no known layout";
    else if (h.versionMinor < minorFor(h.pointFormat))
        m.error = "point format " + std::to_string(h.pointFormat) + " needs version 1." +
                  std::to_string(minorFor(h.pointFormat));
    else if (h.recordLength < standard)
        m.error = "records must hold at least the format's " + std::to_string(standard) + " bytes";
    else if (!h.evlrs.empty() && h.versionMinor < 4)
        m.error = "extended VLRs need version 1.4";
    for (int axis = 0; axis < 3 && m.error.empty(); ++axis)
        if (!(h.scale[axis] != 0.0 && std::isfinite(h.scale[axis]) &&
              std::isfinite(h.offset[axis])))
            m.error = "scales must be finite and nonzero, offsets finite";
    for (const LasVlr& v : h.vlrs)
        if (v.payload.size() > UINT16_MAX && m.error.empty())
            m.error = "a VLR holds more than 65,535 bytes";
    if (m.error.empty() &&
        las::standardHeaderSize(1, h.versionMinor) + h.headerExtra.size() > UINT16_MAX)
        m.error = "the header would be longer than 65,535 bytes";
    if (m.error.empty() && path && (m.compress || endsWithLaz(path))) {
        // The VLR's payload depends only on the format, so an encoder made before the point data's
        // offset is known gives it.
        auto encoder = std::make_unique<laz::LazEncoder>();
        if (encoder->init(h.pointFormat, h.recordLength, 0, m.error, m.chunkSize)) {
            LasVlr v;
            v.userId = laz::kVlrUserId;
            v.recordId = laz::kVlrRecordId;
            v.description = "by orvter";
            v.payload = encoder->vlrPayload();
            h.vlrs.push_back(std::move(v));
            m.encoder = std::move(encoder);
        }
    }
    m.header = std::move(h);
    if (m.error.empty() && m.pointStart() > UINT32_MAX) m.error = "the VLRs are too long";
    if (m.error.empty() && m.encoder) {
        m.encoder->setThreads(m.threads);
        // The point data opens with 8 bytes for the chunk table's offset, filled in at close.
        if (!m.encoder->init(m.header.pointFormat, m.header.recordLength, m.pointStart(), m.error,
                             m.chunkSize))
            m.encoder.reset();
    }
    if (!m.error.empty()) m.encoder.reset();
    if (!m.error.empty()) return -1;

    m.tally = las::RecordTally();
    m.keepStated();
    m.progress.start(m.progressTotal);
    m.file.create(path);
    m.writePrefix();
    m.open = true;
    return 0;
}

namespace {

// The stored integer a bound of the header names, within int32.
int32_t storedBound(double value, double scale, double offset) {
    const double v = std::round((value - offset) / scale);
    if (!(v > std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return v < std::numeric_limits<int32_t>::max() ? static_cast<int32_t>(v)
                                                   : std::numeric_limits<int32_t>::max();
}

// Why points cannot be added to the file `opened` describes; empty when they can.
std::string appendRefusal(const las::OpenedLas& opened) {
    const LasFileHeader& h = opened.header;
    if (opened.compression == las::Compression::kRefused) return opened.error;
    const std::string refusal = las::recordRefusal(h);
    if (!refusal.empty()) return refusal;
    for (const auto* list : {&h.vlrs, &h.evlrs})
        for (const LasVlr& v : *list)
            if (isCopcRecord(v))
                return "a COPC file's octree cannot take more points; write a new file";
    if (h.vlrs.size() != h.numberOfVlrs || h.evlrs.size() != h.numberOfEvlrs)
        return "its VLRs run past its point data or its end";
    if (!h.evlrs.empty() && h.versionMinor < 4) return "extended VLRs need version 1.4";
    for (int axis = 0; axis < 3; ++axis)
        if (!(h.scale[axis] != 0.0 && std::isfinite(h.scale[axis]) &&
              std::isfinite(h.offset[axis])))
            return "its scales are not finite and nonzero, or its offsets not finite";
    if (!opened.decoder && h.presentRecords < h.statedPoints)
        return "it holds " + std::to_string(h.presentRecords) + " of the " +
               std::to_string(h.statedPoints) + " records its header states";
    return "";
}

}  // namespace

int LasWriter::append(const char* path) {
    discard();
    Impl& m = *m_impl;
    m.error.clear();
    platform::InputFile in;
    if (!path || !in.open(path)) {
        m.error = "cannot open the file";
        return -1;
    }
    las::OpenedLas opened;
    las::OpenRules rules;
    rules.threads = 1;
    const int result = las::openRecords(in, rules, opened);
    if (result == 0 && opened.header.versionMajor != 1) opened.error = "not a LAS 1.x file";
    if (result != 0 || opened.header.versionMajor != 1) {
        m.error = opened.error;
        return result != 0 ? result : -2;
    }
    m.error = appendRefusal(opened);
    LasFileHeader& h = opened.header;
    m.header = h;
    m.encoder.reset();
    uint64_t dataEnd = h.offsetToPointData + h.statedPoints * h.recordLength;
    if (m.error.empty() && m.pointStart() != h.offsetToPointData)
        m.error = "its header and VLRs do not end where its points start";
    if (m.error.empty() && h.compressed) {
        // The chunks stay as they are: only where the last ends and what the table lists.
        laz::LazInput input;
        las::lazInputOf(h, input);
        laz::FileSource source(in);
        laz::LazDecoder decoder;
        std::vector<std::pair<uint64_t, uint64_t>> table;
        dataEnd = h.offsetToPointData + 8;
        uint64_t points = 0;
        if (!decoder.open(source, input))
            m.error = decoder.error();
        else if (!decoder.warning().empty())
            m.error = decoder.warning();
        else if (decoder.vlr().compressor == laz::kCompressorUnchunked)
            m.error = "its compressed records are not in chunks";
        for (const laz::ChunkEntry& c : decoder.chunks()) {
            table.emplace_back(c.points, c.bytes);
            dataEnd = c.offset + c.bytes;
            points += c.points;
        }
        if (m.error.empty() && points != h.statedPoints)
            m.error = "its chunk table lists " + std::to_string(points) + " of its " +
                      std::to_string(h.statedPoints) + " points";
        auto encoder = std::make_unique<laz::LazEncoder>();
        if (m.error.empty() && encoder->resume(decoder.vlr(), h.pointFormat, h.recordLength,
                                               dataEnd, std::move(table), m.error)) {
            for (LasVlr& v : m.header.vlrs)
                if (isLazVlr(v) && encoder->vlrPayload().size() == v.payload.size())
                    v.payload = encoder->vlrPayload();
            encoder->setThreads(m.threads);
            m.encoder = std::move(encoder);
        }
        if (m.error.empty() && !m.encoder) m.error = "its compression VLR cannot be rewritten";
    }
    if (!m.error.empty()) {
        m.encoder.reset();
        return -3;
    }
    // The file's own counts and bounds go on growing with the points written.
    m.tally.count = h.statedPoints;
    for (int k = 0; k < 15; ++k)
        m.tally.byReturn[k] = h.hasExtension ? h.pointsByReturn[k]
                                             : (k < 5 ? h.legacyPointsByReturn[k] : uint64_t{0});
    for (int axis = 0; axis < 3; ++axis) {
        m.tally.lo[axis] = storedBound(h.min[axis], h.scale[axis], h.offset[axis]);
        m.tally.hi[axis] = storedBound(h.max[axis], h.scale[axis], h.offset[axis]);
    }
    m.progress.start(m.progressTotal);
    m.file.create(path);
    std::vector<uint8_t> block(las::kRecordBlockBytes);
    for (uint64_t at = 0; at < dataEnd;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), dataEnd - at));
        if (in.readAt(at, block.data(), want) != want) {
            m.file.discard();
            throw FileError("read", path, EIO);
        }
        m.file.write(block.data(), want);
        at += want;
    }
    m.open = true;
    return 0;
}

const LasFileHeader& LasWriter::header() const {
    return m_impl->header;
}

const std::string& LasWriter::error() const {
    return m_impl->error;
}

void LasWriter::writeRaw(const uint8_t* records, size_t count) {
    Impl& m = *m_impl;
    if (!m.open || count == 0) return;
    m.tally.add(records, count, m.header.recordLength,
                kLasPointLayouts[m.header.pointFormat].extendedCore);
    if (m.encoder) {
        FileSink sink(m.file);
        m.encoder->write(records, count, sink);
    } else {
        m.file.write(records, count * m.header.recordLength);
    }
    m.progress.block(m.tally.count);
}

size_t LasWriter::write(const LasColumns& columns, size_t count) {
    Impl& m = *m_impl;
    if (!m.open) return 0;
    const size_t length = m.header.recordLength;
    const size_t perBlock =
        las::kRecordBlockBytes / length > 0 ? las::kRecordBlockBytes / length : 1;
    if (m.buffer.empty()) m.buffer.resize(perBlock * length);
    size_t done = 0;
    while (done < count) {
        const size_t want = count - done < perBlock ? count - done : perBlock;
        const size_t got = encodeLasRecords(
            m.header, las::advanceColumns(columns, done, las::extraBytesOf(m.header)), want,
            m.buffer.data());
        writeRaw(m.buffer.data(), got);
        done += got;
        if (got < want) break;
    }
    return done;
}

uint64_t LasWriter::pointCount() const {
    return m_impl->tally.count;
}

void LasWriter::setThreads(unsigned threads) {
    m_impl->threads = threads;
}

void LasWriter::setChunkSize(uint32_t points) {
    m_impl->chunkSize = points ? points : laz::kDefaultChunkSize;
}

void LasWriter::close() {
    Impl& m = *m_impl;
    if (!m.open) return;
    m.open = false;
    if (m.header.versionMinor < 4 && m.tally.count > UINT32_MAX) {
        m.file.discard();
        throw FileError("count the points of", "", EOVERFLOW);
    }
    uint64_t tableOffset = 0;
    if (m.encoder) {
        FileSink sink(m.file);
        tableOffset = m.encoder->finish(sink);
        m.compressedEnd = m.encoder->position();
    }
    for (const LasVlr& v : m.header.evlrs) las::writeVlr(m.file, v, true);
    m.file.seekToStart();
    if (m.encoder) {
        // The file can only be rewritten from its start: everything up to and including the
        // chunk table's offset at the head of the point data.
        m.writePrefix();
        uint8_t b[8];
        store(b, tableOffset);
        m.file.write(b, sizeof b);
    } else {
        const std::vector<uint8_t> head = m.headerBytes();
        m.file.write(head.data(), head.size());
    }
    m.file.close();
    m.encoder.reset();
    m.buffer.clear();
    m.buffer.shrink_to_fit();
    m.progress.end(m.tally.count);
}

void LasWriter::setProgress(ProgressCallback progress, uint64_t total) {
    m_impl->progress.set(std::move(progress));
    m_impl->progressTotal = total;
    m_impl->progress.setTotal(total);
}

void LasWriter::discard() noexcept {
    m_impl->open = false;
    m_impl->encoder.reset();
    m_impl->file.discard();
}

void lasStampCreationDate(LasFileHeader& header) {
    las::today(header.creationDay, header.creationYear);
}

}  // namespace orv
