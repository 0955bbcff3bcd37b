// The full header model and record reader on any file: a refusal or whole records, never more than
// the file holds; what was read writes back and reads again as the same records.
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "OrvError.h"
#include "OrvLasFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = orvfuzz::inputFile(data, size);
    orv::LasReader reader;
    const int result = reader.open(path);
    orvfuzz::require(result == 0 || result == -2 || result == -3);
    if (result != 0) return 0;
    const orv::LasFileHeader& h = reader.header();
    orvfuzz::require(h.fileSize == size && reader.pointCount() <= h.presentRecords);
    orvfuzz::require(reader.pointCount() * h.recordLength <= size);
    orv::lasExtraFields(h);
    orv::lasWkt(h);
    orv::lasEpsgCode(h);

    // Every field of every record, a few at a time.
    constexpr size_t kBlock = 7;
    std::vector<int32_t> X(kBlock);
    std::vector<double> x(kBlock), t(kBlock);
    std::vector<uint8_t> cls(kBlock), ret(kBlock), extra(kBlock * h.recordLength);
    std::vector<uint16_t> red(kBlock);
    std::vector<float> dz(kBlock);
    orv::LasColumns c;
    c.X = X.data(), c.x = x.data(), c.gpsTime = t.data(), c.classification = cls.data();
    c.returnNumber = ret.data(), c.red = red.data(), c.waveDz = dz.data();
    c.extraBytes = extra.data();
    uint64_t total = 0;
    while (size_t n = reader.read(c, kBlock)) total += n;
    orvfuzz::require(total == reader.pointCount());

    // Raw records back through the writer: the same records again.
    reader.seek(0);
    std::vector<uint8_t> records(reader.pointCount() * h.recordLength);
    orvfuzz::require(reader.readRaw(records.data(), reader.pointCount()) == reader.pointCount());
    const std::string out = std::string(path) + ".out";
    orv::LasWriter writer;
    try {
        if (writer.open(out.c_str(), h) != 0) return 0;  // a header the writer will not repeat
        writer.writeRaw(records.data(), reader.pointCount());
        writer.close();
    } catch (const orv::FileError&) {
        return 0;
    }
    orv::LasReader again;
    orvfuzz::require(again.open(out.c_str()) == 0);
    orvfuzz::require(again.pointCount() == reader.pointCount());
    std::vector<uint8_t> back(records.size());
    orvfuzz::require(again.readRaw(back.data(), again.pointCount()) == again.pointCount());
    orvfuzz::require(back == records);
    std::remove(out.c_str());
    return 0;
}
