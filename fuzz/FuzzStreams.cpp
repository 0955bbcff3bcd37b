// The input streams on any file, both layouts, with each kind of origin, read in small blocks
// and written back through the output stream (to /dev/null, written in place).
#include "FuzzInput.h"
#include "OrvError.h"
#include "OrvLasStream.h"

namespace {

constexpr double kUnset = orv::kOriginFromFirstPoint;

void readAll(const char* path, size_t size, IOrvPoint* origin, int step, int block) {
    orv::OrvPtr<IOrvInPntsStream> in(newInLasPntStream());
    const int opened = in->open(path, origin);
    orvfuzz::require(opened == 0 || opened == -1);
    if (opened != 0) {
        orvfuzz::require(in->getPntCount() == 0 && !in->readPnts(1, 1));
        return;
    }
    orv::OrvPtr<IOrvOutPntsStream> out(newOutLasPntStream());
    const bool writing = out->open("/dev/null") == 0 && out->begin() == 0;
    const IOrvPoint* used = in->getOrigin();
    const orv::XPnt3d shift = used ? orv::XPnt3d(used->x, used->y, used->z) : orv::XPnt3d();
    size_t total = 0;
    while (orv::OrvPtr<orv::LasPntArray> points = in->readPnts(step, block)) {
        orvfuzz::require(points->size() > 0 && points->size() <= static_cast<size_t>(block));
        total += points->size();
        // Every kept point stands for at least 16 bytes of the file.
        orvfuzz::require(total * 16 <= size);
        if (writing) out->writePntArray(points->data(), static_cast<int>(points->size()), &shift);
    }
    orvfuzz::require(!in->readPnts(1, 1));  // stays exhausted
    in->close();
    if (writing) out->close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = orvfuzz::inputFile(data, size);
    try {
        readAll(path, size, nullptr, 1, 7);
        orv::OrvPtr<IOrvPoint> origin(newOrvPoint());
        origin->setPoint(orv::XPnt3d(kUnset, kUnset, kUnset));
        readAll(path, size, origin.get(), 3, 5);
        origin->setPoint(orv::XPnt3d(1e6, -1e6, 0.5));
        readAll(path, size, origin.get(), 1, 1000);
    } catch (const orv::FileError&) {
        orvfuzz::require(false);  // /dev/null never fails a write
    }
    return 0;
}
