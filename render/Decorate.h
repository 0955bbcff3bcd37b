// The marks drawn over a rendered picture: a scale bar and a legend, in a small bitmap font.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OrvRender.h"

namespace orv::render {

struct LegendEntry {
    uint8_t rgb[3];
    std::string text;
};

// A colour ramp with its end labels (`ramp`), or a list of swatches; nothing when both are empty.
struct Legend {
    std::string title;
    enum class Ramp { kNone, kColour, kGrey } ramp = Ramp::kNone;
    std::string low, high;
    std::vector<LegendEntry> entries;
};

// Draws the scale bar (map `units` per picture unit of image.cell) bottom left and the legend top
// right; marks that do not fit are clipped to the picture.
void decorate(RenderImage& image, const Legend& legend, const char* units);

// A length near `target` that reads well on a scale bar: 1, 2 or 5 times a power of ten.
double niceLength(double target);

}  // namespace orv::render
