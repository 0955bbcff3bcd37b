// Compressed point data: the compression VLR, the chunk table, and a decoder and encoder of
// whole uncompressed point records. Knows nothing of LAS headers: callers pass plain values.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "laz/LazItems.h"

namespace orv::platform {
class InputFile;
}

namespace orv::laz {

// The VLR that marks compressed point data: user ID "laszip encoded", record ID 22204.
constexpr const char* kVlrUserId = "laszip encoded";
constexpr uint16_t kVlrRecordId = 22204;
// Points per chunk when a writer does not choose: the size other programs write.
constexpr uint32_t kDefaultChunkSize = 50000;
// A chunk size of all ones: chunk point counts are listed in the chunk table.
constexpr uint32_t kVariableChunks = 0xFFFFFFFFu;

constexpr uint16_t kCompressorUnchunked = 1;  // pointwise items, one coder for all points
constexpr uint16_t kCompressorPointwise = 2;  // pointwise chunked items, formats 0 to 5
constexpr uint16_t kCompressorLayered = 3;    // layered chunked items, formats 6 to 10

struct LazVlr {
    uint16_t compressor = 0;
    uint16_t coder = 0;
    uint8_t versionMajor = 3, versionMinor = 4;
    uint16_t revision = 3;
    uint32_t options = 0;
    uint32_t chunkSize = kDefaultChunkSize;
    int64_t extraEvlrCount = -1;
    int64_t extraEvlrOffset = -1;
    std::vector<ItemDescriptor> items;
};

// Parses a VLR payload; false with a message when it is cut short or malformed.
bool parseLazVlr(const uint8_t* data, size_t size, LazVlr& out, std::string& error);
std::vector<uint8_t> encodeLazVlr(const LazVlr& vlr);
// The items and compressor other programs use for a point format (compression bits masked
// off) and record length; false when the format cannot be compressed.
bool lazVlrFor(int pointFormat, uint16_t recordLength, uint32_t chunkSize, LazVlr& out,
               std::string& error);

// Positional reads of the bytes of a file, safe from several threads at once.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t size() const = 0;
    // Reads up to `count` bytes at `offset`; returns the bytes delivered.
    virtual size_t readAt(uint64_t offset, void* buffer, size_t count) const = 0;
};

class MemorySource final : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    uint64_t size() const override { return m_size; }
    size_t readAt(uint64_t offset, void* buffer, size_t count) const override;

private:
    const uint8_t* m_data;
    size_t m_size;
};

class FileSource final : public ByteSource {
public:
    explicit FileSource(const platform::InputFile& file);
    uint64_t size() const override { return m_size; }
    size_t readAt(uint64_t offset, void* buffer, size_t count) const override;

private:
    const platform::InputFile& m_file;
    uint64_t m_size;
};

// What a decoder needs from the file's header.
struct LazInput {
    int pointFormat = 0;  // compression bits masked off
    uint16_t recordLength = 0;
    const uint8_t* vlr = nullptr;  // the compression VLR's payload
    size_t vlrSize = 0;
    uint64_t pointOffset = 0;  // offset to point data
    uint64_t pointCount = 0;
};

struct ChunkEntry {
    uint64_t offset = 0;      // first byte in the file
    uint64_t bytes = 0;       // 0 when unknown (no usable chunk table)
    uint64_t firstPoint = 0;  // index of its first point
    uint64_t points = 0;
};

// Decodes the records of one chunk a slice at a time: memory follows the caller's buffer, not
// the count a chunk claims. The chunk's bytes must outlive it.
class ChunkDecoder {
public:
    // Starts on a chunk of `points` records in `size` bytes; false with error() when even its
    // first record is cut short.
    bool start(const LazVlr& vlr, uint16_t recordLength, const uint8_t* data, size_t size,
               uint64_t points);
    // Decodes up to `max` records into `out`; fewer only at the chunk's end or on damage, which
    // sets error(). No record after the damage is given.
    size_t decode(uint8_t* out, size_t max);
    bool finished() const { return m_done == m_points || !m_error.empty(); }
    // Bytes the coder has taken: after the last record of an intact chunk, all of its bytes.
    size_t used() const;
    const std::string& error() const { return m_error; }

private:
    const uint8_t* m_data = nullptr;
    size_t m_size = 0, m_used = 0;
    uint16_t m_recordLength = 0;
    bool m_layered = false;
    uint64_t m_points = 0, m_done = 0;
    std::unique_ptr<PointwiseChunk> m_pointwise;
    std::unique_ptr<LayeredChunk> m_layeredItems;
    std::vector<ItemDescriptor> m_layeredFor;  // the items m_layeredItems was made for
    Decoder m_dec;
    std::string m_error;
    std::string m_tailError;  // reported once the records before it are out
};

// Decodes whole records in file order, a chunk at a time: memory stays within a few chunks
// per thread, each bounded by the bytes it came in, whatever the counts say. Damage ends the
// points at the last intact record and sets error(): a chunk whose data does not end where
// the table says is corrupt and gives none of its records. Without a readable table, chunks
// of a fixed size are found one after the other from the start of the data (warning()).
class LazDecoder {
public:
    LazDecoder();
    ~LazDecoder();
    LazDecoder(const LazDecoder&) = delete;
    LazDecoder& operator=(const LazDecoder&) = delete;

    // Checks the VLR against the format and reads the chunk table. False with error() set when
    // the data cannot be decoded at all.
    bool open(const ByteSource& source, const LazInput& input);
    // Decoding threads: 1 (the default) decodes in the caller's thread; 0 takes every core.
    void setThreads(unsigned threads);
    // Fills `out` with up to `maxRecords` whole records; fewer only at the end or on damage.
    size_t read(uint8_t* out, size_t maxRecords);
    // Moves to point `index` (through the chunk table, or without one by decoding from the
    // start); false when out of range or unreachable.
    bool seek(uint64_t index);

    uint64_t position() const { return m_next; }
    const std::vector<ChunkEntry>& chunks() const { return m_chunks; }
    const LazVlr& vlr() const { return m_vlr; }
    const std::string& error() const { return m_error; }
    // Set when the file is readable but not as written (a lost chunk table).
    const std::string& warning() const { return m_warning; }
    // Chunks whose decoding has started, those decoded ahead of the reader included.
    size_t decodedChunks() const { return m_decodedChunks; }
    // Where the chunk table, read at open, disagrees with the header's count or with itself
    // (chunks that hold fewer points than stated, or end elsewhere than where the table
    // starts), found without decoding a chunk; empty when it agrees or there is no table.
    std::string tableDisagreement() const;

private:
    struct Decoded;
    bool loadChunk();
    bool loadSlice();
    void decodeWholeChunk(const ChunkEntry& e, Decoded& d) const;
    void walkOn(const ChunkEntry& e, size_t used);
    void fail(const std::string& error);
    bool readChunkTable(uint64_t tableOffset);
    void startPrefetch();
    void dropPrefetch();

    const ByteSource* m_source = nullptr;
    LazInput m_in;
    LazVlr m_vlr;
    std::vector<ChunkEntry> m_chunks;
    bool m_haveTable = false;
    uint64_t m_tableOffset = 0;  // where a table read at open starts
    unsigned m_threads = 1;
    size_t m_chunk = 0;             // next chunk to load
    uint64_t m_next = 0;            // index of the next point delivered
    std::vector<uint8_t> m_buffer;  // the current chunk's records, or a slice of them
    size_t m_bufferPoints = 0, m_bufferPos = 0;
    bool m_streaming = false;  // the current chunk is decoded a slice at a time
    ChunkDecoder m_stream;
    std::vector<uint8_t> m_streamBytes;
    std::deque<std::future<std::unique_ptr<Decoded>>> m_ahead;
    size_t m_aheadChunk = 0;    // next chunk to hand to a thread
    bool m_windowOpen = false;  // a chunk has been read since the open or seek
    mutable std::atomic<size_t> m_decodedChunks{0};
    bool m_failed = false;
    std::string m_error, m_warning;
    std::string m_tableError;  // why the chunk list stops short, reported on reaching it
    std::mutex m_spareMutex;
    std::vector<std::vector<uint8_t>> m_spare;  // record buffers of delivered chunks
};

// Receives compressed bytes in file order.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void write(const void* data, size_t size) = 0;
};

// Compresses whole records into chunks. The point data starts with 8 bytes that hold the
// offset of the chunk table: finish() returns it for the caller to put there.
class LazEncoder {
public:
    LazEncoder();
    ~LazEncoder();
    LazEncoder(const LazEncoder&) = delete;
    LazEncoder& operator=(const LazEncoder&) = delete;

    // False with `error` when the format cannot be compressed. `pointOffset` is where the
    // point data will start in the file.
    bool init(int pointFormat, uint16_t recordLength, uint64_t pointOffset, std::string& error,
              uint32_t chunkSize = kDefaultChunkSize);
    // Goes on after the chunks `table` lists (points and bytes of each, in file order) of a file
    // compressed as `vlr` says, its next chunk at file offset `position`: new chunks follow the
    // last, and finish() writes the table of all. False with `error` when the file's items are
    // not those this encoder writes for `pointFormat`. A fixed chunk size whose last chunk is
    // short turns into varying chunk sizes: vlrPayload() then differs in its chunk size alone.
    bool resume(const LazVlr& vlr, int pointFormat, uint16_t recordLength, uint64_t position,
                std::vector<std::pair<uint64_t, uint64_t>> table, std::string& error);
    void setThreads(unsigned threads);
    // The payload of the compression VLR for the header.
    std::vector<uint8_t> vlrPayload() const { return encodeLazVlr(m_vlr); }
    size_t vlrSize() const { return 34 + 6 * m_vlr.items.size(); }
    void write(const uint8_t* records, size_t count, ByteSink& sink);
    // Writes the last chunk and the chunk table; returns the table's offset in the file.
    uint64_t finish(ByteSink& sink);
    // File offset of the next byte written: after finish, the end of the point data.
    uint64_t position() const { return m_position; }

private:
    void submit(const uint8_t* records, uint64_t points, ByteSink& sink);
    void drainOne(ByteSink& sink);
    void emit(ByteSink& sink, const std::vector<uint8_t>& bytes, uint64_t points);

    LazVlr m_vlr;
    uint32_t m_chunkPoints = kDefaultChunkSize;  // points of each new chunk but the last
    uint16_t m_recordLength = 0;
    uint64_t m_position = 0;  // file offset of the next byte written
    bool m_started = false;
    unsigned m_threads = 1;
    std::vector<uint8_t> m_pending;  // records not yet handed to a chunk
    std::deque<std::pair<std::future<std::vector<uint8_t>>, uint64_t>> m_ahead;
    std::vector<std::pair<uint64_t, uint64_t>> m_table;  // points and bytes of each chunk
};

// Decodes one chunk of `points` records from its bytes into `out`. Returns the records that
// decoded intact (fewer than `points` when the bytes ran out) and sets `used` to the bytes the
// chunk took. For tests and the fuzz target.
size_t decodeChunk(const LazVlr& vlr, uint16_t recordLength, const uint8_t* data, size_t size,
                   uint64_t points, uint8_t* out, size_t& used, std::string& error);
// The chunk table's bytes for chunks of (points, bytes) in file order; `variable` also lists
// the points of each, for a VLR whose chunk size is kVariableChunks.
std::vector<uint8_t> encodeChunkTable(const std::vector<std::pair<uint64_t, uint64_t>>& chunks,
                                      bool variable);
// Compresses `points` records into one chunk's bytes.
std::vector<uint8_t> encodeChunk(const LazVlr& vlr, uint16_t recordLength, const uint8_t* records,
                                 uint64_t points);

}  // namespace orv::laz
