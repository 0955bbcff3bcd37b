// The point filters of `las copy` beyond class, return, box and step: what LAStools and PDAL
// users reach for, as options that add the library's filter stages.
#pragma once

#include <vector>

#include "OrvStages.h"

namespace CLI {
class App;
class Validator;
}  // namespace CLI

namespace orvter {

// Checks a list of class numbers (0 to 255) or an option that must be at least 1.
CLI::Validator classNumber();
CLI::Validator atLeastOne();

class PointFilters {
public:
    // Adds --keep-z, --keep-intensity, --keep-scan-angle, --drop-withheld, --drop-noise,
    // --keep-first, --keep-last and --keep-single to `cmd`.
    void addOptions(CLI::App& cmd);
    bool active() const;
    // Adds the stages the options ask for.
    void addStages(orv::Pipeline& pipeline) const;

private:
    std::vector<double> m_z, m_intensity, m_angle;  // MIN MAX each, empty when not asked
    bool m_dropWithheld = false, m_dropNoise = false;
    bool m_first = false, m_last = false, m_single = false;
};

// A range of one dimension for a filter stage.
orv::DimRange dimRange(const char* dimension, double min, double max);

}  // namespace orvter
