// LAZ speed: decompression and compression of generated clouds of formats 1 and 6, one thread
// and every core, beside the cost of reading the uncompressed file and, given its path, beside
// another program that converts LAS to LAZ and back (`PEER IN OUT`, LAZ when OUT ends in .laz).
// Every run is a fresh process; the rows of a group run interleaved.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FreshRuns.h"
#include "OrvError.h"
#include "OrvLasFile.h"
#include "OrvLasFormat.h"
#include "OrvThreads.h"

namespace {

struct Options {
    uint64_t points = 20000000;
    int runs = 7;
    std::string dir = "/tmp/laz_bench";
    std::string peer;
    std::vector<int> formats = {1, 6};
    unsigned threads = 0;  // 0: every core
};

uint64_t fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// A cloud as an airborne scanner records it: scan lines across a swath, mostly single returns,
// GPS time rising steadily, a smooth terrain with noise.
bool generate(const std::string& path, int format, uint64_t points) {
    const bool v14 = format >= 6;
    const uint16_t rl = v14 ? 30 : 28;
    std::vector<uint8_t> head(v14 ? 375 : 227, 0);
    LasHeader h;
    std::memcpy(h.signature, "LASF", 4);
    h.versionMajor = 1;
    h.versionMinor = v14 ? 4 : 2;
    h.headerSize = uint16_t(head.size());
    h.offsetToPointData = uint32_t(head.size());
    h.pointDataFormat = uint8_t(format);
    h.pointDataRecordLength = rl;
    h.numberOfPointRecords = v14 ? 0 : uint32_t(points);
    h.xScale = h.yScale = h.zScale = 0.01;
    std::memcpy(head.data(), &h, sizeof h);
    if (v14) {
        Las14Extension e;
        e.numberOfPointRecords = points;
        std::memcpy(head.data() + sizeof h, &e, sizeof e);
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::fwrite(head.data(), 1, head.size(), f);
    uint64_t state = 88172645463325252ull;
    auto rnd = [&state](uint32_t n) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return uint32_t(state % n);
    };
    std::vector<uint8_t> buf;
    buf.reserve(size_t(1 << 16) * rl);
    const int lineLength = 600;
    double gps = 300000.0;
    int32_t x = 0, y = 0, z = 0;
    int returns = 1, ret = 1;
    for (uint64_t p = 0; p < points; ++p) {
        const int64_t line = int64_t(p / lineLength), along = int64_t(p % lineLength);
        if (ret >= returns) {  // a new pulse
            returns = rnd(100) < 85 ? 1 : 2 + int(rnd(3));
            ret = 1;
            gps += 1e-5;
            const int dir = line % 2 ? -1 : 1;
            x = int32_t(dir * (along - lineLength / 2) * 50 + int(rnd(20)));
            y = int32_t(line * 70 + int(rnd(15)));
            z = int32_t(10000 + 3000 * std::sin(x * 1e-5) * std::cos(y * 1e-5)) + int32_t(rnd(40));
        } else {
            ++ret;
            z -= int32_t(200 + rnd(800));
            x += int32_t(rnd(7)) - 3;
        }
        uint8_t rec[30] = {};
        std::memcpy(rec, &x, 4);
        std::memcpy(rec + 4, &y, 4);
        std::memcpy(rec + 8, &z, 4);
        const uint16_t intensity = uint16_t(300 + rnd(120) + (ret > 1 ? 0 : 200));
        std::memcpy(rec + 12, &intensity, 2);
        const uint8_t cls = uint8_t(rnd(10) < 6 ? 2 : (rnd(2) ? 1 : 5));
        const int angle = int(along * 40 / lineLength) - 20;
        const uint16_t source = uint16_t(1 + p / 2000000);
        if (v14) {
            rec[14] = uint8_t(ret | (returns << 4));
            rec[15] = uint8_t((line % 2) << 6);
            rec[16] = cls;
            const int16_t scaled = int16_t(angle / 0.006);
            std::memcpy(rec + 18, &scaled, 2);
            std::memcpy(rec + 20, &source, 2);
            std::memcpy(rec + 22, &gps, 8);
        } else {
            rec[14] = uint8_t(ret | (returns << 3) | ((line % 2) << 6));
            rec[15] = cls;
            rec[16] = uint8_t(int8_t(angle));
            std::memcpy(rec + 18, &source, 2);
            std::memcpy(rec + 20, &gps, 8);
        }
        buf.insert(buf.end(), rec, rec + rl);
        if (buf.size() >= size_t(1 << 16) * rl) {
            std::fwrite(buf.data(), 1, buf.size(), f);
            buf.clear();
        }
    }
    std::fwrite(buf.data(), 1, buf.size(), f);
    return std::fclose(f) == 0;
}

// ---- children ----

int childRead(const char* path) {
    fresh::Stopwatch watch;
    orv::LasReader reader;
    if (reader.open(path) != 0) return 1;
    const size_t rl = reader.header().recordLength;
    std::vector<uint8_t> batch(size_t(65536) * rl);
    uint64_t sum = 0;
    while (size_t n = reader.readRaw(batch.data(), 65536))
        for (size_t i = 0; i < n; ++i) sum += batch[i * rl];
    fresh::reportSeconds(watch.seconds());
    return sum == 1 ? 2 : 0;  // keeps the touch of every record
}

// LAS to LAZ or back, as the library's reader and writer copy a file: LAZ when `out` ends in
// .laz.
int childConvert(const char* in, const char* out, unsigned threads) {
    fresh::Stopwatch watch;
    orv::LasReader reader;
    reader.setThreads(threads);
    orv::LasWriter writer;
    writer.setThreads(threads);
    try {
        if (reader.open(in) != 0 || writer.open(out, reader.header()) != 0) {
            std::fprintf(stderr, "%s%s\n", reader.error().c_str(), writer.error().c_str());
            return 1;
        }
        std::vector<uint8_t> batch(size_t(65536) * reader.header().recordLength);
        while (size_t n = reader.readRaw(batch.data(), 65536)) writer.writeRaw(batch.data(), n);
        if (reader.header().warnings & orv::kLasRecordsDamaged) {
            std::fprintf(stderr, "%s\n", reader.error().c_str());
            return 1;
        }
        writer.close();
    } catch (const orv::FileError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    fresh::reportSeconds(watch.seconds());
    return 0;
}

int childPeer(char** argv) {
    fresh::Stopwatch watch;
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) return 1;
    int status = 0;
    if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    fresh::reportSeconds(watch.seconds());
    return 0;
}

// ---- parent ----

void printRows(const char* title, const std::vector<fresh::Candidate>& rows,
               const std::vector<std::vector<fresh::Sample>>& samples, uint64_t points,
               int peerRow) {
    std::printf("\n%s\n%-36s %8s %8s %8s %9s %9s %8s\n", title, "row", "min s", "median s", "max s",
                "Mpoints/s", "peak MiB", "x peer");
    const double peerMedian =
        peerRow >= 0 ? fresh::summarize(samples[size_t(peerRow)]).median : 0.0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const fresh::Summary s = fresh::summarize(samples[i]);
        std::printf("%-36s %8.3f %8.3f %8.3f %9.2f %9.1f", rows[i].name.c_str(), s.min, s.median,
                    s.max, double(points) / s.median / 1e6, double(s.peakKiB) / 1024.0);
        if (peerMedian > 0) std::printf(" %8.2f", peerMedian / s.median);
        std::printf("\n");
    }
    std::fflush(stdout);
}

int parent(const Options& o) {
    mkdir(o.dir.c_str(), 0755);
    const unsigned all = orv::threadCount(o.threads);
    std::printf(
        "%llu points a cloud, %d fresh-process runs a row, %u threads in the parallel rows\n",
        (unsigned long long)o.points, o.runs, all);
    for (int format : o.formats) {
        const std::string stem =
            o.dir + "/format" + std::to_string(format) + "-" + std::to_string(o.points);
        const std::string las = stem + ".las", laz = stem + ".laz", peerLaz = stem + ".peer.laz";
        const std::string outLas = stem + ".out.las", outLaz = stem + ".out.laz";
        // Made by children: a child's peak memory counts its parent's at the spawn, so the
        // parent stays small.
        std::string error;
        fresh::Sample made;
        if (fileSize(las) == 0 && !fresh::runChild({"--child-generate", las, std::to_string(format),
                                                    std::to_string(o.points)},
                                                   made, error)) {
            std::fprintf(stderr, "cannot write %s: %s\n", las.c_str(), error.c_str());
            return 1;
        }
        if (fileSize(laz) == 0 &&
            !fresh::runChild({"--child-encode", las, laz, "0"}, made, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        std::printf("\nformat %d: LAS %.1f MB, our LAZ %.1f MB", format, fileSize(las) / 1e6,
                    fileSize(laz) / 1e6);
        if (!o.peer.empty()) {
            if (fileSize(peerLaz) == 0) {
                std::vector<std::string> cmd = {"--child-peer", o.peer, las, peerLaz};
                fresh::Sample s;
                if (!fresh::runChild(cmd, s, error)) {
                    std::fprintf(stderr, "peer: %s\n", error.c_str());
                    return 1;
                }
            }
            std::printf(", peer LAZ %.1f MB (ours %+.2f %%)", fileSize(peerLaz) / 1e6,
                        100.0 * (double(fileSize(laz)) - double(fileSize(peerLaz))) /
                            double(fileSize(peerLaz)));
        }
        std::printf("\n");
        fresh::warm(las);
        fresh::warm(laz);
        const std::string t1 = "1", tn = std::to_string(all);
        auto clearLas = [outLas] { fresh::removeFlushed(outLas); };
        auto clearLaz = [outLaz] { fresh::removeFlushed(outLaz); };
        std::vector<fresh::Candidate> dec = {
            {"read LAS records (reference)", {"--child-read", las}, nullptr},
            {"ours: LAZ to LAS, 1 thread", {"--child-decode", laz, outLas, t1}, clearLas},
            {"ours: LAZ to LAS, " + tn + " threads", {"--child-decode", laz, outLas, tn}, clearLas},
        };
        std::vector<fresh::Candidate> enc = {
            {"ours: LAS to LAZ, 1 thread", {"--child-encode", las, outLaz, t1}, clearLaz},
            {"ours: LAS to LAZ, " + tn + " threads", {"--child-encode", las, outLaz, tn}, clearLaz},
        };
        int peerDec = -1, peerEnc = -1;
        if (!o.peer.empty()) {
            fresh::warm(peerLaz);
            peerDec = int(dec.size());
            dec.push_back(
                {"peer: LAZ to LAS", {"--child-peer", o.peer, peerLaz, outLas}, clearLas});
            peerEnc = int(enc.size());
            enc.push_back({"peer: LAS to LAZ", {"--child-peer", o.peer, las, outLaz}, clearLaz});
        }
        printRows(("decompression, format " + std::to_string(format)).c_str(), dec,
                  fresh::interleaveAll(dec, o.runs), o.points, peerDec);
        printRows(("compression, format " + std::to_string(format)).c_str(), enc,
                  fresh::interleaveAll(enc, o.runs), o.points, peerEnc);
        fresh::removeFlushed(outLas);
        fresh::removeFlushed(outLaz);
    }
    return 0;
}

void usage() {
    std::printf(
        "usage: laz_bench [--points N] [--runs R] [--dir DIR] [--formats 1,6] [--threads T]\n"
        "                 [--peer PROGRAM]\n"
        "  PROGRAM IN OUT converts LAS to LAZ (OUT ending in .laz) and LAZ to LAS; its rows and\n"
        "  the ratio of its median time to ours are printed when given.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--child-read") == 0) return childRead(argv[2]);
    if (argc >= 5 && std::strcmp(argv[1], "--child-generate") == 0) {
        if (!generate(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10))) return 1;
        fresh::reportSeconds(0.0);
        return 0;
    }
    if (argc >= 5 && (std::strcmp(argv[1], "--child-decode") == 0 ||
                      std::strcmp(argv[1], "--child-encode") == 0))
        return childConvert(argv[2], argv[3], unsigned(std::atoi(argv[4])));
    if (argc >= 5 && std::strcmp(argv[1], "--child-peer") == 0) return childPeer(argv + 2);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--help") {
            usage();
            return 0;
        } else if (a == "--points" && v) {
            o.points = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--runs" && v) {
            o.runs = std::atoi(argv[++i]);
        } else if (a == "--dir" && v) {
            o.dir = argv[++i];
        } else if (a == "--peer" && v) {
            o.peer = argv[++i];
        } else if (a == "--threads" && v) {
            o.threads = unsigned(std::atoi(argv[++i]));
        } else if (a == "--formats" && v) {
            o.formats.clear();
            for (const char* p = argv[++i]; *p; ++p)
                if (*p >= '0' && *p <= '9') o.formats.push_back(*p - '0');
        } else {
            usage();
            return 2;
        }
    }
    return parent(o);
}
