// The HeightAboveGround extra dimension: its description in the extra-bytes VLR.
#include <cstring>
#include <string>

#include "OrvLasPoints.h"
#include "OrvTerrain.h"

namespace orv {
namespace {

constexpr size_t kDescriptorBytes = 192;
constexpr uint8_t kFloatType = 9;  // the extra-bytes VLR's code for float32

std::vector<uint8_t> descriptor(uint8_t type, uint8_t options, const std::string& name,
                                const std::string& description) {
    std::vector<uint8_t> d(kDescriptorBytes, 0);
    d[2] = type, d[3] = options;
    std::memcpy(d.data() + 4, name.data(), std::min<size_t>(name.size(), 32));
    std::memcpy(d.data() + 160, description.data(), std::min<size_t>(description.size(), 32));
    return d;
}

LasVlr* extraBytesVlr(LasFileHeader& h) {
    for (LasVlr& v : h.vlrs)
        if (v.userId == "LASF_Spec" && v.recordId == 4) return &v;
    h.vlrs.push_back({});
    LasVlr& v = h.vlrs.back();
    v.userId = "LASF_Spec", v.recordId = 4, v.description = "Extra bytes";
    return &v;
}

}  // namespace

int lasHeightField(LasFileHeader& h, size_t* offset, std::string* error) {
    const size_t standard = lasStandardRecordLength(h.pointFormat);
    if (standard == 0) {
        if (error) *error = "unknown point format";
        return -1;
    }
    for (const LasExtraField& f : lasExtraFields(h))
        if (f.name == kHeightFieldName && f.dataType == kFloatType) {
            *offset = standard + f.offset;
            return 0;
        }
    const size_t extra = lasExtraByteCount(h);
    if (h.recordLength + 4 > 65535) {
        if (error) *error = "the records are too long for another field";
        return -1;
    }
    size_t described = 0;
    for (const LasExtraField& f : lasExtraFields(h)) described = f.offset + f.size;
    LasVlr* v = extraBytesVlr(h);
    // Bytes no field describes keep their place under an untyped field of their own.
    for (size_t gap = extra - described; gap > 0;) {
        const size_t part = std::min<size_t>(gap, 255);
        const auto d = descriptor(0, static_cast<uint8_t>(part), "undescribed", "");
        v->payload.insert(v->payload.end(), d.begin(), d.end());
        gap -= part;
    }
    const auto d = descriptor(kFloatType, 0, kHeightFieldName, "Height above ground");
    v->payload.insert(v->payload.end(), d.begin(), d.end());
    *offset = h.recordLength;
    h.recordLength = static_cast<uint16_t>(h.recordLength + 4);
    return 0;
}

}  // namespace orv
