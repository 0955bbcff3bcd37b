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
