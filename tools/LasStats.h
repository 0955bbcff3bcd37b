// The scan of every point behind `las info --stats` (like other tools' per-dimension summaries)
// and the dimension list behind `--schema`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OrvLasFile.h"

namespace orvter {

// One dimension's summary over the points read.
struct DimensionStats {
    std::string name;
    uint64_t count = 0;
    double min = 0, max = 0, mean = 0;
    double m2 = 0;        // sum of squared differences from the mean, updated as points come
    int decimals = -1;    // a coordinate's: the digits its scale gives
    bool single = false;  // the values are floats
    double stddev() const;
    // `value` of this dimension as text: a coordinate at its scale's precision, a float as the
    // float; `derived` (a mean, a deviation) rounds a coordinate to that precision first.
    std::string text(double value, bool derived = false) const;
};

struct PointStats {
    uint64_t points = 0;
    double lo[3] = {}, hi[3] = {};  // the real bounds, scaled
    uint64_t byReturn[16] = {};
    uint64_t classes[256] = {};
    bool hasTime = false;
    double gpsLo = 0, gpsHi = 0;
    std::vector<DimensionStats> dimensions;  // x, y, z, then each field the format has
    // Points per square unit over the bounding box of x and y; 0 for a box without area.
    double density() const;
};

// Reads the rest of `reader`'s records, decoding the fields its format has and the numeric extra
// dimensions of its Extra Bytes records (scaled and offset as they say).
PointStats scanPoints(orv::LasReader& reader);

// A dimension of the records as stored: its name, type and bytes.
struct SchemaEntry {
    std::string name, type;
    unsigned size = 0;
};
// None for a point format without a known layout.
std::vector<SchemaEntry> schemaOf(const orv::LasFileHeader& h);

// The standard name of a classification value ("Ground"); "Reserved" or "User defined" beyond.
const char* className(unsigned value);

}  // namespace orvter
