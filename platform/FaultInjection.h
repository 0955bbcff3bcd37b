// A test-only switch that makes a chosen system call of the file layer fail, so that tests can
// walk a failure through every step of a read or a write. Compiled into every build and off by
// default: while off, each system call pays one relaxed atomic load, nothing per point or byte.
#pragma once

#include <atomic>
#include <cstdint>

namespace orv::platform::testing {

// The system calls that can be made to fail.
enum class Operation : unsigned {
    Open,         // opening or creating a file (also the temporary of a new file)
    Stat,         // asking a file's kind and length
    Read,         // one read system call
    Write,        // one write system call
    Seek,         // moving the position
    Close,        // closing: the descriptor is closed all the same, as the kernel does
    Rename,       // putting a finished file in place of its target
    Reserve,      // asking the file system for room up front, or giving unused room back
    WriteBehind,  // asking the kernel to start writing out what was written so far
};
constexpr unsigned kOperationCount = 9;

// Short lower-case name for messages ("open", "write").
const char* operationName(Operation operation);

// Makes the n-th call of `operation` from now on (1 = the next one) fail with `error`; the calls
// before and after it run normally. Counting of every operation restarts at zero.
void failNth(Operation operation, uint64_t n, int error);
// Counts the calls of every operation from now on, failing none.
void startCounting();
// Calls of `operation` counted since the last failNth or startCounting.
uint64_t calls(Operation operation);
// Whether the armed failure has been delivered.
bool fired();
// Raises `signal` in this process at the n-th call of `operation` from now on, just before the
// call; the call goes ahead if the process lives on. For tests that kill a writer at a chosen
// step. A program started with ORV_FAULT_SIGNAL=<operation>:<n>:<signal number> in its
// environment (operation as operationName gives it) is armed so from its start.
void signalNth(Operation operation, uint64_t n, int signal);
// Switches everything off.
void reset();

// Resets the switch when it goes, so that a failing test never leaves it on for the next one.
class Scope {
public:
    Scope() { reset(); }
    ~Scope() { reset(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

}  // namespace orv::platform::testing

namespace orv::platform::detail {

extern std::atomic<bool> g_faultSwitch;
bool injectSlow(testing::Operation operation);

// True when this call must fail; errno then holds the chosen error.
inline bool injectFault(testing::Operation operation) {
    return __builtin_expect(g_faultSwitch.load(std::memory_order_relaxed), false) &&
           injectSlow(operation);
}

}  // namespace orv::platform::detail
