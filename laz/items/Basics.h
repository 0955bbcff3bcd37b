// The small arithmetic every item codec shares: wrapping and clamping of bytes, running
// medians, and the contexts of return numbers. Included only where the items are combined, so
// that every call stays inline.
#pragma once

#include <cstdint>

#include "laz/LazItems.h"

// Included by LazItems.cpp alone, where the items are combined: internal there, so the
// compiler sees every use and inlines as it would in one file.
namespace orv::laz {
namespace {

// Whether a VLR entry names this type, version and size.
bool is(const ItemDescriptor& s, uint16_t type, uint16_t version, uint16_t size) {
    return s.type == type && s.version == version && s.size == size;
}

uint8_t fold8(int32_t n) {
    return static_cast<uint8_t>(n);
}  // wraps into 0..255
int32_t clamp8(int32_t n) {
    return n < 0 ? 0 : (n > 255 ? 255 : n);
}
uint32_t zeroBit0(uint32_t n) {
    return n & ~1u;
}

// Running median of the last five values, cheap to update one value at a time.
struct Median5 {
    int32_t v[5] = {0, 0, 0, 0, 0};
    bool high = true;
    int32_t get() const { return v[2]; }
    ORV_LAZ_HOT void add(int32_t x) {
        if (high) {
            if (x < v[2]) {
                v[4] = v[3];
                v[3] = v[2];
                if (x < v[0]) {
                    v[2] = v[1];
                    v[1] = v[0];
                    v[0] = x;
                } else if (x < v[1]) {
                    v[2] = v[1];
                    v[1] = x;
                } else {
                    v[2] = x;
                }
            } else {
                if (x < v[3]) {
                    v[4] = v[3];
                    v[3] = x;
                } else {
                    v[4] = x;
                }
                high = false;
            }
        } else {
            if (v[2] < x) {
                v[0] = v[1];
                v[1] = v[2];
                if (v[4] < x) {
                    v[2] = v[3];
                    v[3] = v[4];
                    v[4] = x;
                } else if (v[3] < x) {
                    v[2] = v[3];
                    v[3] = x;
                } else {
                    v[2] = x;
                }
            } else {
                if (v[1] < x) {
                    v[0] = v[1];
                    v[1] = x;
                } else {
                    v[0] = x;
                }
                high = true;
            }
        }
    }
};

// Return number r and number of returns n (3 bits each) to a context (map) and to a distance
// from the last return (level); combinations real files get wrong keep contexts of their own.
constexpr uint8_t kReturnMap[8][8] = {
    {15, 14, 13, 12, 11, 10, 9, 8},  {14, 0, 1, 3, 6, 10, 10, 9},
    {13, 1, 2, 4, 7, 11, 11, 10},    {12, 3, 4, 5, 8, 12, 12, 11},
    {11, 6, 7, 8, 9, 13, 13, 12},    {10, 10, 11, 12, 13, 14, 14, 13},
    {9, 10, 11, 12, 13, 14, 15, 14}, {8, 9, 10, 11, 12, 13, 14, 15}};
uint32_t returnLevel(uint32_t n, uint32_t r) {
    return n > r ? n - r : r - n;
}

// The same for 4-bit return fields, folded into 6 contexts and 8 levels.
constexpr uint8_t kReturnMap6[16][16] = {{0, 1, 2, 3, 4, 5, 3, 4, 4, 5, 5, 5, 5, 5, 5, 5},
                                         {1, 0, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3},
                                         {2, 1, 2, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3},
                                         {3, 3, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {4, 3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {5, 3, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {3, 3, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {4, 3, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {4, 3, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4},
                                         {5, 3, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4},
                                         {5, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 4, 4, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5}};
uint32_t returnLevel8(uint32_t n, uint32_t r) {
    const uint32_t d = n > r ? n - r : r - n;
    return d > 7 ? 7 : d;
}

// ---- The first versions of the pointwise items, as files of unchunked compression hold
// them. The writer never chooses them: they are decoded only.

class DecodedOnly : public PointwiseItem {
public:
    void encode(Encoder&, const uint8_t*) final {}
};

// Median of the last three values.
int32_t median3(const int32_t* v) {
    if (v[0] < v[1]) return v[1] < v[2] ? v[1] : (v[0] < v[2] ? v[2] : v[0]);
    return v[0] < v[2] ? v[0] : (v[1] < v[2] ? v[2] : v[1]);
}

}  // namespace
}  // namespace orv::laz
