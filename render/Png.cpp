// PNG output through libpng, encoded in memory and then written by the platform's output file
// (complete or not at all). libpng reports errors by longjmp, so the encoding function keeps
// only plain C state between setjmp and the calls that may jump.
//
// Deflating the pixels takes longer than drawing them, and libpng deflates on one thread: the
// image data is compressed here instead, a run of rows a thread, and handed to libpng as
// finished IDAT chunks that together hold one zlib stream.
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "OrvError.h"
#include "OrvRender.h"
#include "platform/Files.h"
#include "render/Parallel.h"

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

constexpr size_t kLeastBytesPerThread = size_t{1} << 20;

// One run of rows, filtered and deflated as raw deflate blocks. The last run ends the stream;
// the others end on a byte boundary (an empty stored block), so that the next run follows on.
struct Run {
    std::unique_ptr<uint8_t[]> bytes;  // left uninitialised: only what deflate writes is touched
    size_t size = 0;
    uLong adler = 0;   // of the filtered rows
    uLong length = 0;  // their bytes
    bool ok = false;
};

void deflateRows(const uint8_t* rgb, size_t width, size_t first, size_t last, bool end, Run& run) {
    z_stream z{};
    // Run-length matches only: nearly the speed of storing the bytes and most of the size of
    // full matching, on pictures of flat colours and smooth ramps.
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, -15, 8, Z_RLE) != Z_OK) return;
    const size_t rowBytes = width * 3 + 1;
    run.length = static_cast<uLong>(rowBytes * (last - first));
    const size_t capacity = deflateBound(&z, run.length) + 16;  // and the closing empty block
    run.bytes.reset(new uint8_t[capacity]);
    run.adler = adler32(0, nullptr, 0);
    std::vector<uint8_t> row(rowBytes);
    row[0] = 1;  // the sub filter: each byte less the same colour's byte to its left
    z.next_out = run.bytes.get();
    z.avail_out = static_cast<uInt>(capacity);
    bool ok = true;
    for (size_t r = first; r < last && ok; ++r) {
        const uint8_t* in = rgb + r * width * 3;
        std::copy(in, in + 3, row.begin() + 1);
        for (size_t i = 3; i < width * 3; ++i) row[i + 1] = static_cast<uint8_t>(in[i] - in[i - 3]);
        run.adler = adler32(run.adler, row.data(), static_cast<uInt>(rowBytes));
        z.next_in = row.data();
        z.avail_in = static_cast<uInt>(rowBytes);
        const int flush = r + 1 < last ? Z_NO_FLUSH : end ? Z_FINISH : Z_SYNC_FLUSH;
        const int status = deflate(&z, flush);
        ok = z.avail_in == 0 && (status == Z_OK || status == Z_STREAM_END);
    }
    run.size = z.total_out;
    run.ok = ok;
    deflateEnd(&z);
}

// Encodes the runs as PNG into `sink`; false on any libpng error.
bool encode(const std::vector<Run>& runs, uLong adler, png_uint_32 width, png_uint_32 height,
            Sink* sink) {
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
    png_write_info(png, info);
    // An IDAT chunk a run: the zlib header (32 KiB window, fastest level) before the first, the
    // checksum of all the filtered rows after the last.
    static const png_byte kIdat[5] = "IDAT", kIend[5] = "IEND";
    static const png_byte kZlibHeader[2] = {0x78, 0x01};
    const png_byte trailer[4] = {static_cast<png_byte>(adler >> 24),
                                 static_cast<png_byte>(adler >> 16),
                                 static_cast<png_byte>(adler >> 8), static_cast<png_byte>(adler)};
    for (size_t k = 0; k < runs.size(); ++k) {
        const bool first = k == 0, last = k + 1 == runs.size();
        png_write_chunk_start(
            png, kIdat, static_cast<png_uint_32>(runs[k].size + (first ? 2 : 0) + (last ? 4 : 0)));
        if (first) png_write_chunk_data(png, kZlibHeader, 2);
        png_write_chunk_data(png, runs[k].bytes.get(), runs[k].size);
        if (last) png_write_chunk_data(png, trailer, 4);
        png_write_chunk_end(png);
    }
    png_write_chunk(png, kIend, nullptr, 0);
    png_destroy_write_struct(&png, &info);
    return !sink->failed;
}

}  // namespace

void writePng(const char* path, const RenderImage& image, unsigned threads) {
    const size_t width = static_cast<size_t>(std::max(image.width, 0));
    const size_t height = static_cast<size_t>(std::max(image.height, 0));
    if (width == 0 || height == 0 || image.rgb.size() != width * height * 3)
        throw FileError("encode PNG for", path, EINVAL);
    // Runs of at least a megabyte of rows: a thread costs more than deflating less.
    const size_t bytes = (width * 3 + 1) * height;
    const unsigned parts = static_cast<unsigned>(std::clamp<size_t>(
        bytes / kLeastBytesPerThread, 1, std::min<size_t>(height, render::threadsFor(threads))));
    std::vector<Run> runs(parts);
    render::forParts(height, parts, [&](unsigned p, size_t first, size_t last) {
        deflateRows(image.rgb.data(), width, first, last, p + 1 == parts, runs[p]);
    });
    uLong adler = adler32(0, nullptr, 0);
    size_t compressed = 0;
    for (const Run& run : runs) {
        if (!run.ok) throw FileError("encode PNG for", path, ENOMEM);
        adler = adler32_combine(adler, run.adler, static_cast<z_off_t>(run.length));
        compressed += run.size;
    }
    // Room for the whole file, so that the sink never grows by copying.
    Sink sink{static_cast<uint8_t*>(std::malloc(compressed + 1024)), 0, compressed + 1024, false};
    if (!sink.data) throw FileError("encode PNG for", path, ENOMEM);
    struct Free {
        Sink& sink;
        ~Free() { std::free(sink.data); }
    } owned{sink};
    if (!encode(runs, adler, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
                &sink))
        throw FileError("encode PNG for", path, ENOMEM);
    platform::OutputFile out;
    out.create(path);
    out.write(sink.data, sink.size);
    out.close();
}

}  // namespace orv
