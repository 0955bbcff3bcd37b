// What the well-known VLRs say: the extra-bytes descriptions and the coordinate reference system.
#include <algorithm>
#include <cstring>

#include "OrvLasFile.h"
#include "las/LasCodec.h"

namespace orv {
namespace {

// Bytes of one extra-bytes description.
constexpr size_t kExtraDescriptorBytes = 192;

const LasVlr* find(const std::vector<LasVlr>& list, const char* userId, uint16_t recordId) {
    for (const LasVlr& v : list)
        if (v.recordId == recordId && v.userId == userId) return &v;
    return nullptr;
}

const LasVlr* findAny(const LasFileHeader& h, const char* userId, uint16_t recordId) {
    const LasVlr* v = find(h.vlrs, userId, recordId);
    return v ? v : find(h.evlrs, userId, recordId);
}

std::string text(const uint8_t* at, size_t size) {
    size_t n = 0;
    while (n < size && at[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(at), n);
}

// Bytes of an extra-bytes field of type 1 to 30 (11 to 30: pairs and triples of 1 to 10).
uint32_t typeSize(uint8_t type) {
    static const uint8_t kSizes[] = {0, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8};
    if (type >= 1 && type <= 10) return kSizes[type];
    if (type >= 11 && type <= 20) return 2u * kSizes[type - 10];
    if (type >= 21 && type <= 30) return 3u * kSizes[type - 20];
    return 0;
}

}  // namespace

std::vector<LasExtraField> lasExtraFields(const LasFileHeader& h) {
    std::vector<LasExtraField> fields;
    const uint16_t standard = lasStandardRecordLength(h.pointFormat);
    if (standard == 0 || h.recordLength < standard) return fields;
    const uint32_t room = h.recordLength - standard;
    uint32_t offset = 0;
    // Writers may split the descriptions over several records (VLRs and EVLRs): they describe
    // the extra bytes in the order the records come.
    std::vector<const LasVlr*> records;
    for (const auto* list : {&h.vlrs, &h.evlrs})
        for (const LasVlr& v : *list)
            if (v.userId == "LASF_Spec" && v.recordId == 4) records.push_back(&v);
    for (const LasVlr* v : records) {
        for (size_t at = 0; at + kExtraDescriptorBytes <= v->payload.size();
             at += kExtraDescriptorBytes) {
            const uint8_t* d = v->payload.data() + at;
            LasExtraField f;
            f.dataType = d[2];
            f.options = d[3];
            f.name = text(d + 4, 32);
            f.description = text(d + 160, 32);
            // An untyped field keeps its length in the options byte.
            f.size = f.dataType == 0 ? f.options : typeSize(f.dataType);
            if (f.size == 0 || f.size > room - offset) return fields;
            f.offset = offset;
            for (int k = 0; k < 3; ++k) {
                if (f.options & 0x08) f.scale[k] = las::load<double>(d + 112 + 8 * k);
                if (f.options & 0x10) f.offsetValue[k] = las::load<double>(d + 136 + 8 * k);
            }
            offset += f.size;
            fields.push_back(std::move(f));
        }
    }
    return fields;
}

std::vector<uint8_t> lasExtraFieldDescriptor(const LasExtraField& f) {
    std::vector<uint8_t> d(kExtraDescriptorBytes, 0);
    d[2] = f.dataType;
    d[3] = f.dataType == 0 ? static_cast<uint8_t>(f.size) : f.options;
    std::memcpy(d.data() + 4, f.name.data(), std::min<size_t>(f.name.size(), 32));
    std::memcpy(d.data() + 160, f.description.data(), std::min<size_t>(f.description.size(), 32));
    for (int k = 0; k < 3 && f.dataType != 0; ++k) {
        if (f.options & 0x08) las::store(d.data() + 112 + 8 * k, f.scale[k]);
        if (f.options & 0x10) las::store(d.data() + 136 + 8 * k, f.offsetValue[k]);
    }
    return d;
}

std::string lasWkt(const LasFileHeader& h) {
    const LasVlr* v = findAny(h, "LASF_Projection", 2112);
    return v ? text(v->payload.data(), v->payload.size()) : std::string();
}

uint32_t lasEpsgCode(const LasFileHeader& h) {
    const LasVlr* v = findAny(h, "LASF_Projection", 34735);
    if (!v || v->payload.size() < 8) return 0;
    const uint8_t* p = v->payload.data();
    const size_t keys = las::load<uint16_t>(p + 6);
    uint32_t geographic = 0;
    for (size_t k = 0; k < keys && 8 + 8 * (k + 1) <= v->payload.size(); ++k) {
        const uint8_t* e = p + 8 + 8 * k;
        const uint16_t id = las::load<uint16_t>(e), location = las::load<uint16_t>(e + 2);
        const uint16_t value = las::load<uint16_t>(e + 6);
        // Only a value held in the key itself is a code; 32767 means "user-defined".
        if (location != 0 || value == 0 || value == 32767) continue;
        if (id == 3072) return value;
        if (id == 2048) geographic = value;
    }
    return geographic;
}

}  // namespace orv
