// Points from delimited text, one line a point, in the fields `orvter las to-text` writes: the
// way back from that text to LAS records. The text is read twice: once to check every line and
// learn the precision and bounds of the coordinates (which choose the scale, offset and point
// format), then a block at a time into columns for a LasWriter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OrvExport.h"
#include "OrvLasFile.h"

namespace orv {

class ORV_API LasTextReader {
public:
    LasTextReader();
    LasTextReader(const LasTextReader&) = delete;
    LasTextReader& operator=(const LasTextReader&) = delete;
    ~LasTextReader();

    // The names a column may have, as `las to-text` and the Python package call the fields;
    // "skip" ignores a column.
    static const std::vector<std::string>& fieldNames();

    // Reads `path` once. `fields` name its columns in order; `separator` splits them (0: a comma
    // where the line has one, else runs of spaces and tabs). Empty lines, lines that start with
    // '#' and a first line naming the fields are passed over. 0; -1 when the file cannot be
    // read; -2 for fields that cannot be taken, a malformed line (error() gives its number) or
    // coordinates that 32-bit integers cannot hold at their precision. A null `path` checks the
    // fields alone: -2 when they cannot be taken, else -1.
    int open(const char* path, const std::vector<std::string>& fields, char separator = 0);
    // Why open or read failed, for people.
    const std::string& error() const;

    // After open: the header for the points. The smallest point format that holds the fields
    // and their values; a scale per axis of the most digits after the point that axis has; an
    // offset at the middle of the bounds, in whole units; version 1.2, or 1.4 for formats 6 to 10.
    const LasFileHeader& header() const;
    uint64_t pointCount() const;
    // Set when a coordinate has more digits after the point than 32-bit integers hold over its
    // range: the scale then keeps as many as fit, and this says so.
    const std::string& warning() const;

    // Fills up to `max` points into `columns` (a null column is skipped, one of a field the text
    // does not name gets zeros; x, y, z and the scan angle in degrees as read: a LasWriter takes
    // them where X, Y, Z and scanAngle are null) from the lines after those read so far. Returns
    // their number; 0 at the end, or with error() when the file no longer reads as it did at open.
    size_t read(const LasColumns& columns, size_t max);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace orv
