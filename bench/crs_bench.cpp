// Reprojection speed, every run a fresh process (FreshRuns.h):
//   - our block transform (CrsTransform, blocks of the size las copy uses) on 1 and N threads,
//     against one plain proj_trans_generic call over the same coordinates on one thread;
//   - `orvter las copy --to-crs` against a plain `orvter las copy` of the same file, with the
//     peak memory of each.
// usage: crs_bench [--points N] [--runs R] [--threads T] [--dir DIR] [--no-copy]
#include <proj.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FreshRuns.h"
#include "OrvCrs.h"
#include "OrvThreads.h"

namespace {

// Where the points lie, and where they go: a projected CRS to a geographic one.
constexpr const char* kSource = "EPSG:32610";
constexpr const char* kTarget = "EPSG:4326";
// Points a block: what las copy moves at a time for 30-byte records.
constexpr size_t kBlock = (size_t{4} << 20) / 30;

struct Options {
    uint64_t points = 20'000'000;
    int runs = 5;
    unsigned threads = 0;
    std::string dir = "crs_bench_data";
    bool copy = true;
};

// Coordinates of a 10 km square in UTM zone 10, the same for every child.
void coordinates(size_t n, std::vector<double>& x, std::vector<double>& y, std::vector<double>& z) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> d(0.0, 10000.0);
    x.resize(n), y.resize(n), z.resize(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = 500000.0 + d(random), y[i] = 5000000.0 + d(random), z[i] = d(random) / 100;
}

int childOurs(size_t n, unsigned threads) {
    std::vector<double> x, y, z;
    coordinates(n, x, y, z);
    orv::CrsTransform t;
    if (t.open(orv::Crs::fromText(kSource), orv::Crs::fromText(kTarget), threads) != 0) return 1;
    fresh::Stopwatch watch;
    for (size_t at = 0; at < n; at += kBlock) {
        const size_t count = std::min(kBlock, n - at);
        if (t.transform(&x[at], &y[at], &z[at], count) != count) return 1;
    }
    fresh::reportSeconds(watch);
    return 0;
}

int childPlain(size_t n) {
    std::vector<double> x, y, z;
    coordinates(n, x, y, z);
    PJ_CONTEXT* ctx = proj_context_create();
    PJ* op = proj_create_crs_to_crs(ctx, kSource, kTarget, nullptr);
    PJ* pj = op ? proj_normalize_for_visualization(ctx, op) : nullptr;
    if (!pj) return 1;
    fresh::Stopwatch watch;
    proj_trans_generic(pj, PJ_FWD, x.data(), sizeof(double), n, y.data(), sizeof(double), n,
                       z.data(), sizeof(double), n, nullptr, 0, 0);
    fresh::reportSeconds(watch);
    proj_destroy(pj);
    proj_destroy(op);
    proj_context_destroy(ctx);
    return 0;
}

// Runs orvter with the arguments and reports the wall time it took.
int childRun(char** args) {
    fresh::Stopwatch watch;
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args, environ) != 0) return 1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return 1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    fresh::reportSeconds(watch.seconds());
    return 0;
}

void printRows(const char* title, const std::vector<fresh::Candidate>& rows,
               const std::vector<std::vector<fresh::Sample>>& samples, uint64_t points) {
    const double reference = fresh::summarize(samples[0]).median;
    std::printf("\n%s\n%-40s %8s %8s %8s %9s %9s %8s\n", title, "row", "min s", "median s", "max s",
                "Mpoints/s", "peak MiB", "x first");
    for (size_t i = 0; i < rows.size(); ++i) {
        const fresh::Summary s = fresh::summarize(samples[i]);
        std::printf("%-40s %8.3f %8.3f %8.3f %9.2f %9.1f %8.2f\n", rows[i].name.c_str(), s.min,
                    s.median, s.max, double(points) / s.median / 1e6, double(s.peakKiB) / 1024.0,
                    reference / s.median);
    }
    std::fflush(stdout);
}

int parent(const Options& o) {
    const unsigned all = orv::threadCount(o.threads);
    const std::string n = std::to_string(o.points), tn = std::to_string(all);
    std::printf("%llu coordinates %s to %s, %d fresh-process runs a row\n",
                (unsigned long long)o.points, kSource, kTarget, o.runs);
    const std::vector<fresh::Candidate> transform = {
        {"PROJ: one proj_trans_generic, 1 thread", {"--child-plain", n}, nullptr},
        {"ours: blocks, 1 thread", {"--child-ours", n, "1"}, nullptr},
        {"ours: blocks, " + tn + " threads", {"--child-ours", n, tn}, nullptr},
    };
    printRows("transform", transform, fresh::interleaveAll(transform, o.runs), o.points);
    if (!o.copy) return 0;

    mkdir(o.dir.c_str(), 0755);
    const std::string in = o.dir + "/cloud-" + n + ".las", out = o.dir + "/out.las";
    fresh::Sample made;
    std::string error;
    if (!fresh::warm(in) &&
        !fresh::runChild({"--child-run", ORVTER_PATH, "las", "gen", in, "--points", n, "--quiet"},
                         made, error)) {
        std::fprintf(stderr, "cannot write %s: %s\n", in.c_str(), error.c_str());
        return 1;
    }
    fresh::warm(in);
    auto clear = [out] { fresh::removeFlushed(out); };
    const std::vector<fresh::Candidate> copy = {
        {"las copy", {"--child-run", ORVTER_PATH, "las", "copy", in, out, "--quiet"}, clear},
        {"las copy --to-crs, " + tn + " threads",
         {"--child-run", ORVTER_PATH, "las", "copy", in, out, "--quiet", "--crs", kSource,
          "--to-crs", kTarget, "--threads", tn},
         clear},
    };
    printRows("copy (LAS 1.1 format 0)", copy, fresh::interleaveAll(copy, o.runs), o.points);
    fresh::removeFlushed(out);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--child-ours") == 0)
        return childOurs(std::strtoull(argv[2], nullptr, 10), unsigned(std::atoi(argv[3])));
    if (argc >= 3 && std::strcmp(argv[1], "--child-plain") == 0)
        return childPlain(std::strtoull(argv[2], nullptr, 10));
    if (argc >= 3 && std::strcmp(argv[1], "--child-run") == 0) return childRun(argv + 2);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--points" && value) {
            o.points = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--runs" && value) {
            o.runs = std::atoi(argv[++i]);
        } else if (a == "--threads" && value) {
            o.threads = unsigned(std::atoi(argv[++i]));
        } else if (a == "--dir" && value) {
            o.dir = argv[++i];
        } else if (a == "--no-copy") {
            o.copy = false;
        } else {
            std::printf(
                "usage: crs_bench [--points N] [--runs R] [--threads T] [--dir DIR] "
                "[--no-copy]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    return parent(o);
}
