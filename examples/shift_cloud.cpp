// Prints where a LAS cloud lies: its header and its first point.
#include <OrvTerDep.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: shift_cloud IN.las\n");
        return 2;
    }
    LasHeader header;
    if (orv::ReadLasHeader(argv[1], header) != 0) {
        std::fprintf(stderr, "shift_cloud: cannot read %s as LAS\n", argv[1]);
        return 1;
    }
    orv::XPnt3d first;
    if (orv::ReadFirstPntFromLas(argv[1], first) != 1) {
        std::fprintf(stderr, "shift_cloud: no first point in %s\n", argv[1]);
        return 1;
    }
    const unsigned count = header.numberOfPointRecords;
    std::printf("%u points, first at %.3f %.3f %.3f\n", count, first.x, first.y, first.z);
    return 0;
}
