// The shared object model: counted objects, the counted pointer, points and point pools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "OrvExport.h"

namespace orv {

class OrvReferenced;

// Receives objects whose last reference went away, in place of deleting them at once.
class ORV_BASIC_API DeleteHandler {
public:
    virtual ~DeleteHandler();
    // Called with an object whose count fell to 0 or below; it must end up in doDelete.
    virtual void requestDelete(const OrvReferenced* object) = 0;

protected:
    // Runs the object's virtual deleting destructor.
    static void doDelete(const OrvReferenced* object);
};

// Base of every object that crosses the library boundary. The signed 32-bit count sits right
// after the virtual table pointer and changes in place; objects are used by one thread at a time.
class ORV_BASIC_API OrvReferenced {
public:
    OrvReferenced();
    // A copy is a new object: it starts with a count of 0.
    OrvReferenced(const OrvReferenced& other);
    // The count belongs to the object, never to its value.
    OrvReferenced& operator=(const OrvReferenced&) { return *this; }

    // Takes one reference.
    void ref() const { ++m_refCount; }
    // Releases one reference; at 0 or below the object is deleted (through the delete handler
    // when one is set). Inline: releasing a link is the common step of tearing down a tree.
    void unref() const {
        if (--m_refCount > 0) return;
        deleteSelf();
    }
    // The current count, for tests and diagnostics.
    int32_t referenceCount() const { return m_refCount; }

    // The handler that receives objects to delete, or null to delete them directly.
    static DeleteHandler* getDeleteHandler();
    static void setDeleteHandler(DeleteHandler* handler);
    // Number of counted objects alive in the process; tests use it to catch leaked references.
    static long liveObjects();
    // For an owner that ends the lives of many objects at once by giving back their storage
    // without running their destructors (which must have nothing left to do but this count).
    static void forgetObjects(long count);

protected:
    virtual ~OrvReferenced();

private:
    friend class DeleteHandler;
    void deleteSelf() const;
    mutable int32_t m_refCount;
};

// Owns one reference to a counted object, taken and released as it is made, copied, reset and
// destroyed: code that holds counted objects never pairs ref and unref by hand.
template <class T>
class OrvPtr {
public:
    OrvPtr() noexcept = default;
    OrvPtr(T* object) noexcept : m_ptr(object) {  // NOLINT: implicit on purpose, like a pointer
        if (m_ptr) m_ptr->ref();
    }
    OrvPtr(const OrvPtr& other) noexcept : OrvPtr(other.m_ptr) {}
    OrvPtr(OrvPtr&& other) noexcept : m_ptr(other.m_ptr) { other.m_ptr = nullptr; }
    template <class U>
    OrvPtr(const OrvPtr<U>& other) noexcept : OrvPtr(other.get()) {}
    ~OrvPtr() {
        if (m_ptr) m_ptr->unref();
    }

    // Assigning the object already held does nothing; otherwise the new object is taken before
    // the old one is released.
    OrvPtr& operator=(T* object) noexcept {
        if (object == m_ptr) return *this;
        T* old = m_ptr;
        m_ptr = object;
        if (m_ptr) m_ptr->ref();
        if (old) old->unref();
        return *this;
    }
    OrvPtr& operator=(const OrvPtr& other) noexcept { return *this = other.m_ptr; }
    OrvPtr& operator=(OrvPtr&& other) noexcept {
        if (this != &other) {
            T* old = m_ptr;
            m_ptr = other.m_ptr;
            other.m_ptr = nullptr;
            if (old) old->unref();
        }
        return *this;
    }

    // Takes over a reference that was already counted for the receiver (an object handed out
    // with one reference).
    static OrvPtr adopt(T* object) noexcept {
        OrvPtr p;
        p.m_ptr = object;
        return p;
    }
    // Hands the held reference to the caller, who releases it later.
    T* release() noexcept {
        T* object = m_ptr;
        m_ptr = nullptr;
        return object;
    }

    T* get() const noexcept { return m_ptr; }
    T* operator->() const noexcept { return m_ptr; }
    T& operator*() const noexcept { return *m_ptr; }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }

private:
    T* m_ptr = nullptr;
};

// A narrow byte string with the standard string's behaviour.
using OrvString = std::string;

// Abstract base of the library's arrays.
class ORV_BASIC_API OrvArray : public OrvReferenced {
public:
    OrvArray();
    OrvArray(const OrvArray& other);
    OrvArray& operator=(const OrvArray& other);
    virtual void clear() = 0;
    // Gives back unused room; the base keeps nothing to trim.
    virtual void trim();

protected:
    ~OrvArray() override;

private:
    int32_t m_growBy;  // growth hint, copied with the array, unused by this library
};

// A point in double precision with a 16-bit attribute.
struct ORV_BASIC_API XPnt3d {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    uint16_t attr = 0;

    XPnt3d() = default;
    XPnt3d(double px, double py, double pz, uint16_t pattr = 0)
        : x(px), y(py), z(pz), attr(pattr) {}
};

// Component-wise minimum and maximum of x, y and z; the attribute comes from the first argument.
ORV_BASIC_API XPnt3d getMin(const XPnt3d& a, const XPnt3d& b);
ORV_BASIC_API XPnt3d getMax(const XPnt3d& a, const XPnt3d& b);

#pragma pack(push, 1)
// A point in single precision with a 16-bit attribute (the intensity in a LasPnt). Packed, so
// that it may sit at any address inside a packed LasPnt and still be copied safely.
struct XPnt3f {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    uint16_t attr = 0;
    uint16_t padding = 0;

    XPnt3f() = default;
    XPnt3f(float px, float py, float pz, uint16_t pattr) : x(px), y(py), z(pz), attr(pattr) {}
};
#pragma pack(pop)
static_assert(sizeof(XPnt3f) == 16, "XPnt3f is 16 bytes: three floats, the attribute, padding");

}  // namespace orv

#pragma pack(push, 1)
// The 22-byte point of the pools and arrays.
struct LasPnt {
    orv::XPnt3f pnt;  // coordinates; pnt.attr holds the intensity
    uint8_t classification = 0;
    uint8_t returnNumber = 0;
    uint8_t spare = 0;
    uint8_t pointSource = 0;  // written as the point source ID, zero-extended
    uint16_t spareWord = 0;
};
#pragma pack(pop)
static_assert(sizeof(LasPnt) == 22, "LasPnt is 22 bytes, packed");

namespace orv {

// Storage for point buffers. Blocks of many megabytes come straight from the system, so that
// they go back to it whole when freed; smaller blocks come from operator new.
// Throws std::bad_alloc.
ORV_BASIC_API void* allocateLargeBlock(size_t bytes);
// Gives back a block; `bytes` is the size it was allocated with.
ORV_BASIC_API void freeLargeBlock(void* block, size_t bytes) noexcept;
// Has the system back `bytes` of a large block from `at` with memory now, in one call instead of
// a page fault per page; a hint, ignored where the system has no such call.
ORV_BASIC_API void prepareLargeBlock(void* at, size_t bytes) noexcept;

// The standard allocator interface over allocateLargeBlock, for the pools' storage.
template <class T>
struct LargeBlockAllocator {
    using value_type = T;
    LargeBlockAllocator() noexcept = default;
    template <class U>
    LargeBlockAllocator(const LargeBlockAllocator<U>&) noexcept {}
    T* allocate(size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocateLargeBlock(count * sizeof(T)));
    }
    void deallocate(T* block, size_t count) noexcept { freeLargeBlock(block, count * sizeof(T)); }
    friend bool operator==(const LargeBlockAllocator&, const LargeBlockAllocator&) { return true; }
    friend bool operator!=(const LargeBlockAllocator&, const LargeBlockAllocator&) { return false; }
};

// LargeBlockAllocator that leaves elements made without arguments as the memory holds them: the
// pool zeroes or overwrites them itself, once.
template <class T>
struct NoInitLargeBlockAllocator : LargeBlockAllocator<T> {
    template <class U>
    struct rebind {
        using other = NoInitLargeBlockAllocator<U>;
    };
    NoInitLargeBlockAllocator() noexcept = default;
    template <class U>
    NoInitLargeBlockAllocator(const NoInitLargeBlockAllocator<U>&) noexcept {}
    template <class U>
    void construct(U*) noexcept {}
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

// The standard allocator, except that it leaves elements made without arguments as the memory
// holds them: for arrays whose readers overwrite every byte of each new element.
template <class T>
struct NoInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = NoInitAllocator<U>;
    };
    NoInitAllocator() noexcept = default;
    template <class U>
    NoInitAllocator(const NoInitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U*) noexcept {}
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

// A growable array of LasPnt values.
class ORV_BASIC_API LasPntArray : public OrvReferenced {
public:
    LasPntArray();
    void reserve(size_t count) { m_points.reserve(count); }
    void pushBack(const LasPnt& point) { m_points.push_back(point); }
    // Sets the number of points; new ones are zeroed.
    void resize(size_t count) {
        const size_t before = m_points.size();
        m_points.resize(count);
        if (count > before)
            std::memset(static_cast<void*>(m_points.data() + before), 0,
                        (count - before) * sizeof(LasPnt));
    }
    // Sets the number of points, leaving new ones unwritten: for readers that size a block
    // once, write every byte of each point in place and cut the block to what they found.
    void resizeForOverwrite(size_t count) { m_points.resize(count); }
    size_t size() const { return m_points.size(); }
    const LasPnt& operator[](size_t index) const { return m_points[index]; }
    LasPnt& operator[](size_t index) { return m_points[index]; }
    const LasPnt* data() const { return m_points.data(); }
    LasPnt* data() { return m_points.data(); }
    void clear() { m_points.clear(); }

protected:
    ~LasPntArray() override;

private:
    // Over the heap on purpose: a reader's blocks come and go one after another, and the heap
    // hands the freed block's warm pages to the next one.
    std::vector<LasPnt, NoInitAllocator<LasPnt>> m_points;
};
ORV_BASIC_API LasPntArray* newLasPntArray();

// A pool of LasPnt values with a read cursor. Pointers into it stay valid while it is unchanged.
class ORV_BASIC_API LasPntPool : public OrvReferenced {
public:
    LasPntPool();
    // Stores a copy of the point; amortised O(1).
    void add(const LasPnt* point) { m_points.push_back(*point); }
    // Appends `count` zeroed points and returns the first, for readers that fill points in
    // place. The pointer is valid until the pool next grows.
    LasPnt* grow(size_t count) {
        LasPnt* first = growForOverwrite(count);
        std::memset(static_cast<void*>(first), 0, count * sizeof(LasPnt));
        return first;
    }
    // As grow, but leaves the new points unwritten: for readers that write every byte of each.
    LasPnt* growForOverwrite(size_t count) {
        const size_t first = m_points.size();
        m_points.resize(first + count);
        return m_points.data() + first;
    }
    // Makes room for count points in all, so that adding them allocates nothing more.
    void reserve(size_t count) { m_points.reserve(count); }
    // Backs the reserved room of points [first, first + count) with memory now, for a reader
    // about to fill them: one system call instead of a page fault per page.
    void prepare(size_t first, size_t count) const {
        const size_t room = m_points.capacity();
        if (first >= room) return;
        if (count > room - first) count = room - first;
        prepareLargeBlock(const_cast<LasPnt*>(m_points.data()) + first, count * sizeof(LasPnt));
    }
    void rewind() { m_cursor = 0; }
    // The next stored point, or null after the last.
    LasPnt* next() { return m_cursor < m_points.size() ? &m_points[m_cursor++] : nullptr; }
    size_t size() const { return m_points.size(); }
    const LasPnt* data() const { return m_points.data(); }
    LasPnt* data() { return m_points.data(); }

protected:
    ~LasPntPool() override;

private:
    std::vector<LasPnt, NoInitLargeBlockAllocator<LasPnt>> m_points;
    size_t m_cursor = 0;
};
ORV_BASIC_API LasPntPool* newLasPntPool();

// A pool of pointers to LasPnt values held elsewhere, with a read cursor.
class ORV_BASIC_API PLasPntPool : public OrvReferenced {
public:
    PLasPntPool();
    // Stores the pointer found at the given address.
    void add(LasPnt* const* point) { m_points.push_back(*point); }
    void reserve(size_t count) { m_points.reserve(count); }
    void rewind() { m_cursor = 0; }
    // The next stored pointer, or null after the last.
    LasPnt* next() { return m_cursor < m_points.size() ? m_points[m_cursor++] : nullptr; }
    // Moves the cursor past the last pointer, as walking the whole pool with next does.
    void skipToEnd() { m_cursor = m_points.size(); }
    size_t size() const { return m_points.size(); }
    LasPnt* const* data() const { return m_points.data(); }

protected:
    ~PLasPntPool() override;

private:
    std::vector<LasPnt*, LargeBlockAllocator<LasPnt*>> m_points;
    size_t m_cursor = 0;
};
ORV_BASIC_API PLasPntPool* newPLasPntPool();

}  // namespace orv

// A double-precision point that callers read directly; streams use it as their origin.
class ORV_BASIC_API IOrvPoint : public orv::OrvReferenced {
public:
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    // Sets x, y and z from the given point.
    virtual void setPoint(const orv::XPnt3d& point) = 0;

protected:
    ~IOrvPoint() override;
};
ORV_BASIC_API IOrvPoint* newOrvPoint();
