// Streams a cloud relative to its first point, keeps every 10th point, and writes them back
// to a new LAS 1.1 file, adding the origin again.
#include <OrvTerDep.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const double first = orv::kOriginFromFirstPoint;  // the file's first point
    orv::OrvPtr<IOrvPoint> origin(newOrvPoint());
    origin->setPoint(orv::XPnt3d(first, first, first));
    orv::OrvPtr<IOrvInPntsStream> in(newInLasPntStream());
    orv::OrvPtr<IOrvOutPntsStream> out(newOutLasPntStream());
    if (in->open(argv[1], origin.get()) != 0) return 1;
    if (out->open(argv[2]) != 0 || out->begin() != 0) return 1;

    const IOrvPoint* used = in->getOrigin();
    const orv::XPnt3d shift(used->x, used->y, used->z);
    // A block of 1,000,000 holds whole tens: every 10th point of each is every 10th of all.
    while (orv::OrvPtr<orv::LasPntArray> block = in->readPnts(10, 1000000)) {
        // -1: a point whose coordinates the file cannot hold
        if (out->writePntArray(block->data(), static_cast<int>(block->size()), &shift) != 0)
            return 1;
    }
    out->close();  // flushes and writes the final header
    std::printf("kept 1 point in 10 of %d\n", in->getPntCount());
    return 0;
}
