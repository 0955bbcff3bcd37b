// Picture speed, every run a fresh process (FreshRuns.h): rendering a cloud to a PNG against
// reading the coordinates it is drawn from, for a LAS file and for a COPC file of the same points.
//   - references: LasReader decoding x, y and z of every record, in the blocks render uses, and
//     decoding every field (what reading the points means to a caller who wants them all);
//   - candidate: renderLas and writePng, from opening the file to the PNG on disk.
// Two clouds: an airborne-like one (scan lines over smooth terrain: what a survey looks like),
// and `las gen`'s uniformly scattered tile, the worst case for both the pixel updates (no two
// neighbours close) and the PNG (noise does not compress).
// usage: render_bench [--points N] [--runs R] [--size PX] [--by NAME] [--cloud airborne|uniform]
//                     [--dir DIR] [--no-copc]
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AirborneCloud.h"
#include "FreshRuns.h"
#include "OrvLasFile.h"
#include "OrvRender.h"

namespace {

struct Options {
    uint64_t points = 20'000'000;
    int runs = 7;
    std::string size = "2048", by = "elevation", cloud = "airborne";
    std::string dir = "render_bench_data";
    bool copc = true;
};

// Reads x, y and z, or (`every`) every field of the records as well.
int childRead(const char* path, bool every) {
    fresh::Stopwatch watch;
    orv::LasReader reader;
    if (reader.open(path) != 0) return 1;
    constexpr size_t kBlock = 65536;
    std::vector<double> x(kBlock), y(kBlock), z(kBlock), t(kBlock);
    std::vector<uint16_t> intensity(kBlock), source(kBlock), red(kBlock), green(kBlock),
        blue(kBlock), nir(kBlock);
    std::vector<uint8_t> ret(kBlock), num(kBlock), flags(kBlock), channel(kBlock), dir(kBlock),
        edge(kBlock), cls(kBlock), user(kBlock);
    std::vector<int16_t> angle(kBlock);
    orv::LasColumns c;
    c.x = x.data(), c.y = y.data(), c.z = z.data();
    if (every) {
        c.intensity = intensity.data(), c.returnNumber = ret.data(), c.numberOfReturns = num.data();
        c.classificationFlags = flags.data(), c.scannerChannel = channel.data();
        c.scanDirection = dir.data(), c.edgeOfFlightLine = edge.data();
        c.classification = cls.data(), c.scanAngle = angle.data(), c.userData = user.data();
        c.pointSourceId = source.data(), c.gpsTime = t.data(), c.red = red.data();
        c.green = green.data(), c.blue = blue.data(), c.nir = nir.data();
    }
    double sum = 0;  // keeps the decoding from being optimised away
    while (size_t n = reader.read(c, kBlock)) sum += x[n - 1] + y[n - 1] + z[n - 1];
    fresh::reportSeconds(watch);
    std::fprintf(stderr, "%s", sum == 0.5 ? " " : "");
    return 0;
}

int childRender(const char* in, const char* out, const char* size, const char* by) {
    fresh::Stopwatch watch;
    orv::RenderOptions o;
    o.longSide = std::atoi(size);
    if (!orv::renderByName(by, o.by)) return 1;
    orv::RenderImage image;
    std::string error;
    if (orv::renderLas(in, o, image, error) != 0) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    orv::writePng(out, image);
    fresh::reportSeconds(watch);
    std::fprintf(stderr, "  %d x %d, %llu points read, %llu drawn\n", image.width, image.height,
                 (unsigned long long)image.pointsRead, (unsigned long long)image.pointsDrawn);
    return 0;
}

// Runs orvter with the arguments; the bench's own wall time is not what it reports.
bool runOrvter(std::vector<std::string> args) {
    std::vector<char*> argv;
    args.insert(args.begin(), ORVTER_PATH);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

void compare(const char* title, const Options& o, const std::string& in) {
    const std::string png = o.dir + "/out.png";
    fresh::warm(in);
    const std::vector<fresh::Candidate> rows = {
        {"read x, y, z", {"--child-read", in}, nullptr},
        {"read every field", {"--child-read-every", in}, nullptr},
        {"render " + o.size + " px by " + o.by,
         {"--child-render", in, png, o.size, o.by},
         [png] { fresh::removeFlushed(png); }},
    };
    const auto samples = fresh::interleaveAll(rows, o.runs);
    // Ratios of medians, of the wall-clock time and of the processor time (on a busy machine
    // the wall clock also counts the time other programs had the processor).
    const fresh::Summary xyz = fresh::summarize(samples[0]), every = fresh::summarize(samples[1]);
    std::printf("\n%s\n%-28s %7s %8s %7s %7s %8s %7s %8s %9s\n", title, "row", "min s", "median s",
                "max s", "cpu s", "peak MiB", "x xyz", "x every", "cpu x ev");
    for (size_t i = 0; i < rows.size(); ++i) {
        const fresh::Summary s = fresh::summarize(samples[i]);
        std::printf("%-28s %7.3f %8.3f %7.3f %7.3f %8.1f %7.2f %8.2f %9.2f\n", rows[i].name.c_str(),
                    s.min, s.median, s.max, s.cpuMedian, double(s.peakKiB) / 1024,
                    s.median / xyz.median, s.median / every.median, s.cpuMedian / every.cpuMedian);
    }
    std::fflush(stdout);
}

int parent(const Options& o) {
    mkdir(o.dir.c_str(), 0755);
    const std::string n = std::to_string(o.points);
    const std::string stem = o.dir + "/" + o.cloud + "-" + n;
    const std::string las = stem + ".las", copc = stem + ".copc.laz";
    const bool airborne = o.cloud == "airborne";
    if (!exists(las) && !(airborne ? bench::writeAirborneCloud(las, o.points)
                                   : runOrvter({"las", "gen", las, "--points", n, "--quiet"}))) {
        std::fprintf(stderr, "cannot write %s\n", las.c_str());
        return 1;
    }
    if (o.copc && !exists(copc) && !runOrvter({"las", "copc", las, copc, "--quiet"})) {
        std::fprintf(stderr, "cannot write %s\n", copc.c_str());
        return 1;
    }
    std::printf("%s points, %s cloud, %d fresh-process runs a row, interleaved\n", n.c_str(),
                o.cloud.c_str(), o.runs);
    compare(airborne ? "LAS 1.4 format 6" : "LAS 1.1 format 0", o, las);
    if (o.copc) compare("COPC (LAZ format 6)", o, copc);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--child-read") == 0) return childRead(argv[2], false);
    if (argc >= 3 && std::strcmp(argv[1], "--child-read-every") == 0)
        return childRead(argv[2], true);
    if (argc >= 6 && std::strcmp(argv[1], "--child-render") == 0)
        return childRender(argv[2], argv[3], argv[4], argv[5]);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--points" && value) {
            o.points = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--runs" && value) {
            o.runs = std::atoi(argv[++i]);
        } else if (a == "--size" && value) {
            o.size = argv[++i];
        } else if (a == "--by" && value) {
            o.by = argv[++i];
        } else if (a == "--cloud" && value) {
            o.cloud = argv[++i];
            if (o.cloud != "airborne" && o.cloud != "uniform") o.cloud.clear();
            if (o.cloud.empty()) return std::printf("--cloud takes airborne or uniform\n"), 2;
        } else if (a == "--dir" && value) {
            o.dir = argv[++i];
        } else if (a == "--no-copc") {
            o.copc = false;
        } else {
            std::printf(
                "usage: render_bench [--points N] [--runs R] [--size PX] [--by NAME]\n"
                "                    [--cloud airborne|uniform] [--dir DIR] [--no-copc]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    return parent(o);
}
