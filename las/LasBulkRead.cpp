#include "las/LasBulkRead.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "OrvLas.h"
#include "las/LasCodec.h"
#include "las/LasLimits.h"
#include "platform/Files.h"

using namespace orv;

COrvReadLas::~COrvReadLas() = default;

long COrvReadLas::ReadLasFile(const char* path, LasPntPool** pool, LasHeader& header) {
    // Plain reads, not a mapping: a file shortened under the reader then ends the read early
    // instead of raising a signal, and the file's pages never count towards the reader's memory.
    platform::InputFile file;
    if (!pool || !file.open(path) || !file.isRegular()) return -1;
    uint64_t size = file.size();
    if (size < sizeof(LasHeader)) return -1;
    uint8_t head[las::kHeaderSize14];
    const size_t headBytes = file.read(head, sizeof head);
    if (file.readFailed() || headBytes < sizeof(LasHeader)) return -1;
    if (headBytes < sizeof head && headBytes < size) size = headBytes;  // shortened meanwhile
    LasHeader h;
    std::memcpy(&h, head, sizeof h);
    const las::RecordLayout layout = las::RecordLayout::forFormat(h.pointDataFormat);
    const uint64_t recordLength = h.pointDataRecordLength;
    if (recordLength < layout.minLength) return -1;

    Las14Extension extension;
    const bool has14 = las::hasLas14Extension(h, size);
    if (has14) extension = las::loadExtension(head);
    const uint64_t present = las::recordsPresent(h, size, has14 ? &extension : nullptr);
    const uint64_t stated = las::statedPointCount(h, has14 ? &extension : nullptr);
    const uint64_t count = stated < present ? stated : present;
    if (count > SIZE_MAX / sizeof(LasPnt)) throw std::bad_alloc();

    OrvPtr<LasPntPool> points = newLasPntPool();
    if (!points) throw std::bad_alloc();
    points->reserve(static_cast<size_t>(count));
    // Whole records a block at a time into one small buffer that stays in the cache: the copy
    // out of the page cache and the decoding then both work on cache-resident bytes.
    const size_t blockRecords = las::kReadBlockBytes / recordLength;
    const size_t bufferRecords = static_cast<size_t>(count < blockRecords ? count : blockRecords);
    std::unique_ptr<uint8_t[]> buffer;
    if (count > 0) {
        buffer.reset(new uint8_t[bufferRecords * recordLength]);
        if (!file.seek(h.offsetToPointData)) return -1;
    }
    const las::Scaling scaling = las::Scaling::of(h);
    for (uint64_t left = count; left > 0;) {
        const size_t want = static_cast<size_t>(left < bufferRecords ? left : bufferRecords);
        const size_t got = file.read(buffer.get(), want * recordLength);
        if (file.readFailed()) return -1;  // an error is a refusal, never a partial cloud
        const size_t records = got / recordLength;
        const uint8_t* record = buffer.get();
        // Points are zeroed and filled in place a cache-sized chunk at a time: building each
        // one elsewhere and copying it in stalls on every point.
        for (size_t done = 0; done < records;) {
            const size_t chunk =
                records - done < las::kReadChunkPoints ? records - done : las::kReadChunkPoints;
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
        if (records < want) break;  // the file was shortened under us: keep the whole records
        left -= records;
    }
    header = h;
    const long read = static_cast<long>(points->size());
    *pool = points.release();
    return read;
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
