#include <algorithm>
#include <thread>

#include "OrvThreads.h"

namespace orv {

unsigned threadCount(unsigned asked, unsigned most) {
    const unsigned n = asked ? asked : std::max(1u, std::thread::hardware_concurrency());
    return most ? std::min(n, most) : n;
}

}  // namespace orv
