// Writes a small LAS 1.1 cloud: the sample data of the README's main job.
#include <cstdio>
#include <cstring>

#include "OrvLasFormat.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvter_sample OUT\n");
        return 2;
    }
    constexpr int kSide = 100;  // a 100 x 100 grid, one point per metre
    LasHeader h;
    std::memcpy(h.signature, "LASF", 4);
    h.versionMajor = 1;
    h.versionMinor = 1;
    std::strcpy(h.systemIdentifier, "ORV_LAS_RAW_DATA");
    std::strcpy(h.generatingSoftware, "orvter sample");
    h.headerSize = sizeof(LasHeader);
    h.offsetToPointData = sizeof(LasHeader);
    h.pointDataRecordLength = 20;
    h.numberOfPointRecords = kSide * kSide;
    h.numberOfPointsByReturn[0] = kSide * kSide;
    h.xScale = h.yScale = h.zScale = 0.001;
    h.xOffset = 512000.0;
    h.yOffset = 4180000.0;
    h.minX = h.xOffset;
    h.maxX = h.xOffset + kSide - 1;
    h.minY = h.yOffset;
    h.maxY = h.yOffset + kSide - 1;
    h.minZ = 100.0;
    h.maxZ = 100.0 + 2 * (kSide - 1) * 0.05;

    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    bool ok = std::fwrite(&h, sizeof h, 1, f) == 1;
    for (int i = 0; i < kSide * kSide && ok; ++i) {
        const int col = i % kSide, row = i / kSide;
        unsigned char rec[20] = {};
        const int x = col * 1000, y = row * 1000, z = 100000 + (col + row) * 50;
        std::memcpy(rec + 0, &x, 4);
        std::memcpy(rec + 4, &y, 4);
        std::memcpy(rec + 8, &z, 4);
        const unsigned short intensity = static_cast<unsigned short>(i % 4096);
        std::memcpy(rec + 12, &intensity, 2);
        rec[14] = 1;  // first return
        rec[15] = 2;  // ground
        ok = std::fwrite(rec, sizeof rec, 1, f) == 1;
    }
    if (std::fclose(f) != 0 || !ok) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
