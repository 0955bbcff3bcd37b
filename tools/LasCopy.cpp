// orvter las copy: a whole cloud through the bulk reader and the bulk writer.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "OrvLas.h"

namespace orvter {
namespace {

struct CopyOptions {
    std::string in, out;
    std::vector<double> shift;
    bool json = false;
    bool quiet = false;
};

void run(const CopyOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    // The bulk functions report nothing themselves: the line moves once a phase.
    orv::OrvPtr<IOrvProgress> progress = startProgress(o.quiet, "reading " + o.in);
    LasHeader header;
    checkLasFile(o.in, header);  // the bulk reader itself takes any bytes for a header
    orv::LasPntPool* read = nullptr;
    if (orv::orvReadLas(o.in.c_str(), &read, nullptr) != 1 || !read)
        throw CommandError("cannot read '" + o.in + "' as a LAS file");
    orv::OrvPtr<orv::LasPntPool> points = orv::OrvPtr<orv::LasPntPool>::adopt(read);
    orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(points.get());
    if (!pointers) throw CommandError("out of memory");
    if (progress) progress->setText(("writing " + o.out).c_str());
    step(progress.get(), 0.5);

    orv::XPnt3d shift;
    if (!o.shift.empty()) shift = orv::XPnt3d(o.shift[0], o.shift[1], o.shift[2]);
    // A failing write throws orv::FileError, which main reports as one line.
    const long result = orv::orvSavePoint2Las(pointers.get(), o.shift.empty() ? nullptr : &shift,
                                              o.out.c_str(), nullptr);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    endProgress(progress);
    if (result != 0) {
        LasHeader written;
        const unsigned long long kept =
            orv::ReadLasHeader(o.out.c_str(), written) == 0 ? +written.numberOfPointRecords : 0;
        throw CommandError("wrote " + std::to_string(kept) + " of " +
                           std::to_string(points->size()) + " points to '" + o.out +
                           "': the others lie beyond what the file's 32-bit coordinates can hold");
    }
    if (o.json)
        printJson({{"in", o.in}, {"out", o.out}, {"points", points->size()}, {"seconds", seconds}});
    else
        std::printf("copied %zu points in %.3f s\n", points->size(), seconds);
}

}  // namespace

void addLasCopy(CLI::App& las) {
    auto options = std::make_shared<CopyOptions>();
    CLI::App* cmd = las.add_subcommand(
        "copy",
        "Copy a LAS cloud into a new LAS 1.1 file (point format 0). Keeps X, Y, Z, intensity and "
        "classification; return numbers and every other field are not carried over");
    cmd->add_option("IN", options->in, "LAS file to read")->required();
    cmd->add_option("OUT", options->out, "LAS file to write (replaced when it exists)")->required();
    cmd->add_option("--shift", options->shift, "Add X,Y,Z to every coordinate")
        ->delimiter(',')
        ->expected(3);
    cmd->add_flag("--json", options->json, "Print the summary as one JSON object");
    cmd->add_flag("--quiet", options->quiet, "Show no progress line");
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
