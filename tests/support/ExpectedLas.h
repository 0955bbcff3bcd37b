// The values an independent reader reports for each shared LAS sample (EXPECTED.txt).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvtest {

struct ExpectedLas {
    std::string name;
    uint64_t fileSize = 0;
    int versionMajor = 0, versionMinor = 0;
    int pointFormat = 0;
    int recordLength = 0;
    int headerSize = 0;
    uint32_t offsetToPoints = 0;
    uint32_t vlrCount = 0;
    uint32_t pointCount = 0;
    uint32_t byReturn[5] = {};
    double scale[3] = {};
    double offset[3] = {};
    double min[3] = {};
    double max[3] = {};
    std::optional<std::vector<double>> firstPoint;  // absent when the file holds no whole record
    // Half a unit of the last printed digit of the first point: its precision in EXPECTED.txt.
    double firstPointTolerance = 0.0;
};

// Every sample described in EXPECTED.txt of `dir`; empty when the file is missing.
std::vector<ExpectedLas> loadExpectedLas(const std::string& dir);

}  // namespace orvtest
