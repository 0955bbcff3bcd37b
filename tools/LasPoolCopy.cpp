// las copy --pool: the whole cloud through the bulk reader and writer, which hold coordinates
// as floats.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "LasCopyCore.h"
#include "OrvLas.h"

namespace orvter {

void runPool(const CopyOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    const InputPath in(o.in);
    const LasInput input = openLasInput(in);  // the bulk reader itself takes any bytes
    const LasHeader& header = input.header;
    const double origin[3] = {o.shift.empty() ? 0.0 : -o.shift[0],
                              o.shift.empty() ? 0.0 : -o.shift[1],
                              o.shift.empty() ? 0.0 : -o.shift[2]};
    warnFloatMovement(header, origin, "--pool and --shift");
    if (o.strict) requireAgreement(in, input);
    const uint64_t stated = input.counts.stated;
    OutputPath out(o.out);
    out.refuseInput(in.identity(), in.name());
    PointProgress progress(o.quiet, "reading " + in.name(), stated, 0.5);
    // Both phases count points, read then written, block by block.
    const orv::ProgressCallback tell = [&progress](uint64_t done, uint64_t) {
        progress.update(done);
    };
    orv::LasPntPool* read = nullptr;
    if (orv::orvReadLasReporting(in.path().c_str(), &read, tell) != 1 || !read)
        throw CommandError("cannot read '" + in.name() + "' as a LAS file");
    orv::OrvPtr<orv::LasPntPool> points = orv::OrvPtr<orv::LasPntPool>::adopt(read);
    progress.update(stated);
    reportShortRead(in, points->size(), stated, o.strict);
    orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(points.get());
    if (!pointers) throw CommandError("out of memory");
    progress.phase("writing " + out.name(), 0.5);

    orv::XPnt3d shift;
    if (!o.shift.empty()) shift = orv::XPnt3d(o.shift[0], o.shift[1], o.shift[2]);
    // A failing write throws orv::FileError, which main reports as one line. All or nothing: a
    // point the file cannot hold leaves the target as it was.
    uint64_t refused = 0;
    // The bulk writer writes uncompressed records only: a compressed target gets them from a
    // spool.
    std::unique_ptr<Spool> spool;
    if (compressedOutput(o.out, o.laz)) spool = std::make_unique<Spool>();
    const long result = orv::orvSavePoint2LasWhole(
        pointers.get(), o.shift.empty() ? nullptr : &shift,
        spool ? spool->path().c_str() : out.path().c_str(), &refused, tell);
    if (result != 0)
        throw CommandError(std::to_string(refused) + " of " + std::to_string(points->size()) +
                           " points lie beyond what the file's 32-bit coordinates can hold: '" +
                           out.name() + "' was not written");
    if (spool) compressCopy(spool->path(), out.path());
    out.finish();
    progress.end();
    warnCrsLeftBehind(in.path(), in.name());
    report(o, in.name(), out.name(), points->size(), points->size(), since(start), "copied");
}

}  // namespace orvter
