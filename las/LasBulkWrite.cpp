#include "OrvLas.h"
#include "las/LasFileWriter.h"

namespace orv {

namespace {

// Writes the pool; with `whole`, a refused point abandons the file instead of closing it.
long savePool(PLasPntPool* pool, XPnt3d* shift, const char* path, bool whole, uint64_t* refused,
              const ProgressCallback& progress) {
    las::AOrvLASFile writer(las::kBulkWriterTexts);
    writer.setProgress(progress);
    writer.open(path);
    if (pool) writer.expectPoints(pool->size());
    writer.begin();
    long result = 0;
    if (pool) {
        // The walk ends where next would return null: at the end, or at a null entry. The
        // encoder looks for the null itself, so the pointers are read once.
        LasPnt* const* points = pool->data();
        size_t count = 0;
        if (writer.writePntsUntilNull(
                pool->size(), [points](size_t i) { return points[i]; }, shift, count) != 0)
            result = -1;
        if (count == pool->size()) {
            pool->skipToEnd();
        } else {
            pool->rewind();
            for (size_t i = 0; i <= count; ++i) pool->next();
        }
    }
    if (refused) *refused = writer.refusedCount();
    if (whole && result != 0)
        writer.discard();
    else
        writer.close();
    return result;
}

}  // namespace

long orvSavePoint2Las(PLasPntPool* pool, XPnt3d* shift, const char* path, IOrvProgress*) {
    return savePool(pool, shift, path, false, nullptr, nullptr);
}

long orvSavePoint2LasWhole(PLasPntPool* pool, XPnt3d* shift, const char* path, uint64_t* refused,
                           const ProgressCallback& progress) {
    return savePool(pool, shift, path, true, refused, progress);
}

long orvSavePoint2Las(PLasPntPool* pool, const char* path, IOrvProgress* progress) {
    return orvSavePoint2Las(pool, nullptr, path, progress);
}

}  // namespace orv
