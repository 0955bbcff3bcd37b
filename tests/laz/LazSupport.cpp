#include "laz/LazSupport.h"

#include <sys/stat.h>

namespace orvtest {

std::string lazDataDir() {
    const std::string dir = orvtest::testDataDir() + "/laz";
    struct stat st;
    return stat((dir + "/EXPECTED.txt").c_str(), &st) == 0 ? dir : std::string();
}

LazDecoded decodeLazBytes(const std::vector<uint8_t>& file, unsigned threads) {
    LazDecoded d;
    orv::laz::MemorySource src(file.data(), file.size());
    orv::laz::FileLayout layout;
    if (!orv::laz::readLayout(src, layout, d.error)) return d;
    orv::laz::LazDecoder dec;
    dec.setThreads(threads);
    if (!orv::laz::openDecoder(src, layout, dec, d.error)) return d;
    d.opened = true;
    d.warning = dec.warning();
    d.records.resize(size_t(layout.pointCount) * layout.recordLength);
    d.points = dec.read(d.records.data(), size_t(layout.pointCount));
    d.records.resize(d.points * layout.recordLength);
    d.error = dec.error();
    return d;
}

std::vector<uint8_t> lasRecords(const std::vector<uint8_t>& file) {
    orv::laz::MemorySource src(file.data(), file.size());
    orv::laz::FileLayout layout;
    std::string error;
    if (!orv::laz::readLayout(src, layout, error)) return {};
    const size_t begin = layout.offsetToPoints;
    return std::vector<uint8_t>(
        file.begin() + long(begin),
        file.begin() + long(begin + layout.pointCount * layout.recordLength));
}

std::string sha256(const std::vector<uint8_t>& bytes) {
    TempDir dir;
    const std::string path = dir.path("bytes");
    writeFile(path, bytes);
    const CommandResult r = runCommand("sha256sum " + shellQuote(path));
    return r.out.substr(0, 64);
}

}  // namespace orvtest
