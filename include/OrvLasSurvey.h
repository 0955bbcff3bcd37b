// One open of a LAS file for everything that describes it: what ReadLasInfo,
// ReadFirstPntFromLas and LasReader each find, taken from the same bytes, and the records for a
// scan through the same open file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "OrvBasic.h"
#include "OrvExport.h"
#include "OrvLas.h"
#include "OrvLasFile.h"
#include "OrvLasFormat.h"

namespace orv {

class ORV_API LasSurvey {
public:
    LasSurvey();
    LasSurvey(const LasSurvey&) = delete;
    LasSurvey& operator=(const LasSurvey&) = delete;
    ~LasSurvey();

    // Opens `path` and measures it: the results of ReadLasInfo. 0; -1 when it cannot be read; -2
    // when it is not a LAS 1.x file (layout20() tells a file of the 2.0 layout); -3 when its
    // records are compressed in a way the decoder refuses (see refusal()). Compressed records are
    // decoded once here to count those that decode.
    int open(const char* path);
    // Before open(): place the records as the point streams, the bulk reader and the probe do,
    // anywhere from the end of the 227 fixed bytes on, whatever header size and version the
    // header states.
    void setFixedHeaderOnly(bool fixedHeaderOnly);

    // How open() counts the points of compressed records.
    enum class Count {
        kDecode,      // every chunk decoded: the points that decode
        kChunkTable,  // the chunk table alone, checked against the header and the file's size
    };
    // As open(path), counting compressed points as `count` says. With kChunkTable the readable
    // points are those the header states, and counted() is false for a compressed file.
    int open(const char* path, Count count);
    // False when the readable points of compressed records were not counted by decoding them.
    bool counted() const;
    // After an open with kChunkTable: where the chunk table disagrees with the header's count or
    // with itself, for people; empty when it agrees (or was not read).
    const std::string& chunkTableDisagreement() const;

    // After 0: what ReadLasInfo gives.
    const LasFileInfo& info() const;
    // After 0 or -3: the header with its VLRs, EVLRs and their warnings, as LasReader gives it.
    const LasFileHeader& header() const;
    // Why LasReader refuses the records (compressed ones it cannot decode, an unknown format,
    // records shorter than their format's); empty when reader() reads them.
    const std::string& refusal() const;
    // The first record's real-world coordinates where ReadFirstPntFromLas finds them, and beyond
    // its window when the file holds readable points; for the 2.0 layout, the first record's
    // doubles plus the header's offsets. False when there is none.
    bool firstPoint(XPnt3d& point) const;
    // After -2: 1 for a file of the 2.0 layout, with its header and the whole records the file
    // holds after the offset to point data; -1 for one marked so but shorter than its header; 0
    // for any other file.
    int layout20(Las2Header& header, uint64_t& presentRecords) const;
    // The records from the first, as LasReader reads them, on the file opened here; null when
    // refusal() is not empty or the open failed.
    LasReader* reader();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace orv
