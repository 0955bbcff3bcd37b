// Where the full-fidelity reader's records come from. The uncompressed region of the file,
// or a decoder of compressed records behind the same two calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "OrvLasFile.h"
#include "platform/Files.h"

namespace orv::laz {
struct LazInput;
}

namespace orv::las {

class RecordSource {
public:
    virtual ~RecordSource() = default;
    // Copies up to `maxRecords` whole records into `out`; returns their number, 0 at the end.
    virtual size_t read(uint8_t* out, size_t maxRecords) = 0;
    // Moves to record `index`; false when the source cannot.
    virtual bool seek(uint64_t index) = 0;
    // Where the source's own description of its records (a chunk table) disagrees with the
    // header or the file, found without reading a record; empty when it agrees.
    virtual std::string disagreement() const { return {}; }
};

// The records `count` of `header` stored as they are from its offset to point data. `file`
// must outlive the source.
std::unique_ptr<RecordSource> uncompressedRecords(platform::InputFile& file,
                                                  const LasFileHeader& header, uint64_t count);

// What a decoder of the compressed records of `header` is given; false without a compression
// VLR.
bool lazInputOf(const LasFileHeader& header, laz::LazInput& in);

// The compressed records of `header`, decoded; null with `error` set when they cannot be.
// `error` also receives a warning at open and the reason decoding stops short, each also noted
// in `header` (kLasChunkTableLost, kLasRecordsDamaged); `file`, `header` and `error` must
// outlive the source.
// `threads` decode chunks as LasReader::setThreads says.
std::unique_ptr<RecordSource> compressedRecords(const platform::InputFile& file,
                                                LasFileHeader& header, std::string& error,
                                                unsigned threads);

// The counts of a compressed file whose decoder opened: the file's size says nothing of them.
void countCompressed(LasFileHeader& header, uint64_t points);

}  // namespace orv::las
