// The LAS benchmark: whole-cloud reading and writing against plain read() and write() of the
// same bytes, on generated clouds of several sizes. Every run is a fresh process (FreshRuns.h),
// each candidate interleaved with its reference, so that what one run leaves behind never makes
// the next cheaper. Each row gives min / median / max seconds over the runs, the median cost per
// point, the ratio of medians against its reference and the peak resident memory of a run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FreshRuns.h"
#include "OrvTerDep.h"

namespace {

const char* const kUsage =
    "usage: las_bench [--sizes N[,N...]] [--runs R] [--rows reads|writes|all] [--dir DIR]\n"
    "  --sizes  cloud sizes in points (default 1000000,20000000,100000000)\n"
    "  --runs   fresh-process runs of every row (default 7)\n"
    "  --rows   only the read rows or only the write rows (default all)\n"
    "  --dir    folder for the generated and written files (default /tmp)\n"
    "Reads run with the file in the page cache; before every write run the previous output is\n"
    "flushed to disk and removed, untimed.\n";

// Blocks the streams read and write: what a caller of a large cloud would ask for.
constexpr int kStreamBlock = 1000000;

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

uint64_t sizeOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) fail(path.c_str());
    return static_cast<uint64_t>(st.st_size);
}

uint64_t expectedBytes(uint64_t points) {
    return sizeof(LasHeader) + 20 * points;
}

// A deterministic cloud over a 1,000 x 1,000 tile, relative to kOrigin, made a block at a time.
const orv::XPnt3d kOrigin(512000.0, 4180000.0, 0.0);

void generateBlock(uint64_t& state, LasPnt* out, size_t count) {
    auto next = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    };
    for (size_t i = 0; i < count; ++i) {
        LasPnt p;
        const float x = static_cast<float>(next() % 1000000) / 1000.0f;
        const float y = static_cast<float>(next() % 1000000) / 1000.0f;
        p.pnt = orv::XPnt3f(x, y, 100.0f + 10.0f * std::sin(x / 50.0f), uint16_t(next()));
        p.classification = static_cast<uint8_t>(next() % 10);
        p.returnNumber = static_cast<uint8_t>(next() % 8);
        p.pointSource = static_cast<uint8_t>(x / 250.0f);
        out[i] = p;
    }
}

int childGenerate(const std::string& path, uint64_t points) {
    orv::OrvPtr<IOrvOutPntsStream> out(newOutLasPntStream());
    if (!out || out->open(path.c_str()) != 0 || out->begin() != 0) fail("output stream");
    std::vector<LasPnt> block(kStreamBlock);
    uint64_t state = 12345;
    for (uint64_t i = 0; i < points; i += kStreamBlock) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kStreamBlock, points - i));
        generateBlock(state, block.data(), n);
        if (out->writePntArray(block.data(), static_cast<int>(n), &kOrigin) != 0)
            fail("output stream refused points");
    }
    if (out->close() != 0) fail("output stream close");
    fresh::reportSeconds(0.0);
    return 0;
}

// The reference for reading: the whole file with read() into memory nobody touched before.
int childReadReference(const std::string& path) {
    const fresh::Stopwatch watch;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) fail("open");
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail("fstat");
    const auto bytes = static_cast<size_t>(st.st_size);
    std::unique_ptr<char[]> buffer(new char[bytes]);
    for (size_t done = 0; done < bytes;) {
        const ssize_t n = ::read(fd, buffer.get() + done, bytes - done);
        if (n <= 0) fail("read");
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    fresh::reportSeconds(watch);
    return 0;
}

orv::OrvPtr<orv::LasPntPool> readCloud(const std::string& path, uint64_t points) {
    orv::LasPntPool* raw = nullptr;
    orv::orvReadLas(path.c_str(), &raw, nullptr);
    orv::OrvPtr<orv::LasPntPool> pool = orv::OrvPtr<orv::LasPntPool>::adopt(raw);
    if (!pool || pool->size() != points) {
        std::fprintf(stderr, "bulk read returned the wrong cloud\n");
        std::exit(1);
    }
    return pool;
}

int childBulkRead(const std::string& path, uint64_t points) {
    const fresh::Stopwatch watch;
    orv::OrvPtr<orv::LasPntPool> pool = readCloud(path, points);
    fresh::reportSeconds(watch);
    return 0;
}

int childStreamRead(const std::string& path, uint64_t points) {
    const fresh::Stopwatch watch;
    orv::OrvPtr<IOrvInPntsStream> in(newInLasPntStream());
    orv::OrvPtr<IOrvPoint> origin(newOrvPoint());
    origin->setPoint(kOrigin);
    if (!in || in->open(path.c_str(), origin.get()) != 0) fail("input stream");
    uint64_t kept = 0;
    while (orv::OrvPtr<orv::LasPntArray> block = in->readPnts(1, kStreamBlock))
        kept += block->size();
    const double seconds = watch.seconds(), cpu = watch.cpuSeconds(), user = watch.userSeconds();
    if (kept != points) {
        std::fprintf(stderr, "input stream returned %llu points, not %llu\n",
                     static_cast<unsigned long long>(kept),
                     static_cast<unsigned long long>(points));
        return 1;
    }
    fresh::reportSeconds(seconds, cpu, user);
    return 0;
}

void checkWritten(const std::string& out, uint64_t points) {
    if (sizeOf(out) != expectedBytes(points)) {
        std::fprintf(stderr, "%s has the wrong length\n", out.c_str());
        std::exit(1);
    }
}

// The reference for writing: the input file's bytes, read beforehand, with write().
int childWriteReference(const std::string& path, const std::string& out, uint64_t points) {
    std::vector<char> bytes(sizeOf(path));
    {
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) fail("open");
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) fail("read");
            done += static_cast<size_t>(n);
        }
        ::close(fd);
    }
    const fresh::Stopwatch watch;
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) fail("open");
    // In the pieces the library writes: one huge write() costs far more on some machines.
    constexpr size_t kPiece = size_t{256} << 10;
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, std::min(kPiece, bytes.size() - done));
        if (n <= 0) fail("write");
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) fail("close");
    fresh::reportSeconds(watch);
    checkWritten(out, points);
    return 0;
}

int childBulkWrite(const std::string& path, const std::string& out, uint64_t points) {
    orv::OrvPtr<orv::LasPntPool> cloud = readCloud(path, points);
    orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(cloud.get());
    if (!pointers) fail("pointers");
    const fresh::Stopwatch watch;
    if (orv::orvSavePoint2Las(pointers.get(), out.c_str(), nullptr) != 0) fail("bulk write");
    fresh::reportSeconds(watch);
    checkWritten(out, points);
    return 0;
}

int childStreamWrite(const std::string& path, const std::string& out, uint64_t points) {
    orv::OrvPtr<orv::LasPntPool> cloud = readCloud(path, points);
    const fresh::Stopwatch watch;
    orv::OrvPtr<IOrvOutPntsStream> stream(newOutLasPntStream());
    if (!stream || stream->open(out.c_str()) != 0 || stream->begin() != 0) fail("output stream");
    const LasPnt* all = cloud->data();
    for (uint64_t i = 0; i < points; i += kStreamBlock) {
        const int n = static_cast<int>(std::min<uint64_t>(kStreamBlock, points - i));
        if (stream->writePntArray(all + i, n, nullptr) != 0) fail("output stream refused points");
    }
    if (stream->close() != 0) fail("output stream close");
    fresh::reportSeconds(watch);
    checkWritten(out, points);
    return 0;
}

// The hidden child side: `--child ROW FILE POINTS [OUT]`.
int runChildRow(int argc, char** argv) {
    if (argc < 5) return 2;
    const std::string row = argv[2], path = argv[3];
    const uint64_t points = std::strtoull(argv[4], nullptr, 10);
    const std::string out = argc > 5 ? argv[5] : "";
    if (row == "generate") return childGenerate(path, points);
    if (row == "read-ref") return childReadReference(path);
    if (row == "bulk-read") return childBulkRead(path, points);
    if (row == "stream-read") return childStreamRead(path, points);
    if (row == "write-ref") return childWriteReference(path, out, points);
    if (row == "bulk-write") return childBulkWrite(path, out, points);
    if (row == "stream-write") return childStreamWrite(path, out, points);
    return 2;
}

struct Row {
    uint64_t points;
    std::string name;
    fresh::Summary summary;
    std::string ratios;  // its median against the medians of the rows it compares with
};

std::string pointsLabel(uint64_t n) {
    char text[32];
    if (n >= 1000000 && n % 1000000 == 0)
        std::snprintf(text, sizeof text, "%llu M", static_cast<unsigned long long>(n / 1000000));
    else
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(n));
    return text;
}

// The rows of one cloud size: two groups of three, each group interleaved.
struct Groups {
    bool reads = true, writes = true;
};

void measureSize(uint64_t points, int runs, const std::string& dir, Groups groups,
                 std::vector<Row>& rows) {
    const std::string tag = dir + "/las_bench_" + std::to_string(::getpid());
    const std::string path = tag + ".las", out = tag + "_out.las";
    const std::string count = std::to_string(points);
    std::printf("%s points: generating...\n", pointsLabel(points).c_str());
    std::fflush(stdout);
    fresh::Sample ignored;
    std::string error;
    if (!fresh::runChild({"--child", "generate", path, count}, ignored, error)) {
        std::fprintf(stderr, "generate: %s\n", error.c_str());
        std::exit(1);
    }
    if (sizeOf(path) != expectedBytes(points)) fail("generated file");
    fresh::removeFlushed(out);
    if (!fresh::warm(path)) fail("warm");

    auto child = [&](const char* row) {
        return std::vector<std::string>{"--child", row, path, count, out};
    };
    const auto flushOut = [&] { fresh::removeFlushed(out); };
    const std::vector<fresh::Candidate> reads = {
        {"read() into fresh memory", child("read-ref"), nullptr},
        {"bulk read", child("bulk-read"), nullptr},
        {"input stream", child("stream-read"), nullptr}};
    const std::vector<fresh::Candidate> writes = {
        {"write() of the same bytes", child("write-ref"), flushOut},
        {"bulk write", child("bulk-write"), flushOut},
        {"output stream", child("stream-write"), flushOut}};
    // Against: the index of the row each compares with, -1 for a reference.
    const int against[] = {-1, 0, 1};
    for (const auto* group : {&reads, &writes}) {
        if ((group == &reads && !groups.reads) || (group == &writes && !groups.writes)) continue;
        std::printf("%s points: %s, %s, %s...\n", pointsLabel(points).c_str(),
                    (*group)[0].name.c_str(), (*group)[1].name.c_str(), (*group)[2].name.c_str());
        std::fflush(stdout);
        const std::vector<std::vector<fresh::Sample>> samples = fresh::interleaveAll(*group, runs);
        const size_t first = rows.size();
        for (size_t k = 0; k < group->size(); ++k) {
            Row row{points, (*group)[k].name, fresh::summarize(samples[k]), ""};
            // The output stream answers to the bulk writer and to write() both.
            for (int other : {against[k], group == &writes && k == 2 ? 0 : -1}) {
                if (other < 0) continue;
                const Row& to = rows[first + static_cast<size_t>(other)];
                char text[96];
                std::snprintf(text, sizeof text, "%s%.2f x %s (CPU %.2f x)",
                              row.ratios.empty() ? "" : "; ",
                              row.summary.median / to.summary.median, to.name.c_str(),
                              row.summary.cpuMedian / to.summary.cpuMedian);
                row.ratios += text;
            }
            rows.push_back(row);
        }
    }
    fresh::removeFlushed(out);
    ::unlink(path.c_str());
}

const Row* findRow(const std::vector<Row>& rows, uint64_t points, const std::string& name) {
    for (const Row& r : rows)
        if (r.points == points && r.name == name) return &r;
    return nullptr;
}

void printTable(const std::vector<Row>& rows, const std::vector<uint64_t>& sizes, int runs) {
    std::printf(
        "\nFresh process per run, %d runs per row, candidates interleaved with their "
        "reference.\nReads: file in the page cache. Writes: previous output flushed and "
        "removed before each run (untimed); the write() reference writes 256 KiB a call, as the "
        "library does.\nCPU: the processor time of the timed work, "
        "which other programs on a shared machine disturb least; user: its user-mode part, the "
        "program's own work.\n\n",
        runs);
    std::printf(
        "| points | row | min s | median s | max s | CPU s (median) | user s (median) | "
        "ns/point | max/median | ratio of medians | peak MiB |\n");
    std::printf("|---:|---|---:|---:|---:|---:|---:|---:|---:|---|---:|\n");
    for (const Row& r : rows) {
        std::printf("| %s | %s | %.4f | %.4f | %.4f | %.4f | %.4f | %.2f | %.2f | %s | %ld |\n",
                    pointsLabel(r.points).c_str(), r.name.c_str(), r.summary.min, r.summary.median,
                    r.summary.max, r.summary.cpuMedian, r.summary.userMedian,
                    r.summary.median * 1e9 / r.points, r.summary.max / r.summary.median,
                    r.ratios.empty() ? "reference" : r.ratios.c_str(), r.summary.peakKiB / 1024);
    }

    // The cost per point of every row at each size, against the size nearest 20 M.
    if (sizes.size() > 1) {
        uint64_t base = sizes[0];
        for (uint64_t n : sizes)
            if (std::llabs(static_cast<long long>(n) - 20000000) <
                std::llabs(static_cast<long long>(base) - 20000000))
                base = n;
        // Wall-clock time, then the user-mode part alone: the program's own work per point,
        // without the kernel's fresh memory and page cache, which a virtual machine can make
        // swing many times over between runs.
        // The kernel counts user time in clock ticks: runs shorter than kTicksEnough give none.
        constexpr double kTicksEnough = 0.05;
        const auto perPoint = [&](const char* title, double fresh::Summary::*figure,
                                  double shortest) {
            std::printf("\n%s per point by size, median ns (ratio against %s points):\n\n| row |",
                        title, pointsLabel(base).c_str());
            for (uint64_t n : sizes) std::printf(" %s |", pointsLabel(n).c_str());
            std::printf("\n|---|");
            for (size_t i = 0; i < sizes.size(); ++i) std::printf("---:|");
            std::printf("\n");
            for (const char* name : {"read() into fresh memory", "bulk read", "input stream",
                                     "write() of the same bytes", "bulk write", "output stream"}) {
                const Row* at = findRow(rows, base, name);
                if (!at) continue;
                const double atNs = at->summary.*figure * 1e9 / base;
                // A reference with no user-mode work of its own gives no ratio.
                const bool atKnown = atNs > 0 && at->summary.median >= shortest;
                std::printf("| %s |", name);
                for (uint64_t n : sizes) {
                    const Row* r = findRow(rows, n, name);
                    const double ns = r ? r->summary.*figure * 1e9 / n : 0.0;
                    if (!r || r->summary.*figure < 0 || r->summary.median < shortest)
                        std::printf(" - |");
                    else if (n != base && atKnown)
                        std::printf(" %.1f (%.2f x) |", ns, ns / atNs);
                    else
                        std::printf(" %.1f |", ns);
                }
                std::printf("\n");
            }
        };
        perPoint("Wall-clock time", &fresh::Summary::median, 0.0);
        perPoint("User-mode processor time", &fresh::Summary::userMedian, kTicksEnough);
    }
    std::printf("\nPeak memory of the bulk read against 22 bytes a point + 64 MiB:\n");
    for (uint64_t n : sizes) {
        const Row* r = findRow(rows, n, "bulk read");
        if (!r) continue;
        std::printf("  %s points: %ld MiB (limit %.0f MiB)\n", pointsLabel(n).c_str(),
                    r->summary.peakKiB / 1024, (22.0 * n) / 1048576.0 + 64.0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return runChildRow(argc, argv);
    std::vector<uint64_t> sizes = {1000000, 20000000, 100000000};
    int runs = 7;
    std::string dir = "/tmp";
    Groups groups;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--sizes" && i + 1 < argc) {
            sizes.clear();
            for (const char* at = argv[++i]; *at;) {
                char* end = nullptr;
                const uint64_t n = std::strtoull(at, &end, 10);
                if (end == at || n == 0) {
                    std::fputs(kUsage, stderr);
                    return 2;
                }
                sizes.push_back(n);
                at = *end == ',' ? end + 1 : end;
            }
        } else if (a == "--rows" && i + 1 < argc) {
            const std::string which = argv[++i];
            groups.reads = which != "writes";
            groups.writes = which != "reads";
            if (which != "reads" && which != "writes" && which != "all") {
                std::fputs(kUsage, stderr);
                return 2;
            }
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (sizes.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::vector<Row> rows;
    for (uint64_t n : sizes) measureSize(n, runs, dir, groups, rows);
    printTable(rows, sizes, runs);
    return 0;
}
