// The one table of point dimensions, the text forms of numbers, the thread-count rule and the
// writer an output's name asks for.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "OrvStages.h"

namespace orv {
namespace {

// Point formats holding a dimension, as bit masks.
constexpr uint16_t kAll = 0x7FF;
constexpr uint16_t kExtended = 0x7C0;  // 6-10
constexpr uint16_t kGps = 0x7FA;       // 1, 3-10
constexpr uint16_t kRgb = 0x5AC;       // 2, 3, 5, 7, 8, 10
constexpr uint16_t kNir = 0x500;       // 8, 10

}  // namespace

const std::vector<Dimension>& dimensions() {
    using P = DimPrint;
    using T = DimType;
    static const std::vector<Dimension> table = {
        {DimId::kX, "x", "X", T::kF64, kAll, P::kCoordinate, -1},
        {DimId::kY, "y", "Y", T::kF64, kAll, P::kCoordinate, -1},
        {DimId::kZ, "z", "Z", T::kF64, kAll, P::kCoordinate, -1},
        {DimId::kRawX, "X", nullptr, T::kI32, kAll, P::kInteger, -1},
        {DimId::kRawY, "Y", nullptr, T::kI32, kAll, P::kInteger, -1},
        {DimId::kRawZ, "Z", nullptr, T::kI32, kAll, P::kInteger, -1},
        {DimId::kIntensity, "intensity", "Intensity", T::kU16, kAll, P::kInteger, -1},
        {DimId::kReturnNumber, "return_number", "ReturnNumber", T::kU8, kAll, P::kInteger, -1},
        {DimId::kNumberOfReturns, "number_of_returns", "NumberOfReturns", T::kU8, kAll, P::kInteger,
         -1},
        {DimId::kClassification, "classification", "Classification", T::kU8, kAll, P::kInteger, -1},
        {DimId::kUserData, "user_data", "UserData", T::kU8, kAll, P::kInteger, -1},
        {DimId::kPointSourceId, "point_source_id", "PointSourceId", T::kU16, kAll, P::kInteger, -1},
        {DimId::kScanDirection, "scan_direction", "ScanDirectionFlag", T::kU8, kAll, P::kInteger,
         -1},
        {DimId::kEdgeOfFlightLine, "edge_of_flight_line", "EdgeOfFlightLine", T::kU8, kAll,
         P::kInteger, -1},
        {DimId::kScannerChannel, "scanner_channel", "ScanChannel", T::kU8, kExtended, P::kInteger,
         -1},
        {DimId::kRed, "red", "Red", T::kU16, kRgb, P::kInteger, -1},
        {DimId::kGreen, "green", "Green", T::kU16, kRgb, P::kInteger, -1},
        {DimId::kBlue, "blue", "Blue", T::kU16, kRgb, P::kInteger, -1},
        {DimId::kNir, "nir", "Infrared", T::kU16, kNir, P::kInteger, -1},
        {DimId::kSynthetic, "synthetic", "Synthetic", T::kU8, kAll, P::kInteger, 0},
        {DimId::kKeyPoint, "key_point", "KeyPoint", T::kU8, kAll, P::kInteger, 1},
        {DimId::kWithheld, "withheld", "Withheld", T::kU8, kAll, P::kInteger, 2},
        {DimId::kOverlap, "overlap", "Overlap", T::kU8, kExtended, P::kInteger, 3},
        {DimId::kScanAngle, "scan_angle", "ScanAngleRank", T::kF32, kAll, P::kShortest, -1},
        {DimId::kGpsTime, "gps_time", "GpsTime", T::kF64, kGps, P::kMicros, -1},
    };
    return table;
}

const Dimension* findDimension(const std::string& name) {
    for (const Dimension& d : dimensions())
        if (name == d.name) return &d;
    for (const Dimension& d : dimensions())
        if (d.pdalName && name == d.pdalName) return &d;
    // Pipelines also write ScanAngle and NIR.
    if (name == "ScanAngle") return findDimension("scan_angle");
    if (name == "NIR") return findDimension("nir");
    return nullptr;
}

std::string shortestText(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string fixedText(double value, int decimals) {
    if (decimals < 0 || !std::isfinite(value)) return shortestText(value);
    char buffer[400];  // the widest double in fixed notation fits
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

int scaleDecimals(double scale) {
    if (!(scale > 0.0) || !std::isfinite(scale)) return -1;
    double scaled = scale;
    for (int d = 0; d <= 12; ++d, scaled *= 10.0)
        if (std::fabs(scaled - std::round(scaled)) <= 1e-9 * scaled) return d;
    return -1;
}

namespace {
bool endsWith(const std::string& text, const char* tail) {
    const std::string t(tail);
    if (text.size() < t.size()) return false;
    for (size_t i = 0; i < t.size(); ++i)
        if ((text[text.size() - t.size() + i] | 0x20) != t[i]) return false;
    return true;
}
}  // namespace

std::string writerForName(const std::string& path) {
    if (path == "-") return "las";
    if (endsWith(path, ".copc.laz")) return "copc";
    if (endsWith(path, ".laz")) return "laz";
    if (endsWith(path, ".las")) return "las";
    if (endsWith(path, ".txt") || endsWith(path, ".csv") || endsWith(path, ".xyz")) return "text";
    if (endsWith(path, ".png")) return "png";
    return "";
}

const char* writerExtensions() {
    return ".las, .laz, .copc.laz, .txt, .csv, .xyz, .png";
}

}  // namespace orv
