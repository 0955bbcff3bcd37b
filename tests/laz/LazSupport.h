// Scaffolding shared by the LAZ tests: the shared samples, whole-file decoding, record hashes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OrvLasFile.h"
#include "laz/LazCodec.h"
#include "support/TestSupport.h"

namespace orvtest {

// Folder of the shared LAZ samples, or "" when it is not beside the clone.
std::string lazDataDir();

// What LasReader makes of a whole file held in memory.
struct LazDecoded {
    bool opened = false;
    std::vector<uint8_t> records;
    size_t points = 0;
    std::string error;    // why it was refused, or why its records end early
    std::string warning;  // readable, but not as written (a lost chunk table)
};
LazDecoded decodeLazBytes(const std::vector<uint8_t>& file, unsigned threads = 1);

// The point records of a LAS file, as LasReader gives them.
std::vector<uint8_t> lasRecords(const std::vector<uint8_t>& file);

// Copies the file `in` to `out` through LasReader and LasWriter, compressed when `out` ends in
// .laz; "" or what went wrong. `chunk` 0: the writer's chunk size.
std::string copyLas(const std::string& in, const std::string& out, unsigned threads = 1,
                    uint32_t chunk = 0);

// A decoder opened on a LAZ file's bytes as LasReader opens it, for tests of the decoder.
class LazOpened {
public:
    explicit LazOpened(const std::vector<uint8_t>& file, unsigned threads = 1);
    LazOpened(const LazOpened&) = delete;
    LazOpened& operator=(const LazOpened&) = delete;
    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }
    orv::laz::LazDecoder& decoder() { return m_decoder; }
    uint16_t recordLength() const { return m_recordLength; }

private:
    std::vector<uint8_t> m_bytes, m_vlr;
    orv::laz::MemorySource m_source;
    orv::laz::LazDecoder m_decoder;
    uint16_t m_recordLength = 0;
    std::string m_error;
};

// Where a file's compression VLR payload starts; 0 without one.
size_t lazVlrPayloadAt(const std::vector<uint8_t>& file);

// SHA-256 of bytes, in hex, through the system's sha256sum.
std::string sha256(const std::vector<uint8_t>& bytes);

}  // namespace orvtest

namespace orvtest {

// Which scanner channel generated points of formats 6 to 10 carry.
enum class ChannelPattern {
    kOne,         // channel 0 throughout
    kMixed,       // mostly 0, runs of random channels
    kSwitchOnce,  // 0, then 2 from the middle on: one switch to a channel not used before
    kReturn,      // 0, then 1, then 0 again: a return to a channel used before
    kAllFour,     // short runs on all four channels, each returned to many times
};

// A LAS 1.4 file (1.2 for formats below 6) of generated points that exercise what the coders
// predict: return sequences, interleaved and jumping GPS times, fields that never change
// (layers left out), colour channels moving together or apart, wave packets, extra bytes.
std::vector<uint8_t> makeLas(int format, uint16_t extra, size_t points, uint32_t seed,
                             ChannelPattern channels = ChannelPattern::kOne);

// Decodes a LAZ file with laz-perf (through the shared decode_laz.js): the raw records, or
// nothing (and a test failure) when it refuses the file.
std::vector<uint8_t> lazPerfRecords(const std::string& path, const TempDir& dir);

// The compressed chunks of a LAZ file and its chunk table, without the headers before them.
std::vector<uint8_t> lazPointData(const std::vector<uint8_t>& file);

}  // namespace orvtest
