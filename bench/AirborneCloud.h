// A generated airborne-like cloud shared by the benchmarks: scan lines 2 km across, north a line
// at a time, GPS time rising, rolling terrain with some roughness, LAS 1.4 format 6 in
// centimetres. The same file on every machine: a fixed linear congruential sequence.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "OrvLasFile.h"

namespace bench {

inline bool writeAirborneCloud(const std::string& path, uint64_t points) {
    orv::LasFileHeader h;
    h.versionMinor = 4;
    h.pointFormat = 6;
    h.scale[0] = h.scale[1] = h.scale[2] = 0.01;
    h.offset[0] = 400000, h.offset[1] = 5000000;
    orv::LasWriter w;
    if (w.open(path.c_str(), h) != 0) return false;
    constexpr size_t kBlock = 1 << 16;
    std::vector<double> x(kBlock), y(kBlock), z(kBlock), t(kBlock);
    std::vector<uint8_t> ret(kBlock, 1), num(kBlock, 1), cls(kBlock);
    std::vector<uint16_t> intensity(kBlock);
    uint64_t state = 1;
    auto next = [&state] {
        return (state = state * 6364136223846793005u + 1442695040888963407u) >> 33;
    };
    const uint64_t perLine = 2000;
    const double lines = double(points) / perLine;
    orv::LasColumns c;
    c.x = x.data(), c.y = y.data(), c.z = z.data(), c.gpsTime = t.data();
    c.returnNumber = ret.data(), c.numberOfReturns = num.data(), c.classification = cls.data();
    c.intensity = intensity.data();
    for (uint64_t done = 0; done < points;) {
        const size_t n = size_t(std::min<uint64_t>(kBlock, points - done));
        for (size_t i = 0; i < n; ++i) {
            const uint64_t k = done + i;
            const double line = double(k / perLine), across = double(k % perLine) / perLine;
            x[i] = 400000 + across * 2000 + double(next() % 100) / 100.0;
            y[i] = 5000000 + line / lines * 2000 + double(next() % 100) / 100.0;
            z[i] = 300 + 20 * std::sin(x[i] / 150) * std::cos(y[i] / 200) +
                   double(next() % 50) / 100.0;
            t[i] = 1e5 + double(k) * 1e-5;
            intensity[i] = uint16_t(next() % 4000);
            cls[i] = uint8_t(next() % 6 == 0 ? 5 : 2);
        }
        if (w.write(c, n) != n) return false;
        done += n;
    }
    w.close();
    return true;
}

}  // namespace bench
