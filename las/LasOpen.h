// How every reader opens a LAS file for its records: the header read once and measured against
// the file, the VLRs when wanted, and compressed records set up for decoding on the same file.
// Readers then apply their own refusals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "OrvLas.h"
#include "OrvLasFile.h"
#include "las/LasHeaderModel.h"
#include "las/LasRecordSource.h"
#include "platform/Files.h"

namespace orv::las {

struct OpenRules {
    // Take any bytes for a header, as the lean readers do; only a signed one is ever decoded.
    bool anySignature = false;
    // Read the VLRs, EVLRs and kept bytes. A compressed file's are read regardless, to find its
    // decoder, without adding their warnings.
    bool vlrs = true;
    // A compressed file without its compression VLR is read as stored (the lean readers, as they
    // always did); otherwise its records are refused.
    bool storedWithoutVlr = false;
    // Records may start anywhere after the 227 fixed bytes, as the lean readers take them: the
    // header size and version a header states do not move where its records can begin.
    bool fixedHeaderOnly = false;
    // Threads that decode compressed records, as LasReader::setThreads takes them.
    unsigned threads = lasDefaultThreads();
};

// What became of records marked compressed.
enum class Compression { kNone, kDecoded, kRefused };

// A file opened for its records. Not copied: the decoder notes what it finds in `header` and
// `error`.
struct OpenedLas {
    OpenedLas() = default;
    OpenedLas(const OpenedLas&) = delete;
    OpenedLas& operator=(const OpenedLas&) = delete;

    LasFileHeader header;  // measured; decoded records are counted as the header states them
    LasHeader raw;         // the first 227 bytes as stored
    uint8_t head[kFixedHeaderBytes] = {};
    size_t headBytes = 0;  // bytes of `head` read, also when the open failed
    Compression compression = Compression::kNone;
    std::unique_ptr<RecordSource> decoder;  // set with kDecoded
    // Why the open failed or the records are refused, for people; a decoder's warning.
    std::string error;
    // Why compressed records are read as stored (OpenRules::storedWithoutVlr).
    std::string storedReason;

    void clear();
};

// Reads `file` (opened, not yet read) for its records. 0; -1 when it cannot be read; -2 when its
// first bytes are not a LAS header (fewer than 227, or unsigned unless `anySignature`).
int openRecords(platform::InputFile& file, const OpenRules& rules, OpenedLas& out);

// True when the first bytes read are those of the 2.0 layout: the character '2' in the version
// byte marks it, whatever the signature and the bytes after it hold (a binary 2 there is 1.x).
inline bool isLayout20(const OpenedLas& opened) {
    return opened.headBytes > offsetof(LasHeader, versionMajor) &&
           opened.head[offsetof(LasHeader, versionMajor)] == '2';
}

// True for the version bytes of a signed header that the lean readers' commands read with the
// 1.x layout: major 1, and a binary 2 (the 2.0 layout has the character '2' there). Other values
// are bytes of another kind of file that happen to start with the signature.
inline bool isLayout1x(const LasFileHeader& header) {
    return header.versionMajor == 1 || header.versionMajor == 2;
}

// Decodes the compressed records of `opened` once to count those that decode (damage that ends
// them is noted in its header), and moves its decoder back to the first record.
void countDecoded(OpenedLas& opened);

// The real-world X, Y, Z of the first record of `file`, opened as `opened`: decoded (the decoder
// moved back to the first record), or read as stored when they end within the first `within`
// bytes of the file. False when there is none.
bool firstRecordPoint(platform::InputFile& file, OpenedLas& opened, uint64_t within, XPnt3d& point);

// Why no reader can take the records of `header` (inside the header, an unknown format, records
// shorter than their format's); empty when one can.
std::string recordRefusal(const LasFileHeader& header);

// The description of a 1.x file that ReadLasInfo gives, from its measured header.
LasFileInfo describe(const OpenedLas& opened);

}  // namespace orv::las
