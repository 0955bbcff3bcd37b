// The LAS benchmark: whole-cloud reading and writing against plain read() and write() of the
// same bytes, in one run, on a generated cloud held in the page cache. Run by hand:
//   las_bench [--points N] [--reps R] [--dir DIR]
// Each row is the median of R repetitions, in wall-clock time and in the process's CPU time (user
// and system); ratios compare CPU times, which other programs on a shared machine disturb least.
// Add a row by adding a Measure to measures().
#include <fcntl.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "OrvTerDep.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Setup {
    std::string lasPath;  // the generated cloud, in the page cache
    std::string outPath;  // where write rows write, removed before each repetition
    uint64_t points = 0;
    uint64_t fileBytes = 0;
    std::vector<char>* fileImage = nullptr;  // the file's bytes, for the reference write
    orv::PLasPntPool* cloud = nullptr;       // the generated points, for writers
    orv::LasPntPool* values = nullptr;       // the same points, contiguous, for the output stream
};

// Blocks the streams read and write: what a caller of a large cloud would ask for.
constexpr int kStreamBlock = 1000000;

// Wall-clock and CPU seconds of one piece of work.
struct Timing {
    double wall = 0.0;
    double cpu = 0.0;
};

double cpuNow() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

class Stopwatch {
public:
    Stopwatch() : m_wall(Clock::now()), m_cpu(cpuNow()) {}
    Timing elapsed() const {
        return {std::chrono::duration<double>(Clock::now() - m_wall).count(), cpuNow() - m_cpu};
    }

private:
    Clock::time_point m_wall;
    double m_cpu;
};

// One row of the table. `run` does the work once and returns its timing (set-up and clean-up
// excluded); `reference` names the row it is compared with ("" for none).
struct Measure {
    std::string name;
    std::string reference;
    std::function<Timing(const Setup&)> run;
};

void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

Timing referenceRead(const Setup& s) {
    const Stopwatch watch;
    const int fd = ::open(s.lasPath.c_str(), O_RDONLY);
    if (fd < 0) fail("open");
    std::unique_ptr<char[]> buffer(new char[s.fileBytes]);  // fresh, untouched memory
    uint64_t done = 0;
    while (done < s.fileBytes) {
        const ssize_t n = ::read(fd, buffer.get() + done, s.fileBytes - done);
        if (n <= 0) fail("read");
        done += static_cast<uint64_t>(n);
    }
    ::close(fd);
    const Timing t = watch.elapsed();
    buffer.reset();
    return t;
}

Timing referenceWrite(const Setup& s) {
    ::unlink(s.outPath.c_str());
    const Stopwatch watch;
    const int fd = ::open(s.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) fail("open");
    uint64_t done = 0;
    while (done < s.fileBytes) {
        const ssize_t n = ::write(fd, s.fileImage->data() + done, s.fileBytes - done);
        if (n <= 0) fail("write");
        done += static_cast<uint64_t>(n);
    }
    if (::close(fd) != 0) fail("close");
    return watch.elapsed();
}

Timing bulkRead(const Setup& s) {
    const Stopwatch watch;
    orv::LasPntPool* raw = nullptr;
    orv::orvReadLas(s.lasPath.c_str(), &raw, nullptr);
    const Timing t = watch.elapsed();
    orv::OrvPtr<orv::LasPntPool> pool = orv::OrvPtr<orv::LasPntPool>::adopt(raw);
    if (!pool || pool->size() != s.points) {
        std::fprintf(stderr, "bulk read returned the wrong cloud\n");
        std::exit(1);
    }
    return t;
}

Timing bulkWrite(const Setup& s) {
    ::unlink(s.outPath.c_str());
    const Stopwatch watch;
    orv::XPnt3d origin(512000.0, 4180000.0, 0.0);
    orv::orvSavePoint2Las(s.cloud, &origin, s.outPath.c_str(), nullptr);
    return watch.elapsed();
}

// Reads the whole file through the input stream; returns the points kept.
uint64_t streamReadAll(const char* path, int step) {
    orv::OrvPtr<IOrvInPntsStream> in(newInLasPntStream());
    orv::OrvPtr<IOrvPoint> origin(newOrvPoint());
    origin->setPoint(orv::XPnt3d(-2147483647.0, -2147483647.0, -2147483647.0));  // from the file
    if (!in || in->open(path, origin.get()) != 0) return 0;
    uint64_t kept = 0;
    while (orv::OrvPtr<orv::LasPntArray> block = in->readPnts(step, kStreamBlock))
        kept += block->size();
    return kept;
}

Timing streamRead(const Setup& s, int step) {
    const Stopwatch watch;
    const uint64_t kept = streamReadAll(s.lasPath.c_str(), step);
    const Timing t = watch.elapsed();
    const uint64_t full = s.points / kStreamBlock, rest = s.points % kStreamBlock;
    const uint64_t expected = full * ((kStreamBlock + step - 1) / step) + (rest + step - 1) / step;
    if (kept != expected) {
        std::fprintf(stderr, "input stream returned %llu points, not %llu\n",
                     static_cast<unsigned long long>(kept),
                     static_cast<unsigned long long>(expected));
        std::exit(1);
    }
    return t;
}

Timing streamWrite(const Setup& s) {
    ::unlink(s.outPath.c_str());
    const Stopwatch watch;
    orv::OrvPtr<IOrvOutPntsStream> out(newOutLasPntStream());
    const orv::XPnt3d origin(512000.0, 4180000.0, 0.0);
    if (!out || out->open(s.outPath.c_str()) != 0 || out->begin() != 0) fail("output stream");
    const LasPnt* points = s.values->data();
    for (uint64_t i = 0; i < s.points; i += kStreamBlock) {
        const int n = static_cast<int>(std::min<uint64_t>(kStreamBlock, s.points - i));
        if (out->writePntArray(points + i, n, &origin) != 0) fail("output stream refused points");
    }
    out->close();
    return watch.elapsed();
}

std::vector<Measure> measures() {
    return {
        {"reference read() into fresh memory", "", referenceRead},
        {"reference write() of the same bytes", "", referenceWrite},
        {"bulk read: orv::orvReadLas", "reference read() into fresh memory", bulkRead},
        {"bulk write: orv::orvSavePoint2Las", "reference write() of the same bytes", bulkWrite},
        {"input stream, step 1, blocks of 1e6", "bulk read: orv::orvReadLas",
         [](const Setup& s) { return streamRead(s, 1); }},
        {"input stream, step 10, blocks of 1e6", "bulk read: orv::orvReadLas",
         [](const Setup& s) { return streamRead(s, 10); }},
        {"output stream: writePntArray of 1e6", "bulk write: orv::orvSavePoint2Las", streamWrite},
    };
}

// A deterministic cloud over a 1,000 x 1,000 tile, relative to the origin the writer adds.
orv::LasPntPool* generate(uint64_t count) {
    orv::LasPntPool* pool = orv::newLasPntPool();
    pool->reserve(count);
    uint64_t state = 12345;
    auto next = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    };
    for (uint64_t i = 0; i < count; ++i) {
        LasPnt p;
        const float x = static_cast<float>(next() % 1000000) / 1000.0f;
        const float y = static_cast<float>(next() % 1000000) / 1000.0f;
        p.pnt = orv::XPnt3f(x, y, 100.0f + 10.0f * std::sin(x / 50.0f), uint16_t(next()));
        p.classification = static_cast<uint8_t>(next() % 10);
        p.returnNumber = static_cast<uint8_t>(next() % 8);
        p.pointSource = static_cast<uint8_t>(x / 250.0f);
        pool->add(&p);
    }
    return pool;
}

// Peak resident memory of one bulk read, in a fresh process so that nothing else counts: the
// child reports its own high-water mark.
long peakReadKiB(const char* self, const std::string& lasPath, const char* mode = "--read-once") {
    const std::string command = std::string("'") + self + "' " + mode + " '" + lasPath + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) fail("popen");
    long kib = -1;
    if (std::fscanf(pipe, "%ld", &kib) != 1) kib = -1;
    if (::pclose(pipe) != 0 || kib < 0) fail("read-once child");
    return kib;
}

// The process's peak resident memory (VmHWM) in KiB.
long highWaterKiB() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    std::fclose(status);
    return kib;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t points = 20000000;
    int reps = 5;
    std::string dir = "/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--read-once" && i + 1 < argc) {
            orv::LasPntPool* raw = nullptr;
            orv::orvReadLas(argv[i + 1], &raw, nullptr);
            orv::OrvPtr<orv::LasPntPool> pool = orv::OrvPtr<orv::LasPntPool>::adopt(raw);
            std::printf("%ld\n", highWaterKiB());
            return pool ? 0 : 1;
        } else if (a == "--stream-once" && i + 1 < argc) {
            const uint64_t kept = streamReadAll(argv[i + 1], 1);
            std::printf("%ld\n", highWaterKiB());
            return kept ? 0 : 1;
        } else if (a == "--points" && i + 1 < argc) {
            points = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--reps" && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: las_bench [--points N] [--reps R] [--dir DIR]\n");
            return 2;
        }
    }

    Setup s;
    s.points = points;
    s.lasPath = dir + "/las_bench_" + std::to_string(::getpid()) + ".las";
    s.outPath = dir + "/las_bench_" + std::to_string(::getpid()) + "_out.las";
    std::printf("generating %llu points...\n", static_cast<unsigned long long>(points));
    std::fflush(stdout);
    orv::OrvPtr<orv::LasPntPool> cloud = generate(points);
    orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(cloud.get());
    s.cloud = pointers.get();
    s.values = cloud.get();
    bulkWrite(s);
    std::rename(s.outPath.c_str(), s.lasPath.c_str());
    std::vector<char> image;
    {
        struct stat st {};
        if (::stat(s.lasPath.c_str(), &st) != 0) fail("stat");
        s.fileBytes = static_cast<uint64_t>(st.st_size);
        image.resize(s.fileBytes);
        const int fd = ::open(s.lasPath.c_str(), O_RDONLY);
        if (fd < 0 || ::read(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size()))
            fail("read");
        ::close(fd);
        s.fileImage = &image;
    }

    const std::vector<Measure> all = measures();
    std::vector<Timing> times(all.size());
    for (size_t m = 0; m < all.size(); ++m) {
        std::vector<double> wall, cpu;
        all[m].run(s);  // warm-up: page cache, allocator, code
        for (int r = 0; r < reps; ++r) {
            const Timing t = all[m].run(s);
            wall.push_back(t.wall);
            cpu.push_back(t.cpu);
        }
        times[m] = {median(wall), median(cpu)};
    }
    const long peak = peakReadKiB(argv[0], s.lasPath);
    const long streamPeak = peakReadKiB(argv[0], s.lasPath, "--stream-once");
    ::unlink(s.outPath.c_str());
    ::unlink(s.lasPath.c_str());

    const double mb = s.fileBytes / 1e6;
    std::printf("\n%llu points, %.1f MB file, median of %d repetitions\n\n",
                static_cast<unsigned long long>(points), mb, reps);
    std::printf("| %-38s | %7s | %7s | %15s | %16s |\n", "row", "wall s", "CPU s",
                "Mpoints/CPU s", "ratio (CPU)");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(40, '-').c_str(), std::string(9, '-').c_str(),
                std::string(9, '-').c_str(), std::string(17, '-').c_str(),
                std::string(18, '-').c_str());
    for (size_t m = 0; m < all.size(); ++m) {
        std::string ratio = "-";
        for (size_t r = 0; r < all.size(); ++r)
            if (!all[m].reference.empty() && all[r].name == all[m].reference) {
                char text[64];
                std::snprintf(text, sizeof text, "%.2f x reference", times[r].cpu / times[m].cpu);
                ratio = text;
            }
        std::printf("| %-38s | %7.3f | %7.3f | %15.1f | %16s |\n", all[m].name.c_str(),
                    times[m].wall, times[m].cpu, points / times[m].cpu / 1e6, ratio.c_str());
    }
    const double limitMiB = (s.fileBytes + 22.0 * points) / 1048576.0 + 64.0;
    std::printf("\npeak memory of the bulk read: %ld MiB (limit: file + 22 B/point + 64 MiB = %ld MiB)\n",
                peak / 1024, static_cast<long>(limitMiB));
    const double streamLimitMiB = 64.0 + kStreamBlock * sizeof(LasPnt) / 1048576.0;
    std::printf("peak memory of the stream read: %ld MiB (limit: 64 MiB + one block = %ld MiB)\n",
                streamPeak / 1024, static_cast<long>(streamLimitMiB));
    return 0;
}
