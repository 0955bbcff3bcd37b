#include "support/ExpectedLas.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace orvtest {
namespace {

// Reads the numbers that follow `label` in `line`.
template <class T>
void numbersAfter(const std::string& line, const std::string& label, T* out, int count) {
    const auto at = line.find(label);
    if (at == std::string::npos) return;
    std::istringstream in(line.substr(at + label.size()));
    for (int i = 0; i < count; ++i) in >> out[i];
}

double printedPrecision(const std::string& number) {
    const auto dot = number.find('.');
    if (dot == std::string::npos) return 0.5;
    return 0.5 * std::pow(10.0, -static_cast<int>(number.size() - dot - 1));
}

}  // namespace

std::vector<ExpectedLas> loadExpectedLas(const std::string& dir) {
    std::vector<ExpectedLas> all;
    std::ifstream in(dir + "/EXPECTED.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("== ", 0) == 0) {
            ExpectedLas e;
            std::istringstream words(line.substr(3));
            std::string paren;
            words >> e.name >> paren;
            e.fileSize = std::stoull(paren.substr(1));
            all.push_back(e);
            continue;
        }
        if (all.empty()) continue;
        ExpectedLas& e = all.back();
        if (line.find("RAW HEADER:") != std::string::npos) {
            std::string version;
            numbersAfter(line, "version ", &version, 1);
            std::sscanf(version.c_str(), "%d.%d", &e.versionMajor, &e.versionMinor);
            numbersAfter(line, "point format ", &e.pointFormat, 1);
            numbersAfter(line, "record length ", &e.recordLength, 1);
            numbersAfter(line, "header size ", &e.headerSize, 1);
            numbersAfter(line, "offset to points ", &e.offsetToPoints, 1);
            numbersAfter(line, "VLR count ", &e.vlrCount, 1);
            numbersAfter(line, "point count ", &e.pointCount, 1);
        } else if (line.find("point count (header)") != std::string::npos) {
            numbersAfter(line, "by return ", e.byReturn, 5);
        } else if (line.find("   scale ") == 0) {
            numbersAfter(line, "scale ", e.scale, 3);
            numbersAfter(line, "offset ", e.offset, 3);
        } else if (line.find("   bbox min ") == 0) {
            numbersAfter(line, "min ", e.min, 3);
            numbersAfter(line, "max ", e.max, 3);
        } else if (line.find("   first point: ") == 0) {
            std::istringstream words(line.substr(line.find(':') + 1));
            std::vector<double> point;
            std::string word;
            while (words >> word && word != "(none)") {
                point.push_back(std::stod(word));
                e.firstPointTolerance = printedPrecision(word);
            }
            if (point.size() == 3) e.firstPoint = point;
        }
    }
    return all;
}

}  // namespace orvtest
