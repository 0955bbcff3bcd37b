// The top view: the layout of the picture, one pass over the records (render/Raster.cpp) keeping
// per pixel the highest point's z and attributes and the count; colours, shading and marks come
// after, from the pixels alone.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "OrvLasFile.h"
#include "OrvRender.h"
#include "render/Decorate.h"
#include "render/LargeArray.h"
#include "render/Parallel.h"
#include "render/Raster.h"

namespace orv {
namespace {

using render::Attributes;

constexpr int kMaxSide = 32768;            // pixels on a side
constexpr size_t kMaxPixels = 128u << 20;  // about 2.5 GiB of pixel state at the most

// The ramp's stops: dark blue through green and yellow to red-brown, readable on white.
constexpr uint8_t kRampStops[][3] = {{48, 18, 120},  {40, 110, 190}, {30, 170, 150}, {120, 200, 70},
                                     {240, 210, 50}, {230, 120, 40}, {150, 40, 30}};

struct ClassStyle {
    uint8_t rgb[3];
    const char* name;
};
// The standard classification codes 0 to 18.
constexpr ClassStyle kClasses[] = {
    {{170, 170, 170}, "Never classified"},
    {{120, 120, 120}, "Unclassified"},
    {{160, 110, 60}, "Ground"},
    {{170, 220, 120}, "Low vegetation"},
    {{80, 180, 60}, "Medium vegetation"},
    {{20, 110, 30}, "High vegetation"},
    {{220, 60, 50}, "Building"},
    {{250, 0, 250}, "Low point (noise)"},
    {{240, 170, 220}, "Model key-point"},
    {{40, 100, 230}, "Water"},
    {{110, 60, 20}, "Rail"},
    {{60, 60, 60}, "Road surface"},
    {{250, 200, 0}, "Overlap"},
    {{200, 200, 0}, "Wire guard"},
    {{230, 230, 50}, "Wire conductor"},
    {{255, 140, 0}, "Transmission tower"},
    {{200, 120, 0}, "Wire connector"},
    {{140, 140, 200}, "Bridge deck"},
    {{255, 0, 120}, "High noise"},
};
constexpr ClassStyle kOtherClass = {{0, 200, 200}, "Other"};

const ClassStyle& classStyle(uint8_t code) {
    return code < sizeof kClasses / sizeof kClasses[0] ? kClasses[code] : kOtherClass;
}

// The ramp in steps, computed once: a pixel's colour is a table look-up.
constexpr int kRampSteps = 4096;
struct RampTable {
    uint8_t rgb[kRampSteps][3];
    RampTable() {
        constexpr int kLast = sizeof kRampStops / sizeof kRampStops[0] - 1;
        for (int step = 0; step < kRampSteps; ++step) {
            const double at = static_cast<double>(step) / (kRampSteps - 1) * kLast;
            const int i = std::min(kLast - 1, static_cast<int>(at));
            const double f = at - i;
            // Rounded by adding a half: every value is between two stops, never negative.
            for (int k = 0; k < 3; ++k)
                rgb[step][k] = static_cast<uint8_t>(
                    kRampStops[i][k] + (kRampStops[i + 1][k] - kRampStops[i][k]) * f + 0.5);
        }
    }
};
const RampTable& rampTable() {
    static const RampTable table;
    return table;
}

// The ramp's colour at t, clamped to [0, 1] (NaN taken as 0).
inline const uint8_t* ramp(const RampTable& table, double t) {
    t = std::isnan(t) ? 0.0 : std::clamp(t, 0.0, 1.0);
    return table.rgb[static_cast<int>(t * (kRampSteps - 1) + 0.5)];
}

// The value at fraction `q` of the values (reordered).
template <class T>
T quantile(std::vector<T>& values, double q) {
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(q * (values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                     values.end());
    return values[at];
}

// Every k-th of the pixel values that `keep` accepts, k chosen so that at most kQuantileSample
// are taken: percentiles of a large picture from a sample, in a fixed pattern.
template <class T, class Keep>
std::vector<T> sample(const std::vector<T>& values, Keep keep) {
    constexpr size_t kQuantileSample = 1u << 20;
    const size_t stride = values.size() / kQuantileSample + 1;
    std::vector<T> out;
    for (size_t i = 0; i < values.size(); i += stride)
        if (keep(i)) out.push_back(values[i]);
    return out;
}

// What the picture covers: map box, pixels, cell. False with `error` when nothing can be drawn.
bool layout(const RenderOptions& o, const double box[4], RenderImage& image, std::string& error) {
    for (int k = 0; k < 4; ++k)
        if (!std::isfinite(box[k])) return error = "the map box is not finite", false;
    double dx = box[2] - box[0], dy = box[3] - box[1];
    if (dx < 0 || dy < 0)
        return error = "the map box is empty (its minimum exceeds its maximum)", false;
    if (o.width < 0 || o.height < 0 || o.longSide < 0)
        return error = "the picture size is negative", false;
    int w = o.width, h = o.height;
    if (w == 0 && h == 0) {
        if (o.longSide == 0) return error = "the picture size is zero", false;
        (dx >= dy ? w : h) = o.longSide;
    }
    // A box without width or height (a single point, a line) still gets square pixels.
    if (dx == 0 && dy == 0) dx = dy = 1;
    double cell;
    if (w > 0 && h > 0) {
        cell = std::max(dx / w, dy / h);
    } else if (w > 0) {
        cell = dx > 0 ? dx / w : dy / w;
        h = static_cast<int>(std::min<double>(kMaxSide + 1, std::ceil(dy / cell - 1e-9)));
    } else {
        cell = dy > 0 ? dy / h : dx / h;
        w = static_cast<int>(std::min<double>(kMaxSide + 1, std::ceil(dx / cell - 1e-9)));
    }
    w = std::max(w, 1), h = std::max(h, 1);
    if (w > kMaxSide || h > kMaxSide || static_cast<size_t>(w) * h > kMaxPixels)
        return error = "the picture would be " + std::to_string(w) + " x " + std::to_string(h) +
                       " pixels; at most " + std::to_string(kMaxSide) + " on a side",
               false;
    if (!(cell > 0) || !std::isfinite(cell)) return error = "the map box is too small", false;
    image.width = w, image.height = h, image.cell = cell;
    image.box[0] = box[0];
    image.box[3] = box[3];
    // The far edges: the pixels' extent, and never short of the box asked for.
    image.box[2] = std::max(box[2], box[0] + w * cell);
    image.box[1] = std::min(box[1], box[3] - h * cell);
    return true;
}

// The records' bounds, for a header whose own cannot be trusted (not finite, or inverted).
void measureBounds(LasReader& reader, double box[4]) {
    box[0] = box[1] = std::numeric_limits<double>::infinity();
    box[2] = box[3] = -box[0];
    constexpr size_t kBlock = 65536;
    std::vector<double> x(kBlock), y(kBlock);
    LasColumns c;
    c.x = x.data(), c.y = y.data();
    while (size_t n = reader.read(c, kBlock))
        for (size_t i = 0; i < n; ++i) {
            if (!std::isfinite(x[i]) || !std::isfinite(y[i])) continue;
            box[0] = std::min(box[0], x[i]), box[2] = std::max(box[2], x[i]);
            box[1] = std::min(box[1], y[i]), box[3] = std::max(box[3], y[i]);
        }
    if (box[0] > box[2]) box[0] = box[1] = box[2] = box[3] = 0;
    reader.seek(0);
}

// Shades the coloured pixels by the surface of the highest points, lit from the north-west 45
// degrees up: a pixel facing the light keeps its colour, one facing away keeps 30 % of it.
// Empty neighbours count as level with the pixel.
void hillshade(RenderImage& image, unsigned threads) {
    const int w = image.width, h = image.height;
    const double s = std::sqrt(0.5);
    const double lx = -s * s, ly = s * s, lz = s;  // towards the light: west, north, up
    auto zAt = [&](int col, int row, float here) {
        if (col < 0 || row < 0 || col >= w || row >= h) return here;
        const float v = image.top[static_cast<size_t>(row) * w + col];
        return std::isnan(v) ? here : v;
    };
    render::forParts(static_cast<size_t>(h), threads, [&](unsigned, size_t begin, size_t end) {
        for (int row = static_cast<int>(begin); row < static_cast<int>(end); ++row)
            for (int col = 0; col < w; ++col) {
                const size_t at = static_cast<size_t>(row) * w + col;
                const float here = image.top[at];
                if (std::isnan(here)) continue;
                const double dzdx =
                    (zAt(col + 1, row, here) - zAt(col - 1, row, here)) / (2 * image.cell);
                const double dzdn =
                    (zAt(col, row - 1, here) - zAt(col, row + 1, here)) / (2 * image.cell);
                const double len = std::sqrt(dzdx * dzdx + dzdn * dzdn + 1);
                const double lit = std::max(0.0, (-dzdx * lx - dzdn * ly + lz) / len);
                const double f = 0.3 + 0.7 * static_cast<float>(lit);
                // Rounded by adding a half: the values are never negative.
                for (int k = 0; k < 3; ++k)
                    image.rgb[at * 3 + k] = static_cast<uint8_t>(image.rgb[at * 3 + k] * f + 0.5);
            }
    });
}

// The GeoTIFF keys' ProjLinearUnitsGeoKey (3076), or 0.
uint16_t geoTiffLinearUnits(const LasFileHeader& header) {
    for (const LasVlr& v : header.vlrs) {
        if (v.userId != "LASF_Projection" || v.recordId != 34735 || v.payload.size() < 8) continue;
        auto at = [&](size_t i) {
            return static_cast<uint16_t>(v.payload[i * 2] | v.payload[i * 2 + 1] << 8);
        };
        const size_t keys = std::min<size_t>(at(3), v.payload.size() / 8 - 1);
        for (size_t k = 1; k <= keys; ++k)
            if (at(k * 4) == 3076 && at(k * 4 + 1) == 0) return at(k * 4 + 3);
    }
    return 0;
}

// The name of the map unit for the scale bar and legend; empty when the file does not say.
std::string unitsOf(const LasFileHeader& header) {
    const std::string wkt = lasWkt(header);
    const uint32_t epsg = lasEpsgCode(header);
    if (wkt.rfind("GEOGCS", 0) == 0 || wkt.rfind("GEOGCRS", 0) == 0 || epsg == 4326) return "deg";
    const uint16_t units = geoTiffLinearUnits(header);
    if (units == 9002 || units == 9003 || wkt.find("foot") != std::string::npos ||
        wkt.find("Foot") != std::string::npos)
        return "ft";
    if (units == 9001 || !wkt.empty() || epsg != 0) return "m";
    return "";
}

std::string label(double v) {
    char b[32];
    std::snprintf(b, sizeof b, std::fabs(v) >= 1000 ? "%.0f" : "%.1f", v);
    return b;
}

// Colours the pixels from their state; returns the legend that explains them.
render::Legend colour(RenderBy by, const Attributes& a, RenderImage& image,
                      const std::string& units, unsigned threads) {
    const size_t pixels = image.top.size();
    render::resizeLarge(image.rgb, pixels * 3);
    std::vector<float> tops =
        sample(image.top, [&](size_t i) { return !std::isnan(image.top[i]); });
    if (tops.empty()) {
        // A sparse picture can miss the sample's pattern: then every pixel is looked at.
        for (float t : image.top)
            if (!std::isnan(t)) tops.push_back(t);
    }
    if (tops.empty()) {
        for (size_t i = 0; i < pixels; ++i)
            std::copy(kRenderBackground, kRenderBackground + 3, &image.rgb[i * 3]);
        return {};
    }
    image.zLow = quantile(tops, 0.01);
    image.zHigh = quantile(tops, 0.99);
    render::Legend legend;
    const double span = image.zHigh > image.zLow ? image.zHigh - image.zLow : 1.0;
    uint16_t iLow = 0, iHigh = 1;
    bool rgb16 = false;
    uint32_t maxCount = 1;
    if (by == RenderBy::kIntensity) {
        std::vector<uint16_t> values =
            sample(a.intensity, [&](size_t i) { return !std::isnan(image.top[i]); });
        for (size_t i = 0; values.empty() && i < pixels; ++i)
            if (!std::isnan(image.top[i])) values.push_back(a.intensity[i]);
        iLow = quantile(values, 0.02), iHigh = quantile(values, 0.98);
        if (iHigh <= iLow) iHigh = static_cast<uint16_t>(iLow + 1);
    } else if (by == RenderBy::kRgb) {
        rgb16 = *std::max_element(a.rgb.begin(), a.rgb.end()) > 255;
    } else if (by == RenderBy::kDensity) {
        maxCount = std::max<uint32_t>(2, *std::max_element(image.count.begin(), image.count.end()));
    }
    const double perLogCount = 1 / std::log(static_cast<double>(maxCount));
    const RampTable& table = rampTable();
    // Classes seen, counted by each thread apart.
    std::vector<std::vector<uint64_t>> classCounts(threads, std::vector<uint64_t>(256, 0));
    render::forParts(pixels, threads, [&](unsigned part, size_t begin, size_t end) {
        std::vector<uint64_t>& classCount = classCounts[part];
        for (size_t i = begin; i < end; ++i) {
            uint8_t* p = &image.rgb[i * 3];
            if (std::isnan(image.top[i])) {
                std::copy(kRenderBackground, kRenderBackground + 3, p);
                continue;
            }
            switch (by) {
                case RenderBy::kElevation:
                    std::copy_n(ramp(table, (image.top[i] - image.zLow) / span), 3, p);
                    break;
                case RenderBy::kClass:
                    renderClassColour(a.classification[i], p);
                    ++classCount[a.classification[i]];
                    break;
                case RenderBy::kIntensity: {
                    const double t = (static_cast<double>(a.intensity[i]) - iLow) / (iHigh - iLow);
                    p[0] = p[1] = p[2] =
                        static_cast<uint8_t>(std::lround(std::clamp(t, 0.0, 1.0) * 255));
                    break;
                }
                case RenderBy::kRgb:
                    for (int k = 0; k < 3; ++k)
                        p[k] =
                            static_cast<uint8_t>(rgb16 ? a.rgb[i * 3 + k] >> 8 : a.rgb[i * 3 + k]);
                    break;
                case RenderBy::kDensity:
                    std::copy_n(
                        ramp(table, std::log(static_cast<double>(image.count[i])) * perLogCount), 3,
                        p);
                    break;
            }
        }
    });
    std::vector<uint64_t> classCount(256, 0);
    for (const std::vector<uint64_t>& counted : classCounts)
        for (int code = 0; code < 256; ++code) classCount[code] += counted[code];
    switch (by) {
        case RenderBy::kElevation:
            legend.title = units.empty() ? "Elevation" : "Elevation (" + units + ")";
            legend.ramp = render::Legend::Ramp::kColour;
            legend.low = label(image.zLow), legend.high = label(image.zHigh);
            break;
        case RenderBy::kDensity:
            legend.title = "Points/pixel";
            legend.ramp = render::Legend::Ramp::kColour;
            legend.low = "1", legend.high = std::to_string(maxCount);
            break;
        case RenderBy::kIntensity:
            legend.title = "Intensity";
            legend.ramp = render::Legend::Ramp::kGrey;
            legend.low = std::to_string(iLow), legend.high = std::to_string(iHigh);
            break;
        case RenderBy::kClass:
            legend.title = "Class";
            for (int code = 0; code < 256; ++code)
                if (classCount[code]) {
                    render::LegendEntry e{};
                    renderClassColour(static_cast<uint8_t>(code), e.rgb);
                    e.text =
                        std::to_string(code) + " " + renderClassName(static_cast<uint8_t>(code));
                    legend.entries.push_back(e);
                }
            break;
        case RenderBy::kRgb:
            break;
    }
    return legend;
}

}  // namespace

void renderRamp(double t, uint8_t rgb[3]) {
    std::copy_n(ramp(rampTable(), t), 3, rgb);
}

void renderClassColour(uint8_t code, uint8_t rgb[3]) {
    std::copy(classStyle(code).rgb, classStyle(code).rgb + 3, rgb);
}

const char* renderClassName(uint8_t code) {
    return classStyle(code).name;
}

int renderLas(const char* path, const RenderOptions& options, RenderImage& image,
              std::string& error) {
    image = RenderImage{};
    LasReader reader;
    if (reader.open(path) != 0) {
        error = reader.error().empty() ? "cannot read the file" : reader.error();
        return -1;
    }
    const LasFileHeader& h = reader.header();
    if (options.by == RenderBy::kRgb && kLasPointLayouts[h.pointFormat].rgb < 0) {
        error = "point format " + std::to_string(h.pointFormat) + " has no colours";
        return -1;
    }
    double box[4] = {0, 0, 0, 0};
    if (options.useBox) {
        std::copy(options.box, options.box + 4, box);
    } else {
        box[0] = h.min[0], box[1] = h.min[1], box[2] = h.max[0], box[3] = h.max[1];
        bool trusted = true;
        for (double v : box) trusted = trusted && std::isfinite(v);
        if (!trusted || box[0] > box[2] || box[1] > box[3]) measureBounds(reader, box);
    }
    if (!layout(options, box, image, error)) return -1;
    Attributes attributes;
    const unsigned threads = render::threadsFor(options.threads);
    if (!render::rasterise(path, reader, options.by, threads, image, attributes, error)) return -1;
    const std::string units = unitsOf(h);
    const render::Legend legend = colour(options.by, attributes, image, units, threads);
    if (options.hillshade) hillshade(image, threads);
    if (options.decorations) render::decorate(image, legend, units.c_str());
    return 0;
}

bool renderByName(const std::string& name, RenderBy& by) {
    static const std::pair<const char*, RenderBy> kNames[] = {{"elevation", RenderBy::kElevation},
                                                              {"class", RenderBy::kClass},
                                                              {"intensity", RenderBy::kIntensity},
                                                              {"rgb", RenderBy::kRgb},
                                                              {"density", RenderBy::kDensity}};
    for (const auto& [text, value] : kNames)
        if (name == text) {
            by = value;
            return true;
        }
    return false;
}

}  // namespace orv
