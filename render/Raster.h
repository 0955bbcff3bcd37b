// The pass over the points of a picture: per pixel the highest point's z and attributes and the
// number of points.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OrvLasFile.h"
#include "OrvRender.h"

namespace orv::render {

// Per pixel, the attributes of its highest point that the colouring needs.
struct Attributes {
    std::vector<uint8_t> classification;
    std::vector<uint16_t> intensity;
    std::vector<uint16_t> rgb;  // three a pixel
};

// Draws the points of `path` (opened as `reader`) into image.top and image.count, whose layout
// is set; a COPC file gives only the nodes the box touches, down to the level whose point
// spacing reaches a pixel. Several threads each take a share of the points into a picture of
// their own, merged at the end as one pass in file order would have drawn it. False with
// `error` on a damaged COPC hierarchy or chunk; reading failures throw orv::FileError.
bool rasterise(const char* path, LasReader& reader, RenderBy by, unsigned threads,
               RenderImage& image, Attributes& attributes, std::string& error);

}  // namespace orv::render
