// What las copy, pool copy and las merge share: the copy options, the record pump of a merge,
// the summary.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Command.h"
#include "LasCrsCopy.h"
#include "LasFilters.h"
#include "LasThin.h"
#include "OrvLasFile.h"

namespace orvter {

// What the copies of many files report, gathered from every thread.
struct BatchLog {
    std::mutex mutex;
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    uint64_t points = 0;
};

struct CopyOptions {
    std::string in, out;
    std::vector<double> shift;
    bool json = false;
    bool quiet = false;
    bool strict = false;
    bool pool = false;
    std::string setVersion;
    int format = -1;
    std::vector<double> scale, offset, bbox;
    std::vector<int> keepClass, dropClass, keepReturn;
    uint64_t step = 1;
    CrsOptions crs;
    double resolution = 0;
    int level = -1;
    bool copc = false;
    bool laz = false;    // compress whatever the output's name
    std::string writer;  // las, laz, copc, text or png whatever the output's name
    PointFilters more;   // z, intensity, scan angle, flags, noise, first/last/single returns
    ThinOptions thin;
    std::vector<std::string> moreInputs;  // with outDir: further inputs
    std::string outDir;
    unsigned jobs = 1;
    BatchLog* batch = nullptr;  // set while copying many files: the reports go there
    std::string clip;           // FILE[:LAYER] of polygons
    bool clipOutside = false;   // keep the points outside them instead
};

// Opens `in` for its records; throws CommandError saying why it cannot.
void openReader(orv::LasReader& reader, const InputPath& in);

// Writes through `writer` (whose file has the header `target`) the records of `reader`, moved by
// `move` when given; `pointsRead` counts the records read, for the progress line across several
// inputs.
void pump(orv::LasReader& reader, const orv::LasFileHeader& target, orv::LasWriter& writer,
          const CopyOptions& o, const std::string& path, PointProgress& progress,
          uint64_t& pointsRead, orv::CrsTransform* move);

// The summary line (or JSON object) of a copy; on standard error when the data goes to
// standard output.
void report(const CopyOptions& o, const std::string& in, const std::string& out, uint64_t read,
            uint64_t written, double seconds, const char* verb);

double since(std::chrono::steady_clock::time_point start);

// Copies the LAS file at `from` to `to` record for record, compressed: for the writers that only
// write uncompressed records.
void compressCopy(const std::string& from, const std::string& to);

// las copy --pool and --shift: the whole cloud through the bulk reader and writer.
void runPool(const CopyOptions& o);

}  // namespace orvter
