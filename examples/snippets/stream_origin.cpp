// Streams a cloud of any size in blocks, relative to an origin taken from its first point.
#include <OrvTerDep.h>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    // kOriginFromFirstPoint asks the stream to fill the origin from the file's first point.
    const double first = orv::kOriginFromFirstPoint;
    orv::OrvPtr<IOrvPoint> origin(newOrvPoint());
    origin->setPoint(orv::XPnt3d(first, first, first));
    orv::OrvPtr<IOrvInPntsStream> in(newInLasPntStream());
    if (in->open(argv[1], origin.get()) != 0) return 1;
    const IOrvPoint* used = in->getOrigin();  // borrowed from the stream
    std::printf("origin %.3f %.3f %.3f, %d points\n", used->x, used->y, used->z, in->getPntCount());

    // Floats relative to the origin keep millimetres even at map coordinates.
    float top = -1e30f;
    long long count = 0;
    while (orv::OrvPtr<orv::LasPntArray> block = in->readPnts(1, 100000)) {
        for (size_t i = 0; i < block->size(); ++i) top = std::max(top, +(*block)[i].pnt.z);
        count += static_cast<long long>(block->size());
    }
    std::printf("read %lld points, highest %.3f\n", count, used->z + top);
    return 0;
}
