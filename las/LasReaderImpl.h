// LasReader's state, shared with LasSurvey, which opens the file under its own rules and
// hands the same open file on as a reader.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "OrvLasFile.h"
#include "las/LasOpen.h"
#include "las/LasProgress.h"
#include "las/LasRecordSource.h"
#include "platform/Files.h"

namespace orv {

struct LasReader::Impl {
    platform::InputFile file;
    las::OpenedLas opened;
    std::unique_ptr<las::RecordSource> source;
    uint64_t count = 0;
    uint64_t index = 0;
    std::vector<uint8_t> block;
    unsigned threads = lasDefaultThreads();
    las::ProgressReport progress;

    // Moves past `got` records of the `want` asked for: short of them, the records have ended.
    void advance(size_t got, size_t want) {
        index += got;
        if (got < want || index >= count)
            progress.end(index);
        else
            progress.block(index);
    }

    // Reads the records of the file as `opened` found them, from the first.
    void startRecords() {
        const LasFileHeader& h = opened.header;
        if (opened.compression == las::Compression::kDecoded) {
            count = h.statedPoints;
            source = std::move(opened.decoder);
        } else {
            count = h.statedPoints < h.presentRecords ? h.statedPoints : h.presentRecords;
            source = las::uncompressedRecords(file, h, count);
        }
        index = 0;
        progress.start(count);
    }
};

}  // namespace orv
