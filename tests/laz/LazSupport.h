// Scaffolding shared by the LAZ tests: the shared samples, whole-file decoding, record hashes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "laz/LazFile.h"
#include "support/TestSupport.h"

namespace orvtest {

// Folder of the shared LAZ samples, or "" when it is not beside the clone.
std::string lazDataDir();

// The result of decoding a whole file held in memory.
struct LazDecoded {
    bool opened = false;
    std::vector<uint8_t> records;
    size_t points = 0;
    std::string error, warning;
};
LazDecoded decodeLazBytes(const std::vector<uint8_t>& file, unsigned threads = 1);

// The point records of an uncompressed LAS file.
std::vector<uint8_t> lasRecords(const std::vector<uint8_t>& file);

// SHA-256 of bytes, in hex, through the system's sha256sum.
std::string sha256(const std::vector<uint8_t>& bytes);

}  // namespace orvtest
