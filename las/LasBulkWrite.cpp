#include "OrvLas.h"
#include "las/LasFileWriter.h"

namespace orv {

long orvSavePoint2Las(PLasPntPool* pool, XPnt3d* shift, const char* path, IOrvProgress*) {
    AOrvLASFile writer(las::kBulkWriterTexts);
    writer.open(path);
    writer.begin();
    long result = 0;
    if (pool) {
        pool->rewind();
        while (const LasPnt* point = pool->next())
            if (writer.writePnt(point, shift) != 0) result = -1;
    }
    writer.close();
    return result;
}

long orvSavePoint2Las(PLasPntPool* pool, const char* path, IOrvProgress* progress) {
    return orvSavePoint2Las(pool, nullptr, path, progress);
}

}  // namespace orv
