#include "Batch.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "Command.h"

namespace orvter {

BatchResult runEach(size_t count, unsigned jobs, const std::function<void(size_t)>& work) {
    BatchResult result;
    std::mutex mutex;
    std::atomic<size_t> next{0};
    auto fail = [&](const char* what, int status) {
        std::lock_guard<std::mutex> lock(mutex);
        std::fflush(stdout);
        if (*what) std::fprintf(stderr, "orvter: %s\n", what);
        ++result.failures;
        result.status = std::max(result.status, status);
    };
    // Each thread takes the next file until none is left.
    auto worker = [&] {
        for (size_t i = next++; i < count; i = next++) {
            try {
                work(i);
            } catch (const CommandError& e) {
                fail(e.what(), e.status());
            } catch (const std::exception& e) {
                fail(e.what(), kExitFailure);
            }
        }
    };
    const size_t threads = std::min<size_t>(std::max(1u, jobs), count);
    std::vector<std::thread> pool;
    for (size_t t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
    return result;
}

}  // namespace orvter
