// The full-fidelity layer against the plain cost of the bytes, every run a fresh process:
//   - lossless `orvter las copy` against `cp` of the same file, with the copy's peak memory;
//   - decoding every field of formats 1 and 6 into column buffers against read() of the same
//     bytes into fresh memory;
//   - `orvter las info` of a LAZ file (header, VLRs and chunk table) against `las info --check`,
//     which decodes every chunk.
// usage: las_file_bench [--points N] [--runs R] [--dir DIR] [--orvter PATH] [--info-only]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "OrvLasFile.h"

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Run {
    double seconds = 0;
    long peakKiB = 0;
};

// Runs `argv` as a child; its own report (a line "seconds S") wins over the wall time seen here,
// so that a child can leave its set-up out.
Run spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::fflush(nullptr);
    const double start = now();
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot run %s\n", argv[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Run r;
    r.seconds = now() - start;
    r.peakKiB = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0]);
        std::exit(1);
    }
    const size_t at = out.find("seconds ");
    if (at != std::string::npos) r.seconds = std::atof(out.c_str() + at + 8);
    return r;
}

// Child: read() of the whole file into fresh memory.
int childRead(const char* path) {
    const double start = now();
    const int fd = open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return 1;
    char* memory = static_cast<char*>(std::malloc(static_cast<size_t>(st.st_size)));
    size_t done = 0;
    while (done < static_cast<size_t>(st.st_size)) {
        const ssize_t n = read(fd, memory + done, static_cast<size_t>(st.st_size) - done);
        if (n <= 0) return 1;
        done += static_cast<size_t>(n);
    }
    const double seconds = now() - start;
    volatile char sink = memory[done / 2];
    (void)sink;
    std::printf("seconds %.6f\n", seconds);
    return 0;
}

// Child: every field of every record into caller columns, a block at a time.
int childDecode(const char* path) {
    const double start = now();
    orv::LasReader reader;
    if (reader.open(path) != 0) return 1;
    constexpr size_t kBlock = 65536;
    std::vector<int32_t> X(kBlock), Y(kBlock), Z(kBlock);
    std::vector<double> x(kBlock), y(kBlock), z(kBlock), t(kBlock);
    std::vector<uint16_t> intensity(kBlock), source(kBlock);
    std::vector<uint8_t> ret(kBlock), num(kBlock), flags(kBlock), channel(kBlock), dir(kBlock),
        edge(kBlock), cls(kBlock), user(kBlock);
    std::vector<int16_t> angle(kBlock);
    orv::LasColumns c;
    c.X = X.data(), c.Y = Y.data(), c.Z = Z.data(), c.x = x.data(), c.y = y.data(), c.z = z.data();
    c.intensity = intensity.data(), c.returnNumber = ret.data(), c.numberOfReturns = num.data();
    c.classificationFlags = flags.data(), c.scannerChannel = channel.data();
    c.scanDirection = dir.data(), c.edgeOfFlightLine = edge.data(), c.classification = cls.data();
    c.scanAngle = angle.data(), c.userData = user.data(), c.pointSourceId = source.data();
    c.gpsTime = t.data();
    uint64_t total = 0;
    double sum = 0;
    while (size_t n = reader.read(c, kBlock)) {
        total += n;
        sum += x[n - 1] + t[n - 1] + cls[n - 1];
    }
    const double seconds = now() - start;
    std::printf("seconds %.6f\npoints %llu %g\n", seconds, static_cast<unsigned long long>(total),
                sum);
    return total == reader.pointCount() ? 0 : 1;
}

// A cloud of `points` points of `format` at `path`, unless one is there already.
void makeCloud(const std::string& path, uint8_t format, uint64_t points) {
    struct stat st;
    orv::LasFileHeader h;
    h.versionMinor = format >= 6 ? 4 : 2;
    h.pointFormat = format;
    h.recordLength = orv::lasStandardRecordLength(format);
    h.scale[0] = h.scale[1] = h.scale[2] = 0.001;
    h.offset[0] = 500000, h.offset[1] = 4000000;
    const uint64_t size = (h.versionMinor == 4 ? 375 : 227) + points * h.recordLength;
    if (stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == size) return;
    std::fprintf(stderr, "writing %s\n", path.c_str());
    orv::LasWriter writer;
    if (writer.open(path.c_str(), h) != 0) std::exit(1);
    constexpr size_t kBlock = 65536;
    std::vector<int32_t> X(kBlock), Y(kBlock), Z(kBlock);
    std::vector<uint16_t> intensity(kBlock);
    std::vector<uint8_t> ret(kBlock), num(kBlock), cls(kBlock);
    std::vector<double> t(kBlock);
    orv::LasColumns c;
    c.X = X.data(), c.Y = Y.data(), c.Z = Z.data(), c.intensity = intensity.data();
    c.returnNumber = ret.data(), c.numberOfReturns = num.data(), c.classification = cls.data();
    c.gpsTime = t.data();
    uint32_t state = 12345;
    for (uint64_t done = 0; done < points;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, points - done));
        for (size_t i = 0; i < n; ++i) {
            state = state * 1664525u + 1013904223u;
            X[i] = static_cast<int32_t>(state % 1000000000u);
            Y[i] = static_cast<int32_t>((state >> 7) % 1000000000u);
            Z[i] = static_cast<int32_t>(state >> 20);
            intensity[i] = static_cast<uint16_t>(state);
            num[i] = static_cast<uint8_t>(1 + state % 3);
            ret[i] = static_cast<uint8_t>(1 + (state >> 3) % num[i]);
            cls[i] = static_cast<uint8_t>(1 + (state >> 9) % 6);
            t[i] = static_cast<double>(done + i) * 1e-5;
        }
        writer.write(c, n);
        done += n;
    }
    writer.close();
}

void row(const char* name, const char* reference, std::vector<Run>& a, std::vector<Run>& b,
         bool memory) {
    auto stats = [](std::vector<Run> runs) {
        std::sort(runs.begin(), runs.end(),
                  [](const Run& l, const Run& r) { return l.seconds < r.seconds; });
        long peak = 0;
        for (const Run& r : runs) peak = std::max(peak, r.peakKiB);
        return std::vector<double>{runs.front().seconds, runs[runs.size() / 2].seconds,
                                   runs.back().seconds, static_cast<double>(peak)};
    };
    const auto s = stats(a), r = stats(b);
    std::printf("%-30s %7.3f %7.3f %7.3f  %-7s %7.3f %7.3f %7.3f  time %4.2f x, speed %4.2f x",
                name, s[0], s[1], s[2], reference, r[0], r[1], r[2], s[1] / r[1], r[1] / s[1]);
    if (memory) std::printf("   peak %.1f MiB (ref %.1f MiB)", s[3] / 1024, r[3] / 1024);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        if (std::strcmp(argv[2], "read") == 0) return childRead(argv[3]);
        if (std::strcmp(argv[2], "decode") == 0) return childDecode(argv[3]);
        return 2;
    }
    uint64_t points = 20000000;
    int runs = 7;
    std::string dir = "/tmp", orvter = ORVTER_PATH;
    bool infoOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--info-only") {
            infoOnly = true;
            continue;
        }
        if (i + 1 >= argc) break;
        if (a == "--points")
            points = std::strtoull(argv[i + 1], nullptr, 10);
        else if (a == "--runs")
            runs = std::atoi(argv[i + 1]);
        else if (a == "--dir")
            dir = argv[i + 1];
        else if (a == "--orvter")
            orvter = argv[i + 1];
        ++i;
    }
    const std::string self = "/proc/self/exe";
    const std::string f1 = dir + "/las_file_bench_f1.las", f6 = dir + "/las_file_bench_f6.las";
    const std::string out = dir + "/las_file_bench_out.las", cpOut = dir + "/las_file_bench_cp.las";
    makeCloud(f1, 1, points);
    std::printf("%llu points, %d fresh-process runs each, interleaved; seconds min median max\n",
                static_cast<unsigned long long>(points), runs);
    // las info reads a LAZ file's header, VLRs and chunk table; --check decodes every chunk.
    const std::string laz = dir + "/las_file_bench_f1.laz";
    struct stat lazStat;
    if (stat(laz.c_str(), &lazStat) != 0) spawn({orvter, "las", "copy", "--quiet", f1, laz});
    std::vector<Run> info, check;
    for (int k = 0; k < runs; ++k) {
        if (k % 2 == 0) info.push_back(spawn({orvter, "las", "info", laz}));
        check.push_back(spawn({orvter, "las", "info", "--check", laz}));
        if (k % 2 != 0) info.push_back(spawn({orvter, "las", "info", laz}));
    }
    row("las info of a LAZ (format 1)", "--check", info, check, true);
    if (infoOnly) return 0;
    makeCloud(f6, 6, points);

    // The page cache is warmed once for every file before timing.
    spawn({self, "--child", "read", f1});
    spawn({self, "--child", "read", f6});
    std::vector<Run> copy, cp, d1, r1, d6, r6;
    for (int k = 0; k < runs; ++k) {
        const bool copyFirst = k % 2 == 0;
        if (copyFirst) copy.push_back(spawn({orvter, "las", "copy", "--quiet", f1, out}));
        cp.push_back(spawn({"/bin/cp", f1, cpOut}));
        if (!copyFirst) copy.push_back(spawn({orvter, "las", "copy", "--quiet", f1, out}));
        unlink(out.c_str());
        unlink(cpOut.c_str());
        if (copyFirst) d1.push_back(spawn({self, "--child", "decode", f1}));
        r1.push_back(spawn({self, "--child", "read", f1}));
        if (!copyFirst) d1.push_back(spawn({self, "--child", "decode", f1}));
        if (copyFirst) d6.push_back(spawn({self, "--child", "decode", f6}));
        r6.push_back(spawn({self, "--child", "read", f6}));
        if (!copyFirst) d6.push_back(spawn({self, "--child", "decode", f6}));
    }
    row("lossless las copy (format 1)", "cp", copy, cp, true);
    row("decode every field, format 1", "read()", d1, r1, true);
    row("decode every field, format 6", "read()", d6, r6, true);
    return 0;
}
