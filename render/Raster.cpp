// Points are drawn a block at a time: first the pixel of every point (a loop without branches,
// which the compiler vectorises), then the pixels' states updated in file order, each fetched a
// few points ahead so that the cache misses of a large picture overlap instead of queueing.
#include "render/Raster.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "OrvCopc.h"
#include "render/LargeArray.h"
#include "render/Parallel.h"

namespace orv::render {
namespace {

constexpr size_t kBlock = 65536;  // records decoded at a time: their columns stay in the cache
constexpr size_t kAhead = 16;     // points ahead whose pixel is fetched
// A thread of its own costs a picture and a merge over every pixel: it must take at least as
// many points as the picture has pixels, and never fewer than this.
constexpr uint64_t kLeastPointsPerThread = uint64_t{1} << 16;
constexpr size_t kMostPixelsPerThread = size_t{32} << 20;  // 256 MiB of pixel state

constexpr float kNone = -std::numeric_limits<float>::infinity();  // no point has fallen in

struct PixelState {
    float top;
    uint32_t count;
};

// One thread's picture. The state past the last pixel takes the points outside the box, so that
// placing a point needs no branch.
struct Partial {
    LargeArray<PixelState> state;
    Attributes attributes;
    uint64_t read = 0;
};

// The picture's box in the terms of the per-point arithmetic.
struct Grid {
    double west, north, east, south, inverseCell, lastCol, lastRow;
    int32_t width, outside;
    bool clampHeights;  // some stored z can be beyond a float's range
    Grid(const RenderImage& image, const LasFileHeader& h)
        : west(image.box[0]),
          north(image.box[3]),
          east(image.box[2]),
          south(image.box[1]),
          inverseCell(1.0 / image.cell),
          lastCol(image.width - 1),
          lastRow(image.height - 1),
          width(image.width),
          outside(image.width * image.height),
          clampHeights(!(std::fabs(h.offset[2]) + 2147483648.0 * std::fabs(h.scale[2]) <
                         std::numeric_limits<float>::max())) {}
};

// A worker's columns for one block of points.
struct Block {
    std::vector<double> x, y, z;
    std::vector<float> height;
    std::vector<uint32_t> pixel;
    std::vector<uint8_t> classification;
    std::vector<uint16_t> intensity, red, green, blue;
    LasColumns columns;

    explicit Block(RenderBy by) : x(kBlock), y(kBlock), z(kBlock), height(kBlock), pixel(kBlock) {
        columns.x = x.data(), columns.y = y.data(), columns.z = z.data();
        if (by == RenderBy::kClass) {
            classification.resize(kBlock), columns.classification = classification.data();
        } else if (by == RenderBy::kIntensity) {
            intensity.resize(kBlock), columns.intensity = intensity.data();
        } else if (by == RenderBy::kRgb) {
            red.resize(kBlock), green.resize(kBlock), blue.resize(kBlock);
            columns.red = red.data(), columns.green = green.data(), columns.blue = blue.data();
        }
    }
};

// The pixel and the height (as a float) of each of the block's points. Written without
// branches, in 32-bit integers, so that the compiler vectorises it; heights beyond a float's
// range, which only an extreme scale or offset gives, are clamped on a slower path.
template <bool kClampHeights>
void locate(const Grid& g, Block& b, size_t n) {
    constexpr double kFloatMax = std::numeric_limits<float>::max();
    const double* const xs = b.x.data();
    const double* const ys = b.y.data();
    const double* const zs = b.z.data();
    uint32_t* const pixel = b.pixel.data();
    float* const height = b.height.data();
    for (size_t i = 0; i < n; ++i) {
        const double x = xs[i], y = ys[i];
        // Every comparison with NaN is false: such points fall outside.
        const bool inside = (x >= g.west) & (x <= g.east) & (y >= g.south) & (y <= g.north);
        // Points on the east or south edge belong to the last column or row.
        double col = (x - g.west) * g.inverseCell, row = (g.north - y) * g.inverseCell;
        col = col < g.lastCol ? col : g.lastCol;
        row = row < g.lastRow ? row : g.lastRow;
        col = inside ? col : 0.0;
        row = inside ? row : 0.0;
        const int32_t at = static_cast<int32_t>(row) * g.width + static_cast<int32_t>(col);
        pixel[i] = static_cast<uint32_t>(inside ? at : g.outside);
        if constexpr (kClampHeights)
            height[i] = static_cast<float>(std::clamp(zs[i], -kFloatMax, kFloatMax));
        else
            height[i] = static_cast<float>(zs[i]);
    }
}

inline void prefetchForWrite(const void* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p, 1);
#else
    (void)p;
#endif
}

// Takes a block's located points into the states in order: a pixel keeps the first of its
// highest points, and a NaN height never replaces one.
template <RenderBy kBy>
void place(Partial& p, const Block& b, size_t n) {
    PixelState* const state = p.state.data();
    const uint32_t* const pixel = b.pixel.data();
    for (size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) prefetchForWrite(state + pixel[i + kAhead]);
        const uint32_t at = pixel[i];
        PixelState& s = state[at];
        ++s.count;
        const float z = b.height[i];
        if constexpr (kBy == RenderBy::kElevation || kBy == RenderBy::kDensity) {
            s.top = std::max(s.top, z);  // keeps s.top when z is NaN
        } else if (z > s.top) {
            s.top = z;
            Attributes& a = p.attributes;
            if constexpr (kBy == RenderBy::kClass) a.classification[at] = b.classification[i];
            if constexpr (kBy == RenderBy::kIntensity) a.intensity[at] = b.intensity[i];
            if constexpr (kBy == RenderBy::kRgb) {
                a.rgb[at * 3] = b.red[i], a.rgb[at * 3 + 1] = b.green[i];
                a.rgb[at * 3 + 2] = b.blue[i];
            }
        }
    }
}

void draw(RenderBy by, const Grid& g, Partial& p, Block& b, size_t n) {
    p.read += n;
    if (g.clampHeights)
        locate<true>(g, b, n);
    else
        locate<false>(g, b, n);
    switch (by) {
        case RenderBy::kElevation:
            return place<RenderBy::kElevation>(p, b, n);
        case RenderBy::kClass:
            return place<RenderBy::kClass>(p, b, n);
        case RenderBy::kIntensity:
            return place<RenderBy::kIntensity>(p, b, n);
        case RenderBy::kRgb:
            return place<RenderBy::kRgb>(p, b, n);
        case RenderBy::kDensity:
            return place<RenderBy::kDensity>(p, b, n);
    }
}

void start(Partial& p, RenderBy by, size_t pixels) {
    p.state.assign(pixels + 1, {kNone, 0});
    if (by == RenderBy::kClass) p.attributes.classification.assign(pixels + 1, 0);
    if (by == RenderBy::kIntensity) p.attributes.intensity.assign(pixels + 1, 0);
    if (by == RenderBy::kRgb) p.attributes.rgb.assign((pixels + 1) * 3, 0);
}

// Records [first, last) of the file.
void drawRecords(LasReader& reader, uint64_t first, uint64_t last, RenderBy by, const Grid& g,
                 Partial& p) {
    if (!reader.seek(first)) return;
    Block b(by);
    for (uint64_t left = last - first; left > 0;) {
        const size_t n =
            reader.read(b.columns, static_cast<size_t>(std::min<uint64_t>(left, kBlock)));
        if (n == 0) break;
        left -= n;
        draw(by, g, p, b, n);
    }
}

// The points of nodes [first, last); false with `error` on a damaged chunk.
bool drawNodes(CopcReader& copc, const std::vector<CopcNode>& nodes, size_t first, size_t last,
               RenderBy by, const Grid& g, Partial& p, std::string& error) {
    Block b(by);
    std::vector<uint8_t> records;
    const LasFileHeader& h = copc.header();
    for (size_t k = first; k < last; ++k) {
        if (!copc.readNode(nodes[k], records)) return error = copc.error(), false;
        const size_t count = records.size() / h.recordLength;
        for (size_t at = 0; at < count; at += kBlock) {
            const size_t n = std::min(kBlock, count - at);
            decodeLasRecords(h, records.data() + at * h.recordLength, n, b.columns);
            draw(by, g, p, b, n);
        }
    }
    return true;
}

// Where each of `parts` runs of nodes of about equal points starts, in order; and the end.
std::vector<size_t> splitNodes(const std::vector<CopcNode>& nodes, uint64_t points,
                               unsigned parts) {
    std::vector<size_t> starts{0};
    uint64_t sum = 0;
    for (size_t k = 0; k < nodes.size(); ++k) {
        sum += static_cast<uint64_t>(nodes[k].pointCount);
        if (starts.size() < parts && sum * parts >= points * starts.size()) starts.push_back(k + 1);
    }
    while (starts.size() <= parts) starts.push_back(nodes.size());
    return starts;
}

unsigned workersFor(unsigned threads, uint64_t points, size_t pixels) {
    if (pixels > kMostPixelsPerThread) return 1;
    const uint64_t least = std::max<uint64_t>(pixels, kLeastPointsPerThread);
    return static_cast<unsigned>(std::clamp<uint64_t>(points / least, 1, threads));
}

void copyAttributes(Attributes& to, const Attributes& from, size_t i) {
    if (!to.classification.empty()) to.classification[i] = from.classification[i];
    if (!to.intensity.empty()) to.intensity[i] = from.intensity[i];
    if (!to.rgb.empty()) std::copy_n(&from.rgb[i * 3], 3, &to.rgb[i * 3]);
}

}  // namespace

bool rasterise(const char* path, LasReader& reader, RenderBy by, unsigned threads,
               RenderImage& image, Attributes& attributes, std::string& error) {
    const size_t pixels = static_cast<size_t>(image.width) * image.height;
    const Grid grid(image, reader.header());
    CopcReader copc;
    std::vector<CopcNode> nodes;
    const bool isCopc = copc.open(path) == 0;
    uint64_t points = reader.pointCount();
    if (isCopc) {
        CopcQuery q;
        q.min[0] = image.box[0], q.min[1] = image.box[1];
        q.max[0] = image.box[2], q.max[1] = image.box[3];
        q.resolution = image.cell;
        if (!copc.nodes(q, nodes)) return error = copc.error(), false;
        nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                                   [](const CopcNode& n) { return n.pointCount <= 0; }),
                    nodes.end());
        points = 0;
        for (const CopcNode& n : nodes) points += static_cast<uint64_t>(n.pointCount);
    }
    const unsigned workers = workersFor(threadsFor(threads), points, pixels);
    const std::vector<size_t> runs =
        isCopc ? splitNodes(nodes, points, workers) : std::vector<size_t>();
    std::vector<Partial> partials(workers);
    std::vector<std::string> errors(workers);
    forParts(workers, workers, [&](unsigned k, size_t, size_t) {
        Partial& p = partials[k];
        start(p, by, pixels);
        if (isCopc) {
            CopcReader own;
            CopcReader* r = &copc;
            if (k > 0 && own.open(path) != 0) {
                errors[k] = own.error();
                return;
            }
            if (k > 0) r = &own;
            drawNodes(*r, nodes, runs[k], runs[k + 1], by, grid, p, errors[k]);
            return;
        }
        LasReader own;
        LasReader* r = &reader;
        if (k > 0 && own.open(path) != 0) {
            errors[k] = own.error();
            return;
        }
        if (k > 0) r = &own;
        drawRecords(*r, points * k / workers, points * (k + 1) / workers, by, grid, p);
    });
    for (const std::string& e : errors)
        if (!e.empty()) return error = e, false;

    // Later threads hold later points: where heights tie, the earlier thread's point stays.
    Partial& all = partials[0];
    resizeLarge(image.top, pixels);
    resizeLarge(image.count, pixels);
    std::vector<uint64_t> drawn(threadsFor(threads), 0);
    forParts(pixels, threadsFor(threads), [&](unsigned part, size_t begin, size_t end) {
        uint64_t sum = 0;
        for (size_t i = begin; i < end; ++i) {
            PixelState& s = all.state[i];
            for (unsigned k = 1; k < workers; ++k) {
                const PixelState& later = partials[k].state[i];
                s.count += later.count;
                if (later.top > s.top) {
                    s.top = later.top;
                    copyAttributes(all.attributes, partials[k].attributes, i);
                }
            }
            image.top[i] = s.top == kNone ? std::numeric_limits<float>::quiet_NaN() : s.top;
            image.count[i] = s.count;
            sum += s.count;
        }
        drawn[part] = sum;
    });
    for (const Partial& p : partials) image.pointsRead += p.read;
    for (uint64_t d : drawn) image.pointsDrawn += d;
    attributes = std::move(all.attributes);
    if (!attributes.classification.empty()) attributes.classification.resize(pixels);
    if (!attributes.intensity.empty()) attributes.intensity.resize(pixels);
    if (!attributes.rgb.empty()) attributes.rgb.resize(pixels * 3);
    return true;
}

}  // namespace orv::render
