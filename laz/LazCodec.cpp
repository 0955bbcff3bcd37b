#include "laz/LazCodec.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/Files.h"
#include "platform/LittleEndian.h"

namespace orv::laz {

using platform::load;
using platform::store;

namespace {

// No chunk may hold more records than this. Other programs write 50,000 points a chunk.
constexpr uint64_t kMaxChunkPoints = 1u << 24;
// Chunks in flight per thread: each thread has one to code while the caller moves records;
// more would only add a chunk's records of memory each.
constexpr size_t kAheadPerThread = 1;

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}
void put64(std::vector<uint8_t>& v, uint64_t x) {
    for (int i = 0; i < 8; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

unsigned resolveThreads(unsigned threads) {
    if (threads != 0) return threads;
    const unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

const char* itemName(uint16_t type) {
    switch (type) {
        case kItemByte:
            return "BYTE";
        case kItemPoint10:
            return "POINT10";
        case kItemGpsTime11:
            return "GPSTIME11";
        case kItemRgb12:
            return "RGB12";
        case kItemWavePacket13:
            return "WAVEPACKET13";
        case kItemPoint14:
            return "POINT14";
        case kItemRgb14:
            return "RGB14";
        case kItemRgbNir14:
            return "RGBNIR14";
        case kItemWavePacket14:
            return "WAVEPACKET14";
        case kItemByte14:
            return "BYTE14";
        default:
            return "unknown item";
    }
}

// Checks that the items can be decoded and fill the record exactly.
bool checkItems(const LazVlr& vlr, uint16_t recordLength, std::string& error) {
    if (vlr.compressor != kCompressorUnchunked && vlr.compressor != kCompressorPointwise &&
        vlr.compressor != kCompressorLayered) {
        error = "unknown LAZ compressor " + std::to_string(vlr.compressor);
        return false;
    }
    if (vlr.coder != 0) {
        error = "unknown LAZ coder " + std::to_string(vlr.coder);
        return false;
    }
    if (vlr.items.empty()) {
        error = "LAZ VLR lists no items";
        return false;
    }
    const bool layered = vlr.compressor == kCompressorLayered;
    uint32_t total = 0;
    for (size_t i = 0; i < vlr.items.size(); ++i) {
        const ItemDescriptor& it = vlr.items[i];
        const bool known =
            layered ? makeLayeredItem(it) != nullptr : makePointwiseItem(it) != nullptr;
        if (!known) {
            error = std::string("LAZ item ") + itemName(it.type) + " version " +
                    std::to_string(it.version) + " of " + std::to_string(it.size) +
                    " bytes is not supported with compressor " + std::to_string(vlr.compressor);
            return false;
        }
        total += it.size;
    }
    if (vlr.items[0].type != (layered ? kItemPoint14 : kItemPoint10)) {
        error = std::string("LAZ items must start with ") + (layered ? "POINT14" : "POINT10");
        return false;
    }
    if (total != recordLength) {
        error = "LAZ items make " + std::to_string(total) + "-byte records, the header says " +
                std::to_string(recordLength);
        return false;
    }
    return true;
}

}  // namespace

// ---- VLR ----

bool parseLazVlr(const uint8_t* d, size_t size, LazVlr& out, std::string& error) {
    if (!d || size < 34) {
        error = "LAZ VLR is shorter than 34 bytes";
        return false;
    }
    LazVlr v;
    v.compressor = load<uint16_t>(d);
    v.coder = load<uint16_t>(d + 2);
    v.versionMajor = d[4];
    v.versionMinor = d[5];
    v.revision = load<uint16_t>(d + 6);
    v.options = load<uint32_t>(d + 8);
    v.chunkSize = load<uint32_t>(d + 12);
    std::memcpy(&v.extraEvlrCount, d + 16, 8);
    std::memcpy(&v.extraEvlrOffset, d + 24, 8);
    const uint16_t n = load<uint16_t>(d + 32);
    if (size < 34 + size_t(n) * 6) {
        error = "LAZ VLR is cut short in its item list";
        return false;
    }
    for (uint16_t i = 0; i < n; ++i) {
        const uint8_t* p = d + 34 + 6 * i;
        v.items.push_back({load<uint16_t>(p), load<uint16_t>(p + 2), load<uint16_t>(p + 4)});
    }
    out = std::move(v);
    return true;
}

std::vector<uint8_t> encodeLazVlr(const LazVlr& v) {
    std::vector<uint8_t> out;
    put16(out, v.compressor);
    put16(out, v.coder);
    out.push_back(v.versionMajor);
    out.push_back(v.versionMinor);
    put16(out, v.revision);
    put32(out, v.options);
    put32(out, v.chunkSize);
    put64(out, uint64_t(v.extraEvlrCount));
    put64(out, uint64_t(v.extraEvlrOffset));
    put16(out, uint16_t(v.items.size()));
    for (const auto& it : v.items) {
        put16(out, it.type);
        put16(out, it.size);
        put16(out, it.version);
    }
    return out;
}

bool lazVlrFor(int format, uint16_t recordLength, uint32_t chunkSize, LazVlr& out,
               std::string& error) {
    if (format < 0 || format > 10) {
        error = "point format " + std::to_string(format) + " cannot be compressed";
        return false;
    }
    LazVlr v;
    v.chunkSize = chunkSize;
    const bool pointwise = format <= 5;
    if (pointwise) {
        v.compressor = kCompressorPointwise;
        v.items.push_back({kItemPoint10, 20, 2});
        if (format != 0 && format != 2) v.items.push_back({kItemGpsTime11, 8, 2});
        if (format == 2 || format == 3 || format == 5) v.items.push_back({kItemRgb12, 6, 2});
        if (format >= 4) v.items.push_back({kItemWavePacket13, 29, 1});
    } else {
        v.compressor = kCompressorLayered;
        v.items.push_back({kItemPoint14, 30, 3});
        if (format == 7) v.items.push_back({kItemRgb14, 6, 3});
        if (format == 8 || format == 10) v.items.push_back({kItemRgbNir14, 8, 3});
        if (format >= 9) v.items.push_back({kItemWavePacket14, 29, 3});
    }
    // The format's own fields are its items: what a record holds beyond them is extra bytes.
    uint16_t standard = 0;
    for (const ItemDescriptor& item : v.items) standard = uint16_t(standard + item.size);
    if (recordLength < standard) {
        error = "record length " + std::to_string(recordLength) +
                " is too short for point format " + std::to_string(format);
        return false;
    }
    if (const uint16_t extra = uint16_t(recordLength - standard))
        v.items.push_back(
            {pointwise ? kItemByte : kItemByte14, extra, uint16_t(pointwise ? 2 : 3)});
    out = std::move(v);
    return true;
}

// ---- Sources ----

size_t MemorySource::readAt(uint64_t offset, void* buffer, size_t count) const {
    // An empty read may come with a null buffer (an empty VLR's payload): copy nothing.
    if (offset >= m_size || count == 0) return 0;
    const size_t n = size_t(std::min<uint64_t>(count, m_size - offset));
    std::memcpy(buffer, m_data + offset, n);
    return n;
}

FileSource::FileSource(const platform::InputFile& file) : m_file(file), m_size(file.size()) {}

size_t FileSource::readAt(uint64_t offset, void* buffer, size_t count) const {
    return m_file.readAt(offset, buffer, count);
}

// ---- Chunks ----

namespace {

bool sameItems(const std::vector<ItemDescriptor>& a, const std::vector<ItemDescriptor>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const ItemDescriptor& x, const ItemDescriptor& y) {
                          return x.type == y.type && x.size == y.size && x.version == y.version;
                      });
}

}  // namespace

bool ChunkDecoder::start(const LazVlr& vlr, uint16_t rl, const uint8_t* data, size_t size,
                         uint64_t points) {
    m_data = data;
    m_size = size;
    m_recordLength = rl;
    m_points = points;
    m_done = 0;
    m_used = 0;
    m_layered = vlr.compressor == kCompressorLayered;
    m_pointwise.reset();
    m_error.clear();
    m_tailError.clear();
    if (points == 0) return true;
    if (!m_layered) {
        if (size < rl) {
            m_error = "LAZ chunk cut short in its first point";
            return false;
        }
        m_pointwise = makePointwiseChunk(vlr.items);
        if (!m_pointwise) {
            m_error = "LAZ items not supported";
            return false;
        }
        m_pointwise->init(data);
        m_dec.init(data + rl, size - rl);
        return true;
    }
    if (size < size_t(rl) + 4) {
        m_error = "LAZ chunk cut short in its first point";
        return false;
    }
    // A decoder used for chunk after chunk keeps its items: building their models costs as
    // much as decoding thousands of points, and init() starts them afresh.
    if (!m_layeredItems || !sameItems(m_layeredFor, vlr.items)) {
        m_layeredItems = makeLayeredChunk(vlr.items);
        m_layeredFor = vlr.items;
    }
    if (!m_layeredItems) {
        m_error = "LAZ items not supported";
        return false;
    }
    size_t layers = 0;
    for (const LayeredItem* item : m_layeredItems->items()) layers += item->layerCount();
    const uint32_t count = load<uint32_t>(data + rl);
    size_t pos = size_t(rl) + 4;
    m_used = size;
    // A chunk whose layers are cut short still holds its first record, stored whole.
    if (size - pos < layers * 4) {
        m_points = 1;
        m_tailError = "LAZ chunk cut short in its layer sizes";
        return true;
    }
    std::vector<uint32_t> sizes(layers);
    for (size_t i = 0; i < layers; ++i) sizes[i] = load<uint32_t>(data + pos + 4 * i);
    pos += layers * 4;
    m_layeredItems->init(data);
    size_t layer = 0;
    for (LayeredItem* item : m_layeredItems->items()) {
        for (size_t l = 0; l < item->layerCount(); ++l, ++layer) {
            if (size - pos < sizes[layer]) {
                m_points = 1;
                m_tailError = "LAZ chunk cut short in its layers";
                return true;
            }
            item->setLayer(l, data + pos, sizes[layer]);
            pos += sizes[layer];
        }
    }
    m_used = pos;
    if (count < points) {
        m_points = count;
        m_tailError = "LAZ chunk holds " + std::to_string(count) + " points, " +
                      std::to_string(points) + " expected";
    }
    return true;
}

size_t ChunkDecoder::decode(uint8_t* out, size_t max) {
    if (!m_error.empty() || max == 0 || m_done >= m_points) return 0;
    const size_t rl = m_recordLength;
    size_t n = 0;
    if (m_done == 0) {
        std::memcpy(out, m_data, rl);
        n = 1;
        m_done = 1;
    }
    const size_t want = size_t(std::min<uint64_t>(max - n, m_points - m_done));
    const size_t got = m_layered ? m_layeredItems->decodeNext(out + n * rl, want, rl)
                                 : m_pointwise->decodeNext(m_dec, out + n * rl, want, rl);
    n += got;
    m_done += got;
    if (got < want) {
        m_error = std::string(m_layered ? "LAZ layer ran past its bytes" : "LAZ chunk cut short") +
                  " after " + std::to_string(m_done) + " of " + std::to_string(m_points) +
                  " points";
        return n;
    }
    if (m_done == m_points && m_error.empty()) m_error = m_tailError;
    if (m_done == m_points && m_points > 1 && m_error.empty() && m_layered) {
        for (const LayeredItem* item : m_layeredItems->items())
            if (!item->layersIntact()) m_error = "a layer does not end where its size says";
    }
    return n;
}

size_t ChunkDecoder::used() const {
    if (m_layered || m_points == 0) return m_used;
    return m_dec.overrun() ? m_size : size_t(m_dec.position() - m_data);
}

size_t decodeChunk(const LazVlr& vlr, uint16_t recordLength, const uint8_t* data, size_t size,
                   uint64_t points, uint8_t* out, size_t& used, std::string& error) {
    ChunkDecoder chunk;
    used = 0;
    if (!chunk.start(vlr, recordLength, data, size, points)) {
        error = chunk.error();
        return 0;
    }
    const size_t got = chunk.decode(out, size_t(points));
    used = chunk.used();
    if (!chunk.error().empty()) error = chunk.error();
    return got;
}

std::vector<uint8_t> encodeChunk(const LazVlr& vlr, uint16_t rl, const uint8_t* records,
                                 uint64_t points) {
    std::vector<uint8_t> out;
    if (points == 0) return out;
    out.reserve(size_t(points) * rl / 3 + 1024);
    out.insert(out.end(), records, records + rl);
    if (vlr.compressor == kCompressorPointwise) {
        const std::unique_ptr<PointwiseChunk> items = makePointwiseChunk(vlr.items);
        items->init(records);
        Encoder enc;
        enc.init(&out);
        items->encode(enc, records, size_t(points), rl);
        enc.done();
        return out;
    }
    const std::unique_ptr<LayeredChunk> chunk = makeLayeredChunk(vlr.items);
    chunk->init(records);
    chunk->encode(records, size_t(points), rl);
    put32(out, uint32_t(points));
    for (LayeredItem* item : chunk->items()) {
        item->finishLayers();
        for (size_t l = 0; l < item->layerCount(); ++l)
            put32(out, uint32_t(item->layerBytes(l).size()));
    }
    for (LayeredItem* item : chunk->items())
        for (size_t l = 0; l < item->layerCount(); ++l)
            out.insert(out.end(), item->layerBytes(l).begin(), item->layerBytes(l).end());
    return out;
}

// ---- Decoder ----

namespace {

// A chunk is decoded whole (on a thread, checked before any of its records is handed out) when
// its records fit this and the bytes it came in; a bigger one, or one that claims more records
// than its bytes could plausibly give, is decoded a slice at a time, so that what a damaged
// count asks for is never allocated.
constexpr uint64_t kWholeChunkRecordBytes = uint64_t(16) << 20;
constexpr uint64_t kSmallChunkRecordBytes = uint64_t(1) << 20;
constexpr uint64_t kMaxExpansion = 64;
// Records of a chunk decoded a slice at a time: about 1 MiB per slice.
constexpr size_t kSliceBytes = size_t(1) << 20;

// The bytes a chunk may take: its table's count, or without a table what a chunk of that many
// points could take, both within the file.
uint64_t chunkByteLimit(const ByteSource& src, const ChunkEntry& e, uint16_t rl) {
    const uint64_t fileSize = src.size();
    const uint64_t want = e.bytes ? e.bytes : e.points * rl * 2 + 65536;
    return e.offset >= fileSize ? 0 : std::min<uint64_t>(want, fileSize - e.offset);
}

bool decodedWhole(const ByteSource& src, const ChunkEntry& e, uint16_t rl) {
    const uint64_t records = e.points * rl;
    const uint64_t bytes = chunkByteLimit(src, e, rl);
    return records <= kWholeChunkRecordBytes &&
           (records <= kSmallChunkRecordBytes || records <= bytes * kMaxExpansion);
}

// Reads a chunk's bytes; with `entry.bytes` 0 (no table) what a chunk of that many points
// could take.
std::unique_ptr<std::vector<uint8_t>> readChunkBytes(const ByteSource& src, const ChunkEntry& e,
                                                     uint16_t rl, std::string& error) {
    const uint64_t limit = e.points * rl * 2 + 65536;
    if (e.bytes > limit) {
        error = "LAZ chunk table gives a chunk of " + std::to_string(e.bytes) + " bytes for " +
                std::to_string(e.points) + " points";
        return nullptr;
    }
    if (e.offset > src.size()) {
        error = "LAZ chunk starts beyond the end of the file";
        return nullptr;
    }
    const uint64_t have = chunkByteLimit(src, e, rl);
    if (e.bytes && have < e.bytes) error = "LAZ chunk runs past the end of the file";
    auto bytes = std::make_unique<std::vector<uint8_t>>(size_t(have));
    const size_t got = src.readAt(e.offset, bytes->data(), bytes->size());
    bytes->resize(got);
    return bytes;
}

// The error of a chunk whose coder did not end where the table says the chunk does: a changed
// byte, whose records would be garbage.
std::string endCheck(const ChunkEntry& e, size_t used) {
    if (e.bytes == 0 || used == e.bytes) return std::string();
    return "LAZ chunk at byte " + std::to_string(e.offset) + " is corrupt: its data ends after " +
           std::to_string(used) + " of its " + std::to_string(e.bytes) + " bytes";
}

}  // namespace

struct LazDecoder::Decoded {
    std::vector<uint8_t> records;
    size_t points = 0;
    size_t used = 0;
    std::string error;
};

// Decodes a whole chunk into `d`; a chunk that fails its end check gives no records.
void LazDecoder::decodeWholeChunk(const ChunkEntry& e, Decoded& d) const {
    ++m_decodedChunks;
    const uint16_t rl = m_in.recordLength;
    auto bytes = readChunkBytes(*m_source, e, rl, d.error);
    if (!bytes) return;
    if (d.records.size() < size_t(e.points) * rl) d.records.resize(size_t(e.points) * rl);
    ChunkDecoder chunk;
    if (chunk.start(m_vlr, rl, bytes->data(), bytes->size(), e.points))
        d.points = chunk.decode(d.records.data(), size_t(e.points));
    d.used = chunk.used();
    if (!chunk.error().empty()) d.error = chunk.error();
    if (d.error.empty() && d.points == e.points) d.error = endCheck(e, d.used);
    // Damage inside a chunk whose bytes are all there is a changed byte, not a file cut short:
    // none of its records can be trusted.
    if (!d.error.empty() && (d.points == e.points || (e.bytes && bytes->size() == e.bytes))) {
        if (d.error.find(" is corrupt") == std::string::npos)
            d.error =
                "LAZ chunk at byte " + std::to_string(e.offset) + " is corrupt (" + d.error + ")";
        d.points = 0;
    }
    if (d.points < e.points && d.error.empty()) d.error = "LAZ chunk cut short";
}

LazDecoder::LazDecoder() = default;
LazDecoder::~LazDecoder() {
    dropPrefetch();
}

void LazDecoder::setThreads(unsigned threads) {
    dropPrefetch();
    m_threads = resolveThreads(threads);
}

bool LazDecoder::open(const ByteSource& source, const LazInput& in) {
    dropPrefetch();
    m_source = &source;
    m_in = in;
    m_chunks.clear();
    m_haveTable = false;
    m_tableOffset = 0;
    m_chunk = m_aheadChunk = 0;
    m_next = 0;
    m_bufferPoints = m_bufferPos = 0;
    m_streaming = false;
    m_failed = false;
    m_error.clear();
    m_warning.clear();
    m_tableError.clear();
    if (!parseLazVlr(in.vlr, in.vlrSize, m_vlr, m_error) ||
        !checkItems(m_vlr, in.recordLength, m_error)) {
        m_failed = true;
        return false;
    }
    // A chunk size of 0 is what one other writer stores for chunks of varying size.
    if (m_vlr.chunkSize == 0) m_vlr.chunkSize = kVariableChunks;
    const uint64_t fileSize = source.size();
    if (in.pointCount == 0) return true;
    if (in.pointOffset > fileSize || fileSize - in.pointOffset < 8 + uint64_t(in.recordLength)) {
        m_error = "LAZ point data lies beyond the end of the file";
        m_failed = true;
        return false;
    }
    if (m_vlr.compressor == kCompressorUnchunked) {
        // One coder from the first point to the last, and no chunk table: that one chunk is
        // the whole list, which seeking may use.
        m_chunks.push_back({in.pointOffset, 0, 0, in.pointCount});
        m_haveTable = true;
        return true;
    }
    int64_t tableOffset = 0;
    uint8_t b[8];
    source.readAt(in.pointOffset, b, 8);
    std::memcpy(&tableOffset, b, 8);
    if (tableOffset == -1 && fileSize >= 8) {
        // Written by a program that could not go back: the offset closes the file.
        source.readAt(fileSize - 8, b, 8);
        std::memcpy(&tableOffset, b, 8);
    }
    const bool table = readChunkTable(uint64_t(tableOffset));
    if (m_failed) return false;
    if (!table) {
        if (m_vlr.chunkSize == kVariableChunks) {
            m_error = "LAZ chunk table unreadable (" + m_warning + ") and chunk sizes vary";
            m_failed = true;
            return false;
        }
        // Chunks of a fixed size follow each other from the start of the data: each starts
        // where the coder of the one before it stopped.
        m_warning = "LAZ chunk table unreadable (" + m_warning + "): reading chunks in sequence";
        m_chunks.clear();
        m_chunks.push_back(
            {in.pointOffset + 8, 0, 0, std::min<uint64_t>(m_vlr.chunkSize, in.pointCount)});
    }
    return true;
}

bool LazDecoder::readChunkTable(uint64_t tableOffset) {
    const uint64_t fileSize = m_source->size();
    const uint64_t start = m_in.pointOffset + 8;
    if (tableOffset < start || tableOffset > fileSize || fileSize - tableOffset < 8) {
        m_warning = "it lies outside the file";
        return false;
    }
    uint8_t head[8];
    if (m_source->readAt(tableOffset, head, 8) != 8 || load<uint32_t>(head) != 0) {
        m_warning = "unknown version";
        return false;
    }
    const uint32_t count = load<uint32_t>(head + 4);
    const bool variable = m_vlr.chunkSize == kVariableChunks;
    if (count == 0 || count > m_in.pointCount || count > tableOffset - start) {
        m_warning = "it lists " + std::to_string(count) + " chunks";
        return false;
    }
    // Each entry takes at most a few bytes; read no more than the file holds.
    const uint64_t want = std::min<uint64_t>(fileSize - tableOffset - 8, uint64_t(count) * 20 + 64);
    std::vector<uint8_t> bytes(static_cast<size_t>(want));
    m_source->readAt(tableOffset + 8, bytes.data(), bytes.size());
    Decoder dec;
    dec.init(bytes.data(), bytes.size());
    IntegerCodec ic(32, 2);
    ic.init();
    uint64_t offset = start, first = 0;
    uint32_t lastPoints = 0, lastBytes = 0;
    for (uint32_t i = 0; i < count && first < m_in.pointCount; ++i) {
        uint64_t points;
        if (variable) {
            lastPoints = uint32_t(ic.decompress(dec, int32_t(lastPoints), 0));
            points = lastPoints;
        } else {
            points = std::min<uint64_t>(m_vlr.chunkSize, m_in.pointCount - first);
        }
        lastBytes = uint32_t(ic.decompress(dec, int32_t(lastBytes), 1));
        if (dec.overrun()) break;
        points = std::min<uint64_t>(points, m_in.pointCount - first);
        if (points == 0 || points > kMaxChunkPoints) {
            // Chunks from here on are not read: their records could not be held.
            m_tableError = "LAZ chunk table lists a chunk of " + std::to_string(points) + " points";
            break;
        }
        m_chunks.push_back({offset, lastBytes, first, points});
        offset += lastBytes;
        first += points;
    }
    // An intact table of fixed-size chunks that holds fewer points than the header states
    // contradicts it: where the last chunk's points end is then unknown.
    if (!variable && !dec.overrun() && offset == tableOffset && m_tableError.empty() &&
        first < m_in.pointCount) {
        m_error = "the header states " + std::to_string(m_in.pointCount) +
                  " points, but the LAZ chunk table's chunks hold at most " + std::to_string(first);
        m_failed = true;
        return true;
    }
    // A table of fixed-size chunks that is cut short, or whose chunks do not end where it
    // starts, is damaged: the chunks themselves still say where each ends.
    if (!variable && (dec.overrun() || first < m_in.pointCount || offset != tableOffset)) {
        m_warning = dec.overrun() || first < m_in.pointCount
                        ? "it is cut short"
                        : "its chunks do not end where it starts";
        m_chunks.clear();
        m_tableError.clear();
        return false;
    }
    m_haveTable = true;
    m_tableOffset = tableOffset;
    return true;
}

std::string LazDecoder::tableDisagreement() const {
    if (!m_tableError.empty()) return m_tableError;
    if (!m_haveTable || m_vlr.compressor == kCompressorUnchunked || m_chunks.empty()) return {};
    const ChunkEntry& last = m_chunks.back();
    const uint64_t points = last.firstPoint + last.points, end = last.offset + last.bytes;
    if (points < m_in.pointCount)
        return "the LAZ chunk table's " + std::to_string(m_chunks.size()) + " chunks hold " +
               std::to_string(points) + " of the " + std::to_string(m_in.pointCount) +
               " points the header states";
    if (end != m_tableOffset)
        return "the LAZ chunks end at byte " + std::to_string(end) +
               ", but the chunk table starts at " + std::to_string(m_tableOffset);
    return {};
}

bool LazDecoder::seek(uint64_t index) {
    if (index > m_in.pointCount || m_chunks.empty()) return index == 0 && m_in.pointCount == 0;
    dropPrefetch();
    m_failed = false;
    m_error.clear();
    m_streaming = false;
    m_bufferPoints = m_bufferPos = 0;
    if (!m_haveTable) {
        // Without a table the chunks are found again from the first.
        m_chunks.resize(1);
        m_chunk = 0;
        m_next = 0;
    } else {
        if (index == m_in.pointCount) {
            m_chunk = m_chunks.size();
            m_aheadChunk = m_chunk;
            m_next = index;
            return true;
        }
        auto it =
            std::upper_bound(m_chunks.begin(), m_chunks.end(), index,
                             [](uint64_t i, const ChunkEntry& c) { return i < c.firstPoint; });
        if (it == m_chunks.begin()) return false;
        --it;
        if (index >= it->firstPoint + it->points) return false;  // beyond the listed chunks
        m_chunk = size_t(it - m_chunks.begin());
        m_next = it->firstPoint;
    }
    m_aheadChunk = m_chunk;
    while (m_next < index) {
        if (m_bufferPos == m_bufferPoints && !loadChunk()) return false;
        const size_t n = size_t(std::min<uint64_t>(index - m_next, m_bufferPoints - m_bufferPos));
        m_bufferPos += n;
        m_next += n;
    }
    return true;
}

void LazDecoder::startPrefetch() {
    const size_t window = kAheadPerThread * m_threads;
    while (m_ahead.size() < window && m_aheadChunk < m_chunks.size() &&
           decodedWhole(*m_source, m_chunks[m_aheadChunk], m_in.recordLength)) {
        const ChunkEntry e = m_chunks[m_aheadChunk++];
        m_ahead.push_back(std::async(std::launch::async, [this, e]() {
            auto d = std::make_unique<Decoded>();
            {
                // A buffer of a chunk handed out before: no fresh pages to fault in and zero.
                std::lock_guard<std::mutex> lock(m_spareMutex);
                if (!m_spare.empty()) {
                    d->records.swap(m_spare.back());
                    m_spare.pop_back();
                }
            }
            decodeWholeChunk(e, *d);
            return d;
        }));
    }
}

void LazDecoder::dropPrefetch() {
    for (auto& f : m_ahead)
        if (f.valid()) f.wait();
    m_ahead.clear();
    m_aheadChunk = m_chunk;
    m_windowOpen = false;
}

// The chunk after `e`, when it was read whole and the file has no table to say where it is.
void LazDecoder::walkOn(const ChunkEntry& e, size_t used) {
    const uint64_t first = e.firstPoint + e.points;
    if (m_haveTable || first >= m_in.pointCount || m_chunk != m_chunks.size()) return;
    m_chunks.push_back(
        {e.offset + used, 0, first, std::min<uint64_t>(m_vlr.chunkSize, m_in.pointCount - first)});
}

void LazDecoder::fail(const std::string& error) {
    m_error = error.empty() ? "LAZ chunk cut short" : error;
    m_failed = true;
}

bool LazDecoder::loadChunk() {
    m_bufferPoints = m_bufferPos = 0;
    if (m_failed || m_next >= m_in.pointCount) return false;
    if (m_streaming) return loadSlice();
    if (m_chunk >= m_chunks.size()) {
        fail(!m_tableError.empty() ? m_tableError
                                   : "LAZ chunk table lists " + std::to_string(m_next) + " of " +
                                         std::to_string(m_in.pointCount) + " points");
        return false;
    }
    const ChunkEntry e = m_chunks[m_chunk];
    if (e.points == 0 || e.points > kMaxChunkPoints) {
        fail("LAZ chunk of " + std::to_string(e.points) + " points is refused");
        return false;
    }
    if (!decodedWhole(*m_source, e, m_in.recordLength)) {
        std::string error;
        auto bytes = readChunkBytes(*m_source, e, m_in.recordLength, error);
        if (!bytes) {
            fail(error);
            return false;
        }
        ++m_decodedChunks;
        m_streamBytes = std::move(*bytes);
        if (!m_stream.start(m_vlr, m_in.recordLength, m_streamBytes.data(), m_streamBytes.size(),
                            e.points)) {
            fail(m_stream.error());
            return false;
        }
        m_streaming = true;
        return loadSlice();
    }
    std::unique_ptr<Decoded> d;
    // The first chunk after an open or a seek is decoded here alone: a caller that wants one
    // point (a probe, a look at one chunk) starts no window of chunks it will never read.
    const bool ahead = m_threads > 1 && m_haveTable && m_windowOpen;
    m_windowOpen = true;
    if (ahead) {
        if (m_aheadChunk < m_chunk) m_aheadChunk = m_chunk;
        startPrefetch();
        d = m_ahead.front().get();
        m_ahead.pop_front();
    } else {
        d = std::make_unique<Decoded>();
        d->records.swap(m_buffer);
        decodeWholeChunk(e, *d);
    }
    m_buffer.swap(d->records);
    if (ahead) {
        std::lock_guard<std::mutex> lock(m_spareMutex);
        m_spare.push_back(std::move(d->records));
    }
    ++m_chunk;
    m_aheadChunk = std::max(m_aheadChunk, m_chunk);
    if (d->points == e.points) walkOn(e, d->used);
    if (!d->error.empty() || d->points < e.points) fail(d->error);
    m_bufferPoints = d->points;
    return d->points > 0;
}

bool LazDecoder::loadSlice() {
    const size_t rl = m_in.recordLength;
    const size_t slice = std::max<size_t>(1, kSliceBytes / rl);
    if (m_buffer.size() < slice * rl) m_buffer.resize(slice * rl);
    const size_t got = m_stream.decode(m_buffer.data(), slice);
    m_bufferPoints = got;
    if (!m_stream.finished()) return got > 0;
    m_streaming = false;
    const ChunkEntry e = m_chunks[m_chunk++];
    m_aheadChunk = std::max(m_aheadChunk, m_chunk);
    std::string error = m_stream.error();
    // Checked only once its records are out: a chunk this large is not held whole.
    if (error.empty()) error = endCheck(e, m_stream.used());
    if (error.empty()) walkOn(e, m_stream.used());
    if (!error.empty()) fail(error);
    m_streamBytes = std::vector<uint8_t>();
    return got > 0;
}

size_t LazDecoder::read(uint8_t* out, size_t maxRecords) {
    size_t done = 0;
    const size_t rl = m_in.recordLength;
    while (done < maxRecords) {
        if (m_bufferPos == m_bufferPoints && !loadChunk()) break;
        const size_t n = std::min(maxRecords - done, m_bufferPoints - m_bufferPos);
        std::memcpy(out + done * rl, m_buffer.data() + m_bufferPos * rl, n * rl);
        done += n;
        m_bufferPos += n;
        m_next += n;
    }
    return done;
}

// ---- Encoder ----

LazEncoder::LazEncoder() = default;
LazEncoder::~LazEncoder() {
    for (auto& f : m_ahead)
        if (f.first.valid()) f.first.wait();
}

bool LazEncoder::init(int pointFormat, uint16_t recordLength, uint64_t pointOffset,
                      std::string& error, uint32_t chunkSize) {
    if (chunkSize == 0 || chunkSize == kVariableChunks || chunkSize > kMaxChunkPoints) {
        error = "LAZ chunk size " + std::to_string(chunkSize) + " is refused";
        return false;
    }
    if (!lazVlrFor(pointFormat, recordLength, chunkSize, m_vlr, error)) return false;
    m_chunkPoints = chunkSize;
    m_recordLength = recordLength;
    m_position = pointOffset;
    m_started = false;
    m_pending.clear();
    m_table.clear();
    return true;
}

bool LazEncoder::resume(const LazVlr& vlr, int pointFormat, uint16_t recordLength,
                        uint64_t position, std::vector<std::pair<uint64_t, uint64_t>> table,
                        std::string& error) {
    LazVlr ours;
    if (!lazVlrFor(pointFormat, recordLength, kDefaultChunkSize, ours, error)) return false;
    const auto same = [](const ItemDescriptor& a, const ItemDescriptor& b) {
        return a.type == b.type && a.size == b.size && a.version == b.version;
    };
    if (vlr.compressor != ours.compressor || vlr.coder != ours.coder ||
        !std::equal(vlr.items.begin(), vlr.items.end(), ours.items.begin(), ours.items.end(),
                    same)) {
        error = "its compressed records use items this writer does not write";
        return false;
    }
    m_vlr = vlr;
    // 0 is what one other writer stores for chunks of varying size.
    const bool variable = vlr.chunkSize == kVariableChunks || vlr.chunkSize == 0;
    m_chunkPoints = variable || vlr.chunkSize > kMaxChunkPoints ? kDefaultChunkSize : vlr.chunkSize;
    if (variable || (!table.empty() && table.back().first != vlr.chunkSize))
        m_vlr.chunkSize = kVariableChunks;
    m_recordLength = recordLength;
    m_position = position;
    m_started = true;  // the table's offset at the head of the point data is there already
    m_pending.clear();
    m_table = std::move(table);
    return true;
}

void LazEncoder::setThreads(unsigned threads) {
    m_threads = resolveThreads(threads);
}

void LazEncoder::emit(ByteSink& sink, const std::vector<uint8_t>& bytes, uint64_t points) {
    sink.write(bytes.data(), bytes.size());
    m_position += bytes.size();
    m_table.emplace_back(points, bytes.size());
}

void LazEncoder::write(const uint8_t* records, size_t count, ByteSink& sink) {
    if (!m_started) {
        const uint8_t placeholder[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        sink.write(placeholder, 8);
        m_position += 8;
        m_started = true;
    }
    // Whole chunks are coded from the caller's records; only a chunk's beginning waits here,
    // so memory stays one chunk whatever the caller's blocks.
    const size_t chunkBytes = size_t(m_chunkPoints) * m_recordLength;
    size_t bytes = count * m_recordLength;
    if (!m_pending.empty()) {
        const size_t take = std::min(bytes, chunkBytes - m_pending.size());
        m_pending.insert(m_pending.end(), records, records + take);
        records += take;
        bytes -= take;
        if (m_pending.size() < chunkBytes) return;
        submit(m_pending.data(), m_chunkPoints, sink);
        m_pending.clear();
    }
    for (; bytes >= chunkBytes; records += chunkBytes, bytes -= chunkBytes)
        submit(records, m_chunkPoints, sink);
    if (bytes == 0) return;
    m_pending.reserve(chunkBytes);
    m_pending.insert(m_pending.end(), records, records + bytes);
}

void LazEncoder::submit(const uint8_t* records, uint64_t points, ByteSink& sink) {
    if (m_threads <= 1) {
        emit(sink, encodeChunk(m_vlr, m_recordLength, records, points), points);
        return;
    }
    auto copy = std::make_shared<std::vector<uint8_t>>(records, records + points * m_recordLength);
    const LazVlr* vlr = &m_vlr;
    const uint16_t rl = m_recordLength;
    m_ahead.emplace_back(std::async(std::launch::async,
                                    [vlr, rl, copy, points]() {
                                        return encodeChunk(*vlr, rl, copy->data(), points);
                                    }),
                         points);
    while (m_ahead.size() >= kAheadPerThread * m_threads) drainOne(sink);
}

void LazEncoder::drainOne(ByteSink& sink) {
    emit(sink, m_ahead.front().first.get(), m_ahead.front().second);
    m_ahead.pop_front();
}

uint64_t LazEncoder::finish(ByteSink& sink) {
    if (!m_started) write(nullptr, 0, sink);
    if (!m_pending.empty()) submit(m_pending.data(), m_pending.size() / m_recordLength, sink);
    m_pending = std::vector<uint8_t>();
    while (!m_ahead.empty()) drainOne(sink);
    const uint64_t tableOffset = m_position;
    const std::vector<uint8_t> table =
        encodeChunkTable(m_table, m_vlr.chunkSize == kVariableChunks);
    sink.write(table.data(), table.size());
    m_position += table.size();
    m_table.clear();
    m_started = false;
    return tableOffset;
}

std::vector<uint8_t> encodeChunkTable(const std::vector<std::pair<uint64_t, uint64_t>>& chunks,
                                      bool variable) {
    std::vector<uint8_t> table;
    put32(table, 0);
    put32(table, uint32_t(chunks.size()));
    Encoder enc;
    enc.init(&table);
    IntegerCodec ic(32, 2);
    ic.init();
    uint32_t lastPoints = 0, lastBytes = 0;
    for (const auto& entry : chunks) {
        if (variable) {
            ic.compress(enc, int32_t(lastPoints), int32_t(uint32_t(entry.first)), 0);
            lastPoints = uint32_t(entry.first);
        }
        ic.compress(enc, int32_t(lastBytes), int32_t(uint32_t(entry.second)), 1);
        lastBytes = uint32_t(entry.second);
    }
    enc.done();
    return table;
}

}  // namespace orv::laz
