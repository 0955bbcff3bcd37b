// Reads a whole cloud into memory in one call.
#include <OrvTerDep.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    orv::LasPntPool* read = nullptr;
    if (orv::orvReadLas(argv[1], &read, nullptr) != 1) return 1;
    // The pool comes with one reference for the caller: the counted pointer takes it over.
    auto points = orv::OrvPtr<orv::LasPntPool>::adopt(read);

    std::printf("%zu points\n", points->size());
    for (size_t i = 0; i < points->size() && i < 3; ++i) {
        const LasPnt p = points->data()[i];  // a copy: LasPnt is packed
        std::printf("%.2f %.2f %.2f intensity %u class %u\n", p.pnt.x, p.pnt.y, p.pnt.z, p.pnt.attr,
                    p.classification);
    }
    return 0;
}
