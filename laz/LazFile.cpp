#include "laz/LazFile.h"

#include <algorithm>
#include <cstring>

#include "OrvError.h"
#include "OrvLasFormat.h"
#include "platform/Files.h"

namespace orv::laz {

namespace {

constexpr size_t kVlrHeaderSize = 54;
// Records moved per batch while converting: large enough that system calls stay rare.
constexpr size_t kBatchRecords = 65536;

template <typename T>
T at(const std::vector<uint8_t>& b, size_t offset) {
    T v;
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}
template <typename T>
void setAt(std::vector<uint8_t>& b, size_t offset, T v) {
    std::memcpy(b.data() + offset, &v, sizeof v);
}

class FileSink final : public ByteSink {
public:
    explicit FileSink(platform::OutputFile& file) : m_file(file) {}
    void write(const void* data, size_t size) override { m_file.write(data, size); }

private:
    platform::OutputFile& m_file;
};

bool readPrefix(const ByteSource& src, const FileLayout& layout, std::vector<uint8_t>& prefix,
                std::string& error) {
    prefix.resize(layout.offsetToPoints);
    if (src.readAt(0, prefix.data(), prefix.size()) != prefix.size()) {
        error = "cannot read the header";
        return false;
    }
    return true;
}

// Copies the bytes after the point data (a 1.4 file's extended VLRs) to the output.
bool copyTail(const ByteSource& src, uint64_t from, platform::OutputFile& out, std::string& error) {
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t pos = from; pos < src.size();) {
        const size_t n = size_t(std::min<uint64_t>(buf.size(), src.size() - pos));
        if (src.readAt(pos, buf.data(), n) != n) {
            error = "cannot read the extended VLRs";
            return false;
        }
        out.write(buf.data(), n);
        pos += n;
    }
    return true;
}

}  // namespace

bool readLayout(const ByteSource& src, FileLayout& out, std::string& error) {
    FileLayout l;
    std::vector<uint8_t> h(375, 0);
    const size_t got = src.readAt(0, h.data(), h.size());
    if (got < sizeof(LasHeader) || std::memcmp(h.data(), "LASF", 4) != 0 || h[24] != 1 ||
        h[25] > 4) {
        error = "not a LAS 1.0 to 1.4 header";
        return false;
    }
    l.versionMinor = h[25];
    l.headerSize = at<uint16_t>(h, offsetof(LasHeader, headerSize));
    l.offsetToPoints = at<uint32_t>(h, offsetof(LasHeader, offsetToPointData));
    l.vlrCount = at<uint32_t>(h, offsetof(LasHeader, numberOfVlrs));
    l.formatByte = h[offsetof(LasHeader, pointDataFormat)];
    l.recordLength = at<uint16_t>(h, offsetof(LasHeader, pointDataRecordLength));
    l.pointCount = at<uint32_t>(h, offsetof(LasHeader, numberOfPointRecords));
    const uint64_t fileSize = src.size();
    const size_t minHeader = l.versionMinor >= 4 ? 375 : 227;
    if (l.headerSize < minHeader || got < minHeader || l.offsetToPoints < l.headerSize ||
        l.offsetToPoints > fileSize) {
        error = "header size or offset to point data out of range";
        return false;
    }
    if (l.versionMinor >= 4) {
        l.evlrOffset = at<uint64_t>(h, 235);
        const uint64_t count64 = at<uint64_t>(h, 247);
        if (count64 != 0 || l.pointCount == 0) l.pointCount = count64;
    }
    l.compressed = (l.formatByte & 0x80) != 0;
    // Every VLR must lie within the bytes before the point data.
    uint64_t pos = l.headerSize;
    for (uint32_t i = 0; i < l.vlrCount; ++i) {
        uint8_t vh[kVlrHeaderSize];
        if (pos + kVlrHeaderSize > l.offsetToPoints ||
            src.readAt(pos, vh, sizeof vh) != sizeof vh) {
            error = "VLRs run past the point data";
            return false;
        }
        uint16_t recordId, length;
        std::memcpy(&recordId, vh + 18, 2);
        std::memcpy(&length, vh + 20, 2);
        if (pos + kVlrHeaderSize + length > l.offsetToPoints) {
            error = "VLRs run past the point data";
            return false;
        }
        if (recordId == kVlrRecordId &&
            std::strncmp(reinterpret_cast<const char*>(vh + 2), kVlrUserId, 16) == 0) {
            l.lazVlr.resize(length);
            src.readAt(pos + kVlrHeaderSize, l.lazVlr.data(), length);
            l.lazVlrStart = pos;
        }
        pos += kVlrHeaderSize + length;
    }
    l.vlrEnd = pos;
    // A record of every point must fit in a 64-bit count of bytes checked once, here.
    if (l.recordLength == 0 ||
        (!l.compressed && l.pointCount > (fileSize - l.offsetToPoints) / l.recordLength)) {
        error = "point records run past the end of the file";
        return false;
    }
    out = std::move(l);
    return true;
}

bool openDecoder(const ByteSource& src, const FileLayout& l, LazDecoder& decoder,
                 std::string& error) {
    if (!l.compressed || l.lazVlr.empty()) {
        error = l.compressed ? "compressed point format without a LAZ VLR"
                             : "the file is not compressed";
        return false;
    }
    LazInput in;
    in.pointFormat = l.formatByte & 0x3F;
    in.recordLength = l.recordLength;
    in.vlr = l.lazVlr.data();
    in.vlrSize = l.lazVlr.size();
    in.pointOffset = l.offsetToPoints;
    in.pointCount = l.pointCount;
    if (!decoder.open(src, in)) {
        error = decoder.error();
        return false;
    }
    return true;
}

bool compressFile(const char* inPath, const char* outPath, std::string& error, unsigned threads,
                  uint32_t chunkSize) {
    platform::InputFile file;
    if (!file.open(inPath)) {
        error = std::string("cannot open ") + inPath;
        return false;
    }
    FileSource src(file);
    FileLayout l;
    if (!readLayout(src, l, error)) return false;
    if (l.compressed) {
        error = "the file is compressed already";
        return false;
    }
    std::vector<uint8_t> prefix;
    if (!readPrefix(src, l, prefix, error)) return false;
    LazEncoder enc;
    enc.setThreads(threads);
    LazVlr probe;
    if (!lazVlrFor(l.formatByte & 0x3F, l.recordLength, chunkSize, probe, error)) return false;
    const std::vector<uint8_t> payload = encodeLazVlr(probe);
    const uint64_t newOffset = l.offsetToPoints + kVlrHeaderSize + payload.size();
    if (newOffset > UINT32_MAX) {
        error = "no room for the LAZ VLR before the point data";
        return false;
    }
    if (!enc.init(l.formatByte & 0x3F, l.recordLength, newOffset, error, chunkSize)) return false;
    // The compression VLR goes after the last VLR, before any bytes kept ahead of the points.
    std::vector<uint8_t> vlr(kVlrHeaderSize, 0);
    std::memcpy(vlr.data() + 2, kVlrUserId, std::strlen(kVlrUserId));
    setAt<uint16_t>(vlr, 18, kVlrRecordId);
    setAt<uint16_t>(vlr, 20, uint16_t(payload.size()));
    std::memcpy(vlr.data() + 22, "by orvter", 9);
    vlr.insert(vlr.end(), payload.begin(), payload.end());
    prefix.insert(prefix.begin() + long(l.vlrEnd), vlr.begin(), vlr.end());
    prefix[offsetof(LasHeader, pointDataFormat)] = uint8_t(l.formatByte | 0x80);
    setAt<uint32_t>(prefix, offsetof(LasHeader, numberOfVlrs), l.vlrCount + 1);
    setAt<uint32_t>(prefix, offsetof(LasHeader, offsetToPointData), uint32_t(newOffset));
    try {
        platform::OutputFile out;
        out.create(outPath);
        out.write(prefix.data(), prefix.size());
        FileSink sink(out);
        std::vector<uint8_t> batch(kBatchRecords * l.recordLength);
        for (uint64_t done = 0; done < l.pointCount;) {
            const size_t n = size_t(std::min<uint64_t>(kBatchRecords, l.pointCount - done));
            const size_t bytes = n * l.recordLength;
            if (src.readAt(l.offsetToPoints + done * l.recordLength, batch.data(), bytes) !=
                bytes) {
                error = "cannot read the point records";
                return false;
            }
            enc.write(batch.data(), n, sink);
            done += n;
        }
        const uint64_t tableOffset = enc.finish(sink);
        const uint64_t pointsEnd = l.offsetToPoints + l.pointCount * l.recordLength;
        if (l.versionMinor >= 4 && l.evlrOffset >= pointsEnd && l.evlrOffset < src.size()) {
            setAt<uint64_t>(prefix, 235, enc.position());  // extended VLRs follow the table
            if (!copyTail(src, l.evlrOffset, out, error)) return false;
        }
        prefix.resize(prefix.size() + 8);
        setAt<uint64_t>(prefix, size_t(newOffset), tableOffset);
        out.seekToStart();
        out.write(prefix.data(), prefix.size());
        out.close();
    } catch (const FileError& e) {
        error = e.what();
        return false;
    }
    return true;
}

bool decompressFile(const char* inPath, const char* outPath, std::string& error,
                    std::string& warning, unsigned threads) {
    platform::InputFile file;
    if (!file.open(inPath)) {
        error = std::string("cannot open ") + inPath;
        return false;
    }
    FileSource src(file);
    FileLayout l;
    if (!readLayout(src, l, error)) return false;
    LazDecoder dec;
    dec.setThreads(threads);
    if (!openDecoder(src, l, dec, error)) return false;
    warning = dec.warning();
    std::vector<uint8_t> prefix;
    if (!readPrefix(src, l, prefix, error)) return false;
    const size_t vlrSize = kVlrHeaderSize + l.lazVlr.size();
    prefix.erase(prefix.begin() + long(l.lazVlrStart),
                 prefix.begin() + long(l.lazVlrStart + vlrSize));
    prefix[offsetof(LasHeader, pointDataFormat)] = uint8_t(l.formatByte & 0x3F);
    setAt<uint32_t>(prefix, offsetof(LasHeader, numberOfVlrs), l.vlrCount - 1);
    setAt<uint32_t>(prefix, offsetof(LasHeader, offsetToPointData), uint32_t(prefix.size()));
    try {
        platform::OutputFile out;
        out.create(outPath);
        out.write(prefix.data(), prefix.size());
        std::vector<uint8_t> batch(kBatchRecords * l.recordLength);
        uint64_t done = 0;
        while (done < l.pointCount) {
            const size_t n = dec.read(batch.data(), kBatchRecords);
            if (n == 0) break;
            out.write(batch.data(), n * l.recordLength);
            done += n;
        }
        if (done < l.pointCount) {
            error = dec.error().empty() ? "LAZ point data ends early" : dec.error();
            error +=
                " (" + std::to_string(done) + " of " + std::to_string(l.pointCount) + " points)";
            return false;
        }
        if (l.versionMinor >= 4 && l.evlrOffset != 0 && l.evlrOffset < src.size()) {
            if (!copyTail(src, l.evlrOffset, out, error)) return false;
            setAt<uint64_t>(prefix, 235, prefix.size() + done * l.recordLength);
            out.seekToStart();
            out.write(prefix.data(), prefix.size());
        }
        out.close();
    } catch (const FileError& e) {
        error = e.what();
        return false;
    }
    return true;
}

}  // namespace orv::laz
