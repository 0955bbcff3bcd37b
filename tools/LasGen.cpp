// orvter las gen: a deterministic synthetic cloud for tests, benchmarks and the sample data.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "OrvLas.h"
#include "OrvLasFile.h"
#include "OrvTerrain.h"

namespace orvter {
namespace {

struct GenOptions {
    std::string out;
    uint64_t points = 0;
    uint64_t seed = 1;
    std::string layout = "1.1";
    bool json = false;
    bool quiet = false;
    bool laz = false;
    bool terrain = false;
};

// splitmix64: the same sequence on every platform and standard library, unlike <random>'s
// distributions.
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(unit() * n); }

private:
    uint64_t m_state;
};

constexpr double kTileSide = 1000.0;                         // units (metres) on X and Y
constexpr double kOriginX = 512000.0, kOriginY = 4180000.0;  // a plausible UTM tile corner

// One generated point; `xyz` receives its coordinates relative to the tile corner, exactly.
LasPnt makePoint(Random& rnd, double xyz[3]) {
    const double x = std::floor(rnd.unit() * kTileSide * 1000.0) / 1000.0;
    const double y = std::floor(rnd.unit() * kTileSide * 1000.0) / 1000.0;
    const double ground = 120.0 + 18.0 * std::sin(x / 95.0) * std::cos(y / 130.0) + x * 0.01;
    LasPnt p;
    // Mostly ground and vegetation; some buildings, water, noise and overlap.
    static const uint8_t kClasses[] = {2, 2, 2, 2, 2, 2, 1, 3, 4, 5, 5, 5, 6, 6, 7, 9, 12, 2};
    p.classification = kClasses[rnd.below(sizeof kClasses)];
    double z = ground + rnd.unit() * 0.05;
    if (p.classification >= 3 && p.classification <= 5)
        z += rnd.unit() * 4.0 * (p.classification - 2);
    if (p.classification == 6) z += 6.0 + rnd.unit() * 0.2;
    if (p.classification == 7) z += rnd.unit() * 80.0 - 40.0;
    // First returns dominate; 0, 6 and 7 occur, as real (if odd) data holds them.
    static const uint8_t kReturns[] = {1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 3, 3, 4, 5, 0, 6, 7};
    p.returnNumber = kReturns[rnd.below(sizeof kReturns)];
    const auto intensity = static_cast<uint16_t>(rnd.unit() * rnd.unit() * 65535.0);
    p.pnt =
        orv::XPnt3f(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z), intensity);
    p.pointSource = static_cast<uint8_t>(1 + static_cast<int>(x / 250.0));  // flight line
    xyz[0] = x;
    xyz[1] = y;
    xyz[2] = z;
    return p;
}

// The same points in the 2.0 layout (doubles, no scale), which only the input stream reads.
// Written here with plain stdio, point by point: the library never writes this layout.
void write20(const GenOptions& o, const std::string& path) {
    constexpr uint16_t kRecordLength = 32;  // 28 interpreted bytes and 4 that are not
    Las2Header h;
    h.versionMajor = '2';
    h.pointRecordLength = kRecordLength;
    h.offsetToPointData = sizeof h;
    h.numberOfPointRecords = static_cast<uint32_t>(o.points);
    h.xOffset = kOriginX;
    h.yOffset = kOriginY;
    h.zOffset = 0.0;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"),
                                                         &std::fclose);
    if (!file) throw CommandError("cannot create '" + o.out + "': " + std::strerror(errno));
    bool ok = std::fwrite(&h, sizeof h, 1, file.get()) == 1;
    Random rnd(o.seed);
    for (uint64_t i = 0; ok && i < o.points; ++i) {
        double xyz[3];
        const LasPnt p = makePoint(rnd, xyz);
        uint8_t record[kRecordLength] = {};
        std::memcpy(record, xyz, 24);
        const uint16_t intensity = p.pnt.attr;
        std::memcpy(record + 24, &intensity, 2);
        record[26] = p.returnNumber;
        record[27] = p.classification;
        ok = std::fwrite(record, sizeof record, 1, file.get()) == 1;
    }
    if (!ok || std::fclose(file.release()) != 0) throw CommandError("cannot write '" + o.out + "'");
}

void run(const GenOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    if (o.points > UINT32_MAX) throw CommandError("a LAS 1.1 file holds at most 4294967295 points");
    if (o.layout == "2.0" && compressedOutput(o.out, o.laz))
        throw CLI::ValidationError("the 2.0 layout is never compressed: name OUT other than .laz");
    if (o.terrain && o.layout != "1.1")
        throw CLI::ValidationError("--terrain writes LAS 1.4: give no --layout");
    OutputPath out(o.out);
    if (o.terrain) {
        orv::TerrainSceneOptions scene;
        scene.points = o.points, scene.seed = o.seed;
        scene.compress = compressedOutput(o.out, o.laz);
        std::string error;
        if (orv::writeTerrainScene(out.path(), scene, &error) != 0)
            throw CommandError("cannot write '" + out.name() + "': " + error);
    } else if (o.layout == "2.0") {
        write20(o, out.path());
    } else {
        orv::OrvPtr<IOrvProgress> progress = startProgress(o.quiet, "generating " + out.name());
        generateCloud(out.path(), o.points, o.seed, progress.get(), compressedOutput(o.out, o.laz));
        endProgress(progress);
    }
    out.finish();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool toStderr = o.out == "-";
    if (o.json)
        printJson({{"output", out.name()},
                   {"points_written", o.points},
                   {"seconds", seconds},
                   {"layout", o.terrain ? "terrain" : o.layout},
                   {"seed", o.seed}},
                  toStderr);
    else
        std::fprintf(toStderr ? stderr : stdout, "wrote %llu points to %s (layout %s)\n",
                     static_cast<unsigned long long>(o.points), out.name().c_str(),
                     o.terrain ? "1.4, terrain" : o.layout.c_str());
}

}  // namespace

// Returns of one pulse as real clouds hold them: the drawn return number (0 becomes 1) of a
// pulse of at least that many returns, and a scan angle that sweeps across the tile; neither
// draws from the generator, so the points stay those of earlier versions.
void pulseOf(const LasPnt& p, const double xyz[3], uint8_t& ret, uint8_t& count, int16_t& angle) {
    ret = p.returnNumber == 0 ? 1 : p.returnNumber;
    const auto spread =
        static_cast<uint64_t>(xyz[0] * 1000.0) + static_cast<uint64_t>(xyz[1] * 7.0);
    const unsigned more = ret >= 7 ? 0u : static_cast<unsigned>(spread % 3u) % (8u - ret);
    count = static_cast<uint8_t>(ret + more);
    angle = static_cast<int16_t>(std::lround((xyz[0] / kTileSide - 0.5) * 40.0));  // -20 to 20
}

void generateCloud(const std::string& path, uint64_t count, uint64_t seed, IOrvProgress* progress,
                   bool compress) {
    orv::LasFileHeader h;
    h.versionMajor = 1;
    h.versionMinor = 1;
    h.pointFormat = 0;
    h.recordLength = static_cast<uint16_t>(orv::lasStandardRecordLength(0));
    h.systemIdentifier = "OrvTerDep synthetic tile";
    h.generatingSoftware = "orvter las gen";
    for (int axis = 0; axis < 3; ++axis) h.scale[axis] = 0.001;
    h.offset[0] = kOriginX, h.offset[1] = kOriginY, h.offset[2] = 0.0;
    orv::lasStampCreationDate(h);
    orv::LasWriter writer;
    writer.setCompressed(compress);
    if (writer.open(path.c_str(), h) != 0) throw CommandError("cannot write: " + writer.error());

    constexpr size_t kBlock = 65536;
    std::vector<int32_t> X(kBlock), Y(kBlock), Z(kBlock);
    std::vector<uint16_t> intensity(kBlock), source(kBlock);
    std::vector<uint8_t> ret(kBlock), num(kBlock), cls(kBlock);
    std::vector<int16_t> angle(kBlock);
    orv::LasColumns c;
    c.X = X.data(), c.Y = Y.data(), c.Z = Z.data(), c.intensity = intensity.data();
    c.returnNumber = ret.data(), c.numberOfReturns = num.data(), c.classification = cls.data();
    c.scanAngle = angle.data(), c.pointSourceId = source.data();
    Random rnd(seed);
    for (uint64_t done = 0; done < count;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, count - done));
        for (size_t i = 0; i < n; ++i) {
            double xyz[3];
            const LasPnt p = makePoint(rnd, xyz);
            // Coordinates relative to the tile corner, in thousandths (x and y are exact).
            X[i] = static_cast<int32_t>(std::lround(xyz[0] * 1000.0));
            Y[i] = static_cast<int32_t>(std::lround(xyz[1] * 1000.0));
            Z[i] = static_cast<int32_t>(std::lround(xyz[2] * 1000.0));
            intensity[i] = p.pnt.attr;
            cls[i] = p.classification;
            source[i] = p.pointSource;
            pulseOf(p, xyz, ret[i], num[i], angle[i]);
        }
        if (writer.write(c, n) != n)
            throw CommandError("some generated points could not be stored");
        done += n;
        step(progress, static_cast<double>(n) / static_cast<double>(count));
    }
    writer.close();
}

void addLasGen(CLI::App& las) {
    auto options = std::make_shared<GenOptions>();
    CLI::App* cmd = las.add_subcommand(
        "gen",
        "Write a synthetic LAS 1.1 cloud (point format 0; .laz: compressed): a 1,000 x 1,000 "
        "tile, the same for the same seed");
    addLasOutput(*cmd, options->out, options->laz);
    cmd->add_option("--points", options->points, "Number of points")
        ->required()
        ->check(wholeNumber)
        ->check(CLI::Range(uint64_t{0}, uint64_t{UINT32_MAX}));
    cmd->add_option("--seed", options->seed, "Seed of the generator")
        ->check(wholeNumber)
        ->capture_default_str();
    cmd->add_option("--layout", options->layout,
                    "1.1 (written by the library), or 2.0 (doubles; for testing the input stream)")
        ->check(CLI::IsMember({"1.1", "2.0"}))
        ->capture_default_str();
    cmd->add_flag("--terrain", options->terrain,
                  "An airborne scene instead (LAS 1.4, point format 6, a CRS): hills, a ridge, a "
                  "45-degree scarp, buildings, trees, noise; its classes are the truth");
    cmd->add_flag("--json", options->json, "Print the summary as one JSON object");
    cmd->add_flag("--quiet", options->quiet, "Show no progress line");
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
