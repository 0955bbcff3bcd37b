// Reads every field of a cloud of any size, a block of columns at a time, without loss.
#include <OrvTerDep.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    orv::LasReader reader;
    if (reader.open(argv[1]) != 0) {
        std::fprintf(stderr, "%s\n", reader.error().c_str());
        return 1;
    }
    const orv::LasFileHeader& header = reader.header();
    std::printf("%llu points of format %u, %zu VLRs\n",
                static_cast<unsigned long long>(reader.pointCount()), header.pointFormat,
                header.vlrs.size());

    // Only the columns asked for are filled; the buffers are reused block after block.
    const size_t block = 65536;
    std::vector<double> x(block), time(block);
    std::vector<uint8_t> classification(block);
    orv::LasColumns columns;
    columns.x = x.data();
    columns.gpsTime = time.data();
    columns.classification = classification.data();
    unsigned long long ground = 0;
    while (size_t n = reader.read(columns, block))
        for (size_t i = 0; i < n; ++i) ground += classification[i] == 2;
    std::printf("%llu ground points\n", ground);
    return 0;
}
