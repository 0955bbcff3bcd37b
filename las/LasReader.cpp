#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "OrvLas.h"
#include "OrvLasFile.h"
#include "las/LasHeaderModel.h"
#include "las/LasLimits.h"
#include "las/LasOpen.h"
#include "las/LasReaderImpl.h"
#include "las/LasRecordSource.h"
#include "las/LasRecords.h"
#include "laz/LazCodec.h"

namespace orv {
namespace las {
namespace {

class UncompressedRecords final : public RecordSource {
public:
    UncompressedRecords(platform::InputFile& file, uint64_t first, uint32_t length, uint64_t count)
        : m_file(file), m_first(first), m_length(length), m_count(count) {}

    size_t read(uint8_t* out, size_t maxRecords) override {
        const uint64_t left = m_count - m_index;
        const size_t want = left < maxRecords ? static_cast<size_t>(left) : maxRecords;
        if (want == 0) return 0;
        if (m_seekPending) {
            if (!m_file.seek(m_first + m_index * m_length)) return 0;
            m_seekPending = false;
        }
        const size_t bytes = want * m_length;
        const size_t got = m_file.read(out, bytes);
        const size_t whole = got / m_length;
        m_index += whole;
        // A file cut short while it is read ends here: the part of a record is not one.
        if (got < bytes) m_count = m_index;
        if (got % m_length != 0) m_seekPending = true;
        return whole;
    }

    bool seek(uint64_t index) override {
        if (index > m_count) return false;
        m_index = index;
        m_seekPending = true;
        return true;
    }

private:
    platform::InputFile& m_file;
    uint64_t m_first;
    uint64_t m_length;
    uint64_t m_count;
    uint64_t m_index = 0;
    bool m_seekPending = true;
};

class CompressedRecords final : public RecordSource {
public:
    CompressedRecords(const platform::InputFile& file, LasFileHeader& header, std::string& error)
        : m_source(file), m_header(header), m_error(error) {}

    bool open(const laz::LazInput& input, unsigned threads) {
        m_decoder.setThreads(threads);
        if (!m_decoder.open(m_source, input)) {
            m_error = m_decoder.error();
            return false;
        }
        m_error = m_decoder.warning();
        if (!m_error.empty()) note(m_header, kLasChunkTableLost, m_error);
        return true;
    }

    size_t read(uint8_t* out, size_t maxRecords) override {
        const size_t got = m_decoder.read(out, maxRecords);
        // Damage ends the points: say why where the caller looks for it, once.
        if (got < maxRecords && !m_decoder.error().empty() &&
            !(m_header.warnings & kLasRecordsDamaged)) {
            m_error = m_decoder.error();
            note(m_header, kLasRecordsDamaged, m_error);
        }
        return got;
    }

    bool seek(uint64_t index) override { return m_decoder.seek(index); }
    std::string disagreement() const override { return m_decoder.tableDisagreement(); }

private:
    laz::FileSource m_source;
    laz::LazDecoder m_decoder;
    LasFileHeader& m_header;
    std::string& m_error;
};

}  // namespace

bool lazInputOf(const LasFileHeader& header, laz::LazInput& in) {
    const LasVlr* vlr = nullptr;
    for (const LasVlr& v : header.vlrs)
        if (v.userId == laz::kVlrUserId && v.recordId == laz::kVlrRecordId) vlr = &v;
    if (!vlr) return false;
    in.pointFormat = header.pointFormat;
    in.recordLength = header.recordLength;
    in.vlr = vlr->payload.data();
    in.vlrSize = vlr->payload.size();
    in.pointOffset = header.offsetToPointData;
    in.pointCount = header.statedPoints;
    return true;
}

std::unique_ptr<RecordSource> compressedRecords(const platform::InputFile& file,
                                                LasFileHeader& header, std::string& error,
                                                unsigned threads) {
    laz::LazInput in;
    if (!lazInputOf(header, in)) {
        error = "the point records are compressed, but the file has no compression VLR";
        return nullptr;
    }
    auto source = std::make_unique<CompressedRecords>(file, header, error);
    if (!source->open(in, threads)) return nullptr;
    return source;
}

void countCompressed(LasFileHeader& header, uint64_t points) {
    header.presentRecords = header.readablePoints = points;
}

std::unique_ptr<RecordSource> uncompressedRecords(platform::InputFile& file,
                                                  const LasFileHeader& header, uint64_t count) {
    return std::make_unique<UncompressedRecords>(file, header.offsetToPointData,
                                                 header.recordLength, count);
}

}  // namespace las

namespace {
std::atomic<unsigned> g_defaultThreads{0};
}  // namespace

void lasSetDefaultThreads(unsigned threads) {
    g_defaultThreads = threads;
}

unsigned lasDefaultThreads() {
    return g_defaultThreads;
}

LasReader::LasReader() : m_impl(std::make_unique<Impl>()) {}
LasReader::~LasReader() = default;

int LasReader::open(const char* path) {
    close();
    Impl& m = *m_impl;
    m.opened.clear();
    if (!path || !m.file.open(path)) {
        m.opened.error = "cannot open the file";
        return -1;
    }
    las::OpenRules rules;
    rules.threads = m.threads;
    const int result = las::openRecords(m.file, rules, m.opened);
    const LasFileHeader& h = m.opened.header;
    std::string& error = m.opened.error;
    if (result == 0 && h.versionMajor != 1) error = "not a LAS 1.x file";
    if (result != 0 || h.versionMajor != 1) {
        m.file.close();
        return result != 0 ? result : -2;
    }
    const std::string refusal = las::recordRefusal(h);
    if (!refusal.empty()) error = refusal;
    if (!refusal.empty() || m.opened.compression == las::Compression::kRefused) {
        m.file.close();
        return -3;
    }
    m.startRecords();
    return 0;
}

void LasReader::close() {
    m_impl->source.reset();
    m_impl->file.close();
    m_impl->count = m_impl->index = 0;
    m_impl->block.clear();
    m_impl->block.shrink_to_fit();
}

bool LasReader::isOpen() const {
    return m_impl->source != nullptr;
}

const std::string& LasReader::error() const {
    return m_impl->opened.error;
}

const LasFileHeader& LasReader::header() const {
    return m_impl->opened.header;
}

uint64_t LasReader::pointCount() const {
    return m_impl->count;
}

uint64_t LasReader::position() const {
    return m_impl->index;
}

void LasReader::setThreads(unsigned threads) {
    m_impl->threads = threads;
}

bool LasReader::seek(uint64_t index) {
    if (!m_impl->source || !m_impl->source->seek(index)) return false;
    m_impl->index = index;
    return true;
}

size_t LasReader::readRaw(uint8_t* out, size_t maxRecords) {
    if (!m_impl->source || !out) return 0;
    const size_t got = m_impl->source->read(out, maxRecords);
    m_impl->advance(got, maxRecords);
    return got;
}

size_t LasReader::read(const LasColumns& columns, size_t maxRecords) {
    Impl& m = *m_impl;
    if (!m.source) return 0;
    const size_t length = m.opened.header.recordLength;
    const size_t perBlock =
        las::kRecordBlockBytes / length > 0 ? las::kRecordBlockBytes / length : 1;
    if (m.block.empty()) m.block.resize(perBlock * length);
    size_t done = 0;
    while (done < maxRecords) {
        const size_t want = maxRecords - done < perBlock ? maxRecords - done : perBlock;
        const size_t got = m.source->read(m.block.data(), want);
        m.advance(got, want);
        if (got == 0) break;
        decodeLasRecords(m.opened.header, m.block.data(), got,
                         las::advanceColumns(columns, done, las::extraBytesOf(m.opened.header)));
        done += got;
        if (got < want) break;
    }
    return done;
}

void LasReader::setProgress(ProgressCallback progress) {
    m_impl->progress.set(std::move(progress));
}

}  // namespace orv
