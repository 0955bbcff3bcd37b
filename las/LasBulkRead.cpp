#include "las/LasBulkRead.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "OrvLas.h"
#include "OrvLasFile.h"
#include "las/LasCodec.h"
#include "las/LasLimits.h"
#include "las/LasOpen.h"
#include "las/LasRecordSource.h"
#include "platform/Files.h"
#include "platform/ReadAhead.h"

namespace orv::las {

COrvReadLas::~COrvReadLas() = default;

long COrvReadLas::ReadLasFile(const char* path, LasPntPool** pool, LasHeader& header) {
    // Plain reads, not a mapping: a file shortened under the reader then ends the read early
    // instead of raising a signal, and the file's pages never count towards the reader's memory.
    platform::InputFile file;
    if (!pool || !file.open(path) || !file.isRegular()) return -1;
    // This reader takes any bytes for a header, signed or not.
    las::OpenRules rules;
    rules.anySignature = true;
    rules.vlrs = false;
    rules.storedWithoutVlr = true;
    rules.fixedHeaderOnly = true;
    las::OpenedLas opened;
    if (las::openRecords(file, rules, opened) != 0) return -1;
    const LasFileHeader& model = opened.header;
    const LasHeader& h = opened.raw;
    if (model.warnings & kLasPointsInHeader) return -1;
    if (opened.compression == las::Compression::kRefused) return -1;
    // Compressed records come through the decoder; the count is then the header's word.
    las::RecordSource* decoder = opened.decoder.get();
    const las::RecordLayout layout =
        las::RecordLayout::forFormat(decoder ? model.pointFormat : h.pointDataFormat);
    const uint64_t recordLength = h.pointDataRecordLength;
    if (recordLength < layout.minLength) return -1;

    const uint64_t count = model.readablePoints;
    if (count > SIZE_MAX / sizeof(LasPnt)) throw std::bad_alloc();

    OrvPtr<LasPntPool> points = newLasPntPool();
    if (!points) throw std::bad_alloc();
    points->reserve(static_cast<size_t>(
        decoder && count > las::kCompressedReservePoints ? las::kCompressedReservePoints : count));
    // Whole records a block at a time into small buffers that stay in the cache: the copy out
    // of the page cache and the decoding then both work on cache-resident bytes.
    const size_t blockRecords = las::kReadBlockBytes / recordLength;
    const size_t bufferRecords = static_cast<size_t>(count < blockRecords ? count : blockRecords);
    const las::Scaling scaling = las::Scaling::of(h);
    m_progress.start(count);
    // Every byte of each point written in place, straight from the block.
    const auto decodeBlock = [&](const uint8_t* record, size_t records) {
        LasPnt* out = points->growForOverwrite(records);
        for (size_t i = 0; i < records; ++i, record += recordLength) {
            const las::DecodedRecord r = las::decodeRecord1x(record, scaling, layout);
            LasPnt& point = out[i];
            point.pnt.x = las::toFloat(r.x);
            point.pnt.y = las::toFloat(r.y);
            point.pnt.z = las::toFloat(r.z);
            point.pnt.attr = r.intensity;
            point.pnt.padding = 0;
            point.classification = r.classification;
            point.returnNumber = 0;
            point.spare = 0;
            point.pointSource = 0;
            point.spareWord = 0;
        }
    };
    if (decoder) {
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[bufferRecords * recordLength]);
        for (uint64_t left = count; left > 0;) {
            const size_t want = static_cast<size_t>(left < bufferRecords ? left : bufferRecords);
            // Damage ends the points at the last intact chunk, as a shortened file does.
            const size_t records = decoder->read(buffer.get(), want);
            points->prepare(points->size(), records);
            decodeBlock(buffer.get(), records);
            m_progress.block(points->size());
            if (records < want) break;
            left -= records;
        }
    } else if (count > 0) {
        if (!file.seek(h.offsetToPointData)) return -1;
        // The pool's memory for a block is backed on the reading thread, just after the block
        // is read: one call instead of a fault per page, off the decoding thread.
        // The pool holds room for every point, so it is not moved while that thread works.
        const LasPntPool& room = *points;
        platform::ReadAhead ahead(file, count * recordLength, bufferRecords * recordLength,
                                  [&room, recordLength](uint64_t offset, size_t bytes) {
                                      room.prepare(static_cast<size_t>(offset / recordLength),
                                                   bytes / recordLength);
                                  });
        size_t bytes = 0;
        while (const uint8_t* block = ahead.next(bytes)) {
            decodeBlock(block, bytes / recordLength);
            m_progress.block(points->size());
        }
        // An error is a refusal, never a partial cloud; a file shortened under us keeps the
        // whole records that were read.
        if (ahead.failed()) return -1;
    }
    header = h;
    const long read = static_cast<long>(points->size());
    m_progress.end(points->size());
    *pool = points.release();
    return read;
}

}  // namespace orv::las

namespace orv {

long orvReadLas(const char* path, LasPntPool** pool, IOrvProgress*) {
    return orvReadLasReporting(path, pool, nullptr);
}

long orvReadLasReporting(const char* path, LasPntPool** pool, const ProgressCallback& progress) {
    try {
        las::COrvReadLas reader;
        reader.setProgress(progress);
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
