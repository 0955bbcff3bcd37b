// A generated airborne scene whose classes are the truth: what the terrain jobs are measured on.
#include <algorithm>
#include <cmath>
#include <exception>
#include <string>
#include <vector>

#include "OrvCrs.h"
#include "OrvError.h"
#include "OrvLasCrs.h"
#include "OrvLasFile.h"
#include "OrvTerrain.h"

namespace orv {
namespace {

// splitmix64: the same scene on every platform, unlike <random>'s distributions.
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed * 0x2545F4914F6CDD1Dull + 7) {}
    uint64_t next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double between(double a, double b) { return a + (b - a) * unit(); }
    // Roughly normal: the sum of four uniforms, scaled to unit deviation.
    double normal() { return (unit() + unit() + unit() + unit() - 2.0) * 1.7320508; }

private:
    uint64_t m_state;
};

constexpr double kOriginX = 512000.0, kOriginY = 4180000.0;  // a UTM tile corner
constexpr int kSceneEpsg = 32633;
constexpr double kReturnsPerPulse = 1.3;  // about what the scene's trees and edges give
constexpr double kFeatureCell = 10.0;     // metres: the cells that index buildings and trees
constexpr int kMaxReturns = 5;

struct Building {
    double x0, y0, x1, y1, roof;
};
struct Tree {
    double x, y, radius, base, top;  // crown from base to top, heights above the ground
};

// The bare earth: rolling hills, a rounded ridge, and a scarp of 45 degrees up to a plateau.
class Ground {
public:
    explicit Ground(double side) : m_side(side) {}
    double at(double x, double y) const {
        double z = 150.0 + 6.0 * std::sin(x / 32.0) * std::cos(y / 41.0) + 0.02 * y;
        const double d = (x - 0.3 * m_side) / 60.0;  // a ridge along y
        z += 14.0 * std::exp(-d * d);
        const double rise = x + 0.3 * y - 0.75 * m_side;  // the scarp: slope 1 over 8 m
        z += std::clamp(rise / std::sqrt(1.09), 0.0, 8.0);
        return z;
    }

private:
    double m_side;
};

class Scene {
public:
    Scene(double side, Random& rnd) : m_ground(side) {
        m_cells = std::max(1, static_cast<int>(std::ceil(side / kFeatureCell)));
        m_index.assign(static_cast<size_t>(m_cells) * m_cells, {});
        const double area = side * side;
        const int buildings = static_cast<int>(area / 3000.0);
        for (int i = 0; i < buildings; ++i) {
            const double w = rnd.between(10, 28), h = rnd.between(10, 28);
            const double x = rnd.between(0, side - w), y = rnd.between(0, side - h);
            double highest = -1e9;  // the roof clears the ground everywhere under it
            for (double gx = x; gx <= x + w; gx += 2)
                for (double gy = y; gy <= y + h; gy += 2)
                    highest = std::max(highest, m_ground.at(gx, gy));
            m_buildings.push_back({x, y, x + w, y + h, highest + rnd.between(4, 14)});
            index(x, y, x + w, y + h, static_cast<int>(m_buildings.size()));
        }
        const int trees = static_cast<int>(area / 120.0);
        for (int i = 0; i < trees; ++i) {
            const double x = rnd.between(0, side), y = rnd.between(0, side);
            const double top = rnd.unit() < 0.25 ? rnd.between(1.2, 4) : rnd.between(6, 26);
            const double radius = std::clamp(top * rnd.between(0.15, 0.3), 0.8, 6.0);
            if (buildingAt(x, y, radius + 1.5)) continue;
            m_trees.push_back({x, y, radius, top * rnd.between(0.2, 0.5), top});
            index(x - radius, y - radius, x + radius, y + radius,
                  -static_cast<int>(m_trees.size()));
        }
    }

    const Ground& ground() const { return m_ground; }
    const Building* buildingAt(double x, double y, double margin = 0.0) const {
        for (int id : cell(x, y)) {
            if (id <= 0) continue;
            const Building& b = m_buildings[static_cast<size_t>(id - 1)];
            if (x >= b.x0 - margin && x <= b.x1 + margin && y >= b.y0 - margin &&
                y <= b.y1 + margin)
                return &b;
        }
        return nullptr;
    }
    // The tallest crown over (x, y), and the crown's height there.
    const Tree* treeAt(double x, double y, double& crown) const {
        const Tree* best = nullptr;
        for (int id : cell(x, y)) {
            if (id >= 0) continue;
            const Tree& t = m_trees[static_cast<size_t>(-id - 1)];
            const double dx = x - t.x, dy = y - t.y, r2 = (dx * dx + dy * dy) / (t.radius * t.radius);
            if (r2 >= 1.0) continue;
            const double h = t.base + (t.top - t.base) * std::sqrt(1.0 - r2);
            if (!best || h > crown) best = &t, crown = h;
        }
        return best;
    }

private:
    const std::vector<int>& cell(double x, double y) const {
        const int cx = std::clamp(static_cast<int>(x / kFeatureCell), 0, m_cells - 1);
        const int cy = std::clamp(static_cast<int>(y / kFeatureCell), 0, m_cells - 1);
        return m_index[static_cast<size_t>(cy) * m_cells + cx];
    }
    void index(double x0, double y0, double x1, double y1, int id) {
        const int cx0 = std::clamp(static_cast<int>(x0 / kFeatureCell), 0, m_cells - 1);
        const int cx1 = std::clamp(static_cast<int>(x1 / kFeatureCell), 0, m_cells - 1);
        const int cy0 = std::clamp(static_cast<int>(y0 / kFeatureCell), 0, m_cells - 1);
        const int cy1 = std::clamp(static_cast<int>(y1 / kFeatureCell), 0, m_cells - 1);
        for (int cy = cy0; cy <= cy1; ++cy)
            for (int cx = cx0; cx <= cx1; ++cx)
                m_index[static_cast<size_t>(cy) * m_cells + cx].push_back(id);
    }

    Ground m_ground;
    int m_cells = 1;
    std::vector<std::vector<int>> m_index;  // per cell: building ids > 0, tree ids < 0
    std::vector<Building> m_buildings;
    std::vector<Tree> m_trees;
};

uint8_t vegetationClass(double height) {
    return height < 2.0 ? kClassLowVegetation
                        : height < 5.0 ? kClassMediumVegetation : kClassHighVegetation;
}

struct Return {
    double z;
    uint8_t cls;
    uint16_t intensity;
};

// The returns of one vertical pulse at (x, y), highest first.
int pulse(const Scene& scene, double x, double y, Random& rnd, Return* out) {
    const double g = scene.ground().at(x, y);
    const double r = rnd.unit();
    if (r < 0.0008) {  // multipath: a lone echo well below the ground
        out[0] = {g - rnd.between(3, 15), kClassLowNoise, 30};
        return 1;
    }
    if (r < 0.0013) {  // a bird or a cloud
        out[0] = {g + rnd.between(60, 300), kClassHighNoise, 20};
        return 1;
    }
    auto groundReturn = [&] {
        return Return{g + 0.03 * rnd.normal(), kClassGround,
                      static_cast<uint16_t>(rnd.between(300, 500))};
    };
    if (const Building* b = scene.buildingAt(x, y)) {
        out[0] = {b->roof + 0.02 * rnd.normal(), kClassBuilding,
                  static_cast<uint16_t>(rnd.between(150, 250))};
        return 1;
    }
    double crown = 0;
    if (const Tree* t = scene.treeAt(x, y, crown)) {
        int n = 0;
        out[n++] = {g + crown, vegetationClass(crown), static_cast<uint16_t>(rnd.between(50, 150))};
        double below = crown;
        // Further echoes inside the crown, then the ground when the pulse gets through.
        while (n < kMaxReturns - 1 && rnd.unit() < 0.45 && below - t->base > 0.6) {
            below = rnd.between(t->base, below - 0.5);
            out[n++] = {g + below, vegetationClass(below),
                        static_cast<uint16_t>(rnd.between(30, 100))};
        }
        if (rnd.unit() < 0.7 && crown > 0.8) out[n++] = groundReturn();
        return n;
    }
    out[0] = groundReturn();
    return 1;
}

}  // namespace

int writeTerrainScene(const std::string& path, const TerrainSceneOptions& o, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return -1;
    };
    if (!(o.density > 0.01 && o.density < 1e4)) return fail("the density is out of range");
    if (o.points > (uint64_t{1} << 40)) return fail("too many points");
    const double side =
        std::max(20.0, std::ceil(std::sqrt(static_cast<double>(o.points) / o.density)));
    Random rnd(o.seed);
    const Scene scene(side, rnd);

    LasFileHeader h;
    h.versionMajor = 1, h.versionMinor = 4, h.pointFormat = 6;
    h.recordLength = lasStandardRecordLength(6);
    h.systemIdentifier = "OrvTerDep generated terrain";
    h.generatingSoftware = "orvter las gen --terrain";
    for (int axis = 0; axis < 3; ++axis) h.scale[axis] = 0.001;
    h.offset[0] = kOriginX, h.offset[1] = kOriginY, h.offset[2] = 0.0;
    lasStampCreationDate(h);
    std::string why;
    if (lasSetCrs(h, Crs::fromEpsg(kSceneEpsg, &why), &why) != 0) return fail(why);
    LasWriter writer;
    writer.setCompressed(o.compress);
    try {
        if (writer.open(path.c_str(), h) != 0) return fail(writer.error());
        constexpr size_t kBlock = 65536;
        std::vector<double> x(kBlock + kMaxReturns), y(x.size()), z(x.size()), t(x.size());
        std::vector<uint16_t> intensity(x.size()), source(x.size(), 1);
        std::vector<uint8_t> ret(x.size()), num(x.size()), cls(x.size());
        std::vector<int16_t> angle(x.size());
        LasColumns c;
        c.x = x.data(), c.y = y.data(), c.z = z.data(), c.gpsTime = t.data();
        c.intensity = intensity.data(), c.pointSourceId = source.data();
        c.returnNumber = ret.data(), c.numberOfReturns = num.data(), c.classification = cls.data();
        c.scanAngle = angle.data();
        // Scan lines across x, one after the other along y; a second pass over the scene (a
        // crossing flight line) when the first has not made the count.
        const double spacing = 1.0 / std::sqrt(o.density / kReturnsPerPulse);
        double px = 0, py = spacing / 2, time = 1.0e8;
        uint64_t done = 0;
        while (done < o.points) {
            size_t n = 0;
            while (n < kBlock && done + n < o.points) {
                px += spacing;
                if (px >= side) px = spacing * rnd.unit(), py += spacing;
                if (py >= side) py = spacing * rnd.unit();
                const double qx = std::clamp(px + 0.3 * spacing * rnd.normal(), 0.0, side);
                const double qy = std::clamp(py + 0.3 * spacing * rnd.normal(), 0.0, side);
                Return r[kMaxReturns];
                const int count = static_cast<int>(
                    std::min<uint64_t>(pulse(scene, qx, qy, rnd, r), o.points - done - n));
                time += 1e-5;
                for (int i = 0; i < count; ++i, ++n) {
                    x[n] = kOriginX + qx, y[n] = kOriginY + qy, z[n] = r[i].z;
                    cls[n] = r[i].cls, intensity[n] = r[i].intensity, t[n] = time;
                    ret[n] = static_cast<uint8_t>(i + 1), num[n] = static_cast<uint8_t>(count);
                    angle[n] = static_cast<int16_t>((qx / side - 0.5) * 30.0 / 0.006);
                }
            }
            if (writer.write(c, n) != n) return fail("a generated point does not fit the file");
            done += n;
        }
        writer.close();
    } catch (const FileError& e) {
        writer.discard();
        return fail(e.what());
    }
    return 0;
}

}  // namespace orv
