// Little-endian fields of file structures (LAS records, LAZ chunks), read and written at any
// alignment.
#pragma once

#include <cstdint>
#include <cstring>

namespace orv::platform {

template <class T>
inline T load(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
inline void store(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

}  // namespace orv::platform
