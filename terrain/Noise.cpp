// Outliers by their neighbours: too far from their nearest (statistical), or too few close by
// (radius).
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "OrvTerrain.h"
#include "terrain/PointGrid.h"

namespace orv {
namespace {

// How far the statistical search looks, in cells of the index (a few points each): a point
// whose neighbours lie farther is an outlier whatever the cloud's statistics, so the search
// for a lone bird 200 m up stops here instead of visiting the whole cloud.
constexpr double kSearchCells = 12.0;

}  // namespace

int findOutliers(const double* x, const double* y, const double* z, const uint8_t* cls,
                 size_t count, const NoiseOptions& o, uint8_t* outlier, std::string* error) {
    auto refuse = [&](const char* why) {
        if (error) *error = why;
        return -1;
    };
    if (o.neighbours < 1 || o.neighbours > 100) return refuse("neighbours must be 1 to 100");
    if (!(o.multiplier >= 0) || !std::isfinite(o.multiplier))
        return refuse("the multiplier must be at least 0");
    if (!(o.radius >= 0) || !std::isfinite(o.radius)) return refuse("the radius must be at least 0");
    if (count > std::numeric_limits<uint32_t>::max()) return refuse("too many points");
    terrain::PointGrid grid;
    grid.build(x, y, z, count);
    const double limit = kSearchCells * grid.cellSize();
    std::vector<float> mean(count);
    std::vector<double> d;
    double sum = 0, sum2 = 0;
    size_t counted = 0;
    for (size_t i = 0; i < count; ++i) {
        grid.nearestInSpace(i, o.neighbours, limit, d);
        double s = 0;
        for (double v : d) s += v;
        s += (o.neighbours - d.size()) * limit;  // neighbours beyond the search count at it
        mean[i] = static_cast<float>(s / o.neighbours);
        if (cls && isNoiseClass(cls[i])) continue;
        sum += mean[i], sum2 += static_cast<double>(mean[i]) * mean[i], ++counted;
    }
    const double mu = counted ? sum / counted : 0.0;
    const double sigma = counted ? std::sqrt(std::max(0.0, sum2 / counted - mu * mu)) : 0.0;
    const double cut = mu + o.multiplier * sigma;
    for (size_t i = 0; i < count; ++i) {
        bool out = mean[i] > cut;
        if (!out && o.radius > 0)
            out = grid.neighboursWithin(i, o.radius, o.minNeighbours) < o.minNeighbours;
        outlier[i] = out ? 1 : 0;
    }
    return 0;
}

}  // namespace orv
