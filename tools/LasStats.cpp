#include "LasStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "Command.h"
#include "OrvLasPoints.h"

namespace orvter {
namespace {

// A running summary (Welford's update, steady for large counts).
template <class T>
void add(DimensionStats& d, const T* values, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const auto v = static_cast<double>(values[i]);
        if (d.count == 0 || v < d.min) d.min = v;
        if (d.count == 0 || v > d.max) d.max = v;
        ++d.count;
        const double delta = v - d.mean;
        d.mean += delta / static_cast<double>(d.count);
        d.m2 += delta * (v - d.mean);
    }
}

template <class T>
T* sized(std::vector<T>& v, size_t n) {
    v.resize(n);
    return v.data();
}

const char* const kTypeNames[] = {"bytes", "uint8",  "int8",  "uint16", "int16", "uint32",
                                  "int32", "uint64", "int64", "float",  "double"};

// Types 11 to 30 are pairs and triples of the first ten ("uint16[3]").
std::string typeName(uint8_t dataType) {
    if (dataType <= 10) return kTypeNames[dataType];
    if (dataType > 30) return "bytes";
    const unsigned base = (dataType - 1u) % 10u + 1u, count = dataType <= 20 ? 2u : 3u;
    return std::string(kTypeNames[base]) + "[" + std::to_string(count) + "]";
}

// The field read as doubles, scaled when it says so: what its statistics are taken of.
orv::LasExtraField asDoubles(orv::LasExtraField f) {
    f.options |= 0x08;  // lasExtraFields leaves the scale at 1 where none is given
    return f;
}

}  // namespace

std::string DimensionStats::text(double value, bool derived) const {
    if (decimals >= 0) return formatFixed(derived ? roundedTo(value, decimals) : value, decimals);
    if (single) return formatNumber(static_cast<float>(value));
    if (!derived) return formatNumber(value);
    // A mean or a deviation summed over millions of points is good to about ten digits: the
    // rest would be the rounding of the sums.
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.10g", value);
    return formatNumber(readBack(digits));
}

double DimensionStats::stddev() const {
    return count > 1 ? std::sqrt(m2 / static_cast<double>(count)) : 0.0;
}

double PointStats::density() const {
    const double area = (hi[0] - lo[0]) * (hi[1] - lo[1]);
    return points && area > 0 ? static_cast<double>(points) / area : 0.0;
}

const char* className(unsigned value) {
    static const char* const kNames[] = {
        "Never classified",  "Unclassified",    "Ground",         "Low vegetation",
        "Medium vegetation", "High vegetation", "Building",       "Low point (noise)",
        "Model key point",   "Water",           "Rail",           "Road surface",
        "Overlap",           "Wire guard",      "Wire conductor", "Transmission tower",
        "Wire connector",    "Bridge deck",     "High noise"};
    if (value < sizeof kNames / sizeof *kNames) return kNames[value];
    return value < 64 ? "Reserved" : "User defined";
}

std::vector<SchemaEntry> schemaOf(const orv::LasFileHeader& h) {
    // Nothing is known of the fields of a format without a layout.
    if (h.pointFormat > orv::kLasLastPointFormat) return {};
    const orv::LasPointLayout& l = orv::kLasPointLayouts[h.pointFormat];
    std::vector<SchemaEntry> s = {{"X", "int32", 4},
                                  {"Y", "int32", 4},
                                  {"Z", "int32", 4},
                                  {"intensity", "uint16", 2},
                                  {"return_number", "uint8", 1},
                                  {"number_of_returns", "uint8", 1}};
    // Bit fields are listed with the byte that holds them.
    if (l.extendedCore) s.push_back({"scanner_channel", "uint8", 1});
    s.push_back({"classification_flags", "uint8", 1});
    s.push_back({"scan_direction", "uint8", 1});
    s.push_back({"edge_of_flight_line", "uint8", 1});
    s.push_back({"classification", "uint8", 1});
    s.push_back({"scan_angle", l.extendedCore ? "int16" : "int8", l.extendedCore ? 2u : 1u});
    s.push_back({"user_data", "uint8", 1});
    s.push_back({"point_source_id", "uint16", 2});
    if (l.gpsTime >= 0) s.push_back({"gps_time", "double", 8});
    if (l.rgb >= 0)
        for (const char* c : {"red", "green", "blue"}) s.push_back({c, "uint16", 2});
    if (l.nir >= 0) s.push_back({"nir", "uint16", 2});
    if (l.wavePacket >= 0) {
        s.push_back({"wave_packet_index", "uint8", 1});
        s.push_back({"waveform_offset", "uint64", 8});
        s.push_back({"waveform_size", "uint32", 4});
        for (const char* c : {"return_point_location", "x_t", "y_t", "z_t"})
            s.push_back({c, "float", 4});
    }
    for (const orv::LasExtraField& f : orv::lasExtraFields(h))
        s.push_back({f.name, typeName(f.dataType), f.size});
    return s;
}

PointStats scanPoints(orv::LasReader& reader) {
    const orv::LasFileHeader& h = reader.header();
    const orv::LasPointLayout& l = orv::kLasPointLayouts[h.pointFormat];
    const size_t stride = orv::lasExtraByteCount(h);
    std::vector<orv::LasExtraField> extras;
    std::vector<bool> floats;  // an extra field of floats, neither scaled nor offset
    for (const orv::LasExtraField& f : orv::lasExtraFields(h)) {
        if (f.dataType < 1 || f.dataType > 10) continue;
        extras.push_back(asDoubles(f));
        floats.push_back(f.dataType == 9 && !(f.options & 0x18));
    }

    PointStats s;
    s.hasTime = l.gpsTime >= 0;
    // The dimensions in the order they are summed below.
    std::vector<std::string> names = {"x",
                                      "y",
                                      "z",
                                      "intensity",
                                      "return_number",
                                      "number_of_returns",
                                      "classification_flags",
                                      "scan_direction",
                                      "edge_of_flight_line",
                                      "classification",
                                      "scan_angle",
                                      "user_data",
                                      "point_source_id"};
    if (l.extendedCore) names.push_back("scanner_channel");
    if (s.hasTime) names.push_back("gps_time");
    if (l.rgb >= 0) names.insert(names.end(), {"red", "green", "blue"});
    if (l.nir >= 0) names.push_back("nir");
    for (const orv::LasExtraField& f : extras) names.push_back(f.name);
    for (const std::string& n : names) s.dimensions.push_back({n});
    for (int axis = 0; axis < 3; ++axis) s.dimensions[axis].decimals = decimalsOf(h.scale[axis]);
    for (DimensionStats& d : s.dimensions) d.single |= d.name == "scan_angle";  // float degrees
    for (size_t k = 0; k < floats.size(); ++k)
        s.dimensions[s.dimensions.size() - floats.size() + k].single = floats[k];

    constexpr size_t kBlock = 65536;
    std::vector<double> x, y, z, gps, extra;
    std::vector<uint16_t> intensity, source, red, green, blue, nir;
    std::vector<uint8_t> ret, num, flags, dir, edge, cls, user, channel, bytes;
    std::vector<float> angle;
    orv::LasColumns c;
    c.x = sized(x, kBlock), c.y = sized(y, kBlock), c.z = sized(z, kBlock);
    c.intensity = sized(intensity, kBlock), c.returnNumber = sized(ret, kBlock);
    c.numberOfReturns = sized(num, kBlock), c.classificationFlags = sized(flags, kBlock);
    c.scanDirection = sized(dir, kBlock), c.edgeOfFlightLine = sized(edge, kBlock);
    c.classification = sized(cls, kBlock), c.scanAngleDegrees = sized(angle, kBlock);
    c.userData = sized(user, kBlock), c.pointSourceId = sized(source, kBlock);
    if (l.extendedCore) c.scannerChannel = sized(channel, kBlock);
    if (s.hasTime) c.gpsTime = sized(gps, kBlock);
    if (l.rgb >= 0) c.red = sized(red, kBlock), c.green = sized(green, kBlock);
    if (l.rgb >= 0) c.blue = sized(blue, kBlock);
    if (l.nir >= 0) c.nir = sized(nir, kBlock);
    if (!extras.empty()) c.extraBytes = sized(bytes, kBlock * stride), extra.resize(kBlock);

    while (size_t n = reader.read(c, kBlock)) {
        size_t d = 0;
        add(s.dimensions[d++], c.x, n), add(s.dimensions[d++], c.y, n);
        add(s.dimensions[d++], c.z, n), add(s.dimensions[d++], c.intensity, n);
        add(s.dimensions[d++], c.returnNumber, n), add(s.dimensions[d++], c.numberOfReturns, n);
        add(s.dimensions[d++], c.classificationFlags, n);
        add(s.dimensions[d++], c.scanDirection, n), add(s.dimensions[d++], c.edgeOfFlightLine, n);
        add(s.dimensions[d++], c.classification, n), add(s.dimensions[d++], c.scanAngleDegrees, n);
        add(s.dimensions[d++], c.userData, n), add(s.dimensions[d++], c.pointSourceId, n);
        if (c.scannerChannel) add(s.dimensions[d++], c.scannerChannel, n);
        if (c.gpsTime) add(s.dimensions[d++], c.gpsTime, n);
        if (c.red) {
            add(s.dimensions[d++], c.red, n), add(s.dimensions[d++], c.green, n);
            add(s.dimensions[d++], c.blue, n);
        }
        if (c.nir) add(s.dimensions[d++], c.nir, n);
        for (const orv::LasExtraField& f : extras) {
            orv::decodeLasExtraField(f, bytes.data(), stride, n,
                                     reinterpret_cast<uint8_t*>(extra.data()), sizeof(double));
            add(s.dimensions[d++], extra.data(), n);
        }
        for (size_t i = 0; i < n; ++i) {
            ++s.byReturn[ret[i] & 15];
            ++s.classes[cls[i]];
        }
        s.points += n;
    }
    for (int axis = 0; axis < 3; ++axis)
        s.lo[axis] = s.dimensions[axis].min, s.hi[axis] = s.dimensions[axis].max;
    if (s.hasTime) {
        const auto t = std::find_if(s.dimensions.begin(), s.dimensions.end(),
                                    [](const DimensionStats& d) { return d.name == "gps_time"; });
        s.gpsLo = t->min, s.gpsHi = t->max;
    }
    return s;
}

}  // namespace orvter
