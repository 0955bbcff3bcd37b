#include "platform/FaultInjection.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

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
    std::atomic<int> signal{0};  // raised instead of failing, when not 0
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
    if (const int sig = s.signal.load()) {
        std::raise(sig);
        return false;
    }
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
    state().signal.store(0);
    state().failOperation.store(static_cast<unsigned>(operation));
    state().error.store(error);
    state().failAt.store(n);
    detail::g_faultSwitch.store(true);
}

void testing::signalNth(Operation operation, uint64_t n, int signal) {
    failNth(operation, n, 0);
    state().signal.store(signal);
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
    state().signal.store(0);
    restart();
}

namespace {

// Arms the switch from the environment, for tests that run a whole program.
[[maybe_unused]] const bool g_armedFromEnvironment = [] {
    const char* setting = std::getenv("ORV_FAULT_SIGNAL");
    if (!setting) return false;
    for (unsigned i = 0; i < kOperationCount; ++i) {
        const char* name = testing::operationName(static_cast<Operation>(i));
        const size_t length = std::strlen(name);
        if (std::strncmp(setting, name, length) != 0 || setting[length] != ':') continue;
        char* end = nullptr;
        const unsigned long long n = std::strtoull(setting + length + 1, &end, 10);
        if (!end || *end != ':' || n == 0) return false;
        const long sig = std::strtol(end + 1, nullptr, 10);
        if (sig <= 0 || sig >= 65) return false;
        testing::signalNth(static_cast<Operation>(i), n, static_cast<int>(sig));
        return true;
    }
    return false;
}();

}  // namespace

}  // namespace orv::platform
