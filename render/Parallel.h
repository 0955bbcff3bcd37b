// Splitting a loop over rows or pixels between a few threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "OrvThreads.h"

namespace orv::render {

// The threads a picture uses: `asked`, or every core when 0.
inline unsigned threadsFor(unsigned asked) {
    return threadCount(asked);
}

// Calls fn(part, begin, end) for `parts` contiguous slices of [0, n), the first on the calling
// thread; returns once all are done. A slice whose thread cannot start runs on the calling
// thread too. An exception from any slice is rethrown here.
template <class Fn>
void forParts(size_t n, unsigned parts, Fn fn) {
    parts = static_cast<unsigned>(std::max<size_t>(1, std::min<size_t>(parts, n)));
    std::vector<std::exception_ptr> failed(parts);
    auto run = [&](unsigned p) {
        try {
            fn(p, n * p / parts, n * (p + 1) / parts);
        } catch (...) {
            failed[p] = std::current_exception();
        }
    };
    std::vector<std::thread> others;
    std::vector<unsigned> here{0};
    for (unsigned p = 1; p < parts; ++p) {
        try {
            others.emplace_back(run, p);
        } catch (const std::system_error&) {
            here.push_back(p);
        }
    }
    for (unsigned p : here) run(p);
    for (std::thread& t : others) t.join();
    for (const std::exception_ptr& e : failed)
        if (e) std::rethrow_exception(e);
}

}  // namespace orv::render
