// Writes the seed corpora of the fuzz targets: small valid files and files broken in the ways
// that matter to the readers. Usage: fuzz_make_corpus <corpus folder>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "OrvError.h"
#include "OrvLasFile.h"
#include "OrvLasFormat.h"

namespace {

using Bytes = std::vector<uint8_t>;

LasHeader header1x(uint32_t points, uint32_t offset) {
    LasHeader h;
    std::memcpy(h.signature, "LASF", 4);
    h.versionMajor = 1;
    h.versionMinor = 2;
    std::memcpy(h.generatingSoftware, "corpus", 6);
    h.headerSize = sizeof(LasHeader);
    h.offsetToPointData = offset;
    h.pointDataFormat = 0;
    h.pointDataRecordLength = 20;
    h.numberOfPointRecords = points;
    h.xScale = h.yScale = h.zScale = 0.001;
    h.xOffset = 500000.0;
    h.yOffset = 4000000.0;
    return h;
}

void append(Bytes& out, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    out.insert(out.end(), p, p + size);
}

// A format-0 record: X, Y, Z, intensity, return byte, classification, then zeros.
void appendRecord(Bytes& out, int32_t x, int32_t y, int32_t z, uint32_t length = 20) {
    Bytes record(length, 0);
    const int32_t xyz[3] = {x, y, z};
    std::memcpy(record.data(), xyz, std::min<size_t>(12, length));
    if (length >= 16) {
        record[12] = 100;
        record[14] = 0x09;  // return 1 of 1
        record[15] = 2;     // ground
    }
    append(out, record.data(), record.size());
}

// A header, filler up to the offset to point data, then `points` records.
Bytes file1x(const LasHeader& h, uint32_t points, uint32_t gapTo = 0) {
    Bytes out;
    append(out, &h, sizeof h);
    if (gapTo > out.size()) out.resize(gapTo, 0xEE);
    for (uint32_t i = 0; i < points; ++i)
        appendRecord(out, 1000 * static_cast<int32_t>(i) - 250, -7 * static_cast<int32_t>(i), 12345,
                     h.pointDataRecordLength ? h.pointDataRecordLength : 20);
    return out;
}

void write(const std::filesystem::path& folder, const std::string& name, const Bytes& bytes) {
    std::filesystem::create_directories(folder);
    const std::string path = (folder / name).string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f)) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

void probeCorpus(const std::filesystem::path& folder) {
    write(folder, "valid-two-points.las", file1x(header1x(2, 227), 2));
    write(folder, "valid-header-only.las", file1x(header1x(0, 227), 0));
    write(folder, "valid-after-vlrs.las", file1x(header1x(1, 400), 1, 400));
    // The probe's window ends at 64 KiB: a first record just inside and one just across it.
    write(folder, "window-last-record.las", file1x(header1x(1, 65524), 1, 65524));
    write(folder, "window-crossed.las", file1x(header1x(1, 65530), 1, 65530));

    Bytes good = file1x(header1x(2, 227), 2);
    write(folder, "empty.las", {});
    write(folder, "one-byte.las", Bytes(good.begin(), good.begin() + 1));
    write(folder, "cut-in-header.las", Bytes(good.begin(), good.begin() + 226));
    write(folder, "cut-in-record.las", Bytes(good.begin(), good.begin() + 227 + 11));
    Bytes unsigned_ = good;
    unsigned_[3] = 'X';
    write(folder, "wrong-signature.las", unsigned_);

    LasHeader h = header1x(2, 100);
    write(folder, "offset-inside-header.las", file1x(h, 2));
    h = header1x(2, 5000);
    write(folder, "offset-beyond-end.las", file1x(h, 1));
    h = header1x(2, std::numeric_limits<uint32_t>::max());
    write(folder, "offset-max.las", file1x(h, 1));
    h = header1x(std::numeric_limits<uint32_t>::max(), 227);
    write(folder, "count-max.las", file1x(h, 2));
    for (uint32_t length : {0u, 1u, 15u, 257u, 65535u}) {
        h = header1x(2, 227);
        h.pointDataRecordLength = static_cast<uint16_t>(length);
        Bytes bytes = file1x(h, length > 257 ? 0 : 2);
        if (length > 257) appendRecord(bytes, 1, 2, 3);  // the file ends inside its first record
        write(folder, "record-length-" + std::to_string(length) + ".las", bytes);
    }
    h = header1x(1, 227);
    h.xScale = std::numeric_limits<double>::quiet_NaN();
    h.yScale = std::numeric_limits<double>::infinity();
    h.zScale = 1e308;
    h.xOffset = -1e308;
    write(folder, "odd-scales.las", file1x(h, 1));

    // The 2.0 layout: signed like 1.x, version '2', double coordinates in 28-byte records.
    Las2Header h2;
    std::memcpy(h2.unused0, "LASF", 4);
    h2.versionMajor = '2';
    h2.pointRecordLength = 28;
    h2.offsetToPointData = sizeof(Las2Header);
    h2.numberOfPointRecords = 1;
    h2.xOffset = 100.0;
    Bytes v2;
    append(v2, &h2, sizeof h2);
    const double xyz[3] = {1.25, -2.5, 300.0};
    append(v2, xyz, sizeof xyz);
    v2.resize(v2.size() + 4, 0);
    write(folder, "layout-2.0.las", v2);
}

void writeText(const std::filesystem::path& folder, const std::string& name,
               const std::string& text) {
    write(folder, name, Bytes(text.begin(), text.end()));
}

const char* const kDocuments[][2] = {
    {"small.xml",
     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<r>\r\n  <a x=\"1\" y='2'>text<b/></a>\r\n"
     "  <a x=\"3\"><c>deep<d z=\"4\">leaf</d></c></a>\r\n</r>\r\n"},
    {"project.xml",
     "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Project>\r\n<Name>tile</Name>\r\n"
     "<Cloud path=\"a.las\" points=\"2\"><Box min=\"0 0 0\" max=\"1 1 1\"/></Cloud>\r\n"
     "<Cloud path=\"b.las\"/>\r\n</Project>\r\n"},
    {"no-declaration.xml", "<r><a>1</a><a>2</a></r>"},
    {"instruction.xml", "<?xml version=\"1.0\"?><?style x?><r a = \" spaced \" >t</r>"},
    {"empty.xml", ""},
    {"declaration-only.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"},
    {"unterminated.xml", "<?xml version=\"1.0\"?><r><a x=\"1\">t</a"},
    {"mismatched.xml", "<r><a></b></r>"},
    {"nested.xml", "<r><a><a><a><a><a><a/></a></a></a></a></a></r>"},
    {"bad-attribute.xml", "<r><a x=1 y=\"2\">t</a></r>"},
};

void xmlCorpus(const std::filesystem::path& folder) {
    for (const auto& doc : kDocuments) writeText(folder, doc[0], doc[1]);
}

// A document, then NUL-separated paths.
void packetCorpus(const std::filesystem::path& folder) {
    using namespace std::string_literals;
    const std::string doc = kDocuments[0][1];
    writeText(folder, "find.pkt", doc + "\0a\0/r/a/b\0c/d\0x/y/z"s);
    writeText(folder, "root-paths.pkt", doc + "\0/\0\\a\0\0//a//\0./\0a/b/c/d/e"s);
    writeText(folder, "make.pkt", kDocuments[1][1] + "\0Cloud\0Name\0Cloud\0New/Path/Leaf"s);
    writeText(folder, "no-document.pkt", "\0a\0a\0a\0a/b"s);
}

// Compresses a LAS file in chunks of 16 points: several chunks in a small file.
bool compress(const std::filesystem::path& las, const std::filesystem::path& laz) {
    orv::LasReader reader;
    if (reader.open(las.c_str()) != 0) return false;
    orv::LasWriter writer;
    writer.setChunkSize(16);
    try {
        if (writer.open(laz.c_str(), reader.header()) != 0) return false;
        std::vector<uint8_t> records(size_t(reader.pointCount()) * reader.header().recordLength);
        writer.writeRaw(records.data(), reader.readRaw(records.data(), reader.pointCount()));
        writer.close();
    } catch (const orv::FileError&) {
        return false;
    }
    return true;
}

// Small compressed files of each format the codec writes, in several chunks, whole and damaged.
void lazCorpus(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    for (uint8_t format = 0; format <= 10; ++format) {
        const orv::LasPointLayout& layout = orv::kLasPointLayouts[format];
        const uint16_t length = uint16_t(layout.length + 1);  // one extra byte
        const uint32_t points = 60;
        // Wave packets need 1.3 or later: formats from 4 on are written as 1.4 files.
        LasHeader h = header1x(format >= 6 ? 0 : points, format >= 4 ? 375 : 227);
        h.versionMinor = format >= 4 ? 4 : 2;
        h.headerSize = h.offsetToPointData;
        h.pointDataFormat = format;
        h.pointDataRecordLength = length;
        Bytes las;
        append(las, &h, sizeof h);
        if (format >= 4) {
            Las14Extension e;
            e.numberOfPointRecords = points;
            append(las, &e, sizeof e);
        }
        for (uint32_t p = 0; p < points; ++p) {
            Bytes rec(length, 0);
            const int32_t xyz[3] = {int32_t(p * 37 % 101), int32_t(p * p), -int32_t(p)};
            std::memcpy(rec.data(), xyz, sizeof xyz);
            rec[12] = uint8_t(p * 13);
            rec[14] = uint8_t(format >= 6 ? (1 + p % 3) | 0x30 : (1 + p % 3) | 0x18);
            rec[15] = uint8_t(format >= 6 ? (p / 9 % 4) << 4 : p % 5);
            const double t = 1000.0 + p * 0.25 + (p % 7 == 0 ? 1e9 : 0.0);
            if (format == 1 || (format >= 3 && format <= 5)) std::memcpy(rec.data() + 20, &t, 8);
            if (format >= 6) std::memcpy(rec.data() + 22, &t, 8);
            if (const int w = layout.wavePacket; w >= 0) {
                // Packets that follow on, repeat, and jump past 32 bits.
                const uint64_t offset = p * 256 + (p % 11 == 0 ? uint64_t(p) << 34 : 0);
                const uint32_t packetSize = p % 5 == 0 ? 128 : 256;
                rec[size_t(w)] = uint8_t(1 + p % 2);
                std::memcpy(rec.data() + w + 1, &offset, 8);
                std::memcpy(rec.data() + w + 9, &packetSize, 4);
                rec[size_t(w) + 20] = uint8_t(p);
            }
            rec[length - 2] = uint8_t(p);
            rec[length - 1] = uint8_t(p % 3);
            append(las, rec.data(), rec.size());
        }
        const std::string stem = "format-" + std::to_string(format);
        const std::filesystem::path lasPath = folder / (stem + ".tmp.las");
        const std::filesystem::path lazPath = folder / (stem + ".laz");
        write(folder, lasPath.filename().string(), las);
        if (!compress(lasPath, lazPath)) {
            std::fprintf(stderr, "cannot compress %s\n", lasPath.c_str());
            std::exit(1);
        }
        std::filesystem::remove(lasPath);
        if (format == 1 || format == 7) {
            FILE* f = std::fopen(lazPath.c_str(), "rb");
            Bytes laz(std::filesystem::file_size(lazPath));
            if (!f || std::fread(laz.data(), 1, laz.size(), f) != laz.size()) std::exit(1);
            std::fclose(f);
            write(folder, stem + "-cut.laz",
                  Bytes(laz.begin(), laz.begin() + long(laz.size() * 2 / 3)));
            Bytes lost = laz;
            uint32_t pointStart;
            std::memcpy(&pointStart, laz.data() + 96, 4);
            const int64_t beyond = int64_t(laz.size()) + 100;
            std::memcpy(lost.data() + pointStart, &beyond, 8);
            write(folder, stem + "-table-outside.laz", lost);
        }
    }
}

// Replies to a range request: 12 bytes (offset, count - 1, the length known before, doubled; odd:
// none), the head, an empty line, the body.
void httpCorpus(const std::filesystem::path& folder) {
    const auto reply = [&](const std::string& name, uint32_t offset, uint32_t count, uint32_t known,
                           const std::string& head, size_t body) {
        Bytes b;
        const uint32_t prefix[3] = {offset, count - 1, known ? known * 2 : 1};
        append(b, prefix, sizeof prefix);
        const std::string text = head + "\r\n\r\n" + std::string(body, 'b');
        append(b, text.data(), text.size());
        write(folder, name, b);
    };
    reply("whole", 0, 64, 0,
          "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-63/1000\r\nContent-Length: 64",
          64);
    reply("end-of-file", 900, 200, 1000, "HTTP/1.1 206 Partial\r\ncontent-range: bytes 900-999/*",
          100);
    reply("negative-total", 0, 64, 0, "HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-63/-5", 64);
    reply("continue-then-range", 10, 20, 0,
          "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 206 Partial\r\nContent-Range: bytes 10-29/30", 20);
    reply("too-long", 0, 16, 0, "HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-15/100", 40);
    reply("whole-file", 0, 16, 0, "HTTP/1.1 200 OK\r\nContent-Length: 100", 100);
    reply("redirect", 0, 16, 0, "HTTP/1.1 302 Found\r\nLocation: http://other.example/x.laz", 0);
    reply("relative-redirect", 0, 16, 0, "HTTP/1.1 301 Moved\r\nLocation: ../c/d.copc.laz", 0);
    reply("ftp-redirect", 0, 16, 0, "HTTP/1.1 302 Found\r\nLocation: ftp://example.org/x", 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    probeCorpus(std::filesystem::path(argv[1]) / "probe");
    lazCorpus(std::filesystem::path(argv[1]) / "laz");
    xmlCorpus(std::filesystem::path(argv[1]) / "xml");
    packetCorpus(std::filesystem::path(argv[1]) / "packet");
    httpCorpus(std::filesystem::path(argv[1]) / "http");
    return 0;
}
