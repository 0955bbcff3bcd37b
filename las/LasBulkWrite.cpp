#include "OrvLas.h"
#include "las/LasFileWriter.h"

namespace orv {

long orvSavePoint2Las(PLasPntPool* pool, XPnt3d* shift, const char* path, IOrvProgress*) {
    AOrvLASFile writer(las::kBulkWriterTexts);
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
    writer.close();
    return result;
}

long orvSavePoint2Las(PLasPntPool* pool, const char* path, IOrvProgress* progress) {
    return orvSavePoint2Las(pool, nullptr, path, progress);
}

}  // namespace orv
