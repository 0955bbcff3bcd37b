// What las copy and las merge share: opening, the record pump of a merge, the summary.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "LasCopyCore.h"
#include "OrvLas.h"
#include "OrvLasPoints.h"
#include "OrvStages.h"

namespace orvter {

void openReader(orv::LasReader& reader, const InputPath& in) {
    const std::string& path = in.name();
    switch (reader.open(in.path().c_str())) {
        case 0:
            return;
        case -1:
            throw CommandError("cannot read '" + path + "'");
        case -2:
            throw CommandError("'" + path + "' is not a LAS file");
        default:
            throw CommandError("cannot copy '" + path + "': " + reader.error());
    }
}

// Writes the records of `reader` through `writer`, moved by `move` where given.
void pump(orv::LasReader& reader, const orv::LasFileHeader& target, orv::LasWriter& writer,
          const CopyOptions&, const std::string& path, PointProgress& progress,
          uint64_t& pointsRead, orv::CrsTransform* move) {
    const orv::LasFileHeader& h = reader.header();
    const size_t perBlock = orv::blockRecords(h);
    orv::Block block;
    std::vector<uint8_t> scratch;
    std::string error;
    for (uint64_t index = 0;;) {
        const size_t n = reader.readRaw(block.reset(h, perBlock, index, path), perBlock);
        if (!n) break;
        block.setSize(n);
        if (move) {
            double *x, *y, *z;
            block.moveCoordinates(x, y, z);
            const size_t moved = move->transform(x, y, z, n);
            if (moved < n)
                throw CommandError("point " + std::to_string(index + moved) + " of '" + path +
                                   "' cannot be transformed to the target CRS");
        }
        if (!orv::lasWriteBlock(writer, target, block, scratch, error)) throw CommandError(error);
        index += n;
        pointsRead += n;
        progress.update(pointsRead);
    }
}

void compressCopy(const std::string& from, const std::string& to) {
    orv::LasReader reader;
    if (reader.open(from.c_str()) != 0)
        throw CommandError("cannot read back the uncompressed copy: " + reader.error());
    const orv::LasFileHeader& h = reader.header();
    orv::LasWriter writer;
    writer.setCompressed(true);
    if (writer.open(to.c_str(), h) != 0) throw CommandError("cannot compress: " + writer.error());
    std::vector<uint8_t> raw(orv::blockRecords(h) * h.recordLength);
    while (size_t n = reader.readRaw(raw.data(), raw.size() / h.recordLength))
        writer.writeRaw(raw.data(), n);
    writer.close();
}

void report(const CopyOptions& o, const std::string& in, const std::string& out, uint64_t read,
            uint64_t written, double seconds, const char* verb) {
    if (o.batch) {
        std::lock_guard<std::mutex> lock(o.batch->mutex);
        o.batch->points += written;
        o.batch->files.push_back({{"input", in},
                                  {"output", out},
                                  {"points_read", read},
                                  {"points_written", written},
                                  {"seconds", seconds}});
        if (!o.json)
            std::printf("%s %s to %s: %llu points in %.3f s\n", verb, in.c_str(), out.c_str(),
                        static_cast<unsigned long long>(written), seconds);
        return;
    }
    if (o.json)
        printJson({{"input", in},
                   {"output", out},
                   {"points_read", read},
                   {"points_written", written},
                   {"seconds", seconds}},
                  o.out == "-");
    else
        std::fprintf(o.out == "-" ? stderr : stdout, "%s %llu points in %.3f s\n", verb,
                     static_cast<unsigned long long>(written), seconds);
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace orvter
