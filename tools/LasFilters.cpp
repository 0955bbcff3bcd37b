// The point filters of `las copy` beyond class, return, box and step.
#include "LasFilters.h"

#include <CLI/CLI.hpp>

#include "Command.h"

namespace orvter {
namespace {

constexpr uint8_t kWithheldBit = 0x04;  // of the classification flags

CLI::Option* addRange(CLI::App& cmd, const char* name, std::vector<double>& range,
                      const char* what) {
    return valueList(cmd.add_option(name, range, what), 2)->type_name("MIN MAX");
}

}  // namespace

CLI::Validator classNumber() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            try {
                size_t used = 0;
                const long value = std::stol(text, &used);
                if (used == text.size() && value >= 0 && value <= 255) return "";
            } catch (const std::exception&) {
            }
            return "'" + text + "' is not a class number (0 to 255)";
        },
        "0-255");
}

CLI::Validator atLeastOne() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const std::string whole = wholeNumber(text);
            if (!whole.empty()) return whole;
            const bool below = text[0] == '-' || text.find_first_not_of('0') == std::string::npos;
            return below ? "must be at least 1" : "";
        },
        "N>=1");
}

void PointFilters::addOptions(CLI::App& cmd) {
    addRange(cmd, "--keep-z", m_z, "Keep points with MIN <= z <= MAX (map units)");
    addRange(cmd, "--keep-intensity", m_intensity, "Keep points with MIN <= intensity <= MAX");
    addRange(cmd, "--keep-scan-angle", m_angle,
             "Keep points with MIN <= scan angle <= MAX (degrees)");
    cmd.add_flag("--drop-withheld", m_dropWithheld, "Drop points flagged as withheld");
    cmd.add_flag("--drop-noise", m_dropNoise, "Drop noise: classes 7 (low point) and 18 (high)");
    cmd.add_flag("--keep-first", m_first, "Keep first returns (return number 1)");
    cmd.add_flag("--keep-last", m_last, "Keep last returns (return number = number of returns)");
    cmd.add_flag("--keep-single", m_single, "Keep single returns (number of returns 1)");
}

bool PointFilters::active() const {
    return !m_z.empty() || !m_intensity.empty() || !m_angle.empty() || m_dropWithheld ||
           m_dropNoise || m_first || m_last || m_single;
}

orv::DimRange dimRange(const char* dimension, double min, double max) {
    orv::DimRange r;
    r.dim = orv::findDimension(dimension);
    r.min = min, r.max = max;
    return r;
}

void PointFilters::addStages(orv::Pipeline& p) const {
    if (!m_z.empty()) p.add(orv::makeRangeFilter({dimRange("z", m_z[0], m_z[1])}));
    if (!m_intensity.empty())
        p.add(orv::makeRangeFilter({dimRange("intensity", m_intensity[0], m_intensity[1])}));
    if (!m_angle.empty())
        p.add(orv::makeRangeFilter({dimRange("scan_angle", m_angle[0], m_angle[1])}));
    // Low point and high noise: what "noise" means in both record cores.
    if (m_dropWithheld || m_dropNoise)
        p.add(orv::makeDropFilter(
            m_dropWithheld ? kWithheldBit : 0,
            m_dropNoise ? std::vector<uint8_t>{7, 18} : std::vector<uint8_t>{}));
    if (m_first) p.add(orv::makeRangeFilter({dimRange("return_number", 1, 1)}));
    if (m_last) p.add(orv::makeReturnsFilter(orv::kReturnLastAny));
    if (m_single) p.add(orv::makeRangeFilter({dimRange("number_of_returns", 1, 1)}));
}

}  // namespace orvter
