#include <charconv>
#include <cmath>
#include <cstdio>

#include "Command.h"

namespace orvter {

std::string formatNumber(double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string formatFixed(double value, int decimals) {
    if (decimals < 0 || !std::isfinite(value)) return formatNumber(value);
    char buffer[400];  // the widest double in fixed notation fits
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

int decimalsOf(double scale) {
    if (!(scale > 0.0) || !std::isfinite(scale)) return -1;
    double scaled = scale;
    for (int d = 0; d <= 12; ++d, scaled *= 10.0)
        if (std::fabs(scaled - std::round(scaled)) <= 1e-9 * scaled) return d;
    return -1;
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

}  // namespace orvter
