// Shifts a LAS cloud: reads it whole, adds DX, DY, DZ to every point and writes a new LAS 1.1
// file. Usage: shift_cloud IN.las OUT.las DX DY DZ
#include <OrvTerDep.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: shift_cloud IN.las OUT.las DX DY DZ\n");
        return 2;
    }
    orv::XPnt3d shift(std::atof(argv[3]), std::atof(argv[4]), std::atof(argv[5]));

    orv::LasPntPool* read = nullptr;
    if (orv::orvReadLas(argv[1], &read, nullptr) != 1) {
        std::fprintf(stderr, "shift_cloud: cannot read %s as LAS\n", argv[1]);
        return 1;
    }
    auto points = orv::OrvPtr<orv::LasPntPool>::adopt(read);
    // The writer takes pointers to the points; the pool must outlive them.
    orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(points.get());
    if (!pointers) return 1;
    try {
        if (orv::orvSavePoint2Las(pointers.get(), &shift, argv[2], nullptr) != 0)
            std::fprintf(stderr, "shift_cloud: some points lie beyond what %s can hold\n", argv[2]);
    } catch (const orv::FileError& e) {
        std::fprintf(stderr, "shift_cloud: %s\n", e.what());
        return 1;
    }

    LasHeader header;
    if (orv::ReadLasHeader(argv[2], header) != 0) return 1;
    const unsigned count = header.numberOfPointRecords;
    const double minX = header.minX, minY = header.minY, minZ = header.minZ;
    std::printf("wrote %u points to %s, lowest corner %.3f %.3f %.3f\n", count, argv[2], minX, minY,
                minZ);
    return 0;
}
