// Whole-file conversion between LAS and LAZ, and the few header values the codec needs from a
// LAZ file. Reads only the fixed header layout; the records themselves are never interpreted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "laz/LazCodec.h"

namespace orv::laz {

// The header values of a LAS or LAZ file that conversion needs.
struct FileLayout {
    uint8_t versionMinor = 0;
    uint16_t headerSize = 0;
    uint32_t offsetToPoints = 0;
    uint32_t vlrCount = 0;
    uint8_t formatByte = 0;  // as stored: bit 7 marks compression
    uint16_t recordLength = 0;
    uint64_t pointCount = 0;  // the 1.4 count when present, else the legacy one
    uint64_t evlrOffset = 0;  // 1.4 only; 0 when none
    uint64_t vlrEnd = 0;      // where the last VLR ends
    bool compressed = false;
    std::vector<uint8_t> lazVlr;  // the compression VLR's payload, when there is one
    uint64_t lazVlrStart = 0;     // offset of that VLR's 54-byte header
};

// Reads the layout from the first bytes of a file (header and VLRs) and its size. False with
// a message when the header is not a LAS 1.x header or its VLRs run past the point data.
bool readLayout(const ByteSource& source, FileLayout& out, std::string& error);

// Decodes a LAZ file's point data through a decoder opened on it.
bool openDecoder(const ByteSource& source, const FileLayout& layout, LazDecoder& decoder,
                 std::string& error);

// Writes `out` as the LAS file `in` holds, compressed or decompressed. Threads: 1 by default,
// 0 for every core. False with a message on failure; `warning` gets a note on damage that
// still let the leading points through (the points stop there).
bool compressFile(const char* in, const char* out, std::string& error, unsigned threads = 1,
                  uint32_t chunkSize = kDefaultChunkSize);
bool decompressFile(const char* in, const char* out, std::string& error, std::string& warning,
                    unsigned threads = 1);

}  // namespace orv::laz
