#include "platform/FaultInjection.h"

#include <cerrno>

namespace orv::platform {

namespace {

using testing::kOperationCount;
using testing::Operation;

// Atomics because a program may read files in several threads while a test arms the switch.
struct FaultState {
    std::atomic<uint64_t> calls[kOperationCount] = {};
    std::atomic<uint64_t> failAt{0};  // 1-based call number of `failOperation`; 0 = none
    std::atomic<unsigned> failOperation{0};
    std::atomic<int> error{0};
    std::atomic<bool> fired{false};
};

FaultState& state() {
    static FaultState s;
    return s;
}

void restart() {
    for (auto& c : state().calls) c.store(0, std::memory_order_relaxed);
    state().fired.store(false);
}

}  // namespace

std::atomic<bool> detail::g_faultSwitch{false};

bool detail::injectSlow(Operation operation) {
    FaultState& s = state();
    const auto index = static_cast<unsigned>(operation);
    const uint64_t n = s.calls[index].fetch_add(1) + 1;
    if (s.failOperation.load() != index || s.failAt.load() != n) return false;
    s.fired.store(true);
    errno = s.error.load();
    return true;
}

const char* testing::operationName(Operation operation) {
    static const char* const names[kOperationCount] = {
        "open", "stat", "read", "write", "seek", "close", "rename", "reserve", "write-behind"};
    const auto index = static_cast<unsigned>(operation);
    return index < kOperationCount ? names[index] : "?";
}

void testing::failNth(Operation operation, uint64_t n, int error) {
    restart();
    state().failOperation.store(static_cast<unsigned>(operation));
    state().error.store(error);
    state().failAt.store(n);
    detail::g_faultSwitch.store(true);
}

void testing::startCounting() {
    restart();
    state().failAt.store(0);
    detail::g_faultSwitch.store(true);
}

uint64_t testing::calls(Operation operation) {
    const auto index = static_cast<unsigned>(operation);
    return index < kOperationCount ? state().calls[index].load() : 0;
}

bool testing::fired() {
    return state().fired.load();
}

void testing::reset() {
    detail::g_faultSwitch.store(false);
    state().failAt.store(0);
    restart();
}

}  // namespace orv::platform
