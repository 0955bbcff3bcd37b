#include "las/LasHeaderWrite.h"

#include <cstring>

#include "las/LasBytes.h"
#include "las/LasHeaderModel.h"
#include "las/LasLimits.h"

namespace orv::las {

void putText(uint8_t* at, size_t size, const std::string& text) {
    std::memset(at, 0, size);
    std::memcpy(at, text.data(), text.size() < size ? text.size() : size);
}

std::vector<uint8_t> headerBytes(const LasFileHeader& h) {
    const uint16_t standard = standardHeaderSize(h.versionMajor, h.versionMinor);
    std::vector<uint8_t> b(standard + h.headerExtra.size(), 0);
    uint8_t* p = b.data();
    std::memcpy(p, "LASF", 4);
    store(p + 4, h.fileSourceId);
    store(p + 6, h.globalEncoding);
    std::memcpy(p + 8, h.guid, 16);
    p[24] = h.versionMajor;
    p[25] = h.versionMinor;
    putText(p + 26, 32, h.systemIdentifier);
    putText(p + 58, 32, h.generatingSoftware);
    store(p + 90, h.creationDay);
    store(p + 92, h.creationYear);
    store(p + 94, h.headerSize);
    store(p + 96, h.offsetToPointData);
    store(p + 100, h.numberOfVlrs);
    p[104] = static_cast<uint8_t>(h.pointFormat | (h.compressed ? 0x80 : 0));
    store(p + 105, h.recordLength);
    store(p + 107, h.legacyPointCount);
    for (int k = 0; k < 5; ++k) store(p + 111 + 4 * k, h.legacyPointsByReturn[k]);
    for (int axis = 0; axis < 3; ++axis) {
        store(p + 131 + 8 * axis, h.scale[axis]);
        store(p + 155 + 8 * axis, h.offset[axis]);
        store(p + 179 + 16 * axis, h.max[axis]);
        store(p + 187 + 16 * axis, h.min[axis]);
    }
    if (standard >= 235) store(p + 227, h.waveformDataOffset);
    if (standard >= kHeaderSize14) {
        store(p + 235, h.evlrOffset);
        store(p + 243, h.numberOfEvlrs);
        store(p + 247, h.pointCount);
        for (int k = 0; k < 15; ++k) store(p + 255 + 8 * k, h.pointsByReturn[k]);
    }
    if (!h.headerExtra.empty())
        std::memcpy(p + standard, h.headerExtra.data(), h.headerExtra.size());
    return b;
}

uint64_t writeVlr(platform::OutputFile& file, const LasVlr& v, bool extended) {
    uint8_t b[kEvlrHeaderBytes];
    store(b, v.reserved);
    putText(b + 2, 16, v.userId);
    store(b + 18, v.recordId);
    if (extended)
        store(b + 20, static_cast<uint64_t>(v.payload.size()));
    else
        store(b + 20, static_cast<uint16_t>(v.payload.size()));
    putText(b + (extended ? 28 : 22), 32, v.description);
    const uint32_t head = extended ? kEvlrHeaderBytes : kVlrHeaderBytes;
    file.write(b, head);
    if (!v.payload.empty()) file.write(v.payload.data(), v.payload.size());
    return head + v.payload.size();
}

void RecordTally::add(const uint8_t* records, size_t n, size_t length, bool extendedCore) {
    if (n == 0) return;
    if (count == 0)
        for (int axis = 0; axis < 3; ++axis)
            lo[axis] = hi[axis] = load<int32_t>(records + kLasXOffset + 4 * axis);
    const uint8_t mask = extendedCore ? 0x0F : 0x07;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* r = records + i * length;
        for (int axis = 0; axis < 3; ++axis) {
            const int32_t v = load<int32_t>(r + kLasXOffset + 4 * axis);
            if (v < lo[axis]) lo[axis] = v;
            if (v > hi[axis]) hi[axis] = v;
        }
        const unsigned ret = r[kLasReturnByteOffset] & mask;
        if (ret >= 1) ++byReturn[ret - 1];
    }
    count += n;
}

}  // namespace orv::las
