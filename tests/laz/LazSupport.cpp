#include "laz/LazSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <random>

namespace orvtest {

std::string lazDataDir() {
    const std::string dir = orvtest::testDataDir() + "/laz";
    struct stat st;
    return stat((dir + "/EXPECTED.txt").c_str(), &st) == 0 ? dir : std::string();
}

LazDecoded decodeLazBytes(const std::vector<uint8_t>& file, unsigned threads) {
    LazDecoded d;
    TempDir dir;
    writeFile(dir.path("in.laz"), file);
    orv::LasReader reader;
    reader.setThreads(threads);
    if (reader.open(dir.path("in.laz").c_str()) != 0) {
        d.error = reader.error();
        return d;
    }
    d.opened = true;
    if (reader.header().warnings & orv::kLasChunkTableLost) d.warning = reader.error();
    const size_t rl = reader.header().recordLength;
    std::vector<uint8_t> block(4096 * rl);
    while (size_t got = reader.readRaw(block.data(), 4096))
        d.records.insert(d.records.end(), block.begin(), block.begin() + long(got * rl));
    d.points = d.records.size() / rl;
    if (reader.header().warnings & orv::kLasRecordsDamaged) d.error = reader.error();
    return d;
}

std::vector<uint8_t> lasRecords(const std::vector<uint8_t>& file) {
    return decodeLazBytes(file).records;
}

std::string copyLas(const std::string& in, const std::string& out, unsigned threads,
                    uint32_t chunk) {
    orv::LasReader reader;
    reader.setThreads(threads);
    if (reader.open(in.c_str()) != 0) return reader.error();
    orv::LasWriter writer;
    writer.setThreads(threads);
    writer.setChunkSize(chunk);
    if (writer.open(out.c_str(), reader.header()) != 0) return writer.error();
    std::vector<uint8_t> block(4096 * size_t(reader.header().recordLength));
    while (size_t got = reader.readRaw(block.data(), 4096)) writer.writeRaw(block.data(), got);
    if (reader.header().warnings & orv::kLasRecordsDamaged) return reader.error();
    writer.close();
    return "";
}

LazOpened::LazOpened(const std::vector<uint8_t>& file, unsigned threads)
    : m_bytes(file), m_source(m_bytes.data(), m_bytes.size()) {
    TempDir dir;
    writeFile(dir.path("in.laz"), file);
    orv::LasReader reader;
    const int opened = reader.open(dir.path("in.laz").c_str());
    if (opened != 0 && opened != -3) {
        m_error = reader.error();
        return;
    }
    const orv::LasFileHeader& h = reader.header();
    for (const orv::LasVlr& v : h.vlrs)
        if (v.userId == orv::laz::kVlrUserId && v.recordId == orv::laz::kVlrRecordId)
            m_vlr = v.payload;
    orv::laz::LazInput in;
    in.pointFormat = h.pointFormat;
    in.recordLength = m_recordLength = h.recordLength;
    in.vlr = m_vlr.data();
    in.vlrSize = m_vlr.size();
    in.pointOffset = h.offsetToPointData;
    in.pointCount = h.statedPoints;
    m_decoder.setThreads(threads);
    if (!m_decoder.open(m_source, in)) m_error = m_decoder.error();
}

size_t lazVlrPayloadAt(const std::vector<uint8_t>& file) {
    auto u16 = [&](size_t at) {
        return at + 2 <= file.size() ? size_t(file[at] | file[at + 1] << 8) : 0;
    };
    if (file.size() < 104) return 0;
    size_t at = u16(94);
    uint32_t count = 0;
    std::memcpy(&count, &file[100], 4);
    for (uint32_t i = 0; i < count && at + 54 <= file.size(); ++i) {
        if (std::memcmp(&file[at + 2], orv::laz::kVlrUserId, 15) == 0 &&
            u16(at + 18) == orv::laz::kVlrRecordId)
            return at + 54;
        at += 54 + u16(at + 20);
    }
    return 0;
}

std::string sha256(const std::vector<uint8_t>& bytes) {
    TempDir dir;
    const std::string path = dir.path("bytes");
    writeFile(path, bytes);
    const CommandResult r = runCommand("sha256sum " + shellQuote(path));
    return r.out.substr(0, 64);
}

namespace {

uint8_t channelOf(ChannelPattern pattern, size_t p, size_t points, uint32_t random) {
    static const uint8_t kRuns[] = {0, 1, 2, 3, 1, 3, 0, 2};
    switch (pattern) {
        case ChannelPattern::kOne:
            return 0;
        case ChannelPattern::kMixed:
            return uint8_t((p / 7) % 4 == 3 ? random % 4 : 0);
        case ChannelPattern::kSwitchOnce:
            return p < points / 2 ? 0 : 2;
        case ChannelPattern::kReturn:
            return p >= points / 3 && p < 2 * points / 3 ? 1 : 0;
        case ChannelPattern::kAllFour:
            return kRuns[(p / 5) % 8];
    }
    return 0;
}

}  // namespace

std::vector<uint8_t> makeLas(int format, uint16_t extra, size_t points, uint32_t seed,
                             ChannelPattern channels) {
    const uint16_t rl = uint16_t(orv::kLasPointLayouts[format].length + extra);
    const bool v14 = format >= 6;
    // The first version that knows the format.
    const uint8_t minor = v14 ? 4 : format >= 4 ? 3 : 2;
    const uint16_t headerSize = v14 ? 375 : minor == 3 ? 235 : 227;
    std::vector<uint8_t> f(headerSize, 0);
    std::memcpy(f.data(), "LASF", 4);
    f[24] = 1;
    f[25] = minor;
    auto put = [&](size_t at, const void* v, size_t n) { std::memcpy(f.data() + at, v, n); };
    put(94, &headerSize, 2);
    const uint32_t offset = headerSize;
    put(96, &offset, 4);
    f[104] = uint8_t(format);
    put(105, &rl, 2);
    const uint32_t legacy = uint32_t(points);
    if (v14) {
        const uint64_t count = points;
        put(247, &count, 8);
    } else {
        put(107, &legacy, 4);
    }
    const double scale = 0.01;
    for (int i = 0; i < 3; ++i) put(131 + 8 * size_t(i), &scale, 8);
    std::mt19937 rng(seed);
    auto rnd = [&](uint32_t n) { return uint32_t(rng() % n); };
    int32_t x = 100000, y = -50000, z = 300;
    double times[3] = {1000.0, 5e8, -3.0};
    uint16_t rgb[4] = {1000, 2000, 3000, 4000};
    uint8_t r = 1, n = 3;
    uint64_t waveOffset = 60;
    uint32_t waveSize = 256;
    const bool gps = format == 1 || format >= 3;
    const bool colour =
        format == 2 || format == 3 || format == 5 || format == 7 || format == 8 || format == 10;
    const bool nir = format == 8 || format == 10;
    const bool wave = format == 4 || format == 5 || format == 9 || format == 10;
    for (size_t p = 0; p < points; ++p) {
        std::vector<uint8_t> rec(rl, 0);
        x += int32_t(rnd(200)) - 100;
        y += int32_t(rnd(50)) - 20;
        z = p % 97 == 0 ? int32_t(rng()) : z + int32_t(rnd(7)) - 3;
        std::memcpy(rec.data(), &x, 4);
        std::memcpy(rec.data() + 4, &y, 4);
        std::memcpy(rec.data() + 8, &z, 4);
        const uint16_t intensity = uint16_t(p % 5 == 0 ? rnd(65536) : 700 + rnd(3));
        std::memcpy(rec.data() + 12, &intensity, 2);
        if (++r > n) {
            r = 1;
            n = uint8_t(1 + rnd(v14 ? 15 : 7));
        }
        if (p % 31 == 0) r = uint8_t(rnd(v14 ? 16 : 8));  // out-of-order returns
        const int seq = p % 11 == 0 ? 1 : (p % 13 == 0 ? 2 : 0);
        times[seq] += seq == 2 ? 1e7 * rnd(3) : 0.001 * rnd(3);
        size_t at;
        if (v14) {
            rec[14] = uint8_t(r | (n << 4));
            const uint8_t flags = uint8_t(rnd(16) == 0 ? rnd(256) & 0xCF : 0);
            rec[15] = uint8_t(flags | channelOf(channels, p, points, rng()) << 4);
            rec[16] = uint8_t(p % 3 ? 2 : rnd(256));
            rec[17] = 0;  // never changes: its layer stays empty
            const int16_t angle = int16_t(p % 2 ? 100 : -int(rnd(30000)));
            std::memcpy(rec.data() + 18, &angle, 2);
            const uint16_t source = uint16_t(p / 100);
            std::memcpy(rec.data() + 20, &source, 2);
            std::memcpy(rec.data() + 22, &times[seq], 8);
            at = 30;
        } else {
            rec[14] = uint8_t((r & 7) | ((n & 7) << 3) | (rnd(8) == 0 ? 0xC0 : 0));
            rec[15] = uint8_t(p % 3 ? 2 : rnd(256));
            rec[16] = uint8_t(int8_t(rnd(180)) - 90);
            rec[17] = uint8_t(p % 17 == 0 ? rnd(256) : 0);
            const uint16_t source = uint16_t(p / 100);
            std::memcpy(rec.data() + 18, &source, 2);
            at = 20;
            if (gps) {
                std::memcpy(rec.data() + at, &times[seq], 8);
                at += 8;
            }
        }
        if (colour) {
            if (p % 4 == 0) {
                for (auto& c : rgb) c = uint16_t(c + rnd(600) - 300);
            } else if (p % 4 == 1) {
                rgb[1] = rgb[2] = rgb[0];  // grey: one channel codes all three
            }
            std::memcpy(rec.data() + at, rgb, nir ? 8 : 6);
            at += nir ? 8 : 6;
        }
        if (wave) {
            // Packets mostly follow each other in the waveform data, some repeat or jump.
            const uint32_t how = rnd(8);
            if (how < 5)
                waveOffset += waveSize;
            else if (how == 6)
                waveOffset += rnd(100000);
            else if (how == 7)
                waveOffset += uint64_t(rnd(4)) << 33;
            if (rnd(10) == 0) waveSize = 128 + rnd(512);
            const float ret = float(rnd(5000)) * 0.5f;
            const float dir[3] = {float(rnd(100)) * 1e-3f, -0.25f, p % 6 ? 0.9f : 0.8f};
            rec[at] = uint8_t(1 + rnd(3));
            std::memcpy(rec.data() + at + 1, &waveOffset, 8);
            std::memcpy(rec.data() + at + 9, &waveSize, 4);
            std::memcpy(rec.data() + at + 13, &ret, 4);
            std::memcpy(rec.data() + at + 17, dir, 12);
        }
        for (uint16_t e = 0; e < extra; ++e) rec[rl - extra + e] = uint8_t(e == 0 ? p : rnd(4));
        f.insert(f.end(), rec.begin(), rec.end());
    }
    return f;
}

std::vector<uint8_t> lazPerfRecords(const std::string& path, const TempDir& dir) {
    struct stat st;
    const std::string package = std::string(ORV_JS_DIR) + "/node_modules/laz-perf/package.json";
    EXPECT_EQ(stat(package.c_str(), &st), 0) << "laz-perf not installed; run scripts/setup.sh";
    const std::string out = dir.path("lazperf.records");
    const auto r =
        runCommand("NODE_PATH=" + shellQuote(std::string(ORV_JS_DIR) + "/node_modules") + " " +
                   shellQuote(ORV_NODE_PATH) + " " + shellQuote(lazDataDir() + "/decode_laz.js") +
                   " " + shellQuote(path) + " --records " + shellQuote(out) + " > /dev/null");
    EXPECT_EQ(r.status, 0) << path;
    return r.status == 0 ? readFile(out) : std::vector<uint8_t>();
}

std::vector<uint8_t> lazPointData(const std::vector<uint8_t>& file) {
    // The chunks start after the 8 bytes of the table's offset; extended VLRs follow the table.
    if (file.size() < 235) return {};
    uint32_t points = 0;
    uint64_t evlrs = 0;
    std::memcpy(&points, &file[96], 4);
    if (file[25] >= 4 && file.size() >= 243) std::memcpy(&evlrs, &file[235], 8);
    const uint64_t end = evlrs > points && evlrs <= file.size() ? evlrs : file.size();
    if (uint64_t(points) + 8 > end) return {};
    return std::vector<uint8_t>(file.begin() + long(points + 8), file.begin() + long(end));
}

}  // namespace orvtest
