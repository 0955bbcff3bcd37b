#include <charconv>

#include "Command.h"

namespace orvter {

std::string formatNumber(double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace orvter
