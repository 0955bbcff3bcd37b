// Pictures of point clouds: a top view of a LAS or LAZ file, rasterised in one pass over its
// records in memory that grows with the picture, not with the cloud; and PNG output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OrvExport.h"

namespace orv {

// What a pixel's colour says.
enum class RenderBy {
    kElevation,  // the highest point's z on a colour ramp
    kClass,      // the highest point's classification
    kIntensity,  // the highest point's intensity, grey, stretched over its 2nd to 98th percentile
    kRgb,        // the highest point's colour (16-bit values are scaled down)
    kDensity,    // the number of points in the pixel, on the ramp in logarithmic steps
};

// The colouring named "elevation", "class", "intensity", "rgb" or "density"; false for any
// other name.
ORV_API bool renderByName(const std::string& name, RenderBy& by);

struct RenderOptions {
    // Pixels of the picture. With both set, pixels stay square and the box sits in the top left
    // corner; with one set (the other 0), the other follows the box's aspect; with neither,
    // `longSide` pixels go to the box's longer side.
    int width = 0, height = 0;
    int longSide = 1024;
    // The map box to draw (min x, min y, max x, max y); the header's bounds when not `useBox`.
    bool useBox = false;
    double box[4] = {0, 0, 0, 0};
    RenderBy by = RenderBy::kElevation;
    bool hillshade = false;   // shades the colours by the slope of the highest points
    bool decorations = true;  // scale bar and legend
    unsigned threads = 0;     // threads drawing and encoding; 0: one a core
};

// A rendered picture: rows top (north) to bottom, three bytes (red, green, blue) a pixel.
struct RenderImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    // Per pixel, row by row: the highest z that fell in it (NaN where none did) and the count.
    std::vector<float> top;
    std::vector<uint32_t> count;
    // The map box of the picture (min x, min y, max x, max y) and the size of a pixel in map
    // units. Pixel (col, row) holds points with col = floor((x - min x) / cell) and
    // row = floor((max y - y) / cell); points on the box's east or north edge go to its last
    // column or first row.
    double box[4] = {0, 0, 0, 0};
    double cell = 0;
    // The z range the elevation ramp spans (the 1st to 99th percentile of the pixels' top z).
    double zLow = 0, zHigh = 0;
    uint64_t pointsRead = 0, pointsDrawn = 0;
};

// The background of pixels no point fell in.
inline constexpr uint8_t kRenderBackground[3] = {255, 255, 255};

// Renders the records of a LAS or LAZ file. Of a COPC file it reads only the nodes the box touches,
// down to the level whose point spacing reaches the size of a pixel. Returns 0, or -1 with `error`
// set when the file cannot be read or the options make no picture. Reading failures throw
// orv::FileError.
ORV_API int renderLas(const char* path, const RenderOptions& options, RenderImage& image,
                      std::string& error);

// The colour of the elevation (and density) ramp at `t` in [0, 1] (clamped), in 4,096 steps.
ORV_API void renderRamp(double t, uint8_t rgb[3]);
// The colour and name of a classification code (codes without a standard name share one).
ORV_API void renderClassColour(uint8_t code, uint8_t rgb[3]);
ORV_API const char* renderClassName(uint8_t code);

// Writes the picture to a PNG file (8-bit RGB), compressing on `threads` threads (0: one a core).
// Throws orv::FileError when the file cannot be written; the target is replaced only once the
// file is complete.
ORV_API void writePng(const char* path, const RenderImage& image, unsigned threads = 0);

}  // namespace orv
