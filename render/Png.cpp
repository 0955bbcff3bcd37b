// PNG output through libpng, encoded in memory and then written by the platform's output file
// (complete or not at all). libpng reports errors by longjmp, so the encoding function keeps
// only plain C state between setjmp and the calls that may jump.
#include <png.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "OrvError.h"
#include "OrvRender.h"
#include "platform/Files.h"

namespace orv {
namespace {

struct Sink {
    uint8_t* data;
    size_t size, capacity;
    bool failed;
};

void append(png_structp png, png_bytep bytes, png_size_t count) {
    Sink* sink = static_cast<Sink*>(png_get_io_ptr(png));
    if (sink->failed) return;
    if (sink->size + count > sink->capacity) {
        const size_t capacity = (sink->size + count) * 2;
        void* grown = std::realloc(sink->data, capacity);
        if (!grown) {
            sink->failed = true;
            return;
        }
        sink->data = static_cast<uint8_t*>(grown), sink->capacity = capacity;
    }
    std::memcpy(sink->data + sink->size, bytes, count);
    sink->size += count;
}

void noFlush(png_structp) {}

// Encodes 8-bit RGB rows into `sink`; false on any libpng error.
bool encode(const uint8_t* rgb, png_uint_32 width, png_uint_32 height, Sink* sink) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, sink, append, noFlush);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Zlib's default effort takes several times as long as drawing a large picture, for a file
    // only some per cent smaller.
    png_set_compression_level(png, Z_BEST_SPEED);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_write_info(png, info);
    for (png_uint_32 row = 0; row < height; ++row)
        png_write_row(png, rgb + static_cast<size_t>(row) * width * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return !sink->failed;
}

}  // namespace

void writePng(const char* path, const RenderImage& image) {
    if (image.width <= 0 || image.height <= 0 ||
        image.rgb.size() != static_cast<size_t>(image.width) * image.height * 3)
        throw FileError("encode PNG for", path, EINVAL);
    Sink sink{nullptr, 0, 0, false};
    const bool ok = encode(image.rgb.data(), static_cast<png_uint_32>(image.width),
                           static_cast<png_uint_32>(image.height), &sink);
    struct Free {
        uint8_t* p;
        ~Free() { std::free(p); }
    } owned{sink.data};
    if (!ok) throw FileError("encode PNG for", path, ENOMEM);
    platform::OutputFile out;
    out.create(path);
    out.write(sink.data, sink.size);
    out.close();
}

}  // namespace orv
