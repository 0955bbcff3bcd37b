// The one file of orvTerBasic that talks to the operating system: large blocks for the pools.
#include <sys/mman.h>

#include <new>

#include "OrvBasic.h"

namespace orv {
namespace {
// Below this a block comes from operator new: the system's allocator serves it well.
constexpr size_t kLargeBlockBytes = size_t{8} << 20;
// The huge page size of x86-64. Blocks are aligned to it, but not asked to be backed by huge
// pages: in a fresh process those swung between 0.1 and 2.5 s for the same 440 MB on a virtual
// machine (the host backing them anew), where small pages, filled in advance, cost a steady
// 0.23 s.
constexpr size_t kHugePageBytes = size_t{2} << 20;
constexpr size_t kPageBytes = 4096;

size_t roundedUp(size_t bytes) {
    return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
}
}  // namespace

void* allocateLargeBlock(size_t bytes) {
    if (bytes < kLargeBlockBytes) return ::operator new(bytes);
    if (bytes > SIZE_MAX - 2 * kHugePageBytes) throw std::bad_alloc();
    const size_t length = roundedUp(bytes);
    // Map one huge page more than needed, then cut the unaligned head and the tail away.
    void* raw = ::mmap(nullptr, length + kHugePageBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePageBytes - 1) & ~uintptr_t{kHugePageBytes - 1};
    if (aligned > start) ::munmap(raw, aligned - start);
    const size_t tail = (start + length + kHugePageBytes) - (aligned + length);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
    return reinterpret_cast<void*>(aligned);
}

void prepareLargeBlock(void* at, size_t bytes) noexcept {
    if (!at || bytes == 0) return;
    const uintptr_t first = reinterpret_cast<uintptr_t>(at) & ~uintptr_t{kPageBytes - 1};
    const uintptr_t end = reinterpret_cast<uintptr_t>(at) + bytes;
#ifdef MADV_POPULATE_WRITE
    ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);  // a hint
#else
    (void)first;
    (void)end;
#endif
}

void freeLargeBlock(void* block, size_t bytes) noexcept {
    if (!block) return;
    if (bytes < kLargeBlockBytes) {
        ::operator delete(block);
        return;
    }
    ::munmap(block, roundedUp(bytes));
}

}  // namespace orv
