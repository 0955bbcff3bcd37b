// The point filters of `las copy` beyond class, return, box and step.
#include "LasFilters.h"

#include <CLI/CLI.hpp>

#include "Command.h"

namespace orvter {
namespace {

constexpr uint8_t kWithheldBit = 0x04;  // of the classification flags
// Low point and high noise: what "noise" means in both record cores.
constexpr uint8_t kNoiseClasses[] = {7, 18};

CLI::Option* addRange(CLI::App& cmd, const char* name, std::vector<double>& range,
                      const char* what) {
    return valueList(cmd.add_option(name, range, what), 2)->type_name("MIN MAX");
}

bool inside(const std::vector<double>& range, double value) {
    return range.empty() || (value >= range[0] && value <= range[1]);
}

template <class T>
T* sized(std::vector<T>& v, size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
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

void PointFilters::select(const orv::LasFileHeader& h, const uint8_t* records, size_t n,
                          std::vector<uint8_t>& keep) const {
    if (!active()) return;
    orv::LasColumns c;
    if (!m_z.empty()) c.z = sized(m_zs, n);
    if (!m_intensity.empty()) c.intensity = sized(m_intensities, n);
    if (!m_angle.empty()) c.scanAngleDegrees = sized(m_angles, n);
    if (m_dropWithheld) c.classificationFlags = sized(m_flags, n);
    if (m_dropNoise) c.classification = sized(m_classes, n);
    if (m_first || m_last) c.returnNumber = sized(m_returns, n);
    if (m_last || m_single) c.numberOfReturns = sized(m_counts, n);
    orv::decodeLasRecords(h, records, n, c);
    for (size_t i = 0; i < n; ++i) {
        bool ok = (!c.z || inside(m_z, m_zs[i])) &&
                  (!c.intensity || inside(m_intensity, m_intensities[i])) &&
                  (!c.scanAngleDegrees || inside(m_angle, m_angles[i])) &&
                  !(m_dropWithheld && (m_flags[i] & kWithheldBit)) &&
                  !(m_first && m_returns[i] != 1) && !(m_last && m_returns[i] != m_counts[i]) &&
                  !(m_single && m_counts[i] != 1);
        if (m_dropNoise)
            for (uint8_t noise : kNoiseClasses) ok = ok && m_classes[i] != noise;
        if (!ok) keep[i] = 0;
    }
}

}  // namespace orvter
