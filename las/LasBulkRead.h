// The bulk reader behind orvReadLas.
#pragma once

#include "OrvBasic.h"
#include "OrvLasFormat.h"
#include "OrvProgress.h"
#include "las/LasProgress.h"

namespace orv::las {

// Reads a whole 1.x LAS file a block at a time; lives for one call.
class COrvReadLas {
public:
    COrvReadLas() = default;
    COrvReadLas(const COrvReadLas&) = delete;
    COrvReadLas& operator=(const COrvReadLas&) = delete;
    virtual ~COrvReadLas();

    // Fills `header` and stores in *pool a new pool, with one reference, holding every whole
    // record present in the file. Returns the number of points read, or -1 without touching
    // `pool` or `header` when the file cannot be opened or read, is not a regular file, is
    // shorter than its header or states records shorter than 16 bytes. A file shortened during
    // the read gives the whole records it still held. Throws std::bad_alloc when the points do not
    // fit in memory.
    long ReadLasFile(const char* path, LasPntPool** pool, LasHeader& header);
    // Told the points read after each block, and the points kept at the end of a read that
    // succeeds.
    void setProgress(ProgressCallback progress) { m_progress.set(std::move(progress)); }

private:
    ProgressReport m_progress;
};

}  // namespace orv::las
