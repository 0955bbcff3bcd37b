// PNG output through libpng's simplified interface: it reports failures by return value, so no
// setjmp crosses C++ frames.
#include <png.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "OrvError.h"
#include "OrvRender.h"
#include "platform/Files.h"

namespace orv {

void writePng(const char* path, const RenderImage& image) {
    if (image.width <= 0 || image.height <= 0 ||
        image.rgb.size() != static_cast<size_t>(image.width) * image.height * 3)
        throw FileError("encode PNG for", path, EINVAL);
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    // The first call measures, the second encodes.
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&png, nullptr, &size, 0, image.rgb.data(), 0, nullptr))
        throw FileError("encode PNG for", path, ENOMEM);
    std::vector<uint8_t> bytes(size);
    if (!png_image_write_to_memory(&png, bytes.data(), &size, 0, image.rgb.data(), 0, nullptr))
        throw FileError("encode PNG for", path, ENOMEM);
    platform::OutputFile out;
    out.create(path);
    out.write(bytes.data(), size);
    out.close();
}

}  // namespace orv
