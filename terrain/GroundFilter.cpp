// Ground by a simple morphological filter: a minimum surface, opened with growing windows whose
// height threshold grows with the terrain's slope, and points close to what is left.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "OrvTerrain.h"
#include "terrain/TerrainGrid.h"

namespace orv {
namespace terrain {

std::string GridShape::set(const TerrainExtent& e, double cellSize, bool align) {
    if (!(cellSize > 0) || !std::isfinite(cellSize)) return "the cell size must be above 0";
    if (!(e.maxX >= e.minX && e.maxY >= e.minY) || !std::isfinite(e.minX) ||
        !std::isfinite(e.maxX) || !std::isfinite(e.minY) || !std::isfinite(e.maxY))
        return "the extent is empty or not finite";
    size = cellSize;
    minX = align ? std::floor(e.minX / cellSize) * cellSize : e.minX;
    minY = align ? std::floor(e.minY / cellSize) * cellSize : e.minY;
    // A point on the far edge belongs to a cell of its own.
    const double c = std::floor((e.maxX - minX) / cellSize) + 1;
    const double r = std::floor((e.maxY - minY) / cellSize) + 1;
    if (c * r > static_cast<double>(kMaxGridCells))
        return "the grid would have " + std::to_string(static_cast<uint64_t>(c * r)) +
               " cells, more than " + std::to_string(kMaxGridCells) +
               ": take larger cells or split the cloud";
    cols = static_cast<int>(c), rows = static_cast<int>(r);
    return "";
}

bool fillGaps(std::vector<float>& grid, int cols, int rows) {
    const size_t n = grid.size();
    std::vector<size_t> ring, next;
    std::vector<uint8_t> filled(n, 0);
    for (size_t i = 0; i < n; ++i)
        if (!std::isnan(grid[i])) filled[i] = 1;
    // The first ring: empty cells beside a filled one.
    auto visit = [&](size_t i, std::vector<size_t>& into) {
        const int c = static_cast<int>(i % cols), r = static_cast<int>(i / cols);
        for (int dr = -1; dr <= 1; ++dr)
            for (int dc = -1; dc <= 1; ++dc) {
                const int cc = c + dc, rr = r + dr;
                if (cc < 0 || rr < 0 || cc >= cols || rr >= rows) continue;
                const size_t j = static_cast<size_t>(rr) * cols + cc;
                if (!filled[j]) filled[j] = 2, into.push_back(j);
            }
    };
    bool any = false;
    for (size_t i = 0; i < n; ++i)
        if (filled[i] == 1) any = true, visit(i, ring);
    if (!any) return false;
    while (!ring.empty()) {
        for (size_t i : ring) {
            const int c = static_cast<int>(i % cols), r = static_cast<int>(i / cols);
            double sum = 0;
            int count = 0;
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) {
                    const int cc = c + dc, rr = r + dr;
                    if (cc < 0 || rr < 0 || cc >= cols || rr >= rows) continue;
                    const size_t j = static_cast<size_t>(rr) * cols + cc;
                    if (filled[j] == 1) sum += grid[j], ++count;
                }
            grid[i] = static_cast<float>(sum / count);
        }
        for (size_t i : ring) filled[i] = 1;
        next.clear();
        for (size_t i : ring) visit(i, next);
        ring.swap(next);
    }
    return true;
}

namespace {

// Minimum (or maximum) over a window of 2r + 1 along one line of `n` values `stride` apart:
// a monotonic queue, so the cost does not grow with the window.
void slide(const float* in, float* out, int n, size_t stride, int r, bool maximum,
           std::vector<int>& queue) {
    queue.resize(static_cast<size_t>(n));
    int head = 0, tail = 0;
    auto worse = [&](float a, float b) { return maximum ? a <= b : a >= b; };
    int added = 0;
    for (int i = 0; i < n; ++i) {
        const int until = std::min(n - 1, i + r);
        for (; added <= until; ++added) {
            const float v = in[static_cast<size_t>(added) * stride];
            while (tail > head && worse(in[static_cast<size_t>(queue[tail - 1]) * stride], v))
                --tail;
            queue[tail++] = added;
        }
        while (queue[head] < i - r) ++head;
        out[static_cast<size_t>(i) * stride] = in[static_cast<size_t>(queue[head]) * stride];
    }
}

}  // namespace

void squareFilter(const std::vector<float>& in, std::vector<float>& out, int cols, int rows,
                  int r, bool maximum) {
    std::vector<float> across(in.size());
    out.resize(in.size());
    std::vector<int> queue;
    for (int row = 0; row < rows; ++row) {
        const size_t at = static_cast<size_t>(row) * cols;
        slide(in.data() + at, across.data() + at, cols, 1, r, maximum, queue);
    }
    for (int col = 0; col < cols; ++col)
        slide(across.data() + col, out.data() + col, rows, static_cast<size_t>(cols), r, maximum,
              queue);
}

float bilinear(const std::vector<float>& grid, int cols, int rows, double fx, double fy) {
    fx = std::clamp(fx, 0.0, cols - 1.0), fy = std::clamp(fy, 0.0, rows - 1.0);
    const int c0 = std::min(static_cast<int>(fx), std::max(0, cols - 2));
    const int r0 = std::min(static_cast<int>(fy), std::max(0, rows - 2));
    const int c1 = std::min(c0 + 1, cols - 1), r1 = std::min(r0 + 1, rows - 1);
    const double tx = fx - c0, ty = fy - r0;
    auto at = [&](int c, int r) { return grid[static_cast<size_t>(r) * cols + c]; };
    const double top = at(c0, r0) * (1 - tx) + at(c1, r0) * tx;
    const double bottom = at(c0, r1) * (1 - tx) + at(c1, r1) * tx;
    return static_cast<float>(top * (1 - ty) + bottom * ty);
}

}  // namespace terrain

using terrain::GridShape;

struct GroundFilter::Impl {
    GroundOptions options;
    GridShape shape;
    std::vector<float> surface;  // the lowest eligible point per cell, then the ground's surface
    std::vector<float> slope;    // rise over run of the ground's surface
    std::string error;

    bool eligible(const TerrainBlock& b, size_t i) const {
        if (b.classification && isNoiseClass(b.classification[i])) return false;
        if (!options.lastReturnsOnly || !b.returnNumber || !b.numberOfReturns) return true;
        return isLastReturn(b.returnNumber[i], b.numberOfReturns[i]);
    }
};

GroundFilter::GroundFilter() : m_impl(std::make_unique<Impl>()) {}
GroundFilter::~GroundFilter() = default;

int GroundFilter::start(const TerrainExtent& extent, const GroundOptions& o) {
    Impl& m = *m_impl;
    auto refuse = [&](const std::string& why) {
        m.error = why;
        m.surface.clear();
        return -1;
    };
    auto positive = [](double v) { return v > 0 && std::isfinite(v); };
    if (!positive(o.slope) || !positive(o.window) || !positive(o.threshold) ||
        !(o.scalar >= 0 && std::isfinite(o.scalar)))
        return refuse("slope, window and threshold must be above 0, the scalar at least 0");
    if (o.window < o.cell) return refuse("the window must be at least one cell");
    m.options = o;
    const std::string why = m.shape.set(extent, o.cell, false);
    if (!why.empty()) return refuse(why);
    m.surface.assign(m.shape.cells(), terrain::noValue());
    m.slope.clear();
    return 0;
}

void GroundFilter::observe(const TerrainBlock& b) {
    Impl& m = *m_impl;
    if (m.surface.empty()) return;
    for (size_t i = 0; i < b.count; ++i) {
        int c, r;
        if (!m.eligible(b, i) || !m.shape.cellOf(b.x[i], b.y[i], c, r)) continue;
        float& cell = m.surface[static_cast<size_t>(r) * m.shape.cols + c];
        const auto z = static_cast<float>(b.z[i]);
        if (std::isnan(cell) || z < cell) cell = z;
    }
}

int GroundFilter::finish() {
    Impl& m = *m_impl;
    const int cols = m.shape.cols, rows = m.shape.rows;
    if (m.surface.empty() || !terrain::fillGaps(m.surface, cols, rows)) {
        m.error = "no point could be ground";
        return -1;
    }
    // Open with windows of growing radius; where the surface drops by more than the slope
    // allows over the window, the cell is an object (a roof, a crown) and not ground.
    std::vector<uint8_t> object(m.surface.size(), 0);
    std::vector<float> last = m.surface, eroded, opened;
    const int windows = static_cast<int>(std::ceil(m.options.window / m.options.cell));
    for (int r = 1; r <= windows; ++r) {
        terrain::squareFilter(last, eroded, cols, rows, r, false);
        terrain::squareFilter(eroded, opened, cols, rows, r, true);
        const double threshold = m.options.slope * r * m.options.cell;
        for (size_t i = 0; i < opened.size(); ++i)
            if (last[i] - opened[i] > threshold) object[i] = 1;
        last.swap(opened);
    }
    for (size_t i = 0; i < object.size(); ++i)
        if (object[i]) m.surface[i] = terrain::noValue();
    terrain::fillGaps(m.surface, cols, rows);
    // The local slope scales the final threshold: steep ground lies farther from the cells'
    // centres' plane.
    m.slope.assign(m.surface.size(), 0.0f);
    auto at = [&](int c, int r) {
        return m.surface[static_cast<size_t>(std::clamp(r, 0, rows - 1)) * cols +
                         std::clamp(c, 0, cols - 1)];
    };
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const double dx = (at(c + 1, r) - at(c - 1, r)) / (2 * m.options.cell);
            const double dy = (at(c, r + 1) - at(c, r - 1)) / (2 * m.options.cell);
            m.slope[static_cast<size_t>(r) * cols + c] =
                static_cast<float>(std::sqrt(dx * dx + dy * dy));
        }
    return 0;
}

void GroundFilter::classify(const TerrainBlock& b, uint8_t* classes) const {
    const Impl& m = *m_impl;
    const int cols = m.shape.cols, rows = m.shape.rows;
    for (size_t i = 0; i < b.count; ++i) {
        const uint8_t was = b.classification ? b.classification[i] : kClassUnclassified;
        uint8_t now = was == kClassGround ? kClassUnclassified : was;
        int c, r;
        if (!m.slope.empty() && m.eligible(b, i) && m.shape.cellOf(b.x[i], b.y[i], c, r)) {
            const double fx = (b.x[i] - m.shape.minX) / m.shape.size - 0.5;
            const double fy = (b.y[i] - m.shape.minY) / m.shape.size - 0.5;
            const double ground = terrain::bilinear(m.surface, cols, rows, fx, fy);
            const double allowed = m.options.threshold +
                                   m.options.scalar * m.slope[static_cast<size_t>(r) * cols + c];
            if (std::fabs(b.z[i] - ground) <= allowed) now = kClassGround;
        }
        classes[i] = now;
    }
}

const std::string& GroundFilter::error() const {
    return m_impl->error;
}

double GroundAccuracy::typeI() const {
    const uint64_t ground = groundAsGround + groundAsOther;
    return ground ? static_cast<double>(groundAsOther) / ground : 0.0;
}
double GroundAccuracy::typeII() const {
    const uint64_t other = otherAsGround + otherAsOther;
    return other ? static_cast<double>(otherAsGround) / other : 0.0;
}
double GroundAccuracy::total() const {
    const uint64_t all = groundAsGround + groundAsOther + otherAsGround + otherAsOther;
    return all ? static_cast<double>(groundAsOther + otherAsGround) / all : 0.0;
}
double GroundAccuracy::kappa() const {
    const double n = static_cast<double>(groundAsGround + groundAsOther + otherAsGround +
                                         otherAsOther);
    if (n == 0) return 0.0;
    const double observed = (groundAsGround + otherAsOther) / n;
    const double truthGround = (groundAsGround + groundAsOther) / n;
    const double foundGround = (groundAsGround + otherAsGround) / n;
    const double chance = truthGround * foundGround + (1 - truthGround) * (1 - foundGround);
    return chance >= 1.0 ? 1.0 : (observed - chance) / (1 - chance);
}
void GroundAccuracy::add(const uint8_t* truth, const uint8_t* found, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (isNoiseClass(truth[i])) continue;
        const bool t = truth[i] == kClassGround, f = found[i] == kClassGround;
        (t ? (f ? groundAsGround : groundAsOther) : (f ? otherAsGround : otherAsOther)) += 1;
    }
}

}  // namespace orv
