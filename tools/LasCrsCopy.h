// The CRS side of las copy and las merge: assigning, reprojecting, and keeping the written CRS
// records in the form the output's version needs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "OrvCrs.h"
#include "OrvLasFile.h"

namespace CLI {
class App;
}

namespace orvter {

struct CrsOptions {
    std::string assign;  // --crs: the input's CRS, whatever its records say
    std::string to;      // --to-crs: reproject into this one
    bool force = false;  // drop or mix CRSs with a warning instead of refusing
    bool network = false;  // --proj-network: PROJ may fetch the grids it lacks
    unsigned threads = 0;
};

// A CRS given on the command line: a definition PROJ reads, or the name of a file holding one.
// Throws CommandError (exit status 2) naming `option` when it is neither.
orv::Crs crsArgument(const std::string& arg, const char* option);

// Adds --crs, --to-crs and --threads (and --force when `force`) to a command.
void addCrsOptions(CLI::App* cmd, CrsOptions& o, bool assign);

// One input of a copy or merge: its name, header and CRS (assigned or read).
struct CrsInput {
    std::string name;
    orv::LasFileHeader header;
    orv::Crs crs;
    std::unique_ptr<orv::CrsTransform> transform;  // set when its points must move
};

// Reads the CRS of each input (or takes --crs), checks that they agree unless --to-crs or
// --force says otherwise, prepares the transforms, and gives `target` the CRS records it must
// carry. Picks the target's scale and offset for a reprojection unless given. Throws
// CommandError when the output would carry a CRS that is not its points'.
void prepareCrs(std::vector<CrsInput>& inputs, orv::LasFileHeader& target, const CrsOptions& o,
                bool scaleGiven, bool offsetGiven);

// Warns when the file at `path` (called `name`) has a CRS that an output written without VLRs
// (the pool and stream writers) leaves behind.
void warnCrsLeftBehind(const std::string& path, const std::string& name);

}  // namespace orvter
