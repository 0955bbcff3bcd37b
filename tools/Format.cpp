#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Command.h"
#include "OrvStages.h"

namespace orvter {

template <class T>
std::string shortest(T value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string formatNumber(double value) {
    return shortest(value);
}

std::string formatNumber(float value) {
    return shortest(value);
}

namespace {

// Decimals beyond which a value off its scale's grid is given as its shortest text.
constexpr int kMostDecimals = 12;

std::string fixedText(double value, int decimals) {
    char buffer[400];  // the widest double in fixed notation fits
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    // A value that rounds to zero has no sign: "-0.00" is noise of the arithmetic.
    if (buffer[0] == '-' && std::strspn(buffer + 1, "0.") == std::strlen(buffer + 1))
        return buffer + 1;
    return buffer;
}

}  // namespace

std::string formatFixed(double value, int decimals) {
    if (decimals < 0 || !std::isfinite(value)) return formatNumber(value);
    // On the grid of `d` decimals when rounding moves it by no more than the arithmetic that
    // made it (a few units in its last place) or a thousandth of a step.
    const double ulp = std::fabs(std::nextafter(value, HUGE_VAL) - value);
    for (int d = decimals; d <= std::max(decimals, kMostDecimals); ++d) {
        const double p = std::pow(10.0, d), scaled = value * p;
        // Beyond 2^52 steps every double is a whole number of them.
        if (!std::isfinite(scaled) || std::fabs(scaled) >= 0x1p52 ||
            std::fabs(std::round(scaled) / p - value) <= std::max(1e-3 / p, 4 * ulp))
            return fixedText(value, d);
    }
    return formatNumber(value);
}

double roundedTo(double value, int decimals) {
    if (decimals < 0 || !std::isfinite(value)) return value;
    return readBack(fixedText(value, decimals));
}

double readBack(const std::string& text) {
    return std::strtod(text.c_str(), nullptr);
}

int decimalsOf(double scale) {
    return orv::scaleDecimals(scale);
}

std::string wholeNumber(const std::string& text) {
    const char* end = text.data() + text.size();
    std::from_chars_result r{};
    if (!text.empty() && text[0] == '-') {
        long long value = 0;
        r = std::from_chars(text.data(), end, value);
    } else {
        unsigned long long value = 0;
        r = std::from_chars(text.data(), end, value);
    }
    if (text.empty() || r.ec == std::errc::invalid_argument || r.ptr != end)
        return "'" + text + "' is not a number";
    if (r.ec == std::errc::result_out_of_range) return "'" + text + "' is out of range";
    return std::string();
}

void warnFloatMovement(const LasHeader& h, const double origin[3], const std::string& who) {
    const double bounds[6] = {h.minX, h.maxX, h.minY, h.maxY, h.minZ, h.maxZ};
    double largest = 0.0;
    for (int i = 0; i < 6; ++i) largest = std::max(largest, std::fabs(bounds[i] - origin[i / 2]));
    // Half a float's step at that size, and the thousandths the writer truncates to.
    const auto f = static_cast<float>(largest);
    const double moved = (std::nextafter(f, HUGE_VALF) - f) / 2.0 + 0.001;
    if (!std::isfinite(moved) || moved <= 0.0015) return;
    std::fprintf(stderr,
                 "orvter: warning: %s carry coordinates as floats: at %s units a coordinate may "
                 "move by up to %s\n",
                 who.c_str(), formatNumber(largest).c_str(), formatNumber(moved).c_str());
}

bool compressedOutput(const std::string& arg, bool laz) {
    if (laz) return true;
    if (arg.size() < 4) return false;
    std::string tail = arg.substr(arg.size() - 4);
    for (char& c : tail) c = static_cast<char>(c | 0x20);
    return tail == ".laz";
}

void addLasOutput(CLI::App& cmd, std::string& out, bool& laz, bool required) {
    CLI::Option* option = cmd.add_option(
        "OUT", out,
        "LAS file to write, compressed (LAZ) when its name ends in .laz or with --laz "
        "(replaced when it exists; - writes standard output)");
    option->required(required);
    cmd.add_flag("--laz", laz, "Compress the output whatever its name (for - : standard output)");
}

CLI::Option* valueList(CLI::Option* option, int count) {
    // A vector option would otherwise go on taking arguments while any are left.
    option->delimiter(',')->allow_extra_args(false);
    if (count > 0) return option->expected(count);
    return option->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

}  // namespace orvter
