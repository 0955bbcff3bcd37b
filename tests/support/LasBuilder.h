// Builds LAS files byte by byte for tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "OrvBasic.h"
#include "OrvLasFormat.h"

namespace orvtest {

// A point as the writers take it; the fields no writer reads stay zero.
inline LasPnt makePnt(float x, float y, float z, uint16_t intensity = 0, uint8_t ret = 0,
                      uint8_t cls = 0, uint8_t source = 0) {
    LasPnt p;
    p.pnt = orv::XPnt3f(x, y, z, intensity);
    p.returnNumber = ret;
    p.classification = cls;
    p.pointSource = source;
    return p;
}

struct RawRecord {
    int32_t x = 0, y = 0, z = 0;
    uint16_t intensity = 0;
    uint8_t returnByte = 0;
    uint8_t classification = 0;
};

// A 1.x file: header, `gap` bytes, then records of `recordLength` bytes.
class LasBuilder {
public:
    LasBuilder() {
        std::memcpy(header.signature, "LASF", 4);
        header.versionMajor = 1;
        header.versionMinor = 2;
        header.headerSize = sizeof(LasHeader);
        header.pointDataRecordLength = 20;
        header.xScale = header.yScale = header.zScale = 0.001;
    }

    LasBuilder& add(const RawRecord& r) {
        records.push_back(r);
        return *this;
    }

    // The file's bytes; the header's count and offset follow the records unless set by hand.
    std::vector<uint8_t> bytes() const {
        LasHeader h = header;
        const size_t headerBytes = sizeof(LasHeader) + (with14 ? sizeof(Las14Extension) : 0);
        if (!keepOffset) h.offsetToPointData = static_cast<uint32_t>(headerBytes + gap);
        if (!keepCount) h.numberOfPointRecords = static_cast<uint32_t>(records.size());
        std::vector<uint8_t> out(headerBytes);
        std::memcpy(out.data(), &h, sizeof h);
        if (with14) std::memcpy(out.data() + sizeof h, &extension, sizeof extension);
        out.resize(h.offsetToPointData > out.size() ? h.offsetToPointData : out.size(), 0xEE);
        for (const RawRecord& r : records) {
            // Shorter lengths (tests of refused files) keep the first bytes of the 16.
            std::vector<uint8_t> rec(h.pointDataRecordLength > 16 ? h.pointDataRecordLength : 16,
                                     0xAB);
            std::memcpy(&rec[0], &r.x, 4);
            std::memcpy(&rec[4], &r.y, 4);
            std::memcpy(&rec[8], &r.z, 4);
            std::memcpy(&rec[12], &r.intensity, 2);
            rec[14] = r.returnByte;
            rec[15] = r.classification;
            rec.resize(h.pointDataRecordLength);
            out.insert(out.end(), rec.begin(), rec.end());
        }
        return out;
    }

    LasHeader header;
    std::vector<RawRecord> records;
    uint32_t gap = 0;
    bool keepOffset = false;  // use header.offsetToPointData as set
    bool keepCount = false;   // use header.numberOfPointRecords as set
    bool with14 = false;      // write `extension` after the 227 bytes (a 1.4 header)
    Las14Extension extension;
};

struct Raw20Record {
    double x = 0, y = 0, z = 0;
    uint16_t intensity = 0;
    uint8_t returnByte = 0;
    uint8_t classification = 0;
};

// A file of the 2.0 layout: 322-byte header, `gap` bytes, then records of `recordLength` bytes.
class Las20Builder {
public:
    Las20Builder() {
        header.versionMajor = '2';
        header.pointRecordLength = 32;
    }

    Las20Builder& add(const Raw20Record& r) {
        records.push_back(r);
        return *this;
    }

    std::vector<uint8_t> bytes() const {
        Las2Header h = header;
        if (!keepOffset) h.offsetToPointData = static_cast<uint32_t>(sizeof(Las2Header) + gap);
        if (!keepCount) h.numberOfPointRecords = static_cast<uint32_t>(records.size());
        std::vector<uint8_t> out(sizeof h);
        std::memcpy(out.data(), &h, sizeof h);
        out.resize(h.offsetToPointData > out.size() ? h.offsetToPointData : out.size(), 0xEE);
        for (const Raw20Record& r : records) {
            std::vector<uint8_t> rec(h.pointRecordLength > 28 ? h.pointRecordLength : 28, 0xAB);
            std::memcpy(&rec[0], &r.x, 8);
            std::memcpy(&rec[8], &r.y, 8);
            std::memcpy(&rec[16], &r.z, 8);
            std::memcpy(&rec[24], &r.intensity, 2);
            rec[26] = r.returnByte;
            rec[27] = r.classification;
            rec.resize(h.pointRecordLength);
            out.insert(out.end(), rec.begin(), rec.end());
        }
        return out;
    }

    Las2Header header;
    std::vector<Raw20Record> records;
    uint32_t gap = 0;
    bool keepOffset = false;
    bool keepCount = false;
};

}  // namespace orvtest
