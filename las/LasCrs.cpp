// The CRS records of LAS: the WKT record (user "LASF_Projection", record 2112) and the GeoTIFF
// key directory (34735, with its double and ASCII parameters 34736 and 34737).
#include <algorithm>
#include <cmath>
#include <vector>

#include "OrvLasCrs.h"
#include "las/LasCodec.h"
#include "las/LasRecords.h"

namespace orv {
namespace {

constexpr const char* kProjectionUser = "LASF_Projection";
constexpr uint16_t kWktRecord = 2112, kMathWktRecord = 2111;
constexpr uint16_t kGeoKeyRecord = 34735, kGeoDoubleRecord = 34736, kGeoAsciiRecord = 34737;
constexpr uint16_t kWktBit = 1u << 4;  // global encoding: the CRS is in WKT

// GeoTIFF keys this layer reads and writes.
constexpr uint16_t kModelTypeKey = 1024, kRasterTypeKey = 1025, kGeographicKey = 2048,
                   kProjectedKey = 3072, kVerticalKey = 4096, kVerticalUnitsKey = 4099;
constexpr uint16_t kModelProjected = 1, kModelGeographic = 2, kRasterPixelIsArea = 1;
constexpr uint16_t kUserDefined = 32767;

bool isProjectionRecord(const LasVlr& v) {
    return v.userId == kProjectionUser &&
           (v.recordId == kWktRecord || v.recordId == kMathWktRecord ||
            v.recordId == kGeoKeyRecord || v.recordId == kGeoDoubleRecord ||
            v.recordId == kGeoAsciiRecord);
}

const LasVlr* findRecord(const LasFileHeader& h, uint16_t recordId) {
    for (const auto* list : {&h.vlrs, &h.evlrs})
        for (const LasVlr& v : *list)
            if (v.recordId == recordId && v.userId == kProjectionUser) return &v;
    return nullptr;
}

// The codes a key directory holds in its keys themselves (never those kept elsewhere, nor the
// user-defined 32767): a bounded walk over the entries the payload has room for.
struct GeoKeyCodes {
    uint16_t geographic = 0, projected = 0, vertical = 0;
};
GeoKeyCodes readGeoKeys(const LasVlr& v) {
    GeoKeyCodes c;
    const std::vector<uint8_t>& p = v.payload;
    if (p.size() < 8) return c;
    const size_t keys = las::load<uint16_t>(p.data() + 6);
    for (size_t k = 0; k < keys && 8 + 8 * (k + 1) <= p.size(); ++k) {
        const uint8_t* e = p.data() + 8 + 8 * k;
        const uint16_t id = las::load<uint16_t>(e), location = las::load<uint16_t>(e + 2);
        const uint16_t value = las::load<uint16_t>(e + 6);
        if (location != 0 || value == 0 || value == kUserDefined) continue;
        if (id == kGeographicKey) c.geographic = value;
        if (id == kProjectedKey) c.projected = value;
        if (id == kVerticalKey) c.vertical = value;
    }
    return c;
}

void putKey(std::vector<uint8_t>& p, uint16_t id, uint16_t value) {
    for (uint16_t field : {id, uint16_t{0}, uint16_t{1}, value}) {
        p.push_back(static_cast<uint8_t>(field & 0xFF));
        p.push_back(static_cast<uint8_t>(field >> 8));
    }
}

// The EPSG code of a part as a GeoTIFF key value, or 0 when it has none that fits.
uint16_t keyCode(const Crs& part) {
    const int code = part.epsg();
    return code > 0 && code < kUserDefined ? static_cast<uint16_t>(code) : 0;
}

// GeoTIFF's unit codes for metre, foot and US survey foot.
uint16_t verticalUnitCode(double metres) {
    if (std::abs(metres - 1.0) < 1e-12) return 9001;
    if (std::abs(metres - 0.3048) < 1e-12) return 9002;
    if (std::abs(metres - 1200.0 / 3937.0) < 1e-12) return 9003;
    return 0;
}

LasVlr projectionRecord(uint16_t recordId, const char* description) {
    LasVlr v;
    v.userId = kProjectionUser;
    v.recordId = recordId;
    v.description = description;
    return v;
}

// The finest step a geographic target gets at most: 1e-7 degree is about a centimetre.
constexpr double kCoarsestDegreeStep = 1e-7;
// Stored integers stay this far inside int32, so points just beyond the bounds still fit.
constexpr double kIntegerRoom = 0.9 * 2147483647.0;

// The largest power of ten not above `step`: the target keeps at least the input's precision.
double decimalStep(double step) {
    return std::pow(10.0, std::floor(std::log10(step) + 1e-9));
}

}  // namespace

void lasReprojectedQuantisation(const double inScale[3], const Crs& from, const Crs& to,
                                const double min[3], const double max[3], double scale[3],
                                double offset[3]) {
    for (int a = 0; a < 3; ++a) {
        offset[a] = std::isfinite(min[a] + max[a]) ? std::round((min[a] + max[a]) / 2) : 0.0;
        double s = inScale[a];
        if (a < 2) {
            s = decimalStep(s * from.horizontalUnit() / to.horizontalUnit());
            if (to.isGeographic()) s = std::min(s, kCoarsestDegreeStep);
        } else if (from.hasHeight() && to.hasHeight()) {
            s = decimalStep(s * from.verticalUnit() / to.verticalUnit());
        }
        // Wide extents at a fine step: coarser steps until the stored integers fit.
        const double reach = std::max(std::abs(max[a] - offset[a]), std::abs(min[a] - offset[a]));
        while (std::isfinite(reach) && reach / s > kIntegerRoom) s *= 10;
        scale[a] = s;
    }
}

Crs lasCrs(const LasFileHeader& h, std::string* note) {
    std::string why;
    if (const LasVlr* wkt = findRecord(h, kWktRecord)) {
        const std::string text(wkt->payload.begin(), wkt->payload.end());
        Crs c = Crs::fromText(text.substr(0, text.find('\0')), &why);
        if (!c.empty()) return c;
        why = "the WKT record is " + why;
    }
    if (const LasVlr* keys = findRecord(h, kGeoKeyRecord)) {
        const GeoKeyCodes codes = readGeoKeys(*keys);
        const uint16_t horizontal = codes.projected ? codes.projected : codes.geographic;
        if (horizontal) {
            std::string error;
            if (codes.vertical) {
                Crs c = Crs::fromText(
                    "EPSG:" + std::to_string(horizontal) + "+" + std::to_string(codes.vertical),
                    &error);
                if (!c.empty()) return c;
            }
            Crs c = Crs::fromEpsg(horizontal, &error);
            if (!c.empty()) {
                if (codes.vertical && note)
                    *note = "the GeoTIFF keys' vertical code " + std::to_string(codes.vertical) +
                            " is not one PROJ knows with the horizontal one";
                return c;
            }
            why = "the GeoTIFF keys' EPSG code " + std::to_string(horizontal) + " is " + error;
        } else if (why.empty()) {
            why = "the GeoTIFF keys name no EPSG code";
        }
    }
    if (note) *note = why;
    return Crs();
}

bool lasCrsFormFits(const LasFileHeader& h) {
    const bool wkt = findRecord(h, kWktRecord) != nullptr;
    const bool keys = findRecord(h, kGeoKeyRecord) != nullptr;
    const bool bit = (h.globalEncoding & kWktBit) != 0;
    if (!wkt && !keys) return true;
    if (h.versionMinor >= 4 && h.pointFormat >= 6) return wkt && bit && !keys;
    if (h.versionMinor >= 4) return wkt ? bit : !bit;
    return keys && !bit;
}

int lasSetCrs(LasFileHeader& h, const Crs& crs, std::string* error) {
    std::vector<LasVlr> added;
    const bool wkt = h.versionMinor >= 4;
    if (crs.empty()) {
        // Nothing to add.
    } else if (wkt) {
        if (crs.wkt1().empty()) {
            if (error) *error = "the CRS " + crs.name() + " has no WKT1 form for a LAS record";
            return -1;
        }
        LasVlr v = projectionRecord(kWktRecord, "OGC WKT Coordinate System");
        v.payload.assign(crs.wkt1().begin(), crs.wkt1().end());
        v.payload.push_back(0);
        added.push_back(std::move(v));
    } else {
        const Crs horizontal = crs.horizontal(), vertical = crs.vertical();
        const uint16_t code = keyCode(horizontal);
        const uint16_t verticalCode = vertical.empty() ? 0 : keyCode(vertical);
        if (code == 0 || (!vertical.empty() && verticalCode == 0)) {
            if (error)
                *error = "the CRS " + crs.name() + " has no EPSG code" +
                         (code ? " for its vertical part" : "") +
                         ", so GeoTIFF keys cannot describe it; LAS 1.4 can hold it as WKT";
            return -1;
        }
        LasVlr v = projectionRecord(kGeoKeyRecord, "GeoTIFF GeoKeyDirectoryTag");
        std::vector<std::pair<uint16_t, uint16_t>> keys = {
            {kModelTypeKey, horizontal.isGeographic() ? kModelGeographic : kModelProjected},
            {kRasterTypeKey, kRasterPixelIsArea},
            {horizontal.isGeographic() ? kGeographicKey : kProjectedKey, code}};
        if (verticalCode) {
            keys.push_back({kVerticalKey, verticalCode});
            if (const uint16_t unit = verticalUnitCode(crs.verticalUnit()))
                keys.push_back({kVerticalUnitsKey, unit});
        }
        v.payload = {1, 0, 1, 0, 0, 0, static_cast<uint8_t>(keys.size()), 0};
        for (const auto& [id, value] : keys) putKey(v.payload, id, value);
        added.push_back(std::move(v));
    }
    for (auto* list : {&h.vlrs, &h.evlrs})
        list->erase(std::remove_if(list->begin(), list->end(), isProjectionRecord), list->end());
    if (wkt && !crs.empty())
        h.globalEncoding |= kWktBit;
    else
        h.globalEncoding &= static_cast<uint16_t>(~kWktBit);
    for (LasVlr& v : added) (v.payload.size() > 65535 ? h.evlrs : h.vlrs).push_back(std::move(v));
    return 0;
}

size_t lasReprojectRecords(const LasFileHeader& from, const LasFileHeader& to, uint8_t* records,
                           size_t n, CrsTransform& transform, bool& unfit) {
    unfit = false;
    const size_t length = from.recordLength;
    constexpr int kAt[3] = {kLasXOffset, kLasYOffset, kLasZOffset};
    // The coordinates, interleaved; kept by the thread from block to block of a copy.
    thread_local std::vector<double> xyz;
    if (xyz.size() < n * 3) xyz.resize(n * 3);
    double* const p = xyz.data();
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* r = records + i * length;
        for (int a = 0; a < 3; ++a)
            p[i * 3 + a] = las::load<int32_t>(r + kAt[a]) * from.scale[a] + from.offset[a];
    }
    const size_t moved = transform.transform(p, p + 1, p + 2, n, 3 * sizeof(double));
    for (size_t i = 0; i < moved; ++i) {
        int32_t q[3];
        for (int a = 0; a < 3; ++a)
            if (!las::quantise(p[i * 3 + a], to.scale[a], to.offset[a], q[a])) {
                unfit = true;
                return i;
            }
        for (int a = 0; a < 3; ++a) las::store<int32_t>(records + i * length + kAt[a], q[a]);
    }
    return moved;
}

}  // namespace orv
