// The large arrays of a picture, on huge pages where Linux offers them: a 2,048 px picture's
// pixel state would otherwise cost tens of thousands of page faults to set up, and points
// scattered over it would miss the TLB nearly every time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace orv::render {

constexpr size_t kHugePage = size_t{2} << 20;

// Asks for the whole huge pages inside [p, p + bytes) to be huge; advice only.
inline void adviseHugePages(void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const uintptr_t begin =
        (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) / kHugePage * kHugePage;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) / kHugePage * kHugePage;
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p, (void)bytes;
#endif
}

// Sizes a vector that the caller's interface fixes as std::vector to `n` elements, on huge
// pages where the memory is new.
template <class T>
void resizeLarge(std::vector<T>& v, size_t n) {
    if (v.capacity() < n) {
        std::vector<T>().swap(v);
        v.reserve(n);
        adviseHugePages(v.data(), n * sizeof(T));
    }
    v.resize(n);
}

template <class T>
struct LargeAllocator {
    using value_type = T;

    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) {}

    T* allocate(size_t n) {
        const size_t bytes = n * sizeof(T);
        if (bytes < kHugePage) {
            if (void* p = std::malloc(bytes ? bytes : 1)) return static_cast<T*>(p);
            throw std::bad_alloc();
        }
        // Whole, aligned huge pages, so that the kernel can back all of the array with them.
        void* p = std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
        if (!p) throw std::bad_alloc();
        adviseHugePages(p, bytes);
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) { std::free(p); }

    template <class U>
    bool operator==(const LargeAllocator<U>&) const {
        return true;
    }
    template <class U>
    bool operator!=(const LargeAllocator<U>&) const {
        return false;
    }
};

template <class T>
using LargeArray = std::vector<T, LargeAllocator<T>>;

}  // namespace orv::render
