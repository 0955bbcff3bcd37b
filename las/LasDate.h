// Today's date as LAS headers state it.
#pragma once

#include <cstdint>
#include <ctime>

namespace orv::las {

// Day of the year (1 to 366) and year, UTC; zeros when the clock cannot be read.
inline void today(uint16_t& day, uint16_t& year) {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    if (now == static_cast<std::time_t>(-1) || !gmtime_r(&now, &parts)) {
        day = year = 0;
        return;
    }
    day = static_cast<uint16_t>(parts.tm_yday + 1);
    year = static_cast<uint16_t>(parts.tm_year + 1900);
}

}  // namespace orv::las
