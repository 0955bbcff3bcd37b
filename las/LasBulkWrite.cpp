#include <algorithm>

#include "OrvLas.h"
#include "las/LasFileWriter.h"

namespace orv {

long orvSavePoint2Las(PLasPntPool* pool, XPnt3d* shift, const char* path, IOrvProgress*) {
    AOrvLASFile writer(las::kBulkWriterTexts);
    writer.open(path);
    writer.begin();
    long result = 0;
    if (pool) {
        // The walk ends where next would return null: at the end, or at a null entry.
        LasPnt* const* points = pool->data();
        const size_t count =
            static_cast<size_t>(std::find(points, points + pool->size(), nullptr) - points);
        if (writer.writePnts(
                count, [points](size_t i) { return points[i]; }, shift) != 0)
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
