#include "las/LasBulkRead.h"

#include <cstring>
#include <new>

#include "OrvLas.h"
#include "las/LasCodec.h"
#include "las/LasHeaderModel.h"
#include "las/LasLimits.h"
#include "platform/Files.h"

using namespace orv;

COrvReadLas::~COrvReadLas() = default;

long COrvReadLas::ReadLasFile(const char* path, LasPntPool** pool, LasHeader& header) {
    platform::MappedFile file;
    if (!pool || !file.map(path)) return -1;
    const uint64_t size = file.size();
    // This reader takes any bytes for a header, signed or not.
    LasFileHeader model;
    LasHeader h;
    if (!las::parseFixedHeader(file.data(), size, size, model, &h, false)) return -1;
    const las::RecordLayout layout = las::RecordLayout::forFormat(h.pointDataFormat);
    const uint64_t recordLength = h.pointDataRecordLength;
    if (recordLength < layout.minLength) return -1;

    // The header was checked once against the real size: the loop below reads only records
    // that lie wholly inside the mapping, however many the header promises.
    const size_t count = static_cast<size_t>(model.readablePoints);
    const uint64_t first = h.offsetToPointData;

    OrvPtr<LasPntPool> points = newLasPntPool();
    if (!points) throw std::bad_alloc();
    points->reserve(count);
    const las::Scaling scaling = las::Scaling::of(h);
    // No pointer past the mapping is formed when the offset lies beyond the file.
    const uint8_t* record = count > 0 ? file.data() + first : nullptr;
    // Points are zeroed and filled in place a cache-sized chunk at a time: building each one
    // elsewhere and copying it in stalls on every point.
    for (size_t done = 0; done < count;) {
        const size_t chunk =
            count - done < las::kReadChunkPoints ? count - done : las::kReadChunkPoints;
        LasPnt* out = points->grow(chunk);
        for (size_t i = 0; i < chunk; ++i, record += recordLength) {
            const las::DecodedRecord r = las::decodeRecord1x(record, scaling, layout);
            out[i].pnt.x = las::toFloat(r.x);
            out[i].pnt.y = las::toFloat(r.y);
            out[i].pnt.z = las::toFloat(r.z);
            out[i].pnt.attr = r.intensity;
            out[i].classification = r.classification;
        }
        done += chunk;
    }
    header = h;
    *pool = points.release();
    return static_cast<long>(count);
}

namespace orv {

long orvReadLas(const char* path, LasPntPool** pool, IOrvProgress*) {
    try {
        COrvReadLas reader;
        LasHeader header;
        return reader.ReadLasFile(path, pool, header) >= 0 ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

PLasPntPool* PointsToPool(LasPntPool* pool) {
    if (!pool) return nullptr;
    PLasPntPool* pointers = newPLasPntPool();
    if (!pointers) return nullptr;
    try {
        pointers->reserve(pool->size());
    } catch (const std::bad_alloc&) {
        OrvPtr<PLasPntPool> drop(pointers);
        return nullptr;
    }
    pool->rewind();
    while (LasPnt* point = pool->next()) pointers->add(&point);
    return pointers;
}

}  // namespace orv
