// The point filters of `las copy` beyond class, return, box and step: what LAStools and PDAL
// users reach for, in one place with their options.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "OrvLasFile.h"

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
    // Sets keep[i] to 0 for each of the `n` records that a filter drops (keep[i] left as it is
    // otherwise). The columns it needs are decoded into buffers reused call after call.
    void select(const orv::LasFileHeader& h, const uint8_t* records, size_t n,
                std::vector<uint8_t>& keep) const;

private:
    std::vector<double> m_z, m_intensity, m_angle;  // MIN MAX each, empty when not asked
    bool m_dropWithheld = false, m_dropNoise = false;
    bool m_first = false, m_last = false, m_single = false;

    mutable std::vector<double> m_zs;
    mutable std::vector<float> m_angles;
    mutable std::vector<uint16_t> m_intensities;
    mutable std::vector<uint8_t> m_flags, m_classes, m_returns, m_counts;
};

}  // namespace orvter
