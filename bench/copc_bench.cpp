// COPC: writing a cloud-optimised file from a LAS file (time, peak memory), beside another
// program when given (`--peer 'CMD {in} {out}'`), and a bounds query over about 1 % of the area
// (time, bytes read and their share of the file) beside reading that many bytes of the file,
// from the page cache and from the disk.
// Every run is a fresh process; the rows of a group run interleaved.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AirborneCloud.h"
#include "FreshRuns.h"
#include "OrvCopc.h"
#include "OrvLasFile.h"

namespace {

struct Options {
    uint64_t points = 20000000;
    int runs = 5;
    std::string dir = "/tmp/copc_bench";
    std::string peer;
    std::string memory = "1073741824";
};

uint64_t fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

int childWrite(const char* in, const char* out, const char* memory) {
    fresh::Stopwatch watch;
    orv::CopcWriteOptions o;
    o.memoryBytes = std::strtoull(memory, nullptr, 10);
    orv::CopcWriteSummary s;
    std::string error;
    if (!orv::writeCopc({in}, out, o, s, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    fresh::reportSeconds(watch);
    std::fprintf(stderr, "  %llu points, %u nodes, %d levels, %u scratch files (%llu bytes)\n",
                 (unsigned long long)s.points, s.nodes, s.levels, s.spillFiles,
                 (unsigned long long)s.spillBytes);
    return 0;
}

int childPeer(const char* command) {
    fresh::Stopwatch watch;
    if (std::system(command) != 0) return 1;
    fresh::reportSeconds(watch);
    return 0;
}

// A box of a tenth of each side at the centre of the cloud: about 1 % of its points.
orv::CopcQuery centralTenth(const orv::LasFileHeader& h) {
    orv::CopcQuery q;
    for (int axis = 0; axis < 2; ++axis) {
        const double mid = (h.min[axis] + h.max[axis]) / 2, half = (h.max[axis] - h.min[axis]) / 20;
        q.min[axis] = mid - half, q.max[axis] = mid + half;
    }
    return q;
}

int childQuery(const char* path) {
    fresh::Stopwatch watch;
    orv::CopcReader r;
    if (r.open(path) != 0) return 1;
    const orv::LasFileHeader& h = r.header();
    const orv::CopcQuery q = centralTenth(h);
    std::vector<uint8_t> records;
    const int64_t n = r.read(q, records);
    if (n < 0) return 1;
    fresh::reportSeconds(watch);
    const orv::CopcTraffic t = r.traffic();
    // The points of the nodes the query touched: what it had to decode.
    std::vector<orv::CopcNode> nodes;
    r.nodes(q, nodes);
    unsigned long long decoded = 0;
    for (const orv::CopcNode& node : nodes) decoded += unsigned(std::max(node.pointCount, 0));
    std::fprintf(stderr,
                 "  %lld points of %llu (%.2f %%) from %llu decoded in %zu nodes, %llu bytes read "
                 "of %llu (%.2f %%)\n",
                 (long long)n, (unsigned long long)h.statedPoints,
                 100.0 * double(n) / double(h.statedPoints), decoded, nodes.size(),
                 (unsigned long long)t.bytes, (unsigned long long)fileSize(path),
                 100.0 * double(t.bytes) / double(fileSize(path)));
    return 0;
}

// Reading `bytes` bytes of the file: what the query's share of the file costs on its own.
int childReadBytes(const char* path, const char* bytes) {
    fresh::Stopwatch watch;
    FILE* f = std::fopen(path, "rb");
    if (!f) return 1;
    std::vector<char> buffer(1 << 20);
    uint64_t left = std::strtoull(bytes, nullptr, 10);
    while (left > 0) {
        const size_t n =
            std::fread(buffer.data(), 1, size_t(std::min<uint64_t>(left, buffer.size())), f);
        if (n == 0) break;
        left -= n;
    }
    std::fclose(f);
    fresh::reportSeconds(watch);
    return 0;
}

// Drops the file's pages from the page cache (this file's only), so that the next run reads it
// from the disk.
void evict(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

void row(const char* name, const fresh::Summary& s) {
    std::printf("%-28s %8.3f %8.3f %8.3f s  cpu %8.3f s  peak %8.1f MiB\n", name, s.min, s.median,
                s.max, s.cpuMedian, double(s.peakKiB) / 1024);
}

int parent(const Options& o) {
    std::system(("mkdir -p '" + o.dir + "'").c_str());
    const std::string in = o.dir + "/in.las", out = o.dir + "/out.copc.laz",
                      peerOut = o.dir + "/peer.copc.laz";
    if (fileSize(in) == 0 && !bench::writeAirborneCloud(in, o.points)) return 1;
    std::printf("%llu points, %d runs (min median max)\n", (unsigned long long)o.points, o.runs);
    fresh::warm(in);
    std::vector<fresh::Candidate> writers = {
        {"las copc", {"--child-write", in, out, o.memory}, [&] { fresh::removeFlushed(out); }}};
    if (!o.peer.empty()) {
        std::string command = o.peer;
        for (const auto& [key, value] : {std::pair<std::string, std::string>{"{in}", in},
                                         std::pair<std::string, std::string>{"{out}", peerOut}})
            for (size_t at; (at = command.find(key)) != std::string::npos;)
                command.replace(at, key.size(), value);
        writers.push_back(
            {"peer", {"--child-peer", command}, [&] { fresh::removeFlushed(peerOut); }});
    }
    const auto written = fresh::interleaveAll(writers, o.runs);
    for (size_t k = 0; k < writers.size(); ++k)
        row(writers[k].name.c_str(), fresh::summarize(written[k]));

    // The query's bytes come from its own report; the reference reads as many.
    orv::CopcReader r;
    if (r.open(out) != 0) return 1;
    const orv::LasFileHeader& h = r.header();
    const orv::CopcQuery q = centralTenth(h);
    std::vector<uint8_t> records;
    r.read(q, records);
    const std::string bytes = std::to_string(r.traffic().bytes);
    fresh::warm(out);
    const auto queried =
        fresh::interleaveAll({{"1 % bounds query", {"--child-query", out}, nullptr},
                              {"reading its bytes", {"--child-read-bytes", out, bytes}, nullptr}},
                             o.runs);
    row("1 % bounds query", fresh::summarize(queried[0]));
    row("reading as many bytes", fresh::summarize(queried[1]));
    // The same from the disk: decoding is then set beside what the bytes cost to fetch.
    const auto evicted = [&] { evict(out); };
    const auto cold =
        fresh::interleaveAll({{"cold query", {"--child-query", out}, evicted},
                              {"cold bytes", {"--child-read-bytes", out, bytes}, evicted}},
                             o.runs);
    row("1 % bounds query, cold", fresh::summarize(cold[0]));
    row("reading as many, cold", fresh::summarize(cold[1]));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "--child-write") == 0)
        return childWrite(argv[2], argv[3], argv[4]);
    if (argc >= 3 && std::strcmp(argv[1], "--child-peer") == 0) return childPeer(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "--child-query") == 0) return childQuery(argv[2]);
    if (argc >= 4 && std::strcmp(argv[1], "--child-read-bytes") == 0)
        return childReadBytes(argv[2], argv[3]);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--points" && value)
            o.points = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--runs" && value)
            o.runs = std::atoi(argv[++i]);
        else if (a == "--dir" && value)
            o.dir = argv[++i];
        else if (a == "--peer" && value)
            o.peer = argv[++i];
        else if (a == "--memory" && value)
            o.memory = argv[++i];
        else {
            std::printf(
                "usage: copc_bench [--points N] [--runs N] [--dir DIR] [--memory BYTES]\n"
                "                  [--peer 'COMMAND {in} {out}']\n");
            return a == "--help" ? 0 : 2;
        }
    }
    return parent(o);
}
